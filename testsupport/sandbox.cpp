// SPDX-License-Identifier: MIT
#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace {

const int kSkipStatus = 77;
const char kSkipTag[] = "SANDBOX-SKIP: ";
// Temporary folders are named kTempPrefix + "<pid namespace>-<pid>-XXXXXX"
// after the process that made them, so that a later run can tell the ones
// whose maker is gone (killed before it could clean up).
const char kTempPrefix[] = "quarrykit-test-";

// The network namespace the sandbox was started from, noted before the
// sandbox's own was made: add_veth works only where the current one differs.
// Set in the sandbox's first process only, so that its children inherit it;
// the test process itself never has it, and add_veth refuses there.
struct NamespaceId {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
};
NamespaceId outer_network;

NamespaceId namespace_of(const char *path)
{
    NamespaceId id;
    struct stat st;
    if (stat(path, &st) == 0) {
        id.known = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    }
    return id;
}

std::vector<char *> c_strings(const std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (const std::string &s : strings)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

double elapsed_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Collects the output of child `pid` (its own process group) from the two
// pipes until it exits, then reaps it and kills whatever it left running.
ProcResult collect(pid_t pid, int out_fd, int err_fd, int timeout_ms,
                   std::chrono::steady_clock::time_point start)
{
    ProcResult result;
    result.started = true;
    int fds[2] = {out_fd, err_fd};
    std::string *sinks[2] = {&result.out, &result.err};
    bool open_fd[2] = {true, true};
    bool exited = false;
    int wstatus = 0;

    for (;;) {
        if (!exited && waitpid(pid, &wstatus, WNOHANG) == pid)
            exited = true;
        if (!exited && elapsed_since(start) * 1000 > timeout_ms) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            exited = true;
        }
        struct pollfd pfd[2];
        nfds_t n = 0;
        int index[2];
        for (int i = 0; i < 2; i++) {
            if (open_fd[i]) {
                pfd[n] = {fds[i], POLLIN, 0};
                index[n++] = i;
            }
        }
        if (n == 0 && exited)
            break;
        // Once the child is gone, only what is already in the pipes counts:
        // a process it left behind may hold them open forever.
        int ready = poll(pfd, n, exited ? 0 : 20);
        if (ready <= 0) {
            if (exited)
                break;
            continue;
        }
        for (nfds_t k = 0; k < n; k++) {
            if ((pfd[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            char buf[65536];
            ssize_t got = read(pfd[k].fd, buf, sizeof buf);
            if (got <= 0)
                open_fd[index[k]] = false;
            else
                sinks[index[k]]->append(buf, static_cast<size_t>(got));
        }
    }
    kill(-pid, SIGKILL);
    close(out_fd);
    close(err_fd);
    result.seconds = elapsed_since(start);
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.signal = WTERMSIG(wstatus);
    return result;
}

// Forks a child in its own process group with its output on two pipes;
// `child` runs in it and its result is the exit status.
ChildRun start_child(const std::function<int()> &child, int timeout_ms, const std::string &input)
{
    ChildRun run;
    run.timeout_ms = timeout_ms;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0)
        return run;
    fflush(nullptr);
    run.start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0)
        return run;
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        // A test process may have ignored or blocked signals; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; sig++)
            signal(sig, SIG_DFL);
        int status = child();
        fflush(nullptr);
        _exit(status);
    }
    setpgid(pid, pid);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    if (!input.empty()) {
        // Inputs here are small; a pipe holds them whole.
        ssize_t ignored = write(in_pipe[1], input.data(), input.size());
        (void)ignored;
    }
    close(in_pipe[1]);
    run.pid = pid;
    run.out_fd = out_pipe[0];
    run.err_fd = err_pipe[0];
    return run;
}

ProcResult finish_child(ChildRun &run)
{
    if (run.pid <= 0)
        return {};
    ProcResult result = collect(run.pid, run.out_fd, run.err_fd, run.timeout_ms, run.start);
    run.pid = -1;
    return result;
}

ProcResult fork_and_collect(const std::function<int()> &child, int timeout_ms, const std::string &input)
{
    ChildRun run = start_child(child, timeout_ms, input);
    return finish_child(run);
}

int fail_setup(const char *what, const std::string &path)
{
    fprintf(stderr, "sandbox: %s %s: %s\n", what, path.c_str(), strerror(errno));
    return 126;
}

// Mountinfo escapes blanks, tabs, newlines and backslashes as octal.
std::string unescape_mountinfo(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

struct MountLine {
    long id = 0;
    std::string mount_point;
    std::string optional;   // the propagation fields ("shared:N master:M ...")
};

// The mounts listed in a mountinfo file (paths as the reader sees them).
std::vector<MountLine> read_mountinfo(const std::string &path)
{
    std::vector<MountLine> mounts;
    std::string text;
    if (!read_file(path, &text))
        return mounts;
    std::istringstream lines(text);
    for (std::string text_line; std::getline(lines, text_line);) {
        // Fields are single words: blanks inside paths are escaped.
        std::istringstream words(text_line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;)
            fields.push_back(word);
        if (fields.size() < 7)
            continue;
        MountLine line;
        line.id = strtol(fields[0].c_str(), nullptr, 10);
        line.mount_point = unescape_mountinfo(fields[4]);
        for (size_t i = 6; i < fields.size() && fields[i] != "-"; i++)
            line.optional += fields[i] + " ";
        mounts.push_back(line);
    }
    return mounts;
}

// Remounts read-only one mount, keeping its other per-mount flags.
bool remount_readonly(const std::string &target)
{
    struct statvfs vfs;
    if (statvfs(target.c_str(), &vfs) != 0)
        return false;
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY;
    const std::pair<unsigned long, unsigned long> kept[] = {
        {ST_NOSUID, MS_NOSUID}, {ST_NODEV, MS_NODEV}, {ST_NOEXEC, MS_NOEXEC},
        {ST_NOATIME, MS_NOATIME}, {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
    for (const auto &[st_flag, ms_flag] : kept)
        if (vfs.f_flag & st_flag)
            flags |= ms_flag;
    return mount(nullptr, target.c_str(), nullptr, flags, nullptr) == 0;
}

// Makes the mount at `target` and every mount below it read-only: a file
// system mounted below a bound directory would otherwise stay writable.
bool make_tree_readonly(const std::string &target)
{
#ifdef SYS_mount_setattr
    struct mount_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.attr_set = MOUNT_ATTR_RDONLY;
    if (syscall(SYS_mount_setattr, AT_FDCWD, target.c_str(), AT_RECURSIVE, &attr, sizeof attr) == 0)
        return true;
    if (errno != ENOSYS)
        return false;
#endif
    // Kernels before 5.12: each mount in turn, the top one first.
    if (!remount_readonly(target))
        return false;
    for (const MountLine &m : read_mountinfo("/proc/self/mountinfo")) {
        if (m.mount_point.size() > target.size() && m.mount_point.compare(0, target.size(), target) == 0 &&
            m.mount_point[target.size()] == '/' && !remount_readonly(m.mount_point))
            return false;
    }
    return true;
}

bool bind_readonly(const std::string &source, const std::string &target)
{
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return false;
    return make_tree_readonly(target);
}

// The id of the mount that holds `path` (from its descriptor's fdinfo), or -1.
long mount_id_of(int fd)
{
    std::string info;
    if (!read_file("/proc/self/fdinfo/" + std::to_string(fd), &info))
        return -1;
    size_t at = info.find("mnt_id:");
    return at == std::string::npos ? -1 : strtol(info.c_str() + at + 7, nullptr, 10);
}

long mount_id_of(const std::string &path)
{
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return -1;
    long id = mount_id_of(fd);
    close(fd);
    return id;
}

const char kRootNotAMountPoint[] = "\"/\" is not a mount point here";
const char kNeedsRoot[] = "needs root to make mount, pid and network namespaces";

// Called before the sandbox's mount namespace is made.  Where "/" is no mount
// point (a chroot of a plain directory), the mount holding it lies outside our
// view and cannot be made private; the sandbox then binds "/" onto itself,
// which is safe only when that outer mount does not pass new mounts on to the
// host.  Returns why that bind must not be made here, or "".
std::string root_bind_problem()
{
    for (const MountLine &m : read_mountinfo("/proc/self/mountinfo"))
        if (m.mount_point == "/")
            return "";
    // Mount ids are unique system-wide, so process 1's list (which reaches
    // beyond our root) describes the mount holding "/" if it shows its id.
    long id = mount_id_of("/");
    for (const MountLine &m : read_mountinfo("/proc/1/mountinfo")) {
        if (id < 0 || m.id != id)
            continue;
        if (m.optional.find("shared:") == std::string::npos)
            return "";
        return std::string(kRootNotAMountPoint) +
               ", and the mount holding it shares new mounts with the host: the sandbox's mounts would "
               "reach the host";
    }
    return std::string(kRootNotAMountPoint) +
           ", and whether the mount holding it shares new mounts with the host cannot be told (process "
           "1's mount list does not show it)";
}

// In the sandbox's new mount namespace: makes every mount private, so that
// nothing mounted from now on reaches the host.
int make_mounts_private(const std::string &root, const std::string &bind_problem)
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        return 0;
    if (errno != EINVAL)
        return fail_setup("make private", "/");
    if (!bind_problem.empty()) {
        fprintf(stderr, "%s%s\n", kSkipTag, bind_problem.c_str());
        return kSkipStatus;
    }
    // "/" is a plain directory, and the mount holding it is private.  A bind
    // of it onto itself makes it a mount point, but lookups that start at our
    // root do not see a mount lying over it; ".." from a directory below comes
    // back up through the mount, and chroot there makes it our root.
    std::string top = "/" + root.substr(1, root.find('/', 1) - 1);
    if (mount("/", "/", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail_setup("bind onto itself", "/");
    if (chdir((top + "/..").c_str()) != 0 || chroot(".") != 0 || chdir("/") != 0)
        return fail_setup("enter the bind of", "/");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail_setup("make private", "/ (bound onto itself)");
    return 0;
}

// Makes an empty file or directory at `target` to mount `source` on.
bool make_mountpoint(const std::string &source, const std::string &target)
{
    struct stat st;
    if (stat(source.c_str(), &st) != 0)
        return false;
    if (!make_dirs(std::filesystem::path(target).parent_path()))
        return false;
    if (S_ISDIR(st.st_mode))
        return mkdir(target.c_str(), 0755) == 0 || errno == EEXIST;
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Builds the sandbox in `root` (already in the new namespaces) and enters it.
int enter_sandbox(const SandboxSpec &spec, const std::string &root, const std::string &bind_problem)
{
    if (int status = make_mounts_private(root, bind_problem); status != 0)
        return status;
    if (mount("qk-sandbox", root.c_str(), "tmpfs", 0, "mode=0755") != 0)
        return fail_setup("mount tmpfs on", root);

    // Programs and libraries: the host's, read-only (merged-/usr symlinks kept).
    for (const char *top : {"usr", "bin", "sbin", "lib", "lib32", "lib64", "libx32"}) {
        std::string host = std::string("/") + top, inside = root + host;
        struct stat st;
        if (lstat(host.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char link[4096];
            ssize_t len = readlink(host.c_str(), link, sizeof link - 1);
            if (len < 0)
                return fail_setup("readlink", host);
            link[len] = '\0';
            if (symlink(link, inside.c_str()) != 0)
                return fail_setup("symlink", inside);
        } else if (!make_mountpoint(host, inside) || !bind_readonly(host, inside)) {
            return fail_setup("bind", host);
        }
    }

    // /etc: a writable directory of links into a read-only view of the host's.
    std::string host_etc = root + "/.host-etc";
    if (!make_mountpoint("/etc", host_etc) || !bind_readonly("/etc", host_etc) || mkdir((root + "/etc").c_str(), 0755) != 0)
        return fail_setup("set up", root + "/etc");
    if (DIR *dir = opendir("/etc")) {
        while (struct dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == ".." || name == "sysconfig")
                continue;
            if (symlink(("/.host-etc/" + name).c_str(), (root + "/etc/" + name).c_str()) != 0)
                return fail_setup("symlink", root + "/etc/" + name);
        }
        closedir(dir);
    }

    std::string dev = root + "/dev";
    if (mkdir(dev.c_str(), 0755) != 0 || mount("qk-dev", dev.c_str(), "tmpfs", 0, "mode=0755") != 0)
        return fail_setup("mount tmpfs on", dev);
    std::vector<std::string> nodes = {"null", "zero", "full", "random", "urandom", "tty"};
    nodes.insert(nodes.end(), spec.dev_nodes.begin(), spec.dev_nodes.end());
    for (const std::string &node : nodes) {
        std::string host = "/dev/" + node, inside = dev + "/" + node;
        if (!make_mountpoint(host, inside) || mount(host.c_str(), inside.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return fail_setup("bind", host);
    }
    const std::pair<const char *, const char *> dev_links[] = {
        {"fd", "/proc/self/fd"}, {"stdin", "/proc/self/fd/0"}, {"stdout", "/proc/self/fd/1"}, {"stderr", "/proc/self/fd/2"}};
    for (const auto &[name, target] : dev_links) {
        if (symlink(target, (dev + "/" + name).c_str()) != 0)
            return fail_setup("symlink", dev + "/" + name);
    }

    if (mkdir((root + "/proc").c_str(), 0555) != 0 || mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) != 0)
        return fail_setup("mount proc on", root + "/proc");
    if (mkdir((root + "/sys").c_str(), 0755) != 0)
        return fail_setup("mkdir", root + "/sys");
    if (spec.network && mount("sysfs", (root + "/sys").c_str(), "sysfs", 0, nullptr) != 0)
        return fail_setup("mount sysfs on", root + "/sys");
    for (const char *dir : {"/tmp", "/run", "/mnt"}) {
        if (mkdir((root + dir).c_str(), 0755) != 0)
            return fail_setup("mkdir", root + dir);
    }
    chmod((root + "/tmp").c_str(), 01777);

    for (const auto &[host, inside] : spec.binds) {
        if (!make_mountpoint(host, root + inside) || !bind_readonly(host, root + inside))
            return fail_setup("bind", host);
    }

    if (chroot(root.c_str()) != 0 || chdir("/") != 0)
        return fail_setup("chroot", root);

    for (const SandboxFile &file : spec.files) {
        if (!make_dirs(std::filesystem::path(file.path).parent_path()) ||
            !write_file(file.path, file.contents, file.mode))
            return fail_setup("write", file.path);
    }
    return 0;
}

// Ends the calling process the way `wstatus` says another one ended: with
// the same exit status, or killed by the same signal (without a core dump).
int end_like(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (!WIFSIGNALED(wstatus))
        return 126;
    int sig = WTERMSIG(wstatus);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(sig, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, sig);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(sig);
    return 128 + sig;
}

// The sandbox's init, pid 1 of its pid namespace.  It builds the sandbox and
// enters it itself, so that its root is the root of everything inside (some
// programs compare their root with pid 1's); then it runs the body in a child,
// reaps whatever ends inside, and once the body has ended sends its wait
// status up through `report` and exits, and the kernel kills everything else
// in the namespace.
// Closes every descriptor above standard error but `a` and `b` (both above
// it): one of a host directory, left open by the test process, would lead
// out of the sandbox's root.
void close_inherited(int a, int b)
{
    unsigned lo = static_cast<unsigned>(a < b ? a : b), hi = static_cast<unsigned>(a < b ? b : a);
    if (lo > 3)
        close_range(3, lo - 1, 0);
    if (hi > lo + 1)
        close_range(lo + 1, hi - 1, 0);
    close_range(hi + 1, ~0U, 0);
}

int run_init(const SandboxSpec &spec, const std::string &root, const std::string &bind_problem,
             const std::function<int()> &body, int lifeline, int report)
{
    close_inherited(lifeline, report);
    // The parent holds the other end of `lifeline`: when it is gone already,
    // the death signal asked for here would never come.
    struct pollfd parent = {lifeline, POLLIN, 0};
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || poll(&parent, 1, 0) != 0)
        return 126;
    int status = enter_sandbox(spec, root, bind_problem);
    if (status != 0)
        return status;
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0)
        return fail_setup("fork", "body");
    if (child == 0) {
        close(lifeline);
        close(report);
        int result = body();
        fflush(nullptr);
        _exit(result);
    }
    for (;;) {
        int wstatus;
        pid_t ended = wait(&wstatus);
        if (ended == child) {
            ssize_t sent = write(report, &wstatus, sizeof wstatus);
            return sent == sizeof wstatus ? 0 : 126;
        }
        if (ended < 0 && errno != EINTR)
            return 126;
    }
}

} // namespace

ProcResult run_process(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                       int timeout_ms, const std::string &input)
{
    int exec_pipe[2];
    if (pipe2(exec_pipe, O_CLOEXEC) != 0)
        return {};
    ProcResult result = fork_and_collect([&] {
        close(exec_pipe[0]);
        std::vector<char *> args = c_strings(argv), envp = c_strings(env);
        execve(args[0], args.data(), envp.data());
        int err = errno;
        ssize_t ignored = write(exec_pipe[1], &err, sizeof err);
        (void)ignored;
        return 127;
    }, timeout_ms, input);
    close(exec_pipe[1]);
    int exec_errno = 0;
    if (read(exec_pipe[0], &exec_errno, sizeof exec_errno) == sizeof exec_errno) {
        result.started = false;
        result.err += std::string("exec ") + argv[0] + ": " + strerror(exec_errno) + "\n";
    }
    close(exec_pipe[0]);
    return result;
}

SandboxRun start_in_sandbox(const SandboxSpec &spec, const std::function<int()> &body, int timeout_ms)
{
    SandboxRun run;
    if (geteuid() != 0) {
        run.skip_reason = kNeedsRoot;
        return run;
    }
    run.root = make_temp_dir();
    if (run.root.empty()) {
        run.skip_reason = "cannot make a temporary directory";
        return run;
    }
    const std::string &root = run.root;
    pid_t test_process = getpid();
    run.child = start_child([&] {
        // This process ends with the test process, even one killed by
        // SIGKILL; the sandbox's init ends with this one, and everything in
        // the sandbox with its init.  The check after the prctl closes the
        // gap in which the test process could have died before it.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test_process)
            return 126;
        std::string bind_problem = root_bind_problem();
        outer_network = namespace_of("/proc/self/ns/net");
        int flags = CLONE_NEWNS | CLONE_NEWPID | (spec.network ? CLONE_NEWNET : 0);
        if (unshare(flags) != 0) {
            fprintf(stderr, "%sunshare(%s): %s\n", kSkipTag, spec.network ? "mount+pid+network" : "mount+pid",
                    strerror(errno));
            return kSkipStatus;
        }
        int lifeline[2], report[2];
        if (pipe2(lifeline, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0)
            return 126;
        fflush(nullptr);
        pid_t init = fork();   // the first process of the new pid namespace: its pid 1
        if (init < 0)
            return 126;
        if (init == 0) {
            close(lifeline[1]);
            close(report[0]);
            return run_init(spec, root, bind_problem, body, lifeline[0], report[1]);
        }
        close(lifeline[0]);
        close(report[1]);
        int wstatus = 0;
        while (waitpid(init, &wstatus, 0) < 0 && errno == EINTR) {
        }
        int body_status = 0;
        bool body_ran = read(report[0], &body_status, sizeof body_status) == sizeof body_status;
        return end_like(body_ran ? body_status : wstatus);
    }, timeout_ms, "");
    return run;
}

SandboxResult finish_sandbox(SandboxRun &run)
{
    SandboxResult result;
    if (!run.skip_reason.empty()) {
        result.skipped = true;
        result.skip_reason = run.skip_reason;
        return result;
    }
    result.proc = finish_child(run.child);
    // Only the child's namespace ever had anything mounted here.
    rmdir(run.root.c_str());

    size_t tag = result.proc.err.find(kSkipTag);
    if (result.proc.status == kSkipStatus && tag != std::string::npos) {
        result.skipped = true;
        result.skip_reason = result.proc.err.substr(tag + sizeof kSkipTag - 1);
        while (!result.skip_reason.empty() && result.skip_reason.back() == '\n')
            result.skip_reason.pop_back();
    }
    return result;
}

std::string sandbox_remedy(const std::string &skip_reason)
{
    auto starts = [&](const char *prefix) { return skip_reason.rfind(prefix, 0) == 0; };
    if (starts(kRootNotAMountPoint))
        return "in a chroot, bind its directory onto itself before entering it (mount --bind DIR DIR), "
               "or run on a machine or VM";
    if (skip_reason == kNeedsRoot)
        return "run as root (or with sudo)";
    if (starts("unshare("))
        return "run on a machine or VM, or in a container allowed to make namespaces";
    return "";
}

SandboxResult run_in_sandbox(const SandboxSpec &spec, const std::function<int()> &body, int timeout_ms)
{
    SandboxRun run = start_in_sandbox(spec, body, timeout_ms);
    return finish_sandbox(run);
}

SandboxResult run_program_in_sandbox(const SandboxSpec &spec, const std::vector<std::string> &argv,
                                     const std::vector<std::string> &env, int timeout_ms,
                                     const std::function<bool()> &setup)
{
    return run_in_sandbox(spec, [&] {
        if (setup && !setup())
            return 125;
        std::vector<char *> args = c_strings(argv), envp = c_strings(env);
        execve(args[0], args.data(), envp.data());
        fprintf(stderr, "sandbox: exec %s: %s\n", argv[0].c_str(), strerror(errno));
        return 127;
    }, timeout_ms);
}

std::vector<std::string> under_memcheck(const std::vector<std::string> &argv)
{
    std::vector<std::string> out = {"/usr/bin/valgrind", "--tool=memcheck", "-q",
                                    "--error-exitcode=" + std::to_string(kMemcheckError), "--leak-check=full",
                                    "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

std::string memcheck_unavailable()
{
#ifdef QK_SANITIZED
    return "this build is sanitized; memcheck runs the plain build";
#else
    if (access("/usr/bin/valgrind", X_OK) != 0)
        return "valgrind is not installed";
    return "";
#endif
}

bool shell(const std::string &command)
{
    int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool write_file(const std::string &path, const std::string &contents, unsigned mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, mode);
    return close(fd) == 0;
}

bool read_file(const std::string &path, std::string *contents)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    contents->clear();
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        contents->append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

bool make_dirs(const std::string &path, unsigned mode)
{
    if (path.empty() || path == "/")
        return true;
    if (mkdir(path.c_str(), mode) == 0 || errno == EEXIST)
        return true;
    if (errno != ENOENT || !make_dirs(std::filesystem::path(path).parent_path(), mode))
        return false;
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

bool add_veth(const std::string &name, const std::string &peer, const std::string &mac)
{
    // Only in a sandbox with a network namespace of its own: elsewhere the
    // pair would appear on the host.  The namespace the sandbox started from
    // was noted before it was left (outer_network); /proc/1 is no guide here,
    // being the sandbox's own init, which shares the sandbox's namespace.
    NamespaceId here = namespace_of("/proc/self/ns/net");
    if (!outer_network.known || !here.known || (here.dev == outer_network.dev && here.ino == outer_network.ino)) {
        fprintf(stderr, "add_veth: refused outside a sandbox's own network namespace\n");
        return false;
    }
    return shell("ip link add " + name + " address " + mac + " type veth peer name " + peer);
}

int attach_loop(const std::string &image, std::string *device)
{
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0)
        return -1;
    int result = -1;
    for (int tries = 0; tries < 8 && result < 0; tries++) {
        int index = ioctl(control, LOOP_CTL_GET_FREE);
        if (index < 0)
            break;
        std::string node = "/dev/loop" + std::to_string(index);
        unlink(node.c_str());
        if (mknod(node.c_str(), S_IFBLK | 0600, makedev(7, static_cast<unsigned>(index))) != 0)
            break;
        int file = open(image.c_str(), O_RDWR | O_CLOEXEC);
        int loop = open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (file >= 0 && loop >= 0) {
            struct loop_config config;
            memset(&config, 0, sizeof config);
            config.fd = static_cast<unsigned>(file);
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
            // EBUSY: another process took this device first; ask again.
            if (ioctl(loop, LOOP_CONFIGURE, &config) == 0) {
                *device = node;
                result = loop;
                loop = -1;
            }
        }
        if (file >= 0)
            close(file);
        if (loop >= 0)
            close(loop);
    }
    close(control);
    return result;
}

namespace {

std::string escape(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            out += s[i + 1] == 'n' ? '\n' : s[i + 1];
            i++;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

void put(const std::string &key, const std::string &value)
{
    printf("%s %s\n", key.c_str(), escape(value).c_str());
    fflush(stdout);
}

Report parse_report(const std::string &text)
{
    Report report;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t space = line.find(' ');
        if (space != std::string::npos)
            report[line.substr(0, space)] = unescape(line.substr(space + 1));
    }
    return report;
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &out_path, const std::string &err_path, int uid)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int out = open(out_path.empty() ? "/dev/null" : out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.empty() ? "/dev/null" : err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (uid >= 0) {
        gid_t gid = static_cast<gid_t>(uid);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(static_cast<uid_t>(uid)) != 0)
            _exit(126);
    }
    std::vector<char *> args = c_strings(argv), envp = c_strings(env);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

bool wait_for(pid_t pid, int timeout_ms, int *wstatus)
{
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        pid_t done = waitpid(pid, wstatus, WNOHANG);
        if (done == pid)
            return true;
        if (done < 0 || elapsed_since(start) * 1000 > timeout_ms)
            return false;
        usleep(2000);
    }
}

namespace {

// Removes `name` in the directory `parent` and everything below it.  Links
// are removed, never followed (each directory is opened O_NOFOLLOW and checked
// to be the one looked at), and nothing on another mount is touched.
void remove_below(int parent, const std::string &name, dev_t dev, long mount_id, int depth)
{
    struct stat st;
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        if (st.st_dev == dev)
            unlinkat(parent, name.c_str(), 0);
        return;
    }
    if (st.st_dev != dev || depth > 200)
        return;
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat opened;
    if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
        (mount_id >= 0 && mount_id_of(fd) != mount_id)) {
        close(fd);
        return;
    }
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    for (const std::string &below : names)
        remove_below(dirfd(dir), below, dev, mount_id, depth + 1);
    closedir(dir);
    unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// Removes `name` in `parent` and all below it, staying on the mount it is on.
void remove_entry(int parent, const std::string &name)
{
    struct stat st;
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    long mount_id = -1;
    int top = openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (top >= 0) {
        mount_id = mount_id_of(top);
        close(top);
    }
    remove_below(parent, name, st.st_dev, mount_id, 0);
}

// Removes `path` (the last component is never followed) and all below it.
void remove_safely(const std::string &path)
{
    std::filesystem::path p(path);
    std::string parent = p.parent_path().string(), name = p.filename().string();
    if (name.empty() || name == "." || name == "..")
        return;
    int fd = open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    remove_entry(fd, name);
    close(fd);
}

std::string pid_namespace_number()
{
    NamespaceId ns = namespace_of("/proc/self/ns/pid");
    return ns.known ? std::to_string(ns.ino) : "";
}

// Removes the temporary folders left by test processes of this pid namespace
// that are gone (killed before they could clean up).  A folder whose maker's
// pid is in use again stays, as do folders of other pid namespaces (whose
// pids say nothing here) and anything not a directory of ours.
void remove_abandoned_temp_dirs(const std::string &tmp, const std::string &pidns)
{
    int fd = open(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    const std::string mine = kTempPrefix + pidns + "-";
    std::vector<std::string> abandoned;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.compare(0, mine.size(), mine) != 0)
            continue;
        // "<pid>-XXXXXX"
        std::string rest = name.substr(mine.size());
        size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string::npos || rest.size() != dash + 7 ||
            rest.find_first_not_of("0123456789") != dash)
            continue;
        long pid = strtol(rest.c_str(), nullptr, 10);
        struct stat st;
        if (pid <= 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != geteuid())
            continue;
        abandoned.push_back(name);
    }
    for (const std::string &name : abandoned)
        remove_entry(dirfd(dir), name);
    closedir(dir);
}

} // namespace

std::string make_temp_dir()
{
    std::string tmp = std::filesystem::temp_directory_path().string();
    std::string pidns = pid_namespace_number();
    // Once per process is enough to clear what earlier, killed runs left.
    static bool swept = false;
    if (!swept && !pidns.empty()) {
        swept = true;
        remove_abandoned_temp_dirs(tmp, pidns);
    }
    std::string templ = tmp + "/" + kTempPrefix + (pidns.empty() ? "0" : pidns) + "-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        return "";
    return templ;
}

void remove_tree(const std::string &path)
{
    remove_safely(path);
}
