// SPDX-License-Identifier: MIT
#include "lookup.h"

#include <glib.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

char *read_iface_address(const char *netdir, const char *iface)
{
    if (strchr(iface, '/') != nullptr || strcmp(iface, ".") == 0 || strcmp(iface, "..") == 0)
        return nullptr;

    char *path = nullptr;
    if (asprintf(&path, "%s/%s/address", netdir, iface) < 0)
        return nullptr;

    gchar *text = nullptr;
    bool ok = g_file_get_contents(path, &text, nullptr, nullptr);
    free(path);
    if (!ok)
        return nullptr;
    return g_strchomp(g_strchug(text));
}

const char *match_device(const CfgEntry *list, const char *addr, const char *iface)
{
    const char *first = nullptr;

    for (const CfgEntry *entry = list; entry != nullptr; entry = entry->next) {
        if (strcasecmp(entry->hwaddr, addr) != 0)
            continue;
        if (strcasecmp(entry->device, iface) == 0)
            return entry->device;
        // An empty device is remembered like any other name.
        if (first == nullptr)
            first = entry->device;
    }
    return first;
}
