// SPDX-License-Identifier: MIT
// Entering the sandbox: the namespaces, the sandbox's root built from
// read-only binds of the host's programs and libraries with its own /etc,
// /dev, /proc, /sys and /tmp, its init, starting and finishing a sandbox run,
// and why no sandbox can be made here (and what to do about it).
#include "sandbox.h"
#include "sandbox_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

using namespace sandbox_internal;

namespace {

const int kSkipStatus = 77;
const char kSkipTag[] = "SANDBOX-SKIP: ";

// The network namespace the sandbox was started from, noted before the
// sandbox's own was made: add_veth works only where the current one differs.
// Set in the sandbox's first process only, so that its children inherit it;
// the test process itself never has it, and add_veth refuses there.
NamespaceId outer_network;

} // namespace

namespace sandbox_internal {

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

NamespaceId outer_network_namespace()
{
    return outer_network;
}

} // namespace sandbox_internal

namespace {

int fail_setup(const char *what, const std::string &path)
{
    fprintf(stderr, "sandbox: %s %s: %s\n", what, path.c_str(), strerror(errno));
    return 126;
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
        } else if (!bind_readonly(host, inside)) {
            return fail_setup("bind", host);
        }
    }

    // /etc: a writable directory of links into a read-only view of the host's.
    std::string host_etc = root + "/.host-etc";
    if (!bind_readonly("/etc", host_etc) || mkdir((root + "/etc").c_str(), 0755) != 0)
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
        if (!bind_readonly(host, root + inside))
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

// The sandbox's init, pid 1 of its pid namespace.  It builds the sandbox and
// enters it itself, so that its root is the root of everything inside (some
// programs compare their root with pid 1's); then it runs the body in a child,
// reaps whatever ends inside, and once the body has ended sends its wait
// status up through `report` and exits, and the kernel kills everything else
// in the namespace.
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
        return "in a chroot, bind its directory onto itself before entering it (mount --bind DIR DIR, then "
               "the binds of /proc, /sys and /dev into it), or run on a machine or VM";
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
