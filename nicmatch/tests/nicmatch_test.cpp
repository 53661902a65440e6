// SPDX-License-Identifier: MIT
// The built nicmatch, run end to end in a sandbox with its own configuration
// directory and, where real kernel address files are wanted, its own network
// namespace with veth interfaces.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char kScripts[] = "/etc/sysconfig/network-scripts/";

SandboxFile cfg(const std::string &name, const std::string &text)
{
    return {kScripts + name, text, 0644};
}

struct NicRun {
    std::vector<SandboxFile> files;
    bool network = true;
    std::vector<std::pair<std::string, std::string>> veths;  // name, address
};

SandboxResult run_nicmatch(const NicRun &run, const std::vector<std::string> &env)
{
    SandboxSpec spec;
    spec.network = run.network;
    spec.files = run.files;
    spec.binds = {{NICMATCH_BIN, "/qk/nicmatch"}};
    return run_program_in_sandbox(spec, {"/qk/nicmatch"}, env, 30000, [&] {
        int n = 0;
        for (const auto &[name, mac] : run.veths)
            if (!add_veth(name, "peer" + std::to_string(n++), mac))
                return false;
        return true;
    });
}

// Runs nicmatch and checks it ended with status 0, nothing on standard error,
// and exactly `expected` (no line end) on standard output.  Returns why no
// sandbox could be made here, or "".
std::string check_name(const NicRun &run, const std::string &iface, const std::string &expected)
{
    SandboxResult r = run_nicmatch(run, {"INTERFACE=" + iface});
    if (r.skipped)
        return r.skip_reason;
    EXPECT_EQ(r.proc.status, 0) << r.proc.err;
    EXPECT_EQ(r.proc.err, "");
    EXPECT_EQ(r.proc.out, expected) << "INTERFACE=" << iface;
    return "";
}

// In a test body: check_name, and the test skipped (and ended) where no
// sandbox can be made.  A skip inside check_name would leave only check_name.
#define EXPECT_NAME(run, iface, expected)                            \
    do {                                                             \
        std::string skip_reason_ = check_name(run, iface, expected); \
        if (!skip_reason_.empty())                                   \
            GTEST_SKIP() << skip_reason_;                            \
    } while (0)

TEST(Nicmatch, KernelLowerCaseMatchesConfiguredUpperCase)
{
    NicRun run;
    run.veths = {{"va", "02:ab:cd:00:00:01"}};
    run.files = {cfg("ifcfg-lan", "DEVICE=lan0\nHWADDR=02:AB:CD:00:00:01\n"),
                 cfg("ifcfg-other", "DEVICE=other\nHWADDR=02:ab:cd:00:00:99\n")};
    EXPECT_NAME(run, "va", "lan0");
}

TEST(Nicmatch, SeparatorsMustAgreeExactly)
{
    NicRun run;
    run.veths = {{"va", "02:ab:cd:00:00:01"}};
    run.files = {cfg("ifcfg-lan", "DEVICE=lan0\nHWADDR=02-ab-cd-00-00-01\n")};
    EXPECT_NAME(run, "va", "");
}

TEST(Nicmatch, LastFileWinsUnlessOneNamesTheInterface)
{
    NicRun run;
    run.veths = {{"eth9", "02:00:00:00:00:09"}, {"b1", "02:00:00:00:00:01"}, {"B2", "02:00:00:00:00:02"}};
    run.files = {cfg("ifcfg-a", "DEVICE=b1\nHWADDR=02:00:00:00:00:09\n"),
                 cfg("ifcfg-b", "DEVICE=b2\nHWADDR=02:00:00:00:00:09\n"),
                 cfg("ifcfg-c", "DEVICE=b1\nHWADDR=02:00:00:00:00:01\n"),
                 cfg("ifcfg-d", "DEVICE=x\nHWADDR=02:00:00:00:00:01\n"),
                 cfg("ifcfg-e", "DEVICE=b2\nHWADDR=02:00:00:00:00:02\n"),
                 cfg("ifcfg-f", "DEVICE=y\nHWADDR=02:00:00:00:00:02\n")};
    EXPECT_NAME(run, "eth9", "b2");
    EXPECT_NAME(run, "b1", "b1");
    // The interface "B2" keeps its name, printed as the file spells it.
    EXPECT_NAME(run, "B2", "b2");
}

TEST(Nicmatch, PrintsNothingWithoutAMatch)
{
    NicRun run;
    run.veths = {{"va", "02:00:00:00:00:0a"}};
    run.files = {cfg("ifcfg-x", "DEVICE=x\nHWADDR=02:00:00:00:00:0b\n"),
                 cfg("ifcfg-v", "DEVICE=v\nHWADDR=02:00:00:00:00:0a\nVLAN=yes\n"),
                 cfg("ifcfg-al", "DEVICE=va:1\nHWADDR=02:00:00:00:00:0a\n"),
                 cfg("ifcfg-va.bak", "DEVICE=bak\nHWADDR=02:00:00:00:00:0a\n")};
    EXPECT_NAME(run, "va", "");
    EXPECT_NAME(run, "nosuchif", "");
    run.files.clear();
    EXPECT_NAME(run, "va", "");
}

TEST(Nicmatch, MissingOrEmptyInterfaceEndsQuietly)
{
    NicRun run;
    run.veths = {{"va", "02:00:00:00:00:0a"}};
    run.files = {cfg("ifcfg-x", "DEVICE=x\nHWADDR=\n")};
    SandboxResult r = run_nicmatch(run, {});
    if (r.skipped)
        GTEST_SKIP() << r.skip_reason;
    EXPECT_EQ(r.proc.status, 0);
    EXPECT_EQ(r.proc.out + r.proc.err, "");
    EXPECT_NAME(run, "", "");
}

// A fake address tree stands in for /sys where the kernel would not give
// the contents wanted.
TEST(Nicmatch, EmptyAddressMatchesEmptyHwaddr)
{
    NicRun run;
    run.network = false;
    run.files = {{"/sys/class/net/eth7/address", " \n", 0444},
                 cfg("ifcfg-a", "DEVICE=eth7x\nHWADDR=\n"),
                 cfg("ifcfg-b", "DEVICE=eth8\nHWADDR=00:11:22:33:44:55\n")};
    EXPECT_NAME(run, "eth7", "eth7x");
}

TEST(Nicmatch, EmptyDeviceFirstMatchPrintsNothingUnlessNamed)
{
    NicRun run;
    run.network = false;
    run.files = {{"/sys/class/net/eth7/address", "aa\n", 0444},
                 {"/sys/class/net/Eth7/address", "aa\n", 0444},
                 cfg("ifcfg-a", "DEVICE=eth7\nHWADDR=aa\n"),
                 cfg("ifcfg-b", "DEVICE=\nHWADDR=AA\n")};
    EXPECT_NAME(run, "Eth7", "eth7");
    run.files[2] = cfg("ifcfg-a", "DEVICE=eth6\nHWADDR=aa\n");
    EXPECT_NAME(run, "eth7", "");
}

TEST(Nicmatch, InterfaceValueCannotLeaveTheDeviceDirectory)
{
    // Were INTERFACE pasted into the path as it is, each of these names
    // would reach an address file that matches a binding.
    NicRun run;
    run.network = false;
    run.files = {{"/sys/class/address", "aa\n", 0444},
                 {"/sys/class/net/eth0/address", "aa\n", 0444},
                 {"/sys/address", "aa\n", 0444},
                 cfg("ifcfg-a", "DEVICE=stolen\nHWADDR=aa\n")};
    EXPECT_NAME(run, "eth0", "stolen");
    for (const char *bad : {"..", ".", "eth0/..", "../net/eth0", "x/../eth0", "../../class"})
        EXPECT_NAME(run, bad, "");
}

TEST(Nicmatch, UnreadableConfigurationIsSkipped)
{
    NicRun run;
    run.veths = {{"va", "02:00:00:00:00:0a"}};
    run.files = {cfg("ifcfg-a", "DEVICE=first\nHWADDR=02:00:00:00:00:0a\n"),
                 cfg("ifcfg-b/ignored", "")};
    EXPECT_NAME(run, "va", "first");
}

} // namespace

namespace {

// The real configuration samples as the configuration directory, runs that
// match, miss and end early, all under valgrind.
TEST(Nicmatch, CleanUnderMemcheck)
{
    std::string why = memcheck_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    SandboxSpec spec;
    spec.binds = {{NICMATCH_BIN, "/qk/nicmatch"},
                  {std::string(QK_TESTDATA_DIR) + "/ifcfg", "/etc/sysconfig/network-scripts"}};
    spec.files = {{"/sys/class/net/eth0/address", "00:11:22:33:44:EE\n", 0444},
                  {"/sys/class/net/eth1/address", "02:00:00:00:00:99\n", 0444}};
    SandboxResult r = run_in_sandbox(spec, [] {
        int n = 0;
        for (const char *env : {"INTERFACE=eth0", "INTERFACE=eth1", "INTERFACE=absent", "NOTHING=1"}) {
            ProcResult p = run_process(under_memcheck({"/qk/nicmatch"}), {env}, 120000);
            put("status" + std::to_string(n), std::to_string(p.status));
            put("out" + std::to_string(n), p.out);
            put("err" + std::to_string(n), p.err);
            n++;
        }
        return 0;
    }, 300000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    for (int n = 0; n < 4; n++)
        EXPECT_EQ(rep["status" + std::to_string(n)], "0") << rep["err" + std::to_string(n)];
    // ifcfg-test-wired-static binds 00:11:22:33:44:ee to eth0.
    EXPECT_EQ(rep["out0"], "eth0");
    EXPECT_EQ(rep["out1"], "");
}

} // namespace
