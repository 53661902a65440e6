// SPDX-License-Identifier: MIT
#include "cfgscan.h"
#include "lookup.h"
#include "sandbox.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Binding {
    std::string hwaddr;
    std::string device;
    bool operator==(const Binding &) const = default;
};

void PrintTo(const Binding &b, std::ostream *os)
{
    *os << "{hwaddr '" << b.hwaddr << "', device '" << b.device << "'}";
}

// Copies a list into values and frees it.
std::vector<Binding> take(CfgEntry *list)
{
    std::vector<Binding> out;
    while (list != nullptr) {
        CfgEntry *next = list->next;
        out.push_back({list->hwaddr, list->device});
        g_free(list->hwaddr);
        g_free(list->device);
        free(list);
        list = next;
    }
    return out;
}

std::vector<Binding> parse(const std::string &text)
{
    return take(cfg_parse_text(text.c_str()));
}

std::string clean(const std::string &value)
{
    std::string buffer = value;
    return clean_value(buffer.data());
}

bool accepted(const char *name)
{
    struct dirent entry;
    memset(&entry, 0, sizeof entry);
    strncpy(entry.d_name, name, sizeof entry.d_name - 1);
    return isCfg(&entry) != 0;
}

TEST(IsCfg, KeepsOnlyIfcfgNamesThatAreNotLeftovers)
{
    for (const char *name : {"ifcfg-eth0", "ifcfg-", "ifcfg-eth0.BAK", "ifcfg-eth0.bak.x", "ifcfg-eth0:1",
                             "ifcfg-a~b", "ifcfg-rpmnew"})
        EXPECT_TRUE(accepted(name)) << name;
    for (const char *name : {"IFCFG-eth0", "ifcfg", "xifcfg-eth0", "route-eth0", "ifcfg-eth0.bak", "ifcfg-eth0~",
                             "ifcfg-eth0.rpmnew", "ifcfg-eth0.rpmsave", "ifcfg-eth0.rpmorig", "ifcfg-eth0.orig",
                             "ifcfg-eth0.old", "ifcfg-.bak", "ifcfg-~"})
        EXPECT_FALSE(accepted(name)) << name;
}

TEST(EndsWith, ComparesTheTailByteForByte)
{
    const char *str = "ifcfg-eth0.bak";
    EXPECT_EQ(endswith(str, ".bak"), str + 10);
    EXPECT_EQ(endswith(str, str), str);
    EXPECT_EQ(endswith(str, ""), str + strlen(str));
    const char *empty = "";
    EXPECT_EQ(endswith(empty, ""), empty);
    EXPECT_EQ(endswith(str, ".BAK"), nullptr);
    EXPECT_EQ(endswith(".bak", "x.bak"), nullptr);
    EXPECT_EQ(endswith("eth0~", "~~"), nullptr);
}

TEST(CleanValue, CommentNeedsBlankBefore)
{
    EXPECT_EQ(clean("eth0 #lan"), "eth0");
    EXPECT_EQ(clean("eth0\t#lan"), "eth0");
    EXPECT_EQ(clean("eth1#uplink"), "eth1#uplink");
    EXPECT_EQ(clean("#a #b"), "#a");
    EXPECT_EQ(clean("#"), "#");
    EXPECT_EQ(clean("a#"), "a#");
    EXPECT_EQ(clean("a## #b"), "a##");
    EXPECT_EQ(clean(" #only a comment"), "");
    EXPECT_EQ(clean(""), "");
}

TEST(CleanValue, TrimsTheRightOnlyAndDropsCarriageReturn)
{
    EXPECT_EQ(clean("eth0 \t \r"), "eth0");
    EXPECT_EQ(clean("  eth0"), "  eth0");
    EXPECT_EQ(clean("   "), "");
}

TEST(CleanValue, StripsOneMatchingPairOfQuotes)
{
    EXPECT_EQ(clean("\"eth1\""), "eth1");
    EXPECT_EQ(clean("'eth1'"), "eth1");
    EXPECT_EQ(clean("\"eth1'"), "\"eth1'");
    EXPECT_EQ(clean("'eth1\""), "'eth1\"");
    EXPECT_EQ(clean("\"\"eth1\"\""), "\"eth1\"");
    EXPECT_EQ(clean("\"\""), "");
    EXPECT_EQ(clean("\""), "");
    EXPECT_EQ(clean("'"), "");
    EXPECT_EQ(clean(" \"eth1\""), " \"eth1\"");
    EXPECT_EQ(clean("\"eth1\"  "), "eth1");
    EXPECT_EQ(clean("\"a\\\"b\""), "a\\\"b");
}

TEST(CleanValue, CommentCutComesBeforeUnquoting)
{
    EXPECT_EQ(clean("\"eth1 #c\""), "\"eth1");
    EXPECT_EQ(clean("\"eth1\" #c"), "eth1");
}

TEST(CleanValue, ReturnsPositionInsideTheSameBuffer)
{
    char quoted[] = "\"x\"";
    EXPECT_EQ(clean_value(quoted), quoted + 1);
    char lone[] = "\"";
    EXPECT_EQ(clean_value(lone), lone);
    EXPECT_EQ(lone[0], '\0');
}

TEST(ParseText, NeedsDeviceAndHwaddrAndNoVlan)
{
    EXPECT_EQ(parse("DEVICE=eth0\nHWADDR=00:11:22:33:44:55\n"), (std::vector<Binding>{{"00:11:22:33:44:55", "eth0"}}));
    EXPECT_EQ(parse("HWADDR=00:11:22:33:44:55\nDEVICE=eth0"), (std::vector<Binding>{{"00:11:22:33:44:55", "eth0"}}));
    EXPECT_TRUE(parse("DEVICE=eth0\n").empty());
    EXPECT_TRUE(parse("HWADDR=00:11:22:33:44:55\n").empty());
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse("\n\n").empty());
    EXPECT_TRUE(parse("VLAN=yes\n").empty());
    EXPECT_TRUE(parse("DEVICE=eth0\nVLAN=yes\nHWADDR=aa\n").empty());
    EXPECT_TRUE(parse("VLAN=yesplease\nDEVICE=eth0\nHWADDR=aa\n").empty());
    EXPECT_EQ(parse("VLAN=\"yes\"\nDEVICE=eth0\nHWADDR=aa\n").size(), 1U);
    EXPECT_EQ(parse(" VLAN=yes\nDEVICE=eth0\nHWADDR=aa\n").size(), 1U);
    EXPECT_EQ(parse("VLAN=no\nDEVICE=eth0\nHWADDR=aa\n").size(), 1U);
}

TEST(ParseText, KeysAreCaseSensitivePrefixesAtLineStart)
{
    EXPECT_TRUE(parse("device=eth0\nHWADDR=aa\n").empty());
    EXPECT_TRUE(parse(" DEVICE=eth0\nHWADDR=aa\n").empty());
    EXPECT_TRUE(parse("DEVICE=eth0\nhwaddr=aa\n").empty());
    EXPECT_TRUE(parse("DEVICE =eth0\nHWADDR=aa\n").empty());
}

TEST(ParseText, LaterLinesReplaceEarlierOnes)
{
    EXPECT_EQ(parse("DEVICE=a\nDEVICE=b\nHWADDR=1\nHWADDR=2\n"), (std::vector<Binding>{{"2", "b"}}));
    EXPECT_TRUE(parse("DEVICE=eth0:1\nHWADDR=aa\n").empty());
    EXPECT_EQ(parse("DEVICE=eth0:1\nDEVICE=eth0\nHWADDR=aa\n"), (std::vector<Binding>{{"aa", "eth0"}}));
    EXPECT_TRUE(parse("DEVICE=eth0\nDEVICE=eth0:1\nHWADDR=aa\n").empty());
    EXPECT_TRUE(parse("DEVICE=\"eth0:1\" #alias\nHWADDR=aa\n").empty());
}

TEST(ParseText, EmptyValuesStillCount)
{
    EXPECT_EQ(parse("DEVICE=eth0\nHWADDR=\n"), (std::vector<Binding>{{"", "eth0"}}));
    EXPECT_EQ(parse("DEVICE=\nHWADDR=aa\n"), (std::vector<Binding>{{"aa", ""}}));
    EXPECT_EQ(parse("DEVICE=   \nHWADDR=aa\n"), (std::vector<Binding>{{"aa", ""}}));
    EXPECT_EQ(parse("DEVICE= #none\nHWADDR=aa\n"), (std::vector<Binding>{{"aa", ""}}));
}

TEST(ParseText, StoredCopiesAreTrimmedOnBothSides)
{
    EXPECT_EQ(parse("DEVICE= \"eth1\"\nHWADDR=  aa \n"), (std::vector<Binding>{{"aa", "\"eth1\""}}));
    EXPECT_EQ(parse("DEVICE=\" eth1 \"\r\nHWADDR='AA:bb'\r\n"), (std::vector<Binding>{{"AA:bb", "eth1"}}));
    EXPECT_EQ(parse("DEVICE=\"eth1 #c\"\nHWADDR=aa\n"), (std::vector<Binding>{{"aa", "\"eth1"}}));
    EXPECT_EQ(parse("DEVICE=eth1 #uplink\nHWADDR=aa # on board\n"), (std::vector<Binding>{{"aa", "eth1"}}));
}

class ScanDir : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir(); ASSERT_FALSE(dir_.empty()); }
    void TearDown() override { remove_tree(dir_); }
    void put(const std::string &name, const std::string &text) { ASSERT_TRUE(write_file(dir_ + "/" + name, text)); }
    std::vector<Binding> scan() { return take(cfg_scan(dir_.c_str())); }
    std::string dir_;
};

TEST_F(ScanDir, ListRunsInReverseSortedNameOrder)
{
    put("ifcfg-b", "DEVICE=b2\nHWADDR=aa\n");
    put("ifcfg-a", "DEVICE=b1\nHWADDR=aa\n");
    put("ifcfg-c", "DEVICE=c\n");
    put("ifcfg-B", "DEVICE=upper\nHWADDR=aa\n");
    put("ifcfg-eth9", "DEVICE=nine\nHWADDR=aa\n");
    put("ifcfg-eth10", "DEVICE=ten\nHWADDR=aa\n");
    EXPECT_EQ(scan(), (std::vector<Binding>{{"aa", "nine"}, {"aa", "ten"}, {"aa", "b2"}, {"aa", "b1"}, {"aa", "upper"}}));
}

TEST_F(ScanDir, FilterDecidesWhichFilesAreRead)
{
    for (const char *name : {"ifcfg-eth0.bak", "ifcfg-eth0~", "ifcfg-eth0.rpmnew", "IFCFG-eth0", "eth0"})
        put(name, std::string("DEVICE=") + "ignored\nHWADDR=aa\n");
    put("ifcfg-eth0.BAK", "DEVICE=read\nHWADDR=aa\n");
    EXPECT_EQ(scan(), (std::vector<Binding>{{"aa", "read"}}));
}

TEST_F(ScanDir, SkipsWhatCannotBeReadAndStopsAtNul)
{
    ASSERT_EQ(mkdir((dir_ + "/ifcfg-dir").c_str(), 0755), 0);
    put("ifcfg-nul", std::string("DEVICE=n\0\nHWADDR=aa\n", 20));
    put("ifcfg-ok", "DEVICE=ok\nHWADDR=aa\n");
    EXPECT_EQ(scan(), (std::vector<Binding>{{"aa", "ok"}}));
}

// Scans `dir` in a child process, so that a scan that stalls fails the test
// instead of hanging it: `ended` tells whether it was done within limit_ms.
std::vector<Binding> scan_in_child(const std::string &dir, int limit_ms, bool *ended)
{
    *ended = false;
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string text;
        for (const Binding &b : take(cfg_scan(dir.c_str())))
            text += b.hwaddr + " " + b.device + "\n";
        _exit(write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(fds[1]);
    int wstatus = 0;
    *ended = pid > 0 && wait_for(pid, limit_ms, &wstatus) && WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
    if (pid > 0 && !*ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
    }
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    std::vector<Binding> out;
    gchar **lines = g_strsplit(text.c_str(), "\n", -1);
    for (gchar **line = lines; *line != nullptr; line++) {
        const char *space = strchr(*line, ' ');
        if (space != nullptr)
            out.push_back({std::string(*line, static_cast<size_t>(space - *line)), space + 1});
    }
    g_strfreev(lines);
    return out;
}

TEST_F(ScanDir, SkipsFifosSocketsAndLinksToThemAtOnce)
{
    ASSERT_EQ(mkfifo((dir_ + "/ifcfg-fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("ifcfg-fifo", (dir_ + "/ifcfg-to-fifo").c_str()), 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string sock = dir_ + "/ifcfg-sock";
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
    close(fd);
    put("ifcfg-ok", "DEVICE=ok\nHWADDR=aa\n");

    // Nothing ever writes to the FIFO: a scan that opened it would wait forever.
    bool ended = false;
    std::vector<Binding> bindings = scan_in_child(dir_, 5000, &ended);
    ASSERT_TRUE(ended) << "the scan stalled on a special file";
    EXPECT_EQ(bindings, (std::vector<Binding>{{"aa", "ok"}}));
}

TEST_F(ScanDir, MissingDirectoryGivesNothing)
{
    EXPECT_EQ(cfg_scan((dir_ + "/absent").c_str()), nullptr);
    EXPECT_EQ(cfg_scan(dir_.c_str()), nullptr);
}

// Real configuration files: every one parses, and what comes out obeys the
// rules (no alias names, no VLAN files, trimmed copies).
TEST(ScanSamples, RealConfigurationFilesParse)
{
    std::string dir = std::string(QK_TESTDATA_DIR) + "/ifcfg";
    std::vector<Binding> bindings = take(cfg_scan(dir.c_str()));
    ASSERT_FALSE(bindings.empty());
    bool found_static = false;
    for (const Binding &b : bindings) {
        EXPECT_EQ(b.device.find(':'), std::string::npos) << b.device;
        EXPECT_NE(b.device, "vlan43");
        for (const std::string *s : {&b.device, &b.hwaddr}) {
            if (!s->empty()) {
                EXPECT_FALSE(g_ascii_isspace(s->front())) << *s;
                EXPECT_FALSE(g_ascii_isspace(s->back())) << *s;
            }
        }
        found_static |= b == Binding{"00:11:22:33:44:ee", "eth0"};
    }
    EXPECT_TRUE(found_static);
}

TEST(MatchDevice, CurrentNameWinsElseFirstInListOrder)
{
    CfgEntry a = {const_cast<char *>("AA:BB"), const_cast<char *>("b1"), nullptr};
    CfgEntry b = {const_cast<char *>("aa:bb"), const_cast<char *>("b2"), &a};
    CfgEntry other = {const_cast<char *>("cc"), const_cast<char *>("eth9"), &b};
    EXPECT_STREQ(match_device(&other, "aa:BB", "eth9"), "b2");
    EXPECT_STREQ(match_device(&other, "aa:bb", "B1"), "b1");
    EXPECT_STREQ(match_device(&other, "cc", "x"), "eth9");
    EXPECT_EQ(match_device(&other, "aa-bb", "b1"), nullptr);
    EXPECT_EQ(match_device(&other, " aa:bb", "b1"), nullptr);
    EXPECT_EQ(match_device(nullptr, "aa:bb", "b1"), nullptr);
}

TEST(MatchDevice, EmptyDeviceIsRememberedLikeAnyName)
{
    CfgEntry named = {const_cast<char *>("aa"), const_cast<char *>("lan"), nullptr};
    CfgEntry empty = {const_cast<char *>("aa"), const_cast<char *>(""), &named};
    EXPECT_STREQ(match_device(&empty, "aa", "eth0"), "");
    EXPECT_STREQ(match_device(&empty, "aa", "LAN"), "lan");
}

class AddressFile : public ScanDir {};

TEST_F(AddressFile, ReadsAndTrimsTheWholeFile)
{
    ASSERT_TRUE(make_dirs(dir_ + "/net/eth0"));
    put("net/eth0/address", " \t52:54:00:12:34:56 \n\n");
    ASSERT_TRUE(make_dirs(dir_ + "/net/eth1"));
    put("net/eth1/address", "\n");
    std::string net = dir_ + "/net";

    char *addr = read_iface_address(net.c_str(), "eth0");
    ASSERT_NE(addr, nullptr);
    EXPECT_STREQ(addr, "52:54:00:12:34:56");
    g_free(addr);
    addr = read_iface_address(net.c_str(), "eth1");
    ASSERT_NE(addr, nullptr);
    EXPECT_STREQ(addr, "");
    g_free(addr);
    EXPECT_EQ(read_iface_address(net.c_str(), "eth2"), nullptr);
    EXPECT_EQ(read_iface_address(net.c_str(), ""), nullptr);
}

TEST_F(AddressFile, NamesThatAreNoInterfaceNameReadNothing)
{
    // Each of these would reach an existing file if it were pasted into the path.
    ASSERT_TRUE(make_dirs(dir_ + "/net/eth0"));
    put("net/eth0/address", "aa\n");
    put("net/address", "bb\n");
    put("address", "cc\n");
    std::string net = dir_ + "/net";
    for (const char *name : {".", "..", "eth0/..", "../net/eth0", "eth0/", "/eth0"})
        EXPECT_EQ(read_iface_address(net.c_str(), name), nullptr) << name;
}

} // namespace
