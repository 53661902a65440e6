// SPDX-License-Identifier: MIT
// The instance lock and the watchdog, on real processes in a sandbox with its
// own /dev: the cases that take well under ten seconds.
#include "lock.h"
#include "lock_harness.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <iostream>

namespace {

TEST(Lock, HeldDuringTheRunWithPidAndLineEndThenGone)
{
    SandboxResult r = run_in_sandbox(lock_spec(2, true), [] {
        if (!make_fifos(2))
            return 10;
        pid_t pid = start_nicmatch(0, "/tmp/out");
        put("pid", std::to_string(pid) + "\n");
        wait_until([] { return opened(0); }, 5000);
        put("held", lock_text());
        struct stat st;
        put("mode", stat(kLock, &st) == 0 ? std::to_string(st.st_mode & 07777) : "none");
        feed(0);
        put("status", ended(pid, 5000));
        put("out", file_text("/tmp/out"));
        put("after", lock_exists() ? "present" : "gone");

        // A run that finds no binding, and one without INTERFACE, remove it too.
        pid = start_nicmatch(1, "/tmp/out1");
        wait_until([] { return opened(1); }, 5000);
        put("held1", lock_exists() ? "present" : "gone");
        feed(1, "00:00:00:00:00:00\n");
        put("status1", ended(pid, 5000));
        put("out1", file_text("/tmp/out1"));
        put("after1", lock_exists() ? "present" : "gone");
        ProcResult plain = run_process({"/qk/nicmatch"}, {}, 5000);
        put("status2", std::to_string(plain.status));
        put("after2", lock_exists() ? "present" : "gone");
        return 0;
    }, 30000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["held"], rep["pid"]);
    EXPECT_EQ(rep["mode"], std::to_string(0644));
    EXPECT_EQ(rep["status"], "exit 0");
    EXPECT_EQ(rep["out"], "net0");
    EXPECT_EQ(rep["after"], "gone");
    EXPECT_EQ(rep["held1"], "present");
    EXPECT_EQ(rep["status1"], "exit 0");
    EXPECT_EQ(rep["out1"], "");
    EXPECT_EQ(rep["after1"], "gone");
    EXPECT_EQ(rep["status2"], "0");
    EXPECT_EQ(rep["after2"], "gone");
}

TEST(Lock, SigtermPastTheLockStepRemovesItAndEndsWithOne)
{
    SandboxResult r = run_in_sandbox(lock_spec(2, true), [] {
        if (!make_fifos(2))
            return 10;
        pid_t owner = start_nicmatch(0, "/tmp/out0");
        wait_until([] { return opened(0); }, 5000);
        // A run still waiting for the lock has no handler yet: SIGTERM ends it
        // by the default action, and the owner's lock stays.
        pid_t waiter = start_nicmatch(1, "/tmp/out1");
        usleep(300000);
        kill(waiter, SIGTERM);
        put("waiter", ended(waiter, 5000));
        put("lock_after_waiter", lock_text());
        put("owner_pid", std::to_string(owner) + "\n");

        kill(owner, SIGTERM);
        put("owner", ended(owner, 5000));
        put("owner_out", file_text("/tmp/out0"));
        put("lock_after_owner", lock_exists() ? "present" : "gone");
        return 0;
    }, 30000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["waiter"], "signal " + std::to_string(SIGTERM));
    EXPECT_EQ(rep["lock_after_waiter"], rep["owner_pid"]);
    EXPECT_EQ(rep["owner"], "exit 1");
    EXPECT_EQ(rep["owner_out"], "");
    EXPECT_EQ(rep["lock_after_owner"], "gone");
}

TEST(Lock, WaiterTakesOverSoonAfterTheOwnerEnds)
{
    SandboxResult r = run_in_sandbox(lock_spec(2, true), [] {
        if (!make_fifos(2))
            return 10;
        pid_t owner = start_nicmatch(0, "/tmp/out0");
        wait_until([] { return opened(0); }, 5000);
        pid_t waiter = start_nicmatch(1, "/tmp/out1");
        // Release at some point of the waiter's 100 ms cycle, not in step with it.
        usleep(500000 + static_cast<useconds_t>(getpid() % 100) * 1000);
        put("second_reader_while_held", opened(1) ? "yes" : "no");
        double fed = now_seconds();
        feed(0);
        ended(owner, 5000);
        double released = now_seconds();
        put("owner_ms", std::to_string(static_cast<int>((released - fed) * 1000)));
        std::string mine = std::to_string(waiter) + "\n";
        bool took = wait_until([&] { return lock_text() == mine; }, 3000);
        put("takeover_ms", took ? std::to_string(static_cast<int>((now_seconds() - released) * 1000)) : "never");
        wait_until([] { return opened(1); }, 5000);
        feed(1);
        put("waiter", ended(waiter, 5000));
        put("out0", file_text("/tmp/out0"));
        put("out1", file_text("/tmp/out1"));
        put("lock", lock_exists() ? "present" : "gone");
        return 0;
    }, 30000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["second_reader_while_held"], "no");
    ASSERT_NE(rep["takeover_ms"], "never");
    // One pause of 100 ms, plus scheduling on a busy machine.
    EXPECT_LT(std::stoi(rep["takeover_ms"]), 300);
    std::cout << "[ timing   ] owner ended " << rep["owner_ms"] << " ms after its address came; lock taken over "
              << rep["takeover_ms"] << " ms after that\n";
    EXPECT_EQ(rep["waiter"], "exit 0");
    EXPECT_EQ(rep["out0"], "net0");
    EXPECT_EQ(rep["out1"], "net1");
    EXPECT_EQ(rep["lock"], "gone");
}

TEST(Lock, TwentyConcurrentRunsTakeTurns)
{
    SandboxResult r = run_concurrently(20);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["result"], "served 20, overlaps 0, wrong owner 0, wrong name 0, lock gone");
}

// The lock of an owner that died by SIGKILL is removed at the first look,
// so a crowd arriving behind it takes turns as usual, well before the
// patience (from which on it would kill its own members).
// A dead owner's lock, whether it names the owner or (killed between its
// create and its write) nothing, is cleared long before the queue behind it
// reaches its patience, so nobody kills anybody.
TEST(Lock, TwentyRunsBehindADeadOwnersLockTakeTurns)
{
    const struct {
        const char *name;
        void (*leave_lock)();
    } cases[] = {
        {"naming the dead owner", [] {
             pid_t owner = spawn({"/bin/sleep", "300"}, {}, "", "");
             write_file(kLock, std::to_string(owner) + "\n", 0644);
             kill(owner, SIGKILL);
             ended(owner, 5000);
         }},
        {"empty", [] { write_file(kLock, "", 0644); }},
    };
    for (const auto &c : cases) {
        double start = now_seconds();
        SandboxResult r = run_concurrently(20, c.leave_lock);
        double seconds = now_seconds() - start;
        Report rep;
        SANDBOX_REPORT(r, rep);
        EXPECT_EQ(rep["result"], "served 20, overlaps 0, wrong owner 0, wrong name 0, lock gone") << c.name;
        EXPECT_LT(seconds, 15.0) << c.name;
        std::cout << "[ timing   ] 20 runs behind a dead owner's lock, " << c.name << ", served in " << seconds
                  << " s\n";
    }
}

TEST(Lock, UnprivilegedRunWithUnwritableDevGoesOnAtOnce)
{
    SandboxResult r = run_in_sandbox(lock_spec(1, false), [] {
        // Without a lock file: EACCES at once, and nothing is created.
        pid_t pid = start_nicmatch(0, "/tmp/out_a", 65534);
        double start = now_seconds();
        put("a_status", ended(pid, 10000));
        put("a_ms", std::to_string(static_cast<int>((now_seconds() - start) * 1000)));
        put("a_out", file_text("/tmp/out_a"));
        put("a_lock", lock_exists() ? "present" : "gone");

        // With another run's lock in place (the create then fails with EEXIST).
        std::string theirs = std::to_string(getpid()) + "\n";
        write_file(kLock, theirs, 0644);
        struct stat before, after;
        stat(kLock, &before);
        pid = start_nicmatch(0, "/tmp/out_b", 65534);
        start = now_seconds();
        put("b_status", ended(pid, 10000));
        put("b_ms", std::to_string(static_cast<int>((now_seconds() - start) * 1000)));
        put("b_out", file_text("/tmp/out_b"));
        stat(kLock, &after);
        put("b_same_lock", lock_text() == theirs && before.st_ino == after.st_ino ? "yes" : "no");
        return 0;
    }, 30000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["a_status"], "exit 0");
    EXPECT_LT(std::stoi(rep["a_ms"]), 1000);
    EXPECT_EQ(rep["a_out"], "net0");
    EXPECT_EQ(rep["a_lock"], "gone");
    EXPECT_EQ(rep["b_status"], "exit 0");
    EXPECT_LT(std::stoi(rep["b_ms"]), 1000);
    EXPECT_EQ(rep["b_out"], "net0");
    EXPECT_EQ(rep["b_same_lock"], "yes");
}

// lock_step and lock_release in this process, on a scratch directory.
TEST(LockStep, TakesFreeLockAndReleasesOnlyItsOwn)
{
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string path = dir + "/lock";
    ASSERT_TRUE(lock_step(path.c_str()));
    std::string text;
    ASSERT_TRUE(read_file(path, &text));
    EXPECT_EQ(text, std::to_string(getpid()) + "\n");
    lock_release(path.c_str());
    EXPECT_NE(access(path.c_str(), F_OK), 0);

    // Released once: a later lock at the path belongs to someone else.
    ASSERT_TRUE(write_file(path, "12345\n"));
    lock_release(path.c_str());
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    remove_tree(dir);
}

} // namespace
