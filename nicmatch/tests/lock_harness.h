// SPDX-License-Identifier: MIT
// Shared by the lock tests: a sandbox with fake address files (plain files
// or FIFOs that hold a run up until the test feeds them), configuration for
// interfaces eth0..ethN-1 named net0..netN-1, and the built nicmatch.
#pragma once

#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

inline const char kLock[] = "/dev/.nicmatch.lock";

inline std::string mac_of(int i)
{
    char mac[32];
    snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", i / 256, i % 256);
    return mac;
}

inline std::string iface_of(int i) { return "eth" + std::to_string(i); }
inline std::string name_of(int i) { return "net" + std::to_string(i); }
inline std::string address_path(int i) { return "/sys/class/net/" + iface_of(i) + "/address"; }

// Interfaces 0..count-1 get bindings; the address files of the first `fifos`
// of them are FIFOs (made by make_fifos inside the sandbox), the others plain
// files.
inline SandboxSpec lock_spec(int count, int fifos)
{
    SandboxSpec spec;
    spec.binds = {{NICMATCH_BIN, "/qk/nicmatch"}};
    for (int i = 0; i < count; i++) {
        spec.files.push_back({"/etc/sysconfig/network-scripts/ifcfg-" + name_of(i),
                              "DEVICE=" + name_of(i) + "\nHWADDR=" + mac_of(i) + "\n", 0644});
        if (i >= fifos)
            spec.files.push_back({address_path(i), mac_of(i) + "\n", 0444});
    }
    return spec;
}

// The test's own ends of the FIFOs, opened read-write so that a run's open
// of its address file succeeds at once and its read waits for feed(); and an
// inotify watch that tells which FIFOs a run has opened.  (Looking into the
// runs' /proc/PID/fd instead would slow down their exec.)
struct FifoState {
    std::vector<int> ends;
    int inotify = -1;
    std::vector<int> watches;
    std::vector<bool> opened;
};

inline FifoState &fifos()
{
    static FifoState state;
    return state;
}

inline bool make_fifos(int count)
{
    FifoState &f = fifos();
    f.inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (f.inotify < 0)
        return false;
    for (int i = 0; i < count; i++) {
        if (!make_dirs("/sys/class/net/" + iface_of(i)) || mkfifo(address_path(i).c_str(), 0644) != 0)
            return false;
        int fd = open(address_path(i).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        f.ends.push_back(fd);
        f.watches.push_back(inotify_add_watch(f.inotify, address_path(i).c_str(), IN_OPEN));
        f.opened.push_back(false);
    }
    return true;
}

// True once a run has opened the address FIFO of interface i: it is past
// the lock step and waits for its address.
inline bool opened(int i)
{
    FifoState &f = fifos();
    alignas(struct inotify_event) char buf[65536];
    ssize_t len;
    while ((len = read(f.inotify, buf, sizeof buf)) > 0) {
        for (ssize_t off = 0; off < len;) {
            auto *event = reinterpret_cast<struct inotify_event *>(buf + off);
            for (size_t k = 0; k < f.watches.size(); k++)
                if (f.watches[k] == event->wd)
                    f.opened[k] = true;
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    return f.opened[static_cast<size_t>(i)];
}

// Hands `text` (by default interface i's address) to the run reading FIFO i,
// and ends the file there.
inline bool feed(int i, const std::string &text = "")
{
    int &fd = fifos().ends[static_cast<size_t>(i)];
    std::string data = text.empty() ? mac_of(i) + "\n" : text;
    bool ok = fd >= 0 && write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    close(fd);
    fd = -1;
    return ok;
}

inline std::string lock_text()
{
    std::string text;
    return read_file(kLock, &text) ? text : "<none>";
}

inline bool lock_exists()
{
    return access(kLock, F_OK) == 0;
}

inline double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Polls `cond` every millisecond for up to timeout_ms.
template <typename Cond>
bool wait_until(Cond cond, int timeout_ms)
{
    double end = now_seconds() + timeout_ms / 1000.0;
    while (!cond()) {
        if (now_seconds() > end)
            return false;
        usleep(1000);
    }
    return true;
}

inline pid_t start_nicmatch(int i, const std::string &out_path, int uid = -1,
                            const std::string &program = "/qk/nicmatch")
{
    return spawn({program}, {"INTERFACE=" + iface_of(i)}, out_path, out_path + ".err", uid);
}

// Starts a run for interface i (its address file one of make_fifos') and
// waits until it holds the lock: a live owner, working until the test feeds
// it.  A `hung` one is stopped there, so that its alarm cannot end it either.
// Returns its pid, or -1.
inline pid_t start_owner(int i, bool hung)
{
    pid_t pid = start_nicmatch(i, "/tmp/owner" + std::to_string(i));
    std::string mine = std::to_string(pid) + "\n";
    if (pid < 0 || !wait_until([&] { return opened(i) && lock_text() == mine; }, 5000))
        return -1;
    if (hung)
        kill(pid, SIGSTOP);
    return pid;
}

// A run that died by SIGKILL holding the lock, its lock file left behind:
// reaped (gone), or left a zombie.  Its address file is a FIFO of its own
// that nobody writes.  Returns its pid, or -1.
inline pid_t killed_owner(bool reap)
{
    const char dir[] = "/sys/class/net/ethk";
    if (!make_dirs(dir) || (mkfifo((std::string(dir) + "/address").c_str(), 0644) != 0 && errno != EEXIST))
        return -1;
    pid_t pid = spawn({"/qk/nicmatch"}, {"INTERFACE=ethk"}, "", "");
    std::string mine = std::to_string(pid) + "\n";
    if (pid < 0 || !wait_until([&] { return lock_text() == mine; }, 5000))
        return -1;
    kill(pid, SIGKILL);
    std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    auto zombie = [&] {
        std::string text;
        size_t end = read_file(stat_path, &text) ? text.rfind(") ") : std::string::npos;
        return end != std::string::npos && text.compare(end + 2, 1, "Z") == 0;
    };
    int wstatus = 0;
    if (reap ? !wait_for(pid, 5000, &wstatus) : !wait_until(zombie, 5000))
        return -1;
    return pid;
}

inline std::string describe_status(int wstatus)
{
    if (WIFEXITED(wstatus))
        return "exit " + std::to_string(WEXITSTATUS(wstatus));
    if (WIFSIGNALED(wstatus))
        return "signal " + std::to_string(WTERMSIG(wstatus));
    return "?";
}

// How child `pid` ended ("exit N", "signal N"), or "hung" after timeout_ms.
inline std::string ended(pid_t pid, int timeout_ms)
{
    int wstatus = 0;
    return wait_for(pid, timeout_ms, &wstatus) ? describe_status(wstatus) : "hung";
}

inline std::string file_text(const std::string &path)
{
    std::string text;
    return read_file(path, &text) ? text : "<none>";
}

// Lets the runs `pids` (run i for interface i, output in /tmp/out<i>) through
// one at a time: whenever a run is past its lock step, waits a little for
// any second one to show up, checks that the lock names the first, and feeds
// it.  Returns a summary to compare with the expected one.
inline std::string serve_one_at_a_time(const std::vector<pid_t> &pids)
{
    size_t count = pids.size();
    std::vector<bool> done(count, false);
    size_t served = 0;
    int overlaps = 0, wrong_owner = 0, wrong_name = 0;
    auto waiting = [&] {
        std::vector<size_t> past_lock;
        for (size_t i = 0; i < count; i++)
            if (!done[i] && opened(static_cast<int>(i)))
                past_lock.push_back(i);
        return past_lock;
    };
    double deadline = now_seconds() + 120;
    while (served < count && now_seconds() < deadline) {
        std::vector<size_t> past_lock = waiting();
        if (past_lock.empty()) {
            usleep(1000);
            continue;
        }
        size_t holder = past_lock[0];
        usleep(15000);
        overlaps += waiting().size() > 1;
        wrong_owner += lock_text() != std::to_string(pids[holder]) + "\n";
        feed(static_cast<int>(holder));
        ended(pids[holder], 5000);
        done[holder] = true;
        served++;
    }
    for (size_t i = 0; i < count; i++) {
        if (!done[i]) {
            kill(pids[i], SIGKILL);
            ended(pids[i], 5000);
        }
        wrong_name += file_text("/tmp/out" + std::to_string(i)) != name_of(static_cast<int>(i));
    }
    return "served " + std::to_string(served) + ", overlaps " + std::to_string(overlaps) + ", wrong owner " +
           std::to_string(wrong_owner) + ", wrong name " + std::to_string(wrong_name) + ", lock " +
           (lock_exists() ? "present" : "gone");
}

// Starts `count` runs at once in a sandbox, one per interface (after
// `before`, when given), and serves them one at a time; the report's
// "result" is serve_one_at_a_time's summary.  With `upgrade`, the runs start
// from a copy of the program, and once half of them have started another copy
// is renamed over it, as a package upgrade does ("upgraded": whether it was).
inline SandboxResult run_concurrently(int count, const std::function<void()> &before = nullptr, bool upgrade = false)
{
    return run_in_sandbox(lock_spec(count, count), [count, &before, upgrade] {
        std::string program = upgrade ? "/tmp/nicmatch" : "/qk/nicmatch";
        if (!make_fifos(count) || (upgrade && !shell("cp /qk/nicmatch /tmp/nicmatch")))
            return 10;
        if (before)
            before();
        std::vector<pid_t> pids;
        for (int i = 0; i < count; i++) {
            if (upgrade && i == count / 2)
                put("upgraded", shell("cp /qk/nicmatch /tmp/new && mv /tmp/new /tmp/nicmatch") ? "yes" : "no");
            pids.push_back(start_nicmatch(i, "/tmp/out" + std::to_string(i), -1, program));
        }
        put("result", serve_one_at_a_time(pids));
        return 0;
    }, 180000);
}
