// SPDX-License-Identifier: MIT
// Reading the interface configuration directory into hardware-address bindings.
#pragma once

#include <dirent.h>

// One binding: the interface whose hardware address reads `hwaddr` is to be
// called `device`.  Both strings are owned (g_free) and trimmed; either may be
// empty; `device` never holds a colon.
struct CfgEntry {
    char *hwaddr;
    char *device;
    CfgEntry *next;
};

// scandir filter: nonzero for names that begin with "ifcfg-" and are not
// backups or package-manager leftovers (.rpmnew, .rpmsave, .rpmorig, .orig,
// .old, .bak, or a trailing '~').
int isCfg(const struct dirent *entry);

// The position of the tail of `str` that equals `suffix` (byte for byte), or
// nullptr.  An empty suffix matches at the end of `str`.
const char *endswith(const char *str, const char *suffix);

// Cleans one name=value value in place: cuts a comment that starts at a '#'
// preceded by a blank, trims trailing white space, then strips one pair of
// matching quotes ('...' or "...").  Leading white space is kept.  Returns the
// start of the cleaned value, which is `value` or one byte after it.
char *clean_value(char *value);

// Parses one file's text.  Returns a new binding when the last DEVICE= value
// has no colon, an HWADDR= line was seen and no line starts with "VLAN=yes";
// otherwise nullptr.
CfgEntry *cfg_parse_text(const char *contents);

// Lists `dir` with isCfg, sorted by name, and parses every file.  Returns the
// bindings with the one from the file that sorts last first, or nullptr.
// Unreadable directories and files are skipped silently, and so, without
// being opened, are entries that are not regular files, directly or through a
// symbolic link (FIFOs, sockets, devices).
CfgEntry *cfg_scan(const char *dir);
