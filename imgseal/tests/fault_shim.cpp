// SPDX-License-Identifier: MIT
// Preloaded into imgseal by a test: close() of a file whose name contains
// "close-fails" reports EIO (after really closing it), as a file system that
// only reports a failed write when the file is closed would.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" int close(int fd)
{
    using close_fn = int (*)(int);
    static close_fn real_close = reinterpret_cast<close_fn>(dlsym(RTLD_NEXT, "close"));
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t len = readlink(link, target, sizeof target - 1);
    bool fail = false;
    if (len > 0) {
        target[len] = '\0';
        fail = strstr(target, "close-fails") != nullptr;
    }
    int result = real_close(fd);
    if (fail && result == 0) {
        errno = EIO;
        return -1;
    }
    return result;
}
