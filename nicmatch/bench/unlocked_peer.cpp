// SPDX-License-Identifier: MIT
// A benchmark peer, never installed: nicmatch's own work (the scan, the
// address, the match, the printed name) with no lock step and no alarm.  Beside
// the real program in a storm it shows what the lock costs, and what the
// work of a run costs whatever way runs take turns.
#include "cfgscan.h"
#include "lookup.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    const char *iface = getenv("INTERFACE");
    if (iface == nullptr)
        return 0;
    CfgEntry *list = cfg_scan("/etc/sysconfig/network-scripts");
    char *addr = read_iface_address("/sys/class/net", iface);
    if (addr == nullptr || list == nullptr)
        return 0;
    const char *name = match_device(list, addr, iface);
    if (name != nullptr)
        printf("%s", name);
    g_free(addr);
    return 0;
}
