// nicmatch: prints the configured name for the network interface named by
// INTERFACE, found through its hardware address in the ifcfg-* files.
#include "cfgscan.h"
#include "lookup.h"

#include <cstdio>
#include <cstdlib>

static const char kConfigDir[] = "/etc/sysconfig/network-scripts";
static const char kNetDir[] = "/sys/class/net";

// The bindings live until the process ends.
static CfgEntry *cfg_list;

// Every end of a run comes through here; the name printed so far is flushed by exit.
[[noreturn]] static void finish()
{
    exit(0);
}

int main()
{
    const char *iface = getenv("INTERFACE");
    if (iface == nullptr)
        finish();

    cfg_list = cfg_scan(kConfigDir);

    char *addr = read_iface_address(kNetDir, iface);
    if (addr == nullptr || cfg_list == nullptr)
        finish();

    const char *name = match_device(cfg_list, addr, iface);
    if (name != nullptr)
        printf("%s", name);
    finish();
}
