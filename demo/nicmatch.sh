#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs inside the sandbox: sample configuration, veth interfaces with chosen
# addresses, and nicmatch asked for each of them.
set -e
mkdir -p /etc/sysconfig/network-scripts
cp /demo/network-scripts/* /etc/sysconfig/network-scripts/
echo "Configuration files:"
grep -H -E '^(DEVICE|HWADDR|VLAN)=' /etc/sysconfig/network-scripts/* | sed 's|^/etc/sysconfig/network-scripts/|  |'
ip link add eth0 address 02:aa:00:00:00:01 type veth peer name p0
ip link add eth1 address 02:aa:00:00:00:02 type veth peer name p1
ip link add eth2 address 02:aa:00:00:00:03 type veth peer name p2
ip link add dmz0 address 02:aa:00:00:00:03 type veth peer name p3
ip link add eth3 address 02:aa:00:00:00:99 type veth peer name p4
echo
echo "nicmatch for each interface (kernel address -> printed name):"
for ifc in eth0 eth1 eth2 dmz0 eth3; do
    name=$(INTERFACE=$ifc /qk/nicmatch; echo "[status $?]")
    printf '  INTERFACE=%-5s %s -> %s\n' "$ifc" "$(cat /sys/class/net/$ifc/address)" "$name"
done
echo "  (eth2: two files bind 02:aa:00:00:00:03, the last in name order wins;"
echo "   dmz0: the interface already bears one of the configured names and keeps it;"
echo "   eth3: no binding, nothing printed)"
