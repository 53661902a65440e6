// SPDX-License-Identifier: MIT
// The sandbox itself: what runs inside can neither reach a process outside
// nor write below a read-only bind.
#include "sandbox.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

std::string write_result(const std::string &path)
{
    errno = 0;
    if (write_file(path, "written from inside\n"))
        return "written";
    return strerror(errno);
}

TEST(Sandbox, InsideCannotSignalOutsideNorWriteBelowAReadOnlyBind)
{
    // A process of the test's own, outside any sandbox.
    pid_t outside = spawn({"/bin/sleep", "60"}, {}, "", "");
    ASSERT_GT(outside, 0);

    SandboxResult r = run_in_sandbox({}, [&] {
        errno = 0;
        int sent = kill(outside, SIGKILL);
        put("kill", sent == 0 ? "sent" : strerror(errno));

        // The scratch directory, with a file system mounted below it, lies
        // outside the inner sandbox that binds it read-only.
        if (!make_dirs("/tmp/scratch/below") ||
            mount("below", "/tmp/scratch/below", "tmpfs", 0, nullptr) != 0)
            return 10;
        SandboxSpec inner;
        inner.binds = {{"/tmp/scratch", "/scratch"}};
        SandboxResult in = run_in_sandbox(inner, [] {
            put("top", write_result("/scratch/file"));
            put("below", write_result("/scratch/below/file"));
            return 0;
        }, 30000);
        if (in.skipped || in.proc.status != 0) {
            fprintf(stderr, "inner sandbox: %s%s\n", in.skip_reason.c_str(), in.proc.err.c_str());
            return 11;
        }
        fputs(in.proc.out.c_str(), stdout);
        std::string ignored;
        put("below.after", read_file("/tmp/scratch/below/file", &ignored) ? "exists" : "absent");
        return 0;
    }, 60000);

    int wstatus = 0;
    bool ended = waitpid(outside, &wstatus, WNOHANG) == outside;
    kill(outside, SIGKILL);
    waitpid(outside, &wstatus, 0);

    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["kill"], strerror(ESRCH));
    EXPECT_FALSE(ended) << "the process outside was ended";
    EXPECT_EQ(rep["top"], strerror(EROFS));
    EXPECT_EQ(rep["below"], strerror(EROFS));
    EXPECT_EQ(rep["below.after"], "absent");
}

} // namespace
