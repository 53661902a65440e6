// SPDX-License-Identifier: MIT
#include "lostfound.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const int kFillerLetters = 246;

// 246 'x' + the index as at least 8 digits.
void filler_name(char *buf, size_t size, int index)
{
    char letters[kFillerLetters + 1];
    memset(letters, 'x', kFillerLetters);
    letters[kFillerLetters] = '\0';
    snprintf(buf, size, "%s%08d", letters, index);
}

// Gives up the directory's descriptor, keeping the failed call's errno.
const char *failed_call(int dirfd, const char *call)
{
    int saved = errno;
    close(dirfd);
    errno = saved;
    return call;
}

} // namespace

const char *grow_lost_found(const char *dir, LostFoundStats *stats)
{
    *stats = {0, 0, 0};
    if (mkdir(dir, 0700) != 0)
        return "mkdir";
    // Whoever can write the parent can replace the new directory by a link
    // (or anything else) at once; from here on everything goes through this
    // descriptor of the directory made, never through its name again.
    int dirfd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirfd < 0)
        return "open";
    // A link is refused by the open; a directory somebody else put in its
    // place is refused here: the one we made is ours and nobody else may add
    // entries to it (mode 0700, less the umask).
    struct stat made;
    if (fstat(dirfd, &made) != 0)
        return failed_call(dirfd, "open");
    if (made.st_uid != geteuid() || (made.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        errno = EEXIST;
        return failed_call(dirfd, "open");
    }

    char name[kFillerLetters + 12];   // room for any int index
    int last = 0;
    for (int i = 0;; i++) {
        filler_name(name, sizeof name, i);
        // What creat does, relative to the directory, never through a link,
        // and never waiting on a FIFO.
        int fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0)
            return failed_call(dirfd, "creat");
        close(fd);
        stats->files = i + 1;

        struct stat st;
        if (fstat(dirfd, &st) != 0)
            return failed_call(dirfd, "stat");
        stats->size = st.st_size;
        stats->blksize = st.st_blksize;
        // The limit is taken in 64 bits so that no block size can overflow it.
        if (st.st_size > 11LL * st.st_blksize) {
            last = i;
            break;
        }
    }

    for (int j = 0; j <= last; j++) {
        filler_name(name, sizeof name, j);
        if (unlinkat(dirfd, name, 0) != 0)
            return failed_call(dirfd, "unlink");
    }
    close(dirfd);
    return nullptr;
}
