#!/usr/bin/env bash
# The first process of wifi-vm.sh's virtual machine: two mac80211_hwsim radios, the second in
# the network namespace "scanner"; a system bus, wpa_supplicant and NetworkManager; then
# wholesystem.sh, where the real Beaconry brings the access point up on wlan0 through nmcli and
# the scanner joins it with the SSID Beaconry published. Results go to the shared /mnt/out.
build=$1 out=/mnt/out e2e=$(dirname "$0")
trap 'echo "${status:-1}" >$out/status; sync; echo o >/proc/sysrq-trigger; sleep 30' EXIT
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
. $out/sanitizer.env
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev || exit 1
mkdir -p /dev/pts /dev/shm && ln -s /proc/self/fd /dev/fd && mount -t devpts pts /dev/pts && mount -t tmpfs shm /dev/shm
mount -t tmpfs tmp /tmp && mount -t tmpfs run /run && mkdir -p /run/dbus /run/netns
cut -d' ' -f1 /proc/uptime >$out/boot && echo "guest up after $(cat $out/boot) s"
ip link set lo up && modprobe mac80211_hwsim radios=2 || exit 1
ip netns add scanner && iw phy "$(cat /sys/class/net/wlan1/phy80211/name)" set netns name scanner
# NetworkManager gives an idle adapter a random address; the SSID must not follow it.
ip link set wlan0 address 02:5a:11:22:33:44
dbus-daemon --system --fork && wpa_supplicant -u -O /run/wpa_supplicant -f $out/wpa_supplicant.log &
# Without udev, NetworkManager takes devices as they are where /sys is read-only (containers).
mount -o remount,ro /sys && printf '[main]\nplugins=keyfile\n' >/run/nm.conf
NetworkManager --debug --log-level=INFO --config=/run/nm.conf >$out/networkmanager.log 2>&1 &

network_up() { # in wholesystem.sh, once Beaconry runs
    check "Beaconry brought the access point up through NetworkManager (192.168.137.1/24 on wlan0)" \
        wait_for 120 eval 'grep -q "it is over" "$work/beaconry.log" && ip -4 -o addr show wlan0 | grep -q " 192.168.137.1/24"'
    local ssid permanent
    ssid=$(sed -n 's/^ssid=//p' "$config_folder/scanConfig.ini")
    permanent=$(tr -d ':\n' </sys/class/net/wlan0/phy80211/macaddress | tr a-f A-F)
    check "the SSID published ($ssid) is the permanent address's, not the current one's" test "$ssid" = "ostra@${permanent%?}"
    printf 'network={\n ssid="%s"\n psk="kelp5820"\n key_mgmt=WPA-PSK\n proto=RSN\n}\n' "$ssid" >"$work/station.conf"
    ip netns exec scanner wpa_supplicant -B -i wlan1 -c "$work/station.conf" -f "$out/station.log"
    ip netns exec scanner timeout 120 dhclient -4 -1 -lf "$work/lease" -pf "$work/dhclient.pid" wlan1
    scanner=$(ip -n scanner -4 -o addr show wlan1 | awk '{sub("/.*", "", $4); print $4}')
    check "the scanner joined it with that SSID and the fixed passphrase, and has a lease ($scanner)" test -n "$scanner"
}
network_after_exit() {
    check "Beaconry's exit took the access point down" wait_for 30 eval '! ip -4 -o addr show wlan0 | grep -q 192.168.137.1'
}
export -f network_up network_after_exit
OSTRA_TEST_HOST_NS=scanner OSTRA_PC_IF=wlan0 OSTRA_DEV_IF=wlan1 OSTRA_TIME_SCALE=4 \
    bash "$e2e/wholesystem.sh" --build "$build" --out "$out/wholesystem"
status=$?
