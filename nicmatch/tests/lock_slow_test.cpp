// SPDX-License-Identifier: MIT
// The instance lock and the watchdog on real processes: the cases that wait
// out the 10-second alarm or the 20-second patience.  Each group runs its
// cases in sandboxes side by side.
#include "lock_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>

namespace {

// The run whose wait a patience case watches; interface 0 is the owner's.
const int kRunner = 1;

// Runs nicmatch for kRunner (plain address file) and reports how it ended.
void run_and_report()
{
    ProcResult r = run_process({"/qk/nicmatch"}, {"INTERFACE=" + iface_of(kRunner)}, 60000);
    put("status", r.signal != 0 ? "signal " + std::to_string(r.signal) : "exit " + std::to_string(r.status));
    put("out", r.out);
    put("seconds", std::to_string(r.seconds));
    struct stat st;
    if (lstat(kLock, &st) != 0)
        put("lock", "gone");
    else
        put("lock", S_ISREG(st.st_mode) ? lock_text() : S_ISLNK(st.st_mode) ? "symlink" : "not a file");
}

pid_t start_sleeper()
{
    return spawn({"/bin/sleep", "300"}, {}, "", "");
}

std::string how_it_ended(pid_t pid)
{
    std::string how = ended(pid, 100);
    if (how == "hung" && kill(pid, SIGKILL) == 0)
        return ended(pid, 5000) == "hung" ? "hung" : "alive";
    return how;
}

TEST(LockSlow, AlarmEndsARunHeldUpPastTheLockStep)
{
    SandboxResult r = run_in_sandbox(lock_spec(1, 1), [] {
        if (!make_fifos(1))
            return 10;
        double start = now_seconds();
        pid_t pid = start_nicmatch(0, "/tmp/out");
        wait_until([] { return opened(0); }, 5000);
        put("held", lock_exists() ? "yes" : "no");
        put("status", ended(pid, 20000));
        put("seconds", std::to_string(now_seconds() - start));
        put("out", file_text("/tmp/out"));
        put("lock", lock_exists() ? "present" : "gone");
        return 0;
    }, 60000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["held"], "yes");
    EXPECT_EQ(rep["status"], "exit 1");
    EXPECT_GT(std::stod(rep["seconds"]), 9.8);
    EXPECT_LT(std::stod(rep["seconds"]), 12.0);
    EXPECT_EQ(rep["out"], "");
    EXPECT_EQ(rep["lock"], "gone");
}

struct PatienceCase {
    const char *name;
    // Runs in the sandbox before nicmatch: makes the lock file and whatever
    // it names; returns a process to report on afterwards, 0, or -1 when
    // that could not be made.
    std::function<pid_t()> prepare;
    const char *lock_after = "gone";   // what is at the lock path afterwards
};

// Every case: nicmatch ends with status 0 and the right name in bounded time,
// the lock is gone afterwards, and the sandbox body (whose process group a
// stray kill(0) or kill(-pgid) would hit) lives on.  Returns why no sandbox
// could be made here, or "": the test skips itself on that (a skip here would
// leave only this function, and the test would go on to read empty reports).
std::string run_patience_cases(const std::vector<PatienceCase> &cases, Report *reports)
{
    std::vector<SandboxRun> runs;
    for (const PatienceCase &c : cases) {
        runs.push_back(start_in_sandbox(lock_spec(kRunner + 1, kRunner), [&c] {
            pid_t watched = c.prepare();
            if (watched < 0)
                return 10;
            run_and_report();
            if (watched > 0)
                put("watched", how_it_ended(watched));
            put("body", "alive");
            return 0;
        }, 120000));
    }
    std::string skip_reason;
    for (size_t i = 0; i < runs.size(); i++) {
        SandboxResult r = finish_sandbox(runs[i]);
        if (r.skipped) {
            skip_reason = r.skip_reason;
            continue;
        }
        EXPECT_EQ(r.proc.status, 0) << cases[i].name << ": " << r.proc.err;
        reports[i] = parse_report(r.proc.out);
        Report &rep = reports[i];
        EXPECT_EQ(rep["body"], "alive") << cases[i].name;
        EXPECT_EQ(rep["status"], "exit 0") << cases[i].name;
        EXPECT_EQ(rep["out"], name_of(kRunner)) << cases[i].name;
        EXPECT_EQ(rep["lock"], cases[i].lock_after) << cases[i].name;
        std::cout << "[ timing   ] " << cases[i].name << ": " << rep["seconds"] << " s\n";
    }
    return skip_reason;
}

bool write_lock(const std::string &text)
{
    return write_file(kLock, text, 0644);
}

TEST(LockSlow, PatienceKillsALiveOwnerAndNeverAStranger)
{
    std::vector<PatienceCase> cases = {
        {"live owner", []() -> pid_t { return make_fifos(1) ? start_owner(0, true) : -1; }},
        // The wall clock set forward an hour after the owner wrote its lock:
        // the file's time is no evidence, the owner is live and hangs.
        {"clock stepped since the lock was written", []() -> pid_t {
             pid_t owner = make_fifos(1) ? start_owner(0, true) : -1;
             struct timespec times[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
             utimensat(AT_FDCWD, kLock, times, 0);
             return owner;
         }},
        {"owner killed by SIGKILL", []() -> pid_t {
             pid_t owner = start_sleeper();
             write_lock(std::to_string(owner) + "\n");
             kill(owner, SIGKILL);
             ended(owner, 5000);
             return 0;
         }},
        // The lock path is not followed to another program's pid file.
        {"symlink to a pid file", []() -> pid_t {
             pid_t bystander = start_sleeper();
             write_file("/tmp/other.pid", std::to_string(bystander) + "\n");
             symlink("/tmp/other.pid", kLock);
             return bystander;
         }, "symlink"},
    };
    Report reports[4];
    if (std::string why = run_patience_cases(cases, reports); !why.empty())
        GTEST_SKIP() << why;
    for (size_t i : {0u, 1u}) {
        EXPECT_EQ(reports[i]["watched"], "signal " + std::to_string(SIGKILL)) << cases[i].name;
        double waited = std::stod(reports[i]["seconds"]);
        EXPECT_GT(waited, 19.5) << cases[i].name;
        EXPECT_LT(waited, 24.0) << cases[i].name;
    }
    EXPECT_LT(std::stod(reports[2]["seconds"]), 24.0);
    EXPECT_EQ(reports[3]["watched"], "alive");
    EXPECT_LT(std::stod(reports[3]["seconds"]), 24.0);
}

// An owner that hangs (a run stopped while it holds the lock, so that its
// alarm cannot act either) and 23 runs queued behind it: 20 with about 20 ms
// of work under the lock (2,000 files), and 3 that work 2.5 s (their address
// comes that long after they open it), with the queue long past its patience
// by then.  The owner is killed once the queue's patience is spent, and each
// run that takes the lock after it does its work and prints its name, however
// long it waited and however long it works.
TEST(LockSlow, QueueBehindAHungOwnerKillsOnlyTheOwner)
{
    const int kRuns = 20, kSlow = 3;
    SandboxResult r = run_in_sandbox(lock_spec(2000, 1 + kSlow), [] {
        if (!make_fifos(1 + kSlow))
            return 10;
        pid_t owner = start_owner(0, true);
        if (owner < 0)
            return 11;
        double start = now_seconds();
        // Runs for interfaces 1.. (pids[i - 1]); the first kSlow are the slow ones.
        std::vector<pid_t> pids;
        for (int i = 1; i <= kSlow + kRuns; i++)
            pids.push_back(start_nicmatch(i, "/tmp/out" + std::to_string(i)));
        std::vector<double> opened_at(kSlow + 1, 0);
        std::vector<std::string> how(pids.size());
        size_t left = pids.size();
        while (left > 0 && now_seconds() - start < 90) {
            for (int i = 1; i <= kSlow; i++) {
                double &at = opened_at[static_cast<size_t>(i)];
                if (at == 0 && opened(i))
                    at = now_seconds();
                if (at > 0 && at < 1e18 && now_seconds() - at >= 2.5) {
                    feed(i);
                    at = 1e18;   // fed
                }
            }
            for (size_t k = 0; k < pids.size(); k++) {
                int wstatus = 0;
                if (how[k].empty() && waitpid(pids[k], &wstatus, WNOHANG) == pids[k]) {
                    how[k] = describe_status(wstatus);
                    left--;
                }
            }
            usleep(1000);
        }
        int named = 0, killed = 0;
        std::string others;
        for (size_t k = 0; k < pids.size(); k++) {
            int i = static_cast<int>(k) + 1;
            if (how[k].empty())
                how[k] = how_it_ended(pids[k]);
            std::string out = file_text("/tmp/out" + std::to_string(i));
            named += how[k] == "exit 0" && out == name_of(i);
            killed += how[k] == "signal " + std::to_string(SIGKILL);
            if (how[k] != "exit 0" || out != name_of(i))
                others += " " + iface_of(i) + ": " + how[k] + " '" + out + "'";
        }
        put("seconds", std::to_string(now_seconds() - start));
        put("named", std::to_string(named));
        put("killed", std::to_string(killed));
        put("others", others);
        put("owner", how_it_ended(owner));
        put("lock", lock_exists() ? "present" : "gone");
        return 0;
    }, 150000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["named"], std::to_string(kSlow + kRuns)) << rep["others"];
    EXPECT_EQ(rep["killed"], "0") << rep["others"];
    EXPECT_EQ(rep["owner"], "signal " + std::to_string(SIGKILL));
    EXPECT_EQ(rep["lock"], "gone");
    double waited = std::stod(rep["seconds"]);
    EXPECT_GT(waited, 19.5 + kSlow * 2.5);
    EXPECT_LT(waited, 45.0);
    std::cout << "[ timing   ] hung owner, " << kSlow + kRuns << " queued runs (" << kSlow
              << " working 2.5 s): " << rep["seconds"] << " s\n";
}

TEST(LockSlow, LocksNamingNoUsableProcessSignalNobodyAndEnd)
{
    std::vector<PatienceCase> cases = {
        {"zero", []() -> pid_t { write_lock("0\n"); return 0; }},
        {"one", []() -> pid_t { write_lock("1\n"); return 0; }},
        {"negative: our process group", []() -> pid_t { write_lock("-" + std::to_string(getpgrp()) + "\n"); return 0; }},
        {"text", []() -> pid_t { write_lock("owner\n"); return 0; }},
        {"empty", []() -> pid_t { write_lock(""); return 0; }},
        {"too large", []() -> pid_t { write_lock("2147483648\n"); return 0; }},
        {"read-only /dev, no lock", []() -> pid_t {
             mount(nullptr, "/dev", nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
             return 0;
         }},
        // Nothing at the lock path holds up the wait for ever.
        {"dangling symlink", []() -> pid_t { symlink("/nonexistent", kLock); return 0; }, "symlink"},
        {"FIFO", []() -> pid_t { mkfifo(kLock, 0644); return 0; }, "not a file"},
        {"flock held on /dev, dead owner", []() -> pid_t {
             int dir = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);   // held until the body ends
             flock(dir, LOCK_SH);
             pid_t owner = start_sleeper();
             write_lock(std::to_string(owner) + "\n");
             kill(owner, SIGKILL);
             ended(owner, 5000);
             return 0;
         }},
    };
    Report reports[10];
    if (std::string why = run_patience_cases(cases, reports); !why.empty())
        GTEST_SKIP() << why;
    for (size_t i = 0; i < cases.size(); i++)
        EXPECT_LT(std::stod(reports[i]["seconds"]), 24.0) << cases[i].name;
}

TEST(LockSlow, HundredConcurrentRunsTakeTurns)
{
    SandboxResult r = run_concurrently(100);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["result"], "served 100, overlaps 0, wrong owner 0, wrong name 0, lock gone");
}

} // namespace
