#!/usr/bin/env bash
# Runs a command inside a private network: its side holds the hosted network's gateway
# 192.168.137.1 on a veth whose sysfs folder marks it as Wi-Fi, plus 192.168.137.5 and
# 192.168.137.100-109 on its loopback for in-process scanners; the other side, a test host,
# holds 192.168.137.45. Needs root; otherwise the test is skipped.
set -u
[ "$(id -u)" -eq 0 ] && command -v ip >/dev/null || { echo "skipped: needs root and iproute2 to build a test network"; exit 77; }
pc="ostra-pc-$$" dev="ostra-dev-$$"
trap 'ip netns del "$pc" 2>/dev/null; ip netns del "$dev" 2>/dev/null' EXIT INT TERM
set -e
ip netns add "$pc" && ip netns add "$dev"
ip link add veth-pc netns "$pc" type veth peer name veth-dev netns "$dev"
ip -n "$pc" link set lo up
ip -n "$pc" addr add 192.168.137.1/24 dev veth-pc
ip -n "$pc" link set veth-pc up
for host in 5 $(seq 100 109); do ip -n "$pc" addr add "192.168.137.$host/32" dev lo; done
ip -n "$dev" link set lo up
ip -n "$dev" addr add 192.168.137.45/24 dev veth-dev
ip -n "$dev" link set veth-dev up
set +e
# ip netns exec gives the command a private mount namespace with the network's own sysfs; a
# tmpfs over the veth's folder with a "wireless" entry makes it a Wi-Fi adapter.
OSTRA_TEST_NET=1 OSTRA_TEST_HOST_NS="$dev" ip netns exec "$pc" sh -c '
    folder=$(readlink -f /sys/class/net/veth-pc) &&
    mount -t tmpfs none "$folder" && mkdir "$folder/wireless" && exec "$@"' sh "$@"
