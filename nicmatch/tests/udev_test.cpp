// SPDX-License-Identifier: MIT
// The example device-manager rule with the real device manager daemon, in a
// sandbox with its own network namespace: it runs nicmatch for a new veth
// interface and renames it to the configured name (and leaves alone an
// interface without a hardware address, and the loopback interface), and it
// names interfaces that appear all at once.  The daemon, not `udevadm test`,
// since the latter no longer runs PROGRAM on newer versions of the device
// manager.
#include "sandbox.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char kUdevd[] = "/usr/lib/systemd/systemd-udevd";
const char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// The shipped rule calls nicmatch where it is installed; here it is at /qk.
bool sandbox_rule(std::string *rule)
{
    if (!read_file(NICMATCH_RULE, rule))
        return false;
    size_t at = rule->find(QK_NICMATCH_PATH);
    if (at == std::string::npos)
        return false;
    rule->replace(at, std::string(QK_NICMATCH_PATH).size(), "/qk/nicmatch");
    return true;
}

// Only `rule` besides the system's own rules, and a private /run.
bool install_rule(const std::string &rule)
{
    return unlink("/etc/udev") == 0 && make_dirs("/etc/udev/rules.d") &&
           write_file("/etc/udev/rules.d/70-nicmatch.rules", rule) && mount("run", "/run", "tmpfs", 0, "mode=0755") == 0;
}

int count_lines_with(const std::string &text, const std::string &what)
{
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

bool exists(const std::string &iface)
{
    return access(("/sys/class/net/" + iface).c_str(), F_OK) == 0;
}

// In a sandbox: starts the daemon with only `rule` besides the system's
// rules, makes interfaces with `add`, and waits until every name in
// `expected` exists and the daemon's queue is empty, or until the queue has
// stayed empty for 3 seconds without that.  The daemon's debug log, which
// tells how every nicmatch run ended, goes to `log`.  Returns 0, or the
// status the sandbox ends with when a step failed.
int run_daemon(const std::string &rule, const std::function<bool()> &add, const std::vector<std::string> &expected,
               std::string *log)
{
    // The daemon also sees the uevents of the host's devices (only network
    // devices belong to a namespace): its rules must not write the host's
    // attributes on their behalf.
    if (!install_rule(rule) || mount(nullptr, "/sys", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return 10;
    pid_t daemon = spawn({kUdevd, "--debug"}, {kPath}, "", "/tmp/udevd.log");
    if (daemon < 0)
        return 11;
    auto ping = [] { return run_process({"/bin/udevadm", "control", "--ping"}, {kPath}, 10000).status == 0; };
    bool up = false;
    for (int i = 0; i < 100 && !(up = ping()); i++)
        usleep(50000);
    if (!up || !add()) {
        kill(daemon, SIGKILL);
        return 12;
    }
    // The daemon's queue file exists while it has events to process.
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now(), idle = start;
    while (Clock::now() - start < std::chrono::seconds(60)) {
        bool all = true;
        for (const std::string &name : expected)
            all = all && exists(name);
        if (access("/run/udev/queue", F_OK) != 0 && ping() && access("/run/udev/queue", F_OK) != 0) {
            if (all || Clock::now() - idle > std::chrono::seconds(3))
                break;
        } else {
            idle = Clock::now();
        }
        usleep(20000);
    }
    kill(daemon, SIGTERM);
    int wstatus = 0;
    wait_for(daemon, 10000, &wstatus);
    read_file("/tmp/udevd.log", log);
    return 0;
}

TEST(UdevRule, RenamesANewInterfaceToItsConfiguredName)
{
    if (access(kUdevd, X_OK) != 0)
        GTEST_SKIP() << kUdevd << " is not installed (Debian package udev)";
    std::string rule;
    ASSERT_TRUE(sandbox_rule(&rule)) << NICMATCH_RULE;

    SandboxSpec spec;
    spec.network = true;
    spec.binds = {{NICMATCH_BIN, "/qk/nicmatch"}};
    // A template file binds the empty address, which is what a tun interface
    // has, another the loopback interface's all-zero one: the rule must not
    // ask nicmatch about either interface.
    spec.files = {{"/etc/sysconfig/network-scripts/ifcfg-lan", "DEVICE=lan0\nHWADDR=02:AA:00:00:00:01\n", 0644},
                  {"/etc/sysconfig/network-scripts/ifcfg-tmpl", "DEVICE=tmpl0\nHWADDR=\n", 0644},
                  {"/etc/sysconfig/network-scripts/ifcfg-zero", "DEVICE=zero0\nHWADDR=00:00:00:00:00:00\n", 0644}};
    SandboxResult r = run_in_sandbox(spec, [&] {
        bool tun = false;
        std::string log;
        int failed = run_daemon(rule, [&] {
            tun = make_dirs("/dev/net") && mknod("/dev/net/tun", S_IFCHR | 0666, makedev(10, 200)) == 0 &&
                  shell("ip tuntap add dev tun0 mode tun");
            // The loopback interface exists already; an add event for it
            // comes as at boot, from its uevent file, written through a
            // writable sysfs of our own (/sys is read-only here).
            return add_veth("eth0", "p0", "02:aa:00:00:00:01") && add_veth("eth1", "p1", "02:aa:00:00:00:02") &&
                   shell("mkdir /tmp/sysfs && mount -t sysfs sysfs /tmp/sysfs && "
                         "echo add > /tmp/sysfs/class/net/lo/uevent && umount /tmp/sysfs");
        }, {"lan0"}, &log);
        if (failed != 0)
            return failed;
        put("tun", tun ? "yes" : "no");
        for (const char *name : {"eth0", "eth1", "lan0", "lo", "zero0", "tun0", "tmpl0"})
            put(std::string("exists.") + name, exists(name) ? "yes" : "no");
        // eth0, eth1 and their peers; not lo, not tun0.
        put("started", std::to_string(count_lines_with(log, "Starting '/qk/nicmatch'")));
        put("succeeded", std::to_string(count_lines_with(log, "Process '/qk/nicmatch' succeeded.")));
        put("log", log.substr(log.size() > 3000 ? log.size() - 3000 : 0));
        return 0;
    }, 120000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["exists.lan0"], "yes") << rep["log"];
    EXPECT_EQ(rep["exists.eth0"], "no");
    // No binding for eth1: nicmatch prints nothing and the name stays.
    EXPECT_EQ(rep["exists.eth1"], "yes");
    EXPECT_EQ(rep["exists.lo"], "yes") << rep["log"];
    EXPECT_EQ(rep["exists.zero0"], "no");
    EXPECT_EQ(rep["started"], "4") << rep["log"];
    EXPECT_EQ(rep["succeeded"], "4") << rep["log"];
    if (rep["tun"] != "yes")
        GTEST_SKIP() << "no tun interface can be made here, so an interface without an address is not tried";
    EXPECT_EQ(rep["exists.tun0"], "yes") << rep["log"];
    EXPECT_EQ(rep["exists.tmpl0"], "no");
}

// 16 veth pairs appear at once, as at boot: the daemon runs nicmatch for all
// 32 interfaces side by side, and each configured one gets its name.  The
// daemon's debug log tells how every run ended.
TEST(UdevDaemon, NamesSixteenInterfacesThatAppearAtOnce)
{
    if (access(kUdevd, X_OK) != 0)
        GTEST_SKIP() << kUdevd << " is not installed (Debian package udev)";
    std::string rule;
    ASSERT_TRUE(sandbox_rule(&rule)) << NICMATCH_RULE;
    const int kCount = 16;

    SandboxSpec spec;
    spec.network = true;
    spec.binds = {{NICMATCH_BIN, "/qk/nicmatch"}};
    std::string batch;
    for (int k = 0; k < kCount; k++) {
        char line[160], file[64];
        snprintf(line, sizeof line, "link add eth%d address 02:aa:00:00:00:%02x type veth peer name p%d\n", k, k, k);
        batch += line;
        snprintf(file, sizeof file, "DEVICE=lan%d\nHWADDR=02:AA:00:00:00:%02X\n", k, k);
        spec.files.push_back({"/etc/sysconfig/network-scripts/ifcfg-lan" + std::to_string(k), file, 0644});
    }
    spec.files.push_back({"/tmp/add.batch", batch, 0644});

    SandboxResult r = run_in_sandbox(spec, [&] {
        std::vector<std::string> names;
        for (int k = 0; k < kCount; k++)
            names.push_back("lan" + std::to_string(k));
        std::string log;
        int failed = run_daemon(rule, [] { return shell("ip -batch /tmp/add.batch"); }, names, &log);
        if (failed != 0)
            return failed;
        int named = 0;
        for (const std::string &name : names)
            named += exists(name);
        put("named", std::to_string(named));
        for (int k = 0; k < kCount; k++)
            put("kept.eth" + std::to_string(k), exists("eth" + std::to_string(k)) ? "yes" : "no");
        put("started", std::to_string(count_lines_with(log, "Starting '/qk/nicmatch'")));
        put("succeeded", std::to_string(count_lines_with(log, "Process '/qk/nicmatch' succeeded.")));
        put("lock", access("/dev/.nicmatch.lock", F_OK) == 0 ? "left" : "gone");
        put("log", log.substr(log.size() > 3000 ? log.size() - 3000 : 0));
        return 0;
    }, 120000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["named"], std::to_string(kCount)) << rep["log"];
    for (int k = 0; k < kCount; k++)
        EXPECT_EQ(rep["kept.eth" + std::to_string(k)], "no") << "eth" << k;
    // Every interface, the unconfigured peers too, had a run, and each ended
    // with status 0: none was ended by its alarm or killed.
    EXPECT_EQ(rep["started"], std::to_string(2 * kCount)) << rep["log"];
    EXPECT_EQ(rep["succeeded"], std::to_string(2 * kCount)) << rep["log"];
    EXPECT_EQ(rep["lock"], "gone");
}

} // namespace
