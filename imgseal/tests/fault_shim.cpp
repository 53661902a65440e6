// SPDX-License-Identifier: MIT
// Preloaded into imgseal and imgverify by tests: faults that real file systems and other
// processes cause, made to happen at a chosen moment to files whose names
// carry a marker:
//   "close-fails"           close() reports EIO (after really closing), as a
//                           file system that reports a failed write only then
//   "fdatasync-fails"       fdatasync() reports EIO, as a failed write-back
//   "shrinks-while-sealed"  once a private writable mapping of the file is
//                           made, the file is cut to half its size
//   "grows-while-sealed"    once such a mapping is made, 4096 'g' bytes are
//                           appended to the file
//   "rewritten-while-sealed" once such a mapping is made, the first 4096
//                           bytes are overwritten with 'r' (same size)
//   "sigbus-blocked"        with "shrinks-while-sealed": SIGBUS is blocked
//                           first, as a caller's inherited mask may have it
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool marked(int fd, const char *marker)
{
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t len = readlink(link, target, sizeof target - 1);
    if (len <= 0)
        return false;
    target[len] = '\0';
    return strstr(target, marker) != nullptr;
}

// A descriptor of its own to change the file through: the program's may be
// open for reading only.
int open_for_writing(int fd)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    int writer = open(link, O_WRONLY | O_CLOEXEC);
    if (writer < 0)
        _exit(97);
    return writer;
}

template <typename Fn> Fn real(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int close(int fd)
{
    static auto real_close = real<int (*)(int)>("close");
    bool fail = marked(fd, "close-fails");
    int result = real_close(fd);
    if (fail && result == 0) {
        errno = EIO;
        return -1;
    }
    return result;
}

extern "C" int fdatasync(int fd)
{
    static auto real_fdatasync = real<int (*)(int)>("fdatasync");
    if (marked(fd, "fdatasync-fails")) {
        errno = EIO;
        return -1;
    }
    return real_fdatasync(fd);
}

extern "C" void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    static auto real_mmap = real<void *(*)(void *, size_t, int, int, int, off_t)>("mmap");
    void *map = real_mmap(addr, length, prot, flags, fd, offset);
    if (map == MAP_FAILED || fd < 0 || (flags & MAP_PRIVATE) == 0 || (prot & PROT_WRITE) == 0)
        return map;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return map;
    if (marked(fd, "shrinks-while-sealed")) {
        if (marked(fd, "sigbus-blocked")) {
            sigset_t bus;
            sigemptyset(&bus);
            sigaddset(&bus, SIGBUS);
            sigprocmask(SIG_BLOCK, &bus, nullptr);
        }
        int writer = open_for_writing(fd);
        if (ftruncate(writer, st.st_size / 2) != 0)
            _exit(97);
        close(writer);
    } else if (marked(fd, "grows-while-sealed")) {
        char grown[4096];
        memset(grown, 'g', sizeof grown);
        int writer = open_for_writing(fd);
        if (pwrite(writer, grown, sizeof grown, st.st_size) != static_cast<ssize_t>(sizeof grown))
            _exit(97);
        close(writer);
    } else if (marked(fd, "rewritten-while-sealed")) {
        char other[4096];
        memset(other, 'r', sizeof other);
        int writer = open_for_writing(fd);
        if (pwrite(writer, other, sizeof other, 0) != static_cast<ssize_t>(sizeof other))
            _exit(97);
        close(writer);
    }
    return map;
}
