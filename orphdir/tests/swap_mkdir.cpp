// SPDX-License-Identifier: MIT
// Preloaded into orphdir by a test: mkdir of "lost+found" makes the directory
// and at once replaces it by a symbolic link to $QK_SWAP_TARGET, or (with
// QK_SWAP_TARGET=dir) by a directory anybody may write, holding a FIFO under
// the first filler's name: what someone who can write the current directory
// could do between two calls.
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
        if (rmdir(path) != 0)
            abort();
        if (strcmp(target, "dir") == 0) {
            char fifo[300] = "lost+found/";
            memset(fifo + strlen(fifo), 'x', 246);
            strcat(fifo, "00000000");
            if (syscall(SYS_mkdirat, AT_FDCWD, path, 0777) != 0 || chmod(path, 0777) != 0 || mkfifo(fifo, 0666) != 0)
                abort();
        } else if (symlink(target, path) != 0) {
            abort();
        }
    }
    return 0;
}
