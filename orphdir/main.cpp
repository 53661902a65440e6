// SPDX-License-Identifier: MIT
// orphdir: creates "lost+found" in the current directory and grows it past
// 11 blocks, so that a file system checker later finds room in it without
// having to allocate blocks.
#include "lostfound.h"

#include <libintl.h>
#include <locale.h>

#include <cstdio>
#include <cstdlib>

static const char kDirName[] = "lost+found";
static const char kTextDomain[] = "quarrykit";
static const char kLocaleDir[] = "/usr/share/locale";

int main(int argc, char **)
{
    // Failures here only leave the texts untranslated.
    setlocale(LC_MESSAGES, "");
    setlocale(LC_CTYPE, "");
    bindtextdomain(kTextDomain, kLocaleDir);
    textdomain(kTextDomain);

    fprintf(stderr, "orphdir %s (%s)\n", QK_VERSION, QK_RELEASE_DATE);
    if (argc != 1) {
        fputs(dcgettext(nullptr, "Usage: orphdir\n", LC_MESSAGES), stderr);
        exit(1);
    }

    LostFoundStats stats;
    const char *failed = grow_lost_found(kDirName, &stats);
    if (failed != nullptr) {
        perror(failed);
        exit(1);
    }
    exit(0);
}
