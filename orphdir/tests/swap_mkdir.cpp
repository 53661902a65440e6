// SPDX-License-Identifier: MIT
// Preloaded into orphdir by a test: mkdir of "lost+found" makes the directory
// and at once replaces it by a symbolic link to $QK_SWAP_TARGET, the way
// someone who can write the current directory could between two calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern "C" int mkdir(const char *path, mode_t mode)
{
    if (syscall(SYS_mkdirat, AT_FDCWD, path, mode) != 0)
        return -1;
    const char *target = getenv("QK_SWAP_TARGET");
    if (target != nullptr && strcmp(path, "lost+found") == 0) {
        if (rmdir(path) != 0 || symlink(target, path) != 0)
            abort();
    }
    return 0;
}
