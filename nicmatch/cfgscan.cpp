// SPDX-License-Identifier: MIT
#include "cfgscan.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int isCfg(const struct dirent *entry)
{
    static const char *const ignored[] = {".rpmnew", ".rpmsave", ".rpmorig", ".orig", ".old", ".bak"};
    const char *name = entry->d_name;

    if (strncmp(name, "ifcfg-", 6) != 0)
        return 0;
    for (const char *suffix : ignored)
        if (endswith(name, suffix) != nullptr)
            return 0;
    return endswith(name, "~") == nullptr;
}

const char *endswith(const char *str, const char *suffix)
{
    size_t len = strlen(str);
    size_t slen = strlen(suffix);

    if (len < slen)
        return nullptr;
    const char *tail = str + (len - slen);
    return memcmp(tail, suffix, slen) == 0 ? tail : nullptr;
}

char *clean_value(char *value)
{
    // A '#' starts a comment only after a blank, so "eth#0" stays whole.  The
    // search goes on past a '#' that does not qualify, including one in the
    // first position.
    if (*value != '\0') {
        for (char *hash = strchr(value, '#'); hash != nullptr; hash = strchr(hash + 1, '#')) {
            if (hash != value && (hash[-1] == ' ' || hash[-1] == '\t')) {
                *hash = '\0';
                break;
            }
        }
    }

    // Also drops the '\r' of CR LF line ends.
    g_strchomp(value);

    if (*value == '\'' || *value == '"') {
        size_t len = strlen(value);
        if (value[len - 1] == value[0]) {
            value[len - 1] = '\0';
            if (len >= 2)
                value++;
        }
    }
    return value;
}

static CfgEntry *cfg_entry_new(const char *hwaddr, const char *device)
{
    auto *entry = static_cast<CfgEntry *>(calloc(1, sizeof(CfgEntry)));
    if (entry == nullptr)
        return nullptr;
    entry->hwaddr = g_strchomp(g_strchug(g_strdup(hwaddr)));
    entry->device = g_strchomp(g_strchug(g_strdup(device)));
    return entry;
}

CfgEntry *cfg_parse_text(const char *contents)
{
    gchar **lines = g_strsplit(contents, "\n", -1);
    const char *device = nullptr;
    const char *hwaddr = nullptr;
    bool is_vlan = false;

    // The candidates point into `lines`, which clean_value edits in place;
    // the binding takes copies before the lines are freed.
    for (gchar **line = lines; *line != nullptr; line++) {
        if (g_str_has_prefix(*line, "DEVICE=")) {
            char *value = clean_value(*line + 7);
            device = strchr(value, ':') != nullptr ? nullptr : value;
        }
        if (g_str_has_prefix(*line, "HWADDR="))
            hwaddr = clean_value(*line + 7);
        if (g_str_has_prefix(*line, "VLAN=yes"))
            is_vlan = true;
    }

    CfgEntry *entry = nullptr;
    if (device != nullptr && hwaddr != nullptr && !is_vlan)
        entry = cfg_entry_new(hwaddr, device);
    g_strfreev(lines);
    return entry;
}

// Reads the file at `path` (through a symbolic link too) only when it is a
// regular file: a FIFO would stall the run until a writer came, a device may
// never end, and a socket cannot be read at all, so those are skipped at once,
// like unreadable files.  `type` is the entry's type as the listing gave it.
//
// An entry listed as a regular file is read by its name: only whoever may
// write the (root's) configuration directory could replace it in the moment
// since the listing, and the run's alarm still bounds that.  Every run of
// the lock's queue scans the directory while holding the lock, so this path
// is kept to the one open of the read.  For anything else (a link, or a
// file system that does not tell types), testing the path and then reading it
// by name would leave a moment in which the entry could be swapped for a
// FIFO; there the file is pinned first:
// an O_PATH descriptor neither opens the file itself (no FIFO wait, no device
// open with its side effects) nor blocks, and fstat tells what it pinned.  The
// contents are then read through the descriptor's /proc/self/fd entry, which
// reopens that very file, whatever the name means by then.  Without /proc
// (nothing to reopen through) the name is read, the file having been a
// regular one a moment ago.
static bool read_regular_file(const char *path, unsigned char type, gchar **contents)
{
    if (type == DT_REG)
        return g_file_get_contents(path, contents, nullptr, nullptr);
    if (type != DT_LNK && type != DT_UNKNOWN)
        return false;
    int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = false;
    // A link may lead into /proc, whose files claim no size and some of
    // which never end; an empty file yields no binding anyway.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        char pinned[64];
        snprintf(pinned, sizeof pinned, "/proc/self/fd/%d", fd);
        GError *error = nullptr;
        ok = g_file_get_contents(pinned, contents, nullptr, &error);
        if (!ok && error->domain == G_FILE_ERROR && error->code == G_FILE_ERROR_NOENT &&
            access("/proc/self/fd", F_OK) != 0)
            ok = g_file_get_contents(path, contents, nullptr, nullptr);
        g_clear_error(&error);
    }
    close(fd);
    return ok;
}

CfgEntry *cfg_scan(const char *dir)
{
    struct dirent **names = nullptr;
    int count = scandir(dir, &names, isCfg, alphasort);
    if (count < 0)
        return nullptr;

    CfgEntry *head = nullptr;
    for (int i = 0; i < count; i++) {
        char *path = nullptr;
        gchar *contents = nullptr;

        if (asprintf(&path, "%s/%s", dir, names[i]->d_name) >= 0) {
            // A NUL byte inside the file ends its text there.
            if (read_regular_file(path, names[i]->d_type, &contents)) {
                CfgEntry *entry = cfg_parse_text(contents);
                if (entry != nullptr) {
                    entry->next = head;
                    head = entry;
                }
                g_free(contents);
            }
            free(path);
        }
        free(names[i]);
    }
    free(names);
    return head;
}
