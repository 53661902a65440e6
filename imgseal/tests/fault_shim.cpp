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
//   "same-tick"             written again at the start of a tick of the file
//                           times' clock (a second, for whole-second times) at
//                           its first fstat; its first byte flipped at the
//                           first fstat after such a mapping (once it is hashed)
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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
    int writer = open(link, O_RDWR | O_CLOEXEC);
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

// Where a "same-tick" file stands: 1 once written at its first look, 2 once
// mapped, 3 once its byte is flipped.
int same_tick_step = 0;

extern "C" int fstat64(int fd, struct stat64 *st)
{
    static auto real_fstat = real<int (*)(int, struct stat64 *)>("fstat64");
    if ((same_tick_step == 0 || same_tick_step == 2) && marked(fd, "same-tick")) {
        timespec start, clock;
        clock_gettime(CLOCK_REALTIME_COARSE, &start);
        bool seconds = real_fstat(fd, st) == 0 && st->st_ctim.tv_nsec == 0;
        while (same_tick_step == 0 && clock_gettime(CLOCK_REALTIME_COARSE, &clock) == 0 &&
               clock.tv_sec == start.tv_sec && (seconds || clock.tv_nsec == start.tv_nsec)) {
        }
        // The first byte written again as it is, then flipped.
        int writer = open_for_writing(fd);
        char byte;
        if (pread(writer, &byte, 1, 0) != 1)
            _exit(97);
        byte = static_cast<char>(byte ^ same_tick_step / 2);
        if (pwrite(writer, &byte, 1, 0) != 1)
            _exit(97);
        close(writer);
        same_tick_step++;
    }
    return real_fstat(fd, st);
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
    if (same_tick_step == 1)
        same_tick_step = 2;
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
    } else if (marked(fd, "grows-while-sealed") || marked(fd, "rewritten-while-sealed")) {
        bool grows = marked(fd, "grows-while-sealed");
        char bytes[4096];
        memset(bytes, grows ? 'g' : 'r', sizeof bytes);
        int writer = open_for_writing(fd);
        if (pwrite(writer, bytes, sizeof bytes, grows ? st.st_size : 0) != static_cast<ssize_t>(sizeof bytes))
            _exit(97);
        close(writer);
    }
    return map;
}
