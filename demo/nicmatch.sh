#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs inside the sandbox: sample configuration, veth interfaces with chosen
# addresses, and nicmatch asked for each of them.  The output is the same on
# every run (the README shows part of it).
set -e
exec 2>&1
PATH=/qk:$PATH
mkdir -p /etc/sysconfig/network-scripts
cp /demo/network-scripts/* /etc/sysconfig/network-scripts/
cd /etc/sysconfig/network-scripts
echo "$ cd /etc/sysconfig/network-scripts; grep -E '^(DEVICE|HWADDR|VLAN)=' ifcfg-*"
grep -E '^(DEVICE|HWADDR|VLAN)=' ifcfg-*
ip link add eth0 address 02:aa:00:00:00:01 type veth peer name p0
ip link add eth1 address 02:aa:00:00:00:02 type veth peer name p1
ip link add eth2 address 02:aa:00:00:00:03 type veth peer name p2
ip link add dmz0 address 02:aa:00:00:00:03 type veth peer name p3
ip link add eth3 address 02:aa:00:00:00:99 type veth peer name p4
echo
echo "nicmatch for each interface (it prints the name with no line end; echo adds one):"
for ifc in eth0 eth1 eth2 dmz0 eth3; do
    case $ifc in
        eth2) why="bound by two files: the last in name order wins" ;;
        dmz0) why="bound by two files, one naming dmz0: it keeps its name" ;;
        eth3) why="bound by no file: nothing printed" ;;
        *) why="" ;;
    esac
    echo "\$ INTERFACE=$ifc nicmatch; echo     # address $(cat /sys/class/net/$ifc/address)${why:+, $why}"
    INTERFACE=$ifc nicmatch || echo "[status $?]"
    echo
done
