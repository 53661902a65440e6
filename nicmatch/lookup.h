// SPDX-License-Identifier: MIT
// Reading an interface's current hardware address and choosing its name.
#pragma once

#include "cfgscan.h"

// Reads "<netdir>/<iface>/address" whole and trims it.  Returns the address
// text (g_free it), or nullptr when there is none: the file cannot be read, or
// `iface` cannot be an interface name at all (it holds a '/', or is "." or
// ".."), which keeps a name from the environment from steering the read
// elsewhere.  An empty file gives an empty string.
char *read_iface_address(const char *netdir, const char *iface);

// Walks `list` for bindings whose hwaddr equals `addr` ignoring case.  A match
// whose device also equals `iface` (ignoring case) wins at once; otherwise the
// first match in list order does.  Returns that binding's device as
// configured, or nullptr when nothing matches.
const char *match_device(const CfgEntry *list, const char *addr, const char *iface);
