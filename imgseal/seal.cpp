// SPDX-License-Identifier: MIT
#include "seal.h"

#include "sha1.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

void hold_standard_descriptors()
{
    int fd;
    do
        fd = open("/", O_PATH | O_CLOEXEC);
    while (fd >= 0 && fd <= STDERR_FILENO);
    if (fd >= 0)
        close(fd);
}

char *escaped_path(const char *path)
{
    size_t len = 0;
    bool escape = false;
    for (const char *p = path; *p != '\0'; p++) {
        bool special = *p == '\\' || *p == '\n' || *p == '\r';
        escape = escape || special;
        len += special ? 2 : 1;
    }
    char *shown = static_cast<char *>(malloc(len + 2));
    if (shown == nullptr)
        return nullptr;
    char *out = shown;
    if (escape)
        *out++ = '\\';
    for (const char *p = path; *p != '\0'; p++) {
        if (*p == '\\' || *p == '\n' || *p == '\r') {
            *out++ = '\\';
            *out++ = *p == '\\' ? '\\' : *p == '\n' ? 'n' : 'r';
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    return shown;
}

bool write_all(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // Full and non-blocking (EAGAIN is EWOULDBLOCK here): wait for room.
            struct pollfd out = {fd, POLLOUT, 0};
            if (poll(&out, 1, -1) < 0 && errno != EINTR)
                return false;
            continue;
        }
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void print_refusal(const char *prog, const char *what, const char *path, const char *why)
{
    char *shown = escaped_path(path);
    char *line = nullptr;
    if (shown == nullptr || asprintf(&line, "%s: %s %s: %s\n", prog, what, shown, why) < 0) {
        // No memory to show the path: the reason still goes out, on one line.
        line = nullptr;
        dprintf(STDERR_FILENO, "%s: %s: %s\n", prog, what, why);
    } else {
        write_all(STDERR_FILENO, line, strlen(line));
    }
    free(line);
    free(shown);
}

// The descriptor whose lease is held (-1 for none), and whether it was
// broken.  Set before the lease is taken, so that a break coming at once is
// answered too.
static volatile sig_atomic_t leased_fd = -1;
static volatile sig_atomic_t lease_broken = 0;

// A lease break (SIGIO): another process is waiting in its open or truncate
// until the lease is given up, so it is given up here and now; the check
// that holds it fails when it ends.
static void on_lease_break(int)
{
    int saved = errno;
    if (leased_fd >= 0)
        fcntl(leased_fd, F_SETLEASE, F_UNLCK);
    lease_broken = 1;
    errno = saved;
}

LeaseTaken take_read_lease(int fd)
{
    // SIGIO would end the process by default, and a blocked one would keep
    // the other process waiting for the kernel's whole lease-break time.
    // Calls interrupted by it (a write of the output) are restarted.
    struct sigaction on_break = {};
    on_break.sa_handler = on_lease_break;
    on_break.sa_flags = SA_RESTART;
    sigemptyset(&on_break.sa_mask);
    sigaction(SIGIO, &on_break, nullptr);
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    sigprocmask(SIG_UNBLOCK, &io, nullptr);

    lease_broken = 0;
    leased_fd = fd;
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
        return kLeaseHeld;
    int why = errno;
    leased_fd = -1;
    // A network file system grants a lease only while its server has handed
    // this client a delegation (NFS) or an oplock (SMB), and says EAGAIN
    // otherwise, writer or none: no lease, rather than a refusal.
    struct statfs fs;
    if (why == EAGAIN && fstatfs(fd, &fs) == 0 &&
        (fs.f_type == NFS_SUPER_MAGIC || fs.f_type == static_cast<decltype(fs.f_type)>(CIFS_SUPER_MAGIC) ||
         fs.f_type == static_cast<decltype(fs.f_type)>(SMB2_SUPER_MAGIC) || fs.f_type == SMB_SUPER_MAGIC))
        return kLeaseUnavailable;
    return why == EAGAIN ? kLeaseWriterOpen : kLeaseUnavailable;
}

bool release_read_lease()
{
    if (leased_fd < 0)
        return true;
    fcntl(leased_fd, F_SETLEASE, F_UNLCK);
    leased_fd = -1;
    return lease_broken == 0;
}

const char *special_file_kind(mode_t mode)
{
    if (S_ISCHR(mode))
        return "Is a character device";
    if (S_ISBLK(mode))
        return "Is a block device";
    if (S_ISFIFO(mode))
        return "Is a FIFO";
    if (S_ISSOCK(mode))
        return "Is a socket";
    return nullptr;
}

int open_found_file(int found, const char *path, int flags)
{
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", found);
    int fd = open(link, flags | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        fd = open(path, flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    return fd;
}

bool unchanged_since(const struct stat *before, const struct stat *now)
{
    return now->st_size == before->st_size && now->st_mtim.tv_sec == before->st_mtim.tv_sec &&
           now->st_mtim.tv_nsec == before->st_mtim.tv_nsec && now->st_ctim.tv_sec == before->st_ctim.tv_sec &&
           now->st_ctim.tv_nsec == before->st_ctim.tv_nsec;
}

// The precision a file time shows: the largest power of ten that divides its
// nanoseconds, up to a second for one with no sub-second part, and two
// seconds for an even second with none (FAT keeps its modification times,
// and on recent kernels its change times too, in steps of two seconds).  A
// file system that keeps whole seconds (or tens of milliseconds) shows no
// finer; one that keeps nanoseconds shows a finer one than the clock's
// ticks, nearly always.
static long stamp_precision(const struct timespec &t)
{
    if (t.tv_nsec == 0 && t.tv_sec % 2 == 0)
        return 2000000000L;
    long precision = 1;
    while (precision < 1000000000L && t.tv_nsec % (precision * 10) == 0)
        precision *= 10;
    return precision;
}

// Nanoseconds from `clock` until the interval of t's precision that t lies
// in is over, so that a write can no longer be stamped t: zero or less once
// it is.  Times far from the clock count as a hundred seconds away.
static long long ns_until_over(const struct timespec &t, const struct timespec &clock)
{
    const long long far = 100LL * 1000000000LL;
    if (t.tv_sec > clock.tv_sec + 100)
        return far;
    if (t.tv_sec < clock.tv_sec - 100)
        return -far;
    long precision = stamp_precision(t);
    return (t.tv_sec - clock.tv_sec) * 1000000000LL + (t.tv_nsec / precision + 1) * precision - clock.tv_nsec;
}

// Whether `clock` has reached the interval of t's precision.
static bool reached(const struct timespec &t, const struct timespec &clock)
{
    return ns_until_over(t, clock) <= stamp_precision(t);
}

// How long until one of the file's times is older than the coarse clock.
static long long ns_until_settled(const struct stat *st)
{
    struct timespec clock;
    clock_gettime(CLOCK_REALTIME_COARSE, &clock);
    long long m = ns_until_over(st->st_mtim, clock), c = ns_until_over(st->st_ctim, clock);
    return m < c ? m : c;
}

static long long ns_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000000000LL + now.tv_nsec - start.tv_nsec;
}

// The longest wait: the rest of a two-second step, and the clock's tick (the
// coarse clock is up to one behind, and a file system that stamps finer
// than the tick may stamp up to one ahead of it).  A time further ahead is
// not waited for: the clock was set back, or the time was set ahead.
static const long long kLongestWaitNs = 2100000000LL;

TimesSettled settle_times(int fd, const struct stat *st)
{
    long long wait = ns_until_settled(st);
    if (wait <= 0)
        return kTimesSettled;
    if (wait > kLongestWaitNs)
        return kTimesAhead;
    // Sleep for it, then on to the clock's next tick, a bounded time in all
    // (a clock set back meanwhile would have it wait again).
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long long waited = 0; wait > 0 && waited < kLongestWaitNs; waited = ns_since(start)) {
        long long nap_ns = wait < kLongestWaitNs - waited ? wait : kLongestWaitNs - waited;
        struct timespec nap = {static_cast<time_t>(nap_ns / 1000000000LL), static_cast<long>(nap_ns % 1000000000LL)};
        while (nanosleep(&nap, &nap) != 0 && errno == EINTR) {
        }
        wait = ns_until_settled(st);
    }

    struct stat again;
    if (fstat(fd, &again) != 0)
        return kTimesUnseen;
    if (!unchanged_since(st, &again))
        return kTimesChanged;
    return wait <= 0 ? kTimesSettled : kTimesAhead;
}

bool clock_reached(const struct stat *st)
{
    struct timespec clock;
    clock_gettime(CLOCK_REALTIME_COARSE, &clock);
    return reached(st->st_mtim, clock) && reached(st->st_ctim, clock);
}

// The working copy reads as the file's contents, the kernel copies only the
// page that the zeroed digest field is written to, and nothing written to it
// reaches the file.  It is not populated in advance, which would copy every
// page; read-ahead hints (sequential, will-need, populate-read) measured no
// faster than the kernel's own read-ahead on faults, warm or cold.  A
// private mapping may be written even where the file is open for reading
// only.
unsigned char *map_working_copy(int fd, size_t len)
{
    void *copy = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    return copy == MAP_FAILED ? nullptr : static_cast<unsigned char *>(copy);
}

// Where a SIGBUS while hashing returns to.  Reading a mapped page that the
// file no longer has (it was truncated) raises SIGBUS, and so does a memory
// error in one: either way the file could not be read.
static sigjmp_buf file_changed;

static void on_sigbus(int)
{
    siglongjmp(file_changed, 1);
}

bool digest_working_copy(unsigned char *copy, int32_t size, unsigned char digest[kDigestSize],
                         unsigned char *field)
{
    struct sigaction bus = {}, old_bus;
    bus.sa_handler = on_sigbus;
    sigemptyset(&bus.sa_mask);
    sigaction(SIGBUS, &bus, &old_bus);
    // A SIGBUS blocked in the mask we were started with would kill us
    // despite the handler; the jump back restores the mask saved here.
    sigset_t bus_only, old_mask;
    sigemptyset(&bus_only);
    sigaddset(&bus_only, SIGBUS);
    if (sigsetjmp(file_changed, 1) != 0) {
        sigaction(SIGBUS, &old_bus, nullptr);
        return false;
    }
    sigprocmask(SIG_UNBLOCK, &bus_only, &old_mask);
    if (field != nullptr)
        memcpy(field, copy + size - kTrailerSize, kDigestSize);
    memset(copy + size - kTrailerSize, 0, kDigestSize);
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, copy, static_cast<uint32_t>(size));
    sha1_final(&ctx, digest);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGBUS, &old_bus, nullptr);
    return true;
}
