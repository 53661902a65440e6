// SPDX-License-Identifier: MIT
// Child processes: running a program or a function in a child with a time
// limit while its output is collected, starting a program in the background
// and waiting for it, the shell, and valgrind's memcheck around a program.
// The sandbox (sandbox_entry.cpp) runs its first process through start_child
// and finish_child.
#include "sandbox.h"
#include "sandbox_internal.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace sandbox_internal;

namespace {

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

} // namespace

namespace sandbox_internal {

std::vector<char *> c_strings(const std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (const std::string &s : strings)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
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

} // namespace sandbox_internal

namespace {

ProcResult fork_and_collect(const std::function<int()> &child, int timeout_ms, const std::string &input)
{
    ChildRun run = start_child(child, timeout_ms, input);
    return finish_child(run);
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

bool shell(const std::string &command)
{
    int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
