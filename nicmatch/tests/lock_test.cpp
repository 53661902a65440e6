// SPDX-License-Identifier: MIT
// The instance lock and the watchdog, on real processes in a sandbox with its
// own /dev: the cases that take well under ten seconds.
#include "lock.h"
#include "lock_harness.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstring>
#include <iostream>

namespace {

TEST(Lock, HeldDuringTheRunWithPidAndLineEndThenGone)
{
    SandboxResult r = run_in_sandbox(lock_spec(3, 3), [] {
        if (!make_fifos(3))
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

        // A lock file that replaced the run's own while it worked (another
        // file on the same device, naming the same pid) is not the run's to
        // remove.
        pid = start_nicmatch(2, "/tmp/out3");
        wait_until([] { return opened(2); }, 5000);
        std::string held = lock_text();
        unlink(kLock);
        write_file(kLock, held, 0644);
        feed(2);
        put("status3", ended(pid, 5000));
        put("out3", file_text("/tmp/out3"));
        put("after3", lock_text() == held ? "left alone" : lock_text());
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
    EXPECT_EQ(rep["status3"], "exit 0");
    EXPECT_EQ(rep["out3"], "net2");
    EXPECT_EQ(rep["after3"], "left alone");
}

TEST(Lock, SigtermPastTheLockStepRemovesItAndEndsWithOne)
{
    SandboxResult r = run_in_sandbox(lock_spec(2, 2), [] {
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
    SandboxResult r = run_in_sandbox(lock_spec(2, 2), [] {
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

// Also without /proc, where no run can tell what another runs: each is then
// taken for a live owner, not for a stranger; and through an upgrade, where the
// runs of the replaced program file and of the new one take turns alike.
TEST(Lock, TwentyConcurrentRunsTakeTurns)
{
    for (std::string how : {"with /proc", "without /proc", "through an upgrade"}) {
        SandboxResult r = run_concurrently(20, [how] {
            if (how == "without /proc")
                put("proc", umount2("/proc", MNT_DETACH) == 0 ? "gone" : "still there");
        }, how == "through an upgrade");
        Report rep;
        SANDBOX_REPORT(r, rep);
        if (how == "without /proc") {
            EXPECT_EQ(rep["proc"], "gone");
        } else if (how == "through an upgrade") {
            EXPECT_EQ(rep["upgraded"], "yes");
        }
        EXPECT_EQ(rep["result"], "served 20, overlaps 0, wrong owner 0, wrong name 0, lock gone") << how;
    }
}

// The lock of an owner that died by SIGKILL is removed at the first look,
// so a crowd arriving behind it takes turns as usual, well before the
// patience (from which on it would kill its own members).
// A dead owner's lock, whether it names the owner (reaped, or a zombie its
// parent has not reaped yet) or (killed between its create and its write)
// nothing, is cleared long before the queue behind it reaches its patience,
// so nobody kills anybody.
TEST(Lock, TwentyRunsBehindADeadOwnersLockTakeTurns)
{
    const struct {
        const char *name;
        void (*leave_lock)();
    } cases[] = {
        {"naming the dead owner", [] { put("left", killed_owner(true) > 0 ? "yes" : "no"); }},
        {"naming a zombie owner", [] { put("left", killed_owner(false) > 0 ? "yes" : "no"); }},
        {"empty", [] { put("left", write_file(kLock, "", 0644) ? "yes" : "no"); }},
    };
    for (const auto &c : cases) {
        double start = now_seconds();
        SandboxResult r = run_concurrently(20, c.leave_lock);
        double seconds = now_seconds() - start;
        Report rep;
        SANDBOX_REPORT(r, rep);
        EXPECT_EQ(rep["left"], "yes") << c.name;
        EXPECT_EQ(rep["result"], "served 20, overlaps 0, wrong owner 0, wrong name 0, lock gone") << c.name;
        EXPECT_LT(seconds, 15.0) << c.name;
        std::cout << "[ timing   ] 20 runs behind a dead owner's lock, " << c.name << ", served in " << seconds
                  << " s\n";
    }
}

// A run killed while it held the lock (by the device manager's timeout, the
// OOM killer) leaves its lock file, and another program takes its pid before
// the next run comes, so that program started before that run first saw the
// file.  However that program is named (a link called nicmatch to another
// program too), it is no run of ours: it lives on, and the next run removes
// the lock and prints its name at once.
TEST(Lock, PidOfAKilledOwnerTakenByAnotherProgram)
{
    SandboxResult r = run_in_sandbox(lock_spec(1, 0), [] {
        if (symlink("/bin/sleep", "/tmp/nicmatch") != 0)
            return 10;
        for (std::string program : {"/bin/sleep", "/tmp/nicmatch"}) {
            pid_t owner = killed_owner(true);
            if (owner < 0)
                return 11;
            // The next process made in this pid namespace gets the owner's pid.
            if (!write_file("/proc/sys/kernel/ns_last_pid", std::to_string(owner - 1))) {
                put("skip", std::string("cannot write /proc/sys/kernel/ns_last_pid: ") + strerror(errno));
                return 0;
            }
            pid_t other = spawn({program, "300"}, {}, "", "");
            put(program + ".pid", other == owner ? "the owner's" : "another");
            double start = now_seconds();
            ProcResult run = run_process({"/qk/nicmatch"}, {"INTERFACE=" + iface_of(0)}, 60000);
            put(program + ".seconds", std::to_string(now_seconds() - start));
            put(program + ".run", run.signal != 0 ? "signal " + std::to_string(run.signal)
                                                  : "exit " + std::to_string(run.status));
            put(program + ".out", run.out);
            put(program + ".lock", lock_exists() ? lock_text() : "gone");
            int wstatus = 0;
            put(program + ".other", wait_for(other, 100, &wstatus) ? describe_status(wstatus) : "alive");
            kill(other, SIGKILL);
            wait_for(other, 5000, &wstatus);
        }
        return 0;
    }, 120000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    if (!rep["skip"].empty())
        GTEST_SKIP() << rep["skip"];
    for (std::string program : {"/bin/sleep", "/tmp/nicmatch"}) {
        ASSERT_EQ(rep[program + ".pid"], "the owner's") << program;
        EXPECT_EQ(rep[program + ".other"], "alive") << program;
        EXPECT_EQ(rep[program + ".run"], "exit 0") << program;
        EXPECT_EQ(rep[program + ".out"], name_of(0)) << program;
        EXPECT_EQ(rep[program + ".lock"], "gone") << program;
        EXPECT_LT(std::stod(rep[program + ".seconds"]), 2.0) << program;
        std::cout << "[ timing   ] " << program << " holding a killed owner's pid: name printed after "
                  << rep[program + ".seconds"] << " s\n";
    }
}

TEST(Lock, UnprivilegedRunWithUnwritableDevGoesOnAtOnce)
{
    SandboxResult r = run_in_sandbox(lock_spec(1, 0), [] {
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
