// SPDX-License-Identifier: MIT
#include "lock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// Waiting for the lock
//
// A run that fails to create the lock file waits for it to be released, and
// tries again.  It watches the lock's directory (inotify, for the removal and
// the making of the lock's name there): soon after the lock file is released
// or removed it tries again, and in no case later than 100 ms after its last
// look at the lock (below).  A release wakes every waiter, but they do not all
// try at once: each waits a random part of 1 ms first, and gives its try up if
// the lock has been made again meanwhile, so one run takes the lock and the
// others go back to waiting without a failed create.  A try made on such a
// notice that fails all the same (two waiters drew nearly the same delay) is
// not followed by a look; only the regular look, at most 100 ms apart, reads
// the lock file and /proc.  The create itself is one link of an unnamed file
// that holds our pid, made at the first attempt and kept for the next ones.
// Where no watch can be had (inotify instances are counted per user), the
// run looks every 100 ms as its only way to learn of a release.
//
// Every rule below counts time on the boot clock from the run's first failed
// attempt, whatever the number of attempts.
//
// The lock path is never followed and never blocks: the create and the
// read-only open both use O_NOFOLLOW, the open O_NONBLOCK, and only a regular
// file is opened at all (a device may act on being opened).  Anything else
// there (a symbolic link, a FIFO, a device), or a file that cannot be read or
// removed, is a lock file we cannot use: from 20 seconds into the wait the run
// goes on without the lock.
//
// A lock file outlives its owner when the owner dies by SIGKILL (ours among
// others) or by a signal it does not handle, or before it wrote its pid.  The
// file is stale, and is removed, only on evidence that no clock step can fake:
//  - the pid it names does not exist, or is a zombie, or is our own (we hold
//    no lock, so whoever wrote it had our pid before us);
//  - that pid runs another program than ours.  A process is a run of ours
//    when its /proc/PID/exe is our own program file (device and inode, also
//    through a hard link), or, where one of the two files was replaced at its
//    path (a package upgrade renames a new file over the old one: the link's
//    text is then marked " (deleted)" and the file has no links left), when
//    the two links name the same path on the same file system and mount.  Any
//    other file, replaced or not, is another program, and so is one whose
//    path is too long to be ours.  Only what the kernel already holds is used:
//    the link's text, and the file's identity asked without syncing it
//    (AT_STATX_DONT_SYNC), so a program on a file system that does not answer
//    (a FUSE server that is stopped, an NFS server gone) cannot
//    hold up the wait.  The pid in the file is only a hint; once its writer is
//    gone any process may hold it, however long ago that process started, and
//    it is never ours to signal.  A process name could be anybody's, the
//    program file is not.  A kernel thread runs no program file at all (its
//    /proc/PID/stat flags tell it), so it is another program too: kernel
//    threads come and go and may take any freed pid.  Where /proc cannot tell
//    (not mounted, mounted for another pid namespace, or the look fails, as
//    for a zombie, another user's process, or where a security module denies
//    it) this rule says nothing and the others decide alone;
//  - we already sent SIGKILL to that pid for this very file;
//  - that pid started (boot clock) after we first saw this file, so it only
//    inherited the pid of the file's writer;
//  - the file has named no usable pid for a second since we first saw it.  A
//    lock file is made with its pid already in it (written to an unnamed file
//    that is then linked to the lock path, which fails like the exclusive
//    create when the path is taken), so a file without one is not a live
//    owner's; where the directory cannot hold unnamed files, the pid is written
//    right after the exclusive create, microseconds later.  Waiting a second
//    rather than the whole patience keeps a queue that gathered behind such a
//    file from losing 20 seconds to it.
// No wall-clock time or file time decides anything.  A file that is not
// stale names a live owner, and a look SIGKILLs it (never pid 1, never
// ourselves, never a process seen running another program; the program is
// looked at again through a pidfd right before the signal, so the process
// signalled is the one looked at) only when both hold: we have waited 20
// seconds or more, over the whole wait, and we have watched this very file
// naming this pid for at least 11 seconds on the boot clock (and on the
// monotonic clock, which the owner's alarm counts on and a suspend stops).
// An owner's alarm ends it 10 seconds after it took the lock, so an owner
// killed this way hangs; one that took the lock recently is left to work,
// however long the runs queued behind it have waited.  Runs of the old and of
// the new program file keep taking turns through an upgrade like any others.
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
// owner is gone, and an owner's release only removes the path while it names
// the owner's own file.  A waiter that finds the flock taken waits like after
// any other failed attempt.  (The flock is on the judged file, not on the
// directory: /dev is everybody's, and an flock held there would stop every
// removal.)
//
// After a look that found the lock released or removed, the create is retried
// at once (never twice in a row that way).  Whatever is there, from 40 seconds
// into the wait (about 20 s after the patience) the run goes on without the
// lock, so the wait always ends, also when another process holds an flock on
// the file.  Nothing a waiting run does asks a file system other than the
// lock's and /proc.
//
// Only a run that holds the lock removes the path at its end, and only while
// the path still names the file it created; a run that goes on without the
// lock leaves another run's lock alone.

namespace {

const long long kMs = 1000000LL;               // one millisecond in ns
const long long kPause = 100 * kMs;            // the longest time between looks
const long long kStagger = 1 * kMs;            // a try after a release waits a random part of this
const long long kNoPidGrace = 1000 * kMs;      // a file may name no pid this long before it is stale
const long long kPatience = 20000 * kMs;       // waited before owners are killed
const long long kHung = 11000 * kMs;           // watching an owner this long shows it hangs
const long long kLastAttempt = 40000 * kMs;    // waited before the run goes on regardless
const unsigned long kKernelThread = 0x00200000;  // PF_KTHREAD in /proc/PID/stat's flags
const char kDeleted[] = " (deleted)";          // how /proc marks a program file that was replaced
#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U                // older headers; older kernels leave it out of stx_mask
#endif

// A program file as a process's /proc/PID/exe shows it: the link's text
// (without the mark of a replaced file) and what the kernel holds of the file.
struct ExeId {
    bool known;
    bool replaced;            // no longer at its path: the text was marked, the file has no links
    dev_t dev;
    ino_t ino;
    unsigned long long mnt;   // the mount it was reached through, or 0 where not told
    char path[PATH_MAX];
};

// Whether a process runs our own program.
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
    long long seen_ns;        // boot-clock time this file was first seen
    long long seen_mono_ns;   // the same on the monotonic clock
    pid_t named;              // the pid it named, or 0 while it named none
    pid_t killed;             // the pid we sent SIGKILL for this file, or 0
};

// The watch on the lock's directory while a run waits.
struct Waiter {
    int fd;                   // inotify descriptor, or -1: looks alone tell
    const char *name;         // the lock's name in its directory
    long long try_at;         // boot-clock time of a try after a release, or 0
    unsigned random;          // state of the delays' generator
};

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
void watch_file(LockWatch *watch, const struct stat &st, pid_t owner)
{
    if (watch->known && watch->dev == st.st_dev && watch->ino == st.st_ino &&
        (watch->named == 0 || owner == watch->named)) {
        watch->named = owner;
        return;
    }
    watch->known = true;
    watch->dev = st.st_dev;
    watch->ino = st.st_ino;
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

// Looks at the program file behind `link` (a /proc/PID/exe) into `exe`.  The
// link's text is read, and the file's identity taken from what the kernel
// already holds of it (AT_STATX_DONT_SYNC: a network or FUSE file system is
// not asked, so one that does not answer cannot hold up the wait).  False
// when either cannot be had, with errno set; a text longer than any path
// ours can be fails with ENAMETOOLONG.
bool look_at_exe(const char *link, ExeId *exe)
{
    ssize_t len = readlink(link, exe->path, sizeof exe->path - 1);
    if (len <= 0)
        return false;
    if (static_cast<size_t>(len) == sizeof exe->path - 1) {
        errno = ENAMETOOLONG;
        return false;
    }
    exe->path[len] = '\0';
    struct statx st;
    if (statx(AT_FDCWD, link, AT_STATX_DONT_SYNC, STATX_INO | STATX_NLINK | STATX_MNT_ID, &st) != 0)
        return false;
    exe->dev = makedev(st.stx_dev_major, st.stx_dev_minor);
    exe->ino = st.stx_ino;
    exe->mnt = (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : 0;
    // A file merely named "... (deleted)" still has its links.
    size_t mark = sizeof kDeleted - 1;
    exe->replaced = st.stx_nlink == 0 && static_cast<size_t>(len) > mark &&
                    strcmp(exe->path + len - mark, kDeleted) == 0;
    if (exe->replaced)
        exe->path[static_cast<size_t>(len) - mark] = '\0';
    exe->known = true;
    return true;
}

// Our own program, or none known when /proc cannot tell: not mounted, or
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
    if (strcmp(link, expected) != 0 || !look_at_exe("/proc/self/exe", &self))
        self.known = false;
    return self;
}

// Whether `pid` runs our program `self`: the same file, or, where one of the
// two was replaced at its path (a package upgrade renames the new file over
// the old one), a file of the same path text on the same mount.  A kernel
// thread, which has no program file, and a program whose path is longer than
// ours could be run another; any other process whose program cannot be
// looked at (gone, a zombie, or not ours to look at) is unknown.
Exe exe_of(pid_t pid, const ExeId &self)
{
    if (!self.known)
        return Exe::kUnknown;
    char link[64];
    snprintf(link, sizeof link, "/proc/%d/exe", pid);
    ExeId exe = {};
    if (!look_at_exe(link, &exe)) {
        if (errno == ENAMETOOLONG)
            return Exe::kOther;
        char state;
        unsigned long flags = 0;
        long long started;
        return proc_stat(pid, &state, &flags, &started) && (flags & kKernelThread) ? Exe::kOther : Exe::kUnknown;
    }
    if (exe.dev == self.dev && exe.ino == self.ino)
        return Exe::kOurs;
    if (strcmp(exe.path, self.path) != 0 || exe.dev != self.dev ||
        (exe.mnt != 0 && self.mnt != 0 && exe.mnt != self.mnt))
        return Exe::kOther;
    // Our own file may have been replaced since we first looked at it.
    ExeId now = {};
    bool upgraded = exe.replaced || self.replaced || (look_at_exe("/proc/self/exe", &now) && now.replaced);
    return upgraded ? Exe::kOurs : Exe::kOther;
}

// True when the lock file watched in `watch`, naming `owner` (0: none), is
// stale by the rules above.
bool is_stale(pid_t owner, const LockWatch &watch, const ExeId &self)
{
    if (owner == 0)
        return boot_ns() - watch.seen_ns >= kNoPidGrace;
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

// Sends SIGKILL to `owner` unless it runs another program than ours; true
// when the signal went.  Through a pidfd, the process signalled is the one
// whose program was looked at: it was alive when the signal went, so its pid
// had not passed to another process in between.  Where pidfds are not to be
// had, the look and the kill are microseconds apart.
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

// Links the unnamed file open at `fd` to `path`; fails like an exclusive
// create when anything is there.  Without the right to link by descriptor
// (CAP_DAC_READ_SEARCH), the link goes through /proc/self/fd.
bool link_unnamed(int fd, const char *path)
{
    if (linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0)
        return true;
    if (errno != ENOENT && errno != EPERM)
        return false;
    char self[32];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

// Creates the lock file at `path` exclusively, holding this process's pid:
// returns its descriptor, or -1 with errno as the exclusive create left it.
// The pid goes into an unnamed file first, kept at `*unnamed` from one
// attempt to the next, which is then linked to the path (failing, like the
// create, when anything is there), so that nobody ever sees the lock without
// its pid.  Where that cannot be done (`*unnamed` is then -2), the exclusive
// create makes the file and the pid follows.
int create_lock(const char *path, int *unnamed)
{
    char text[32];
    int len = snprintf(text, sizeof text, "%d\n", getpid());
    if (*unnamed == -1) {
        char dir[PATH_MAX];
        dir_of(path, dir, sizeof dir);
        *unnamed = open(dir, O_RDWR | O_TMPFILE | O_CLOEXEC, 0644);
        if (*unnamed >= 0 && write(*unnamed, text, static_cast<size_t>(len)) != len) {
            close(*unnamed);
            *unnamed = -1;
        }
        if (*unnamed < 0)
            *unnamed = -2;
    }
    if (*unnamed >= 0) {
        if (link_unnamed(*unnamed, path)) {
            int fd = *unnamed;
            *unnamed = -1;
            return fd;
        }
        if (errno == EEXIST)
            return -1;
        close(*unnamed);
        *unnamed = -2;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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

// Judges the lock file open at `fd`, `waited` ns into the wait, removes it
// when stale, and SIGKILLs its owner when that is a live process that hangs
// by the rule above.  The flock taken for a removal goes with the caller's
// close.
Look judge(const char *path, int fd, LockWatch *watch, long long waited, const ExeId &self)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Look::kUnusable;
    if (st.st_nlink == 0)
        return Look::kRetryNow;
    pid_t owner = read_owner(fd);
    watch_file(watch, st, owner);
    if (is_stale(owner, *watch, self))
        return remove_stale(path, fd, st);
    // A failure (EPERM: not ours to kill) leaves the owner to its own alarm.
    if (owner != 0 && waited >= kPatience && watched_for(*watch, kHung) && has_links(fd) &&
        kill_owner(owner, self))
        watch->killed = owner;
    return Look::kWait;
}

// Looks at what is at `path` after a failed create; `after_eexist` tells that
// the create failed because something was there.
Look look_at_lock(const char *path, bool after_eexist, LockWatch *watch, long long waited, const ExeId &self)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT && after_eexist ? Look::kRetryNow : Look::kUnusable;
    if (!S_ISREG(st.st_mode))
        return Look::kUnusable;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT && after_eexist ? Look::kRetryNow : Look::kUnusable;
    Look look = judge(path, fd, watch, waited, self);
    close(fd);
    return look;
}

// Starts watching the lock's directory for the removal and the making of its
// name; without a watch, the waiter has looks alone.
void start_watching(Waiter *w, const char *path)
{
    const char *slash = strrchr(path, '/');
    w->name = slash != nullptr ? slash + 1 : path;
    w->try_at = 0;
    w->random = static_cast<unsigned>(getpid()) * 2654435761u ^ static_cast<unsigned>(clock_ns(CLOCK_MONOTONIC));
    w->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w->fd < 0)
        return;
    char dir[PATH_MAX];
    dir_of(path, dir, sizeof dir);
    if (inotify_add_watch(w->fd, dir, IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR) < 0) {
        close(w->fd);
        w->fd = -1;
    }
}

// A random delay below kStagger.
long long stagger(Waiter *w)
{
    w->random = w->random * 1103515245u + 12345u;
    return static_cast<long long>((w->random >> 8) % static_cast<unsigned>(kStagger / 1000)) * 1000;
}

// Takes in what the watch reports: a removal of the lock's name arms a try
// after a random delay, its making again cancels it.  A report that events
// were lost (or a watch that ended) counts as a removal.
void read_events(Waiter *w)
{
    alignas(struct inotify_event) char buf[4096];
    // One read a wake: events left over wake the next poll at once.
    ssize_t len = read(w->fd, buf, sizeof buf);
    if (len > 0) {
        for (ssize_t off = 0; off < len;) {
            auto *event = reinterpret_cast<struct inotify_event *>(buf + off);
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            bool ours = event->len > 0 && strcmp(event->name, w->name) == 0;
            if ((ours && (event->mask & (IN_DELETE | IN_MOVED_FROM))) || (event->mask & (IN_Q_OVERFLOW | IN_IGNORED)))
                w->try_at = boot_ns() + stagger(w);
            else if (ours && (event->mask & (IN_CREATE | IN_MOVED_TO)))
                w->try_at = 0;
            if (event->mask & IN_IGNORED) {
                close(w->fd);
                w->fd = -1;
                return;
            }
        }
    }
}

// Waits until the next attempt is due: the look due at `look_at`, or
// earlier a try after a release.  True when the attempt is to look.
bool wait_turn(Waiter *w, long long look_at)
{
    for (;;) {
        long long now = boot_ns();
        if (w->try_at != 0 && w->try_at <= now && w->try_at < look_at) {
            w->try_at = 0;
            return false;
        }
        if (now >= look_at) {
            w->try_at = 0;
            return true;
        }
        long long until = w->try_at != 0 && w->try_at < look_at ? w->try_at : look_at;
        struct timespec timeout = {static_cast<time_t>((until - now) / 1000000000LL),
                                   static_cast<long>((until - now) % 1000000000LL)};
        if (w->fd < 0) {
            nanosleep(&timeout, nullptr);
            continue;
        }
        struct pollfd pfd = {w->fd, POLLIN, 0};
        if (ppoll(&pfd, 1, &timeout, nullptr) > 0)
            read_events(w);
    }
}

} // namespace

bool lock_step(const char *path)
{
    LockWatch watch = {};
    Waiter waiter = {-1, nullptr, 0, 0};
    ExeId self = own_exe();
    int unnamed = -1;
    long long started = -1;      // boot-clock time of the first failed attempt
    long long last_look = 0;
    bool look = true;
    bool retried_at_once = false;
    bool held = false;

    for (;;) {
        int fd = create_lock(path, &unnamed);
        if (fd >= 0) {
            struct stat st = {};
            fstat(fd, &st);
            close(fd);
            held_dev = st.st_dev;
            held_ino = st.st_ino;
            lock_held = 1;
            held = true;
            break;
        }
        int create_errno = errno;
        if (create_errno == EACCES)
            break;
        // An existing file hides EACCES: a run that may not create files here
        // could only wait and fail to kill, so it goes on at once.
        if (create_errno == EEXIST && cannot_create_in_dir(path))
            break;
        long long now = boot_ns();
        if (started < 0) {
            // Watching starts before the first look, so that a release after
            // that look is reported.
            started = now;
            start_watching(&waiter, path);
        }
        if (now - started >= kLastAttempt)
            break;

        if (look) {
            last_look = now;
            Look found = look_at_lock(path, create_errno == EEXIST, &watch, now - started, self);
            if (found == Look::kUnusable && now - started >= kPatience)
                break;
            if (found == Look::kRetryNow && !retried_at_once) {
                retried_at_once = true;
                continue;
            }
        }
        retried_at_once = false;
        look = wait_turn(&waiter, last_look + kPause);
    }
    if (unnamed >= 0)
        close(unnamed);
    if (waiter.fd >= 0)
        close(waiter.fd);
    return held;
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
