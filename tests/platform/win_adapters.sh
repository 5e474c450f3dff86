#!/bin/sh
# Inside the test network: the Windows adapter table, read under Wine, lists the PC side
# of the veth pair with its hardware address and the hosted network's address.
if [ -z "${OSTRA_WINE:-}" ]; then
    echo "Wine or MinGW missing: skipped"
    exit 77
fi
hw=$(ip -o link show veth-pc | sed -n 's|.*link/ether \([0-9a-f:]*\).*|\1|p')
# Wine's server owns the sockets and the adapter walk, so it must be one started in this
# network, not one left running outside it.
stop_server() { "$OSTRA_WINESERVER" -k 2>/dev/null; "$OSTRA_WINESERVER" -w 2>/dev/null; }
stop_server
# The program writes Windows line ends.
table=$("$OSTRA_WINE" "$OSTRA_WINCHECK" adapters) && rc=0 || rc=$?
table=$(printf '%s\n' "$table" | tr -d '\r')
stop_server
printf '%s\n' "$table"
[ "$rc" -eq 0 ] || exit 1
line=$(printf '%s\n' "$table" | grep -E " hw $hw ip( [0-9.]+)* 192\.168\.137\.1( |$)")
if [ -z "$hw" ] || [ -z "$line" ]; then
    echo "FAIL: veth-pc ($hw, 192.168.137.1) is not in the table"
    exit 1
fi
echo "veth-pc under Wine: $line"
