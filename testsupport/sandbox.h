// SPDX-License-Identifier: MIT
// Running processes, and running them inside a throw-away system view: a
// private mount namespace and pid namespace (and, on request, a private
// network namespace) whose root is a tmpfs built from binds of the host's
// programs and libraries, read-only with every mount below them, with its own
// /etc, /dev, /proc, /sys and /tmp.  The sandbox's first process is its init
// (pid 1, rooted where everything inside is); it ends with the process that
// started the sandbox, and everything inside ends with it.  Nothing made
// inside reaches the host, and nothing inside can signal a process outside.
//
// One header for the tests; each section names the file that holds its code
// (mounts.cpp holds the mount table and read-only binds, used inside only).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

// ---- Child processes (child_process.cpp)

struct ProcResult {
    bool started = false;     // fork (and, for run_process, exec) succeeded
    int status = -1;          // exit status, or -1 when ended by a signal
    int signal = 0;           // the signal that ended it, or 0
    bool timed_out = false;   // killed because it outlived its time limit
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs argv (argv[0] is a path) with exactly `env` as its environment and
// `input` on its standard input; captures its output.  Killed after timeout_ms.
ProcResult run_process(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                       int timeout_ms, const std::string &input = "");

// A child process whose output is being collected.
struct ChildRun {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    int timeout_ms = 0;
    std::chrono::steady_clock::time_point start;
};

// Starts argv in the background with its output going to the files named
// (/dev/null when empty), as user and group `uid` when uid >= 0.  Returns its
// pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &out_path, const std::string &err_path, int uid = -1);
// Waits up to timeout_ms for the child `pid`; true when it ended.
bool wait_for(pid_t pid, int timeout_ms, int *wstatus);

bool shell(const std::string &command);   // /bin/sh -c; true on status 0

// argv run under valgrind's memcheck: any invalid access or definite leak
// makes it exit with kMemcheckError (memory kept until exit is allowed).
const int kMemcheckError = 99;
std::vector<std::string> under_memcheck(const std::vector<std::string> &argv);
// Empty when memcheck can run the programs of this build, else the reason.
std::string memcheck_unavailable();

// ---- The sandbox (sandbox_entry.cpp)

struct SandboxFile {
    std::string path;         // absolute path inside the sandbox; parents are made
    std::string contents;
    unsigned mode = 0644;
};

struct SandboxSpec {
    bool network = false;     // new network namespace, its sysfs mounted at /sys
    std::vector<SandboxFile> files;
    // Host path -> sandbox path, bound read-only (directories or files).
    std::vector<std::pair<std::string, std::string>> binds;
    // Host device nodes bound into the sandbox's /dev besides null, zero,
    // full, random, urandom and tty (for instance "loop-control").
    std::vector<std::string> dev_nodes;
};

struct SandboxResult {
    bool skipped = false;     // namespaces are not available here
    std::string skip_reason;
    ProcResult proc;
};

// A sandbox started by start_in_sandbox, to be finished by finish_sandbox.
struct SandboxRun {
    std::string skip_reason;  // set when no sandbox could be started
    std::string root;
    ChildRun child;
};

// What to do where no sandbox can be made here at all (one line), for a
// skip_reason above; "" for other reasons.
std::string sandbox_remedy(const std::string &skip_reason);

// Starts `body` in a new sandbox and returns at once, so that several
// sandboxes can run side by side; finish_sandbox waits for one.
SandboxRun start_in_sandbox(const SandboxSpec &spec, const std::function<int()> &body, int timeout_ms);
SandboxResult finish_sandbox(SandboxRun &run);

// Runs `body` in a child process inside a new sandbox; its return value is
// the child's exit status, and what it (or anything it starts) prints is
// captured.  The child and everything it started are killed after timeout_ms.
SandboxResult run_in_sandbox(const SandboxSpec &spec, const std::function<int()> &body, int timeout_ms);

// Inside a sandbox: runs `setup` (when given; a false result ends the run with
// status 125), then replaces the sandbox process by argv.
SandboxResult run_program_in_sandbox(const SandboxSpec &spec, const std::vector<std::string> &argv,
                                     const std::vector<std::string> &env, int timeout_ms,
                                     const std::function<bool()> &setup = nullptr);

// ---- Reports out of a sandbox (report.cpp)

// Sandbox bodies run in another process and cannot use test assertions, so
// they print "key value" lines (values escaped) that the test reads back.
using Report = std::map<std::string, std::string>;
void put(const std::string &key, const std::string &value);
Report parse_report(const std::string &text);

// In a GoogleTest body, after run_in_sandbox: skips the test when no sandbox
// could be made here, fails it when the body did not end with status 0, and
// otherwise reads the body's report into `report`.
#define SANDBOX_REPORT(result, report)                                   \
    do {                                                                 \
        if ((result).skipped)                                            \
            GTEST_SKIP() << (result).skip_reason;                        \
        ASSERT_EQ((result).proc.status, 0) << (result).proc.err;         \
        (report) = parse_report((result).proc.out);                      \
    } while (0)

// ---- Files, for sandbox bodies and tests (file_helpers.cpp)

bool write_file(const std::string &path, const std::string &contents, unsigned mode = 0644);
bool read_file(const std::string &path, std::string *contents);
bool make_dirs(const std::string &path, unsigned mode = 0755);
// Adds a veth pair in the current network namespace, `name` with address `mac`.
// Refuses (false) unless called inside a sandbox with its own network namespace.
bool add_veth(const std::string &name, const std::string &peer, const std::string &mac);
// Attaches `image` to a free loop device and creates its node in the current
// /dev (which needs "loop-control").  Returns an open descriptor of the device,
// or -1: close it once the device is mounted, and the device detaches itself
// when the last user goes (at the latest when the sandbox's mounts go).
int attach_loop(const std::string &image, std::string *device);

// ---- Temporary folders (temp_dirs.cpp)

// A fresh directory for scratch files (removed by remove_tree), named after
// this process; the first call in a process removes the ones left by test
// processes that are gone.
std::string make_temp_dir();
// Removes `path` and all below it, never following a link and never going
// into another mount.
void remove_tree(const std::string &path);
