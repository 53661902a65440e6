// SPDX-License-Identifier: MIT
#include "lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// Waiting for the lock
//
// A run that fails to create the lock file looks at what is there at every
// failed attempt.  The lock path is never followed and never blocks: the
// create and the read-only open both use O_NOFOLLOW, the open O_NONBLOCK, and
// only a regular file is opened at all (a device may act on being opened).
// Anything else there (a symbolic link, a FIFO, a device), or a file that
// cannot be read or removed, is a lock file we cannot use: from the 200th
// failed attempt the run goes on without the lock.
//
// A lock file outlives its owner when the owner dies by SIGKILL (ours among
// others) or by a signal it does not handle, or before it wrote its pid.  The
// file is stale, and is removed, only on evidence that no clock step can fake:
//  - the pid it names does not exist, or is a zombie, or is our own (we hold
//    no lock, so whoever wrote it had our pid before us);
//  - that pid runs another program than ours: /proc/PID/exe is another file
//    (device and inode) than /proc/self/exe.  The pid in the file is only a
//    hint; once its writer is gone any process may hold it, however long ago
//    that process started, and it is never ours to signal.  A process name
//    could be anybody's, the executable file is not.  A kernel thread runs no
//    program file at all (its /proc/PID/stat flags tell it), so it is another
//    program too: kernel threads come and go and may take any freed pid.
//    Where /proc cannot tell (not mounted, mounted for another pid namespace,
//    or the look fails, as for a zombie or another user's process) this rule
//    says nothing and the others decide alone;
//  - we already sent SIGKILL to that pid for this very file;
//  - that pid started (boot clock) after we first saw this file, so it only
//    inherited the pid of the file's writer;
//  - the file has named no usable pid for 10 attempts (a second) since we
//    first saw it.  A lock file is made with its pid already in it (written
//    to an unnamed file that is then linked to the lock path, which fails
//    like the exclusive create when the path is taken), so a file without
//    one is not a live owner's; where the directory cannot hold unnamed
//    files, the pid is written right after the exclusive create, microseconds
//    later.  Waiting a second rather than the whole patience keeps a queue
//    that gathered behind such a file from losing 20 seconds to it.
// No wall-clock time or file time decides anything.  A file that is not
// stale names a live owner, and a failed attempt SIGKILLs it (never pid 1,
// never ourselves, never a process seen running another program; the
// executable is looked at again through a pidfd right before the signal, so
// the process signalled is the one looked at) only when both hold: the
// attempt is the 200th or later,
// counted over the whole wait, and we have watched this very file naming
// this pid for at least 11 seconds on the boot clock (and on the monotonic
// clock, which the owner's alarm counts on and a suspend stops).  An owner's
// alarm ends it 10 seconds after it took the lock, so an owner killed this
// way hangs; one that took the lock recently is left to work, however long
// the runs queued behind it have waited.
//
// When the installed program is replaced (a package upgrade renames a new
// file over it) while runs are queued, the runs of the old file and those of
// the new one each take the other's lock for a stranger's: a new run removes
// an old run's lock at once and works beside it, and the old run's release
// then leaves the new lock alone (see below).  Two runs at the same time, for
// those few seconds, is the price; a working run is never killed for it.
//
// The judged file is the one open on our descriptor, known by its device and
// inode (and a file that names another pid than before counts as another file,
// as inode numbers may be reused).  A file with no links left was released (or
// removed) while we looked and is never acted on: the create is retried at
// once.  Several waiters may judge the same stale file at once; each takes a
// non-blocking flock on its own descriptor of that file before the removal,
// and under it checks that the file still has links and that the path still
// names it, then unlinks the path.  The flock makes the check and the unlink
// one step for everyone who removes that file, so the file is unlinked once,
// and a waiter that comes second finds it without links instead of unlinking
// the next owner's new file.  Nobody else removes a stale file meanwhile: its
// owner is gone (and an owner's release only removes the path while it names
// the owner's own file), or it is a run of a replaced program file, whose
// release in the microseconds between a waiter's check and unlink could let
// that unlink take a third run's new lock: two runs at once again, never a
// kill.  A waiter that finds the flock taken waits its 100 ms
// like any other failed attempt.  (The flock is on the judged file, not on the
// directory: /dev is everybody's, and an flock held there would stop every
// removal.)
//
// Every failed attempt pauses 100 ms, except the one retry right after a
// release or a removal (never two such retries in a row).  Whatever is there,
// from the 400th failed attempt (about 20 s after the patience) the run goes
// on without the lock, so the wait always ends, also when another process
// holds an flock on the file.
//
// Only a run that holds the lock removes the path at its end, and only while
// the path still names the file it created; a run that goes on without the
// lock leaves another run's lock alone.

namespace {

const int kPatience = 199;           // failed attempts before owners are killed
const int kNoPidGrace = 10;          // attempts a file may name no pid before it is stale
const int kLastAttempt = 399;        // failed attempts before the run goes on regardless
const long long kHungNs = 11000000000LL;  // watching an owner this long shows it hangs
const useconds_t kPause = 100000;    // between attempts
const unsigned long kKernelThread = 0x00200000;  // PF_KTHREAD in /proc/PID/stat's flags

// The executable a process runs, known by device and inode.
struct ExeId {
    bool known;
    dev_t dev;
    ino_t ino;
};

// Whether a process runs our own executable.
enum class Exe {
    kOurs,
    kOther,
    kUnknown,   // /proc cannot tell
};

volatile sig_atomic_t lock_held;
dev_t held_dev;                      // the lock file this process created
ino_t held_ino;

// What a waiting run knows of the lock file it waits on.
struct LockWatch {
    bool known;               // a lock file has been seen
    dev_t dev;
    ino_t ino;
    int seen_at;              // attempt count when this file was first seen
    long long seen_ns;        // boot-clock time of that
    long long seen_mono_ns;   // the same on the monotonic clock
    pid_t named;              // the pid it named, or 0 while it named none
    pid_t killed;             // the pid we sent SIGKILL for this file, or 0
};

// One pause between failed attempts.
void pause_before_retry()
{
    usleep(kPause);
}

long long clock_ns(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long boot_ns()
{
    return clock_ns(CLOCK_BOOTTIME);
}

// How long we have watched the file in `watch`.  Both clocks count it: the
// boot clock, which no step moves, and the monotonic clock, on which the
// owner's alarm counts; the boot clock also counts a system suspend, during
// which an owner's alarm stands still, so it alone could take a working owner
// for a hung one after a resume.
bool watched_for(const LockWatch &watch, long long ns)
{
    return boot_ns() - watch.seen_ns >= ns && clock_ns(CLOCK_MONOTONIC) - watch.seen_mono_ns >= ns;
}

// Notes the lock file `st` naming `owner` (0: none).  A file that names
// another pid than before, or none after a pid, is a new file whatever its
// inode number (some file systems give a freed number to the next file); only
// the owner's first write turns no pid into one.
void watch_file(LockWatch *watch, const struct stat &st, pid_t owner, int attempts)
{
    if (watch->known && watch->dev == st.st_dev && watch->ino == st.st_ino &&
        (watch->named == 0 || owner == watch->named)) {
        watch->named = owner;
        return;
    }
    watch->known = true;
    watch->dev = st.st_dev;
    watch->ino = st.st_ino;
    watch->seen_at = attempts;
    watch->seen_ns = boot_ns();
    watch->seen_mono_ns = clock_ns(CLOCK_MONOTONIC);
    watch->named = owner;
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

// Reads the state letter, the flags and the boot-clock start time (ns) of
// `pid`.
bool proc_stat(pid_t pid, char *state, unsigned long *flags, long long *start_ns)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[1024];
    ssize_t len = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (len <= 0)
        return false;
    buf[len] = '\0';
    // The command name in parentheses may hold anything; fields resume after
    // the last ')' with the state (field 3).  The flags are field 9, the
    // start time field 22.
    char *p = strrchr(buf, ')');
    if (p == nullptr || p[1] != ' ' || p[2] == '\0')
        return false;
    *state = p[2];
    for (int field = 2; field < 22; field++) {
        p = strchr(p + 1, ' ');
        if (p == nullptr)
            return false;
        if (field == 8)
            *flags = strtoul(p + 1, nullptr, 10);
    }
    unsigned long long ticks = strtoull(p + 1, nullptr, 10);
    long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0)
        return false;
    *start_ns = static_cast<long long>(ticks) * (1000000000LL / hz);
    return true;
}

// Our own executable, or none known when /proc cannot tell: not mounted, or
// mounted for another pid namespace, where /proc/PID is not our PID.
ExeId own_exe()
{
    ExeId self = {};
    char link[32], expected[32];
    ssize_t len = readlink("/proc/self", link, sizeof link - 1);
    if (len <= 0)
        return self;
    link[len] = '\0';
    snprintf(expected, sizeof expected, "%d", getpid());
    struct stat st;
    if (strcmp(link, expected) != 0 || stat("/proc/self/exe", &st) != 0)
        return self;
    self.known = true;
    self.dev = st.st_dev;
    self.ino = st.st_ino;
    return self;
}

// Whether `pid` runs the executable `self`.  A kernel thread, which has no
// executable, runs another; any other process whose executable cannot be
// looked at (gone, a zombie, or not ours to look at) is unknown.
Exe exe_of(pid_t pid, const ExeId &self)
{
    if (!self.known)
        return Exe::kUnknown;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/exe", pid);
    struct stat st;
    if (stat(path, &st) != 0) {
        char state;
        unsigned long flags = 0;
        long long started;
        return proc_stat(pid, &state, &flags, &started) && (flags & kKernelThread) ? Exe::kOther : Exe::kUnknown;
    }
    return st.st_dev == self.dev && st.st_ino == self.ino ? Exe::kOurs : Exe::kOther;
}

// True when the lock file watched in `watch`, naming `owner` (0: none), is
// stale by the rules above.
bool is_stale(pid_t owner, const LockWatch &watch, int attempts, const ExeId &self)
{
    if (owner == 0)
        return attempts - watch.seen_at >= kNoPidGrace;
    if (owner == getpid() || owner == watch.killed)
        return true;
    if (kill(owner, 0) != 0 && errno == ESRCH)
        return true;
    if (exe_of(owner, self) == Exe::kOther)
        return true;
    char state;
    unsigned long flags;
    long long started;
    // The start time counts whole clock ticks, rounded down: a process can
    // only look older than it is, never younger.
    return proc_stat(owner, &state, &flags, &started) && (state == 'Z' || state == 'X' || started > watch.seen_ns);
}

// Sends SIGKILL to `owner` unless it runs another executable than ours;
// true when the signal went.  Through a pidfd, the process signalled is the
// one whose executable was looked at: it was alive when the signal went, so
// its pid had not passed to another process in between.  Where pidfds are not
// to be had, the look and the kill are microseconds apart.
bool kill_owner(pid_t owner, const ExeId &self)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, owner, 0));
    if (pidfd < 0 && errno == ESRCH)
        return false;
    bool sent;
    if (exe_of(owner, self) == Exe::kOther)
        sent = false;
    else if (pidfd >= 0)
        sent = syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
    else
        sent = kill(owner, SIGKILL) == 0;
    if (pidfd >= 0)
        close(pidfd);
    return sent;
}

bool has_links(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_nlink > 0;
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

// True when this process could never create a file beside `path`.
bool cannot_create_in_dir(const char *path)
{
    char dir[PATH_MAX];
    dir_of(path, dir, sizeof dir);
    return access(dir, W_OK | X_OK) != 0 && errno == EACCES;
}

// Creates the lock file at `path` exclusively, holding this process's pid:
// returns its descriptor, or -1 with errno as the exclusive create left it.
// The pid goes into an unnamed file first, which is then linked to the path
// (failing, like the create, when anything is there), so that nobody ever
// sees the lock without its pid.  Where that cannot be done, the exclusive
// create makes the file and the pid follows.
int create_lock(const char *path)
{
    char text[32];
    int len = snprintf(text, sizeof text, "%d\n", getpid());
    char dir[PATH_MAX];
    dir_of(path, dir, sizeof dir);
    int fd = open(dir, O_RDWR | O_TMPFILE | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char self[32];
        snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        if (write(fd, text, static_cast<size_t>(len)) == len &&
            linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0)
            return fd;
        close(fd);
    }
    fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, text, static_cast<size_t>(len));
        (void)ignored;
    }
    return fd;
}

// What a failed attempt found at the lock path.
enum class Look {
    kWait,       // a live owner's lock, or one being removed by another run
    kRetryNow,   // released or removed: the path may be free now
    kUnusable,   // cannot be read, or is stale and cannot be removed
};

// Removes the stale lock file open at `fd` (`judged` is its fstat) if the
// path still names it.
Look remove_stale(const char *path, int fd, const struct stat &judged)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? Look::kWait : Look::kUnusable;
    struct stat now;
    if (!has_links(fd) || lstat(path, &now) != 0)
        return Look::kRetryNow;
    if (now.st_dev == judged.st_dev && now.st_ino == judged.st_ino && unlink(path) != 0 && errno != ENOENT)
        return Look::kUnusable;
    return Look::kRetryNow;
}

// Judges the lock file open at `fd`, removes it when stale, and SIGKILLs its
// owner when that is a live process that hangs by the rule above.  The flock
// taken for a removal goes with the caller's close.
Look judge(const char *path, int fd, LockWatch *watch, int attempts, const ExeId &self)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Look::kUnusable;
    if (st.st_nlink == 0)
        return Look::kRetryNow;
    pid_t owner = read_owner(fd);
    watch_file(watch, st, owner, attempts);
    if (is_stale(owner, *watch, attempts, self))
        return remove_stale(path, fd, st);
    // A failure (EPERM: not ours to kill) leaves the owner to its own alarm.
    if (owner != 0 && attempts > kPatience && watched_for(*watch, kHungNs) && has_links(fd) &&
        kill_owner(owner, self))
        watch->killed = owner;
    return Look::kWait;
}

// Looks at what is at `path` after a failed create; `after_eexist` tells that
// the create failed because something was there.
Look look_at_lock(const char *path, bool after_eexist, LockWatch *watch, int attempts, const ExeId &self)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT && after_eexist ? Look::kRetryNow : Look::kUnusable;
    if (!S_ISREG(st.st_mode))
        return Look::kUnusable;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT && after_eexist ? Look::kRetryNow : Look::kUnusable;
    Look look = judge(path, fd, watch, attempts, self);
    close(fd);
    return look;
}

} // namespace

bool lock_step(const char *path)
{
    int attempts = 0;
    bool retried_at_once = false;
    LockWatch watch = {};
    ExeId self = own_exe();

    for (;;) {
        int fd = create_lock(path);
        if (fd >= 0) {
            struct stat st = {};
            fstat(fd, &st);
            close(fd);
            held_dev = st.st_dev;
            held_ino = st.st_ino;
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
        if (attempts > kLastAttempt)
            return false;

        Look look = look_at_lock(path, create_errno == EEXIST, &watch, attempts, self);
        if (look == Look::kUnusable && attempts > kPatience)
            return false;
        if (look == Look::kRetryNow && !retried_at_once) {
            retried_at_once = true;
            continue;
        }
        retried_at_once = false;
        pause_before_retry();
    }
}

void lock_release(const char *path)
{
    struct stat st;
    if (lock_held) {
        if (lstat(path, &st) == 0 && st.st_dev == held_dev && st.st_ino == held_ino)
            unlink(path);
        lock_held = 0;
    }
}
