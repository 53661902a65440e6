// SPDX-License-Identifier: MIT
#include "lostfound.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const int kFillerLetters = 246;

// "<dir>/" + 246 'x' + the index as at least 8 digits.
void filler_path(char *buf, size_t size, const char *dir, int index)
{
    char letters[kFillerLetters + 1];
    memset(letters, 'x', kFillerLetters);
    letters[kFillerLetters] = '\0';
    snprintf(buf, size, "%s/%s%08d", dir, letters, index);
}

} // namespace

const char *grow_lost_found(const char *dir, LostFoundStats *stats)
{
    *stats = {0, 0, 0};
    if (mkdir(dir, 0700) != 0)
        return "mkdir";

    char path[PATH_MAX];
    int last = 0;
    for (int i = 0;; i++) {
        filler_path(path, sizeof path, dir, i);
        int fd = creat(path, 0644);
        if (fd < 0)
            return "creat";
        close(fd);
        stats->files = i + 1;

        struct stat st;
        if (stat(dir, &st) != 0)
            return "stat";
        stats->size = st.st_size;
        stats->blksize = st.st_blksize;
        // The limit is taken in 64 bits so that no block size can overflow it.
        if (st.st_size > 11LL * st.st_blksize) {
            last = i;
            break;
        }
    }

    for (int j = 0; j <= last; j++) {
        filler_path(path, sizeof path, dir, j);
        if (unlink(path) != 0)
            return "unlink";
    }
    return nullptr;
}
