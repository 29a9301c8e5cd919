#!/bin/sh
# test group: system
# A home network behind a router, in network namespaces, for the port
# mapping tests:
#
#   <tag>-home  192.168.77.2/24 --- 192.168.77.1/24  <tag>-rt  203.0.113.1/24 --- 203.0.113.100/24  <tag>-net
#
# The router forwards between its LAN and its WAN; nothing from the WAN side
# reaches the LAN unless a mapping on the router lets it through.
#
#   rig.sh up <tag>     create the namespaces, links, addresses and rules
#   rig.sh down <tag>   remove them again (harmless when they are gone)
set -u

tag="$2"
home="$tag-home"
router="$tag-rt"
internet="$tag-net"
here="$(cd "$(dirname "$0")" && pwd)"

down() {
    for ns in "$home" "$router" "$internet"; do
        ip netns del "$ns" 2>/dev/null
    done
    return 0
}

up() {
    set -e
    ip netns add "$home"
    ip netns add "$router"
    ip netns add "$internet"
    ip link add lan0 netns "$home" type veth peer name lan1 netns "$router"
    ip link add wan0 netns "$router" type veth peer name wan1 netns "$internet"

    ip -n "$home" addr add 192.168.77.2/24 dev lan0
    ip -n "$router" addr add 192.168.77.1/24 dev lan1
    ip -n "$router" addr add 203.0.113.1/24 dev wan0
    ip -n "$internet" addr add 203.0.113.100/24 dev wan1
    for ns in "$home" "$router" "$internet"; do
        ip -n "$ns" link set lo up
    done
    ip -n "$home" link set lan0 up
    ip -n "$router" link set lan1 up
    ip -n "$router" link set wan0 up
    ip -n "$internet" link set wan1 up
    ip -n "$home" route add default via 192.168.77.1
    # Multicast discovery leaves the host by its only link.
    ip -n "$home" route add 239.0.0.0/8 dev lan0
    ip netns exec "$router" sysctl -q -w net.ipv4.ip_forward=1
    ip netns exec "$router" nft -f "$here/router.nft"
}

case "${1:-}" in
up) down; up ;;
down) down ;;
*) echo "usage: $0 up|down <tag>" >&2; exit 2 ;;
esac
