// SPDX-License-Identifier: MIT
// The example device-manager rule with the real device manager: udevadm test
// in a sandbox with its own network namespace runs nicmatch for a new veth
// interface and renames it to the configured name.
#include "sandbox.h"

#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UdevRule, RenamesANewInterfaceToItsConfiguredName)
{
    if (access("/usr/bin/udevadm", X_OK) != 0 && access("/bin/udevadm", X_OK) != 0)
        GTEST_SKIP() << "udevadm is not installed (Debian package udev)";
    std::string rule;
    ASSERT_TRUE(read_file(NICMATCH_RULE, &rule));
    // The shipped rule calls nicmatch where it is installed; here it is at /qk.
    size_t at = rule.find(QK_NICMATCH_PATH);
    ASSERT_NE(at, std::string::npos) << rule;
    rule.replace(at, std::string(QK_NICMATCH_PATH).size(), "/qk/nicmatch");

    SandboxSpec spec;
    spec.network = true;
    spec.binds = {{NICMATCH_BIN, "/qk/nicmatch"}};
    spec.files = {{"/etc/sysconfig/network-scripts/ifcfg-lan", "DEVICE=lan0\nHWADDR=02:AA:00:00:00:01\n", 0644}};
    SandboxResult r = run_in_sandbox(spec, [&] {
        // Only this rule (besides the system's own) and a private /run.
        if (unlink("/etc/udev") != 0 || !make_dirs("/etc/udev/rules.d") ||
            !write_file("/etc/udev/rules.d/70-nicmatch.rules", rule) ||
            mount("run", "/run", "tmpfs", 0, "mode=0755") != 0)
            return 10;
        if (!add_veth("eth0", "p0", "02:aa:00:00:00:01") || !add_veth("eth1", "p1", "02:aa:00:00:00:02"))
            return 11;
        for (const char *iface : {"eth0", "eth1"}) {
            ProcResult test = run_process({"/bin/udevadm", "test", "--action=add", std::string("/sys/class/net/") + iface},
                                          {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, 60000);
            put(std::string(iface) + ".status", std::to_string(test.status));
            put(std::string(iface) + ".log", test.err.substr(test.err.size() > 2000 ? test.err.size() - 2000 : 0));
        }
        for (const char *name : {"eth0", "eth1", "lan0"})
            put(std::string("exists.") + name, access((std::string("/sys/class/net/") + name).c_str(), F_OK) == 0 ? "yes" : "no");
        return 0;
    }, 120000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["eth0.status"], "0") << rep["eth0.log"];
    EXPECT_EQ(rep["exists.lan0"], "yes") << rep["eth0.log"];
    EXPECT_EQ(rep["exists.eth0"], "no");
    // No binding for eth1: nicmatch prints nothing and the name stays.
    EXPECT_EQ(rep["eth1.status"], "0") << rep["eth1.log"];
    EXPECT_EQ(rep["exists.eth1"], "yes");
}

} // namespace
