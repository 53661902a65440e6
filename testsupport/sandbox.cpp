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
#include <sys/stat.h>
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

namespace {

const int kSkipStatus = 77;
const char kSkipTag[] = "SANDBOX-SKIP: ";

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

bool bind_readonly(const std::string &source, const std::string &target)
{
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return false;
    return mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
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
int enter_sandbox(const SandboxSpec &spec, const std::string &root)
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail_setup("make private", "/");
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
        run.skip_reason = "needs root to make mount and network namespaces";
        return run;
    }
    run.root = make_temp_dir();
    if (run.root.empty()) {
        run.skip_reason = "cannot make a temporary directory";
        return run;
    }
    const std::string &root = run.root;
    run.child = start_child([&] {
        int flags = CLONE_NEWNS | (spec.network ? CLONE_NEWNET : 0);
        if (unshare(flags) != 0) {
            fprintf(stderr, "%sunshare(%s): %s\n", kSkipTag, spec.network ? "mount+network" : "mount", strerror(errno));
            return kSkipStatus;
        }
        int status = enter_sandbox(spec, root);
        if (status != 0)
            return status;
        return body();
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
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        size_t space = line.find(' ');
        if (space != std::string::npos)
            report[line.substr(0, space)] = unescape(line.substr(space + 1));
        pos = end + 1;
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

std::string make_temp_dir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "quarrykit-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr)
        return "";
    return templ;
}

void remove_tree(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
