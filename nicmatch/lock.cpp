// SPDX-License-Identifier: MIT
#include "lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// Stale locks
//
// The owner of a lock file removes it at its end, also when its alarm, a
// SIGTERM or a SIGSEGV ends it.  A lock file can still outlive its owner: an
// owner killed by SIGKILL (by us after our patience runs out, among others)
// or by a signal it does not handle, or a file that never got a usable pid.
// Retrying the create would never end, and signalling the named pid again and
// again would sooner or later hit an unrelated process that got the pid.
//
// So, once the patience is spent, a waiting run takes the lock file to be
// stale, and removes it, only on evidence:
//  - the named process no longer exists (kill(pid, 0) says ESRCH);
//  - the named process started after the lock file was written, or after we
//    first saw the file: it cannot have written it, and only got the pid of
//    the process that did;
//  - we already sent SIGKILL to the named process for this very file (it
//    cannot survive that, even if it is not yet reaped);
//  - the file has named no usable pid since we first saw it, a whole
//    patience period ago.
// Otherwise the named process is a live owner that hangs: it gets SIGKILL.
//
// Removal makes sure it removes the file it judged: under an flock of the
// lock's directory (so that runs judging the same file at the same moment do
// it one at a time), the path must still name the same inode.  A run that
// removed a stale file retries the create at once.
//
// Only a run that holds the lock ever removes the path at its end; a run that
// goes on without the lock leaves another run's lock alone.

namespace {

const int kPatience = 199;           // failed attempts before owners are killed
const useconds_t kPause = 100000;    // between attempts
const time_t kClockSlack = 2;        // seconds allowed between a file's clock and the boot clock

volatile sig_atomic_t lock_held;

// What a waiting run knows of the lock file it waits on.
struct LockWatch {
    bool known;               // a lock file has been seen
    dev_t dev;
    ino_t ino;
    int seen_at;              // attempt count when this file was first seen
    struct timespec seen;     // boot-clock time of that
    pid_t killed;             // the pid we sent SIGKILL for this file, or 0
};

bool same_file(const LockWatch &watch, const struct stat &st)
{
    return watch.known && watch.dev == st.st_dev && watch.ino == st.st_ino;
}

void watch_file(LockWatch *watch, const struct stat &st, int attempts)
{
    if (same_file(*watch, st))
        return;
    watch->known = true;
    watch->dev = st.st_dev;
    watch->ino = st.st_ino;
    watch->seen_at = attempts;
    clock_gettime(CLOCK_BOOTTIME, &watch->seen);
    watch->killed = 0;
}

// The pid named in the lock file open at `fd`: a number greater than 1 and
// below 2^31, or 0 when the file names none.
pid_t read_owner(int fd)
{
    char buf[33];
    ssize_t len = read(fd, buf, 32);
    buf[len > 0 ? len : 0] = '\0';
    errno = 0;
    long pid = strtol(buf, nullptr, 10);
    if (errno == ERANGE || pid <= 1 || pid > INT_MAX)
        return 0;
    return static_cast<pid_t>(pid);
}

long long to_ns(const struct timespec &t)
{
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Boot-clock start time of `pid` in nanoseconds, or -1 when unknown.
long long start_time(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[1024];
    ssize_t len = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (len <= 0)
        return -1;
    buf[len] = '\0';
    // The command name in parentheses may hold anything; fields resume after
    // the last ')'.  The start time is the 20th of them (field 22).
    char *p = strrchr(buf, ')');
    if (p == nullptr)
        return -1;
    for (int field = 0; field < 20; field++) {
        p = strchr(p + 1, ' ');
        if (p == nullptr)
            return -1;
    }
    unsigned long long ticks = strtoull(p + 1, nullptr, 10);
    long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0)
        return -1;
    return static_cast<long long>(ticks) * (1000000000LL / hz);
}

// True when `pid` cannot be the process that wrote the lock file `st`
// watched in `watch`: it started after we first saw the file, or (allowing
// for the wall clock being set meanwhile) after the file was last written.
bool started_later(pid_t pid, const LockWatch &watch, const struct stat &st)
{
    long long started = start_time(pid);
    if (started < 0)
        return false;
    if (started > to_ns(watch.seen))
        return true;
    struct timespec real, boot;
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_BOOTTIME, &boot);
    long long written = to_ns(st.st_mtim) - (to_ns(real) - to_ns(boot));
    return started > written + kClockSlack * 1000000000LL;
}

// Copies the directory part of `path` into `dir`.
void dir_of(const char *path, char *dir, size_t size)
{
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        snprintf(dir, size, ".");
    else if (slash == path)
        snprintf(dir, size, "/");
    else
        snprintf(dir, size, "%.*s", static_cast<int>(slash - path), path);
}

enum class Removal { kRemoved, kBusy, kFailed };

// Removes the lock file at `path` if it is still the file `judged`.
Removal remove_stale(const char *path, const struct stat &judged)
{
    char dir[PATH_MAX];
    dir_of(path, dir, sizeof dir);
    // Without the directory lock (it cannot be opened or locked at all) the
    // removal goes on unguarded rather than never.
    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0 && flock(dfd, LOCK_EX | LOCK_NB) != 0) {
        bool busy = errno == EWOULDBLOCK;
        close(dfd);
        if (busy)
            return Removal::kBusy;
        dfd = -1;
    }
    Removal result = Removal::kRemoved;
    struct stat now;
    if (stat(path, &now) == 0 && now.st_dev == judged.st_dev && now.st_ino == judged.st_ino &&
        unlink(path) != 0 && errno != ENOENT)
        result = Removal::kFailed;
    if (dfd >= 0)
        close(dfd);
    return result;
}

// True when this process could never create a file beside `path`.
bool cannot_create_in_dir(const char *path)
{
    char dir[PATH_MAX];
    dir_of(path, dir, sizeof dir);
    return access(dir, W_OK | X_OK) != 0 && errno == EACCES;
}

enum class Verdict { kWait, kStale };

// Judges the lock file open at `fd` once the patience is spent, and SIGKILLs
// its owner when that is a live process that may hold it.
Verdict judge(int fd, const struct stat &st, LockWatch *watch, int attempts)
{
    pid_t owner = read_owner(fd);
    if (owner == 0)
        return attempts - watch->seen_at > kPatience ? Verdict::kStale : Verdict::kWait;
    if (owner == watch->killed)
        return Verdict::kStale;
    if (kill(owner, 0) != 0 && errno == ESRCH)
        return Verdict::kStale;
    if (started_later(owner, *watch, st))
        return Verdict::kStale;
    // A failure (EPERM: not ours to kill) leaves the owner to its own alarm.
    if (kill(owner, SIGKILL) == 0)
        watch->killed = owner;
    return Verdict::kWait;
}

} // namespace

bool lock_step(const char *path)
{
    int attempts = 0;
    LockWatch watch = {};

    for (;;) {
        int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[32];
            int len = snprintf(text, sizeof text, "%d\n", getpid());
            ssize_t ignored = write(fd, text, static_cast<size_t>(len));
            (void)ignored;
            close(fd);
            lock_held = 1;
            return true;
        }
        int create_errno = errno;
        if (create_errno == EACCES)
            return false;
        // An existing file hides EACCES: a run that may not create files here
        // could only wait and fail to kill, so it goes on at once.
        if (create_errno == EEXIST && cannot_create_in_dir(path))
            return false;
        attempts++;

        struct stat st;
        if (stat(path, &st) == 0)
            watch_file(&watch, st, attempts);

        if (attempts > kPatience) {
            int rfd = open(path, O_RDONLY | O_CLOEXEC);
            if (rfd < 0) {
                // The lock was released between the two opens: take it now.
                if (create_errno == EEXIST && errno == ENOENT)
                    continue;
                return false;
            }
            Verdict verdict = Verdict::kWait;
            if (fstat(rfd, &st) == 0) {
                watch_file(&watch, st, attempts);
                verdict = judge(rfd, st, &watch, attempts);
            }
            close(rfd);
            if (verdict == Verdict::kStale) {
                Removal removal = remove_stale(path, st);
                if (removal == Removal::kRemoved)
                    continue;
                if (removal == Removal::kFailed)
                    return false;
            }
        }
        usleep(kPause);
    }
}

void lock_release(const char *path)
{
    if (lock_held) {
        unlink(path);
        lock_held = 0;
    }
}
