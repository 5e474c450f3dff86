#!/usr/bin/python3
"""The real nmcli, driven by Beaconry's hosted-network control (tst_hotspot's
networkManagerOverDBus), against python3-dbusmock's NetworkManager on a private system bus; no
root. What nmcli sent is read back from the mock, its D-Bus types checked here, since the
template takes anything. Exit 77 (skip) without dbusmock or nmcli."""
import os, pwd, shutil, subprocess, sys

try:
    import dbus, dbusmock
    from dbusmock import DBusTestCase
except ImportError:
    sys.exit(print("skipped: python3-dbusmock is missing (scripts/setup.sh installs it)") or 77)
if not shutil.which("nmcli"):
    sys.exit(print("skipped: nmcli is missing (scripts/setup.sh installs network-manager)") or 77)
NAME, NM = "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager"
failures = []


def check(what, ok, seen=""):
    print(("ok:   " if ok else "FAIL: ") + what + ("" if ok or not seen else f" (seen: {seen})"))
    failures.extend([] if ok else [what])


def start(device):
    """One start and stop through the real control; its output, for the one-line reason."""
    env = dict(os.environ, OSTRA_NM_MOCK_DEVICE=device, QT_QPA_PLATFORM="offscreen")
    run = subprocess.run([sys.argv[1], "networkManagerOverDBus"], env=env, capture_output=True,
                         text=True, timeout=120)
    check(f"the control ran for {device}", run.returncode == 0, run.stdout + run.stderr)
    return run.stdout + run.stderr


def ours():
    """Our profiles' settings as the mock stored them."""
    connections = [bus.get_object(NAME, path).GetSettings(dbus_interface=NAME + ".Settings.Connection")
                   for path in bus.get_object(NAME, NM + "/Settings").ListConnections()]
    return [c for c in connections if c["connection"]["id"] == "ostra-hotspot"]


def changes():
    """The calls that change NetworkManager's profiles or state."""
    return [str(c[1]) for c in settings.GetCalls() + nm.GetCalls() if str(c[1]) in
            ("AddConnection", "AddConnection2", "ActivateConnection", "DeactivateConnection")]


def typed(value, kind, signature=None):
    return isinstance(value, kind) and (signature is None or value.signature == signature)


DBusTestCase.start_system_bus()
check("no NetworkManager on the bus: nothing sent, the reason in one line",
      "No access point: NetworkManager is not running" in start("wlan0"))
server, root = DBusTestCase.spawn_server_template("networkmanager", {}, stdout=subprocess.DEVNULL)
try:
    bus = DBusTestCase.get_dbus(system_bus=True)
    mock = dbus.Interface(root, dbusmock.MOCK_IFACE)
    nm = dbus.Interface(bus.get_object(NAME, NM), dbusmock.MOCK_IFACE)
    settings = dbus.Interface(bus.get_object(NAME, NM + "/Settings"), dbusmock.MOCK_IFACE)
    for device, state in (("wlan0", 30), ("wlan9", 30), ("wlan8", 10)):  # disconnected, unmanaged
        mock.AddWiFiDevice(device, device, state)
    mock.AddEthernetDevice("eth0", "eth0", 30)
    # wlan9 lacks NM_WIFI_DEVICE_CAP_AP (0x40).
    mock.SetProperty(NM + "/Devices/wlan9", NAME + ".Device.Wireless", "WirelessCapabilities",
                     dbus.UInt32(0x3F))
    # The template drops the active connection without a word, and nmcli waits for the state
    # "deactivated" until it times out: the state goes first.
    nm.AddMethod(NAME, "DeactivateConnection", "o", "",
                 f"dbusmock.get_object(args[0]).Set('{NAME}.Connection.Active', 'State', "
                 "dbus.UInt32(4))\nself.deactivate_connection(self, args[0])")
    for device, reason in (("eth0", "is a ethernet device"), ("wlan9", "cannot be an access point"),
                           ("wlan8", "is not managed")):
        log = start(device)
        check(f"{device}: nothing sent, the reason in one line",
              not ours() and not changes() and f"No access point: {device} {reason}" in log, log)

    start("wlan0")
    first = ours()
    start("wlan0")
    second = ours()
    check("a second start replaced our profile by one other",
          len(first) == len(second) == 1
          and first[0]["connection"]["uuid"] != second[0]["connection"]["uuid"])
    s = second[0]
    connection, wifi, security = s["connection"], s["802-11-wireless"], s["802-11-wireless-security"]
    user = pwd.getpwuid(os.getuid()).pw_name
    check("on wlan0, not autoconnecting, the user's own",
          connection["interface-name"] == "wlan0" and connection["type"] == "802-11-wireless"
          and typed(connection["autoconnect"], dbus.Boolean) and not connection["autoconnect"]
          and typed(connection["permissions"], dbus.Array, "s")
          and list(connection["permissions"]) == [f"user:{user}:"], connection)
    check("access point with the configured SSID (bytes), band bg, channel 1",
          typed(wifi["ssid"], dbus.Array, "y") and bytes(wifi["ssid"]) == b"ostra@001A2B3C4D5"
          and wifi["mode"] == "ap" and wifi["band"] == "bg"
          and typed(wifi["channel"], dbus.UInt32) and wifi["channel"] == 1, wifi)
    check("WPA2-PSK (RSN, CCMP) with the fixed passphrase",
          security["key-mgmt"] == "wpa-psk" and security["psk"] == "kelp5820"
          and typed(security["proto"], dbus.Array, "s") and list(security["proto"]) == ["rsn"]
          and list(security["pairwise"]) == list(security["group"]) == ["ccmp"], security)
    address = list(s["ipv4"].get("address-data", [])) + [{}]
    check("IPv4 shared at 192.168.137.1/24, IPv6 ignored",
          s["ipv4"]["method"] == "shared" and address[0].get("address") == "192.168.137.1"
          and typed(address[0].get("prefix"), dbus.UInt32) and address[0]["prefix"] == 24
          and len(address) == 2 and s["ipv6"]["method"] == "ignore", s["ipv4"])
    # nmcli leaves the device to NetworkManager ("/"), which takes the profile's interface.
    check("each start brought our profile up, each stop took it down",
          changes() == ["AddConnection"] * 2 + ["ActivateConnection", "DeactivateConnection"] * 2,
          changes())
finally:
    server.terminate()
    server.wait()
    DBusTestCase.stop_dbus(DBusTestCase.system_bus_pid)
sys.exit(print(f"{len(failures)} check(s) failed") or 1 if failures else 0)
