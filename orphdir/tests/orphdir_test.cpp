// SPDX-License-Identifier: MIT
// orphdir on real file systems: small images made for each test, loop-mounted
// inside a sandbox, and the built program run in them.
#include "lostfound.h"
#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string kBanner = std::string("orphdir ") + QK_VERSION + " (" + QK_RELEASE_DATE + ")\n";
const std::string kFillerPrefix(246, 'x');

// Names in `dir`, without "." and "..".
std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

// Runs orphdir in the current directory and reports what it did under `tag`.
void run_and_report(const std::string &tag, const std::vector<std::string> &args,
                    const std::vector<std::string> &env = {"PATH=/usr/bin:/bin"})
{
    std::vector<std::string> argv = {"/qk/orphdir"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcResult r = run_process(argv, env, 120000);
    put(tag + ".status", std::to_string(r.signal != 0 ? 128 + r.signal : r.status));
    put(tag + ".out", r.out);
    put(tag + ".err", r.err);
    put(tag + ".seconds", std::to_string(r.seconds));
}

// Reports the state of "lost+found" in the current directory.
void report_dir(const std::string &tag)
{
    struct stat st;
    if (stat("lost+found", &st) != 0) {
        put(tag + ".exists", "0");
        return;
    }
    std::vector<std::string> names = entries("lost+found");
    put(tag + ".exists", "1");
    put(tag + ".isdir", S_ISDIR(st.st_mode) ? "1" : "0");
    put(tag + ".mode", std::to_string(st.st_mode & 07777));
    put(tag + ".size", std::to_string(st.st_size));
    put(tag + ".blksize", std::to_string(st.st_blksize));
    put(tag + ".ino", std::to_string(st.st_ino) + "/" + std::to_string(st.st_mtim.tv_sec) + "." +
                          std::to_string(st.st_mtim.tv_nsec));
    put(tag + ".entries", std::to_string(names.size()));
    // Fillers left behind must be exactly the indices 0..n-1.
    bool contiguous = true;
    for (size_t i = 0; i < names.size(); i++) {
        char want[300];
        snprintf(want, sizeof want, "%s%08zu", kFillerPrefix.c_str(), i);
        contiguous &= std::find(names.begin(), names.end(), want) != names.end();
    }
    put(tag + ".contiguous", contiguous ? "1" : "0");
}

SandboxSpec orphdir_spec()
{
    SandboxSpec spec;
    spec.binds = {{ORPHDIR_BIN, "/qk/orphdir"}};
    spec.dev_nodes = {"loop-control"};
    return spec;
}

struct FsCase {
    const char *name;
    const char *fstype;
    const char *mkfs;        // run with the image path appended
    const char *image_size;
    bool keeps_size;         // directories never shrink on this file system
};

const FsCase kFileSystems[] = {
    {"ext4_1k", "ext4", "mkfs.ext4 -q -F -b 1024", "16M", true},
    {"ext4_4k", "ext4", "mkfs.ext4 -q -F -b 4096", "64M", true},
    {"ext2", "ext2", "mkfs.ext2 -q -F", "16M", true},
    {"ext3", "ext3", "mkfs.ext3 -q -F -b 2048", "32M", true},
    {"xfs", "xfs", "mkfs.xfs -q -f", "320M", false},
    {"btrfs", "btrfs", "mkfs.btrfs -q -f", "256M", false},
};

bool kernel_has(const std::string &fstype)
{
    std::string text;
    return read_file("/proc/filesystems", &text) && text.find("\t" + fstype + "\n") != std::string::npos;
}

// How GoogleTest shows a case in its messages (else as a dump of its bytes).
void PrintTo(const FsCase &fs, std::ostream *os)
{
    *os << fs.name << " (" << fs.mkfs << ")";
}

class OrphdirOnFs : public ::testing::TestWithParam<FsCase> {};

TEST_P(OrphdirOnFs, GrowsThenEmptiesAndRefusesASecondRun)
{
    const FsCase &fs = GetParam();
    std::string tool = std::string(fs.mkfs).substr(0, std::string(fs.mkfs).find(' '));
    if (!shell("command -v " + tool + " >/dev/null"))
        GTEST_SKIP() << tool << " is not installed";
    if (!kernel_has(fs.fstype))
        GTEST_SKIP() << "the kernel does not offer " << fs.fstype;

    SandboxResult r = run_in_sandbox(orphdir_spec(), [&] {
        const std::string image = "/tmp/fs.img";
        if (!shell(std::string("truncate -s ") + fs.image_size + " " + image + " && " + fs.mkfs + " " + image + " >/dev/null"))
            return 10;
        std::string device;
        int loop = attach_loop(image, &device);
        if (loop < 0 || mount(device.c_str(), "/mnt", fs.fstype, 0, nullptr) != 0) {
            perror("attach or mount");
            return 11;
        }
        close(loop);
        rmdir("/mnt/lost+found");   // mkfs of the ext family makes one
        if (chdir("/mnt") != 0)
            return 12;

        run_and_report("first", {});
        report_dir("after_first");
        run_and_report("second", {});
        report_dir("after_second");

        // The same growth measured from inside, for the figures.
        LostFoundStats stats;
        const char *failed = grow_lost_found("/mnt/measure", &stats);
        put("measure.failed", failed ? failed : "");
        put("measure.files", std::to_string(stats.files));
        put("measure.size", std::to_string(stats.size));
        return 0;
    }, 180000);
    if (r.skipped)
        GTEST_SKIP() << r.skip_reason;
    ASSERT_EQ(r.proc.status, 0) << r.proc.err << r.proc.out;
    Report rep = parse_report(r.proc.out);

    EXPECT_EQ(rep["first.status"], "0") << rep["first.err"];
    EXPECT_EQ(rep["first.err"], kBanner);
    EXPECT_EQ(rep["first.out"], "");
    EXPECT_EQ(rep["after_first.isdir"], "1");
    EXPECT_EQ(rep["after_first.mode"], std::to_string(0700));
    EXPECT_EQ(rep["after_first.entries"], "0");
    long long size = std::stoll(rep["after_first.size"]), blksize = std::stoll(rep["after_first.blksize"]);
    if (fs.keeps_size) {
        EXPECT_GT(size, 11 * blksize);
    }

    EXPECT_EQ(rep["second.status"], "1");
    EXPECT_EQ(rep["second.err"], kBanner + "mkdir: File exists\n");
    EXPECT_EQ(rep["second.out"], "");
    EXPECT_EQ(rep["after_second.ino"], rep["after_first.ino"]);
    EXPECT_EQ(rep["after_second.entries"], "0");

    EXPECT_EQ(rep["measure.failed"], "");
    std::cout << "[ figures  ] " << fs.name << ": block size " << blksize << ", filler files "
              << rep["measure.files"] << ", size at stop " << rep["measure.size"] << ", final size " << size
              << ", run time " << rep["first.seconds"] << " s\n";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, OrphdirOnFs, ::testing::ValuesIn(kFileSystems),
                         [](const ::testing::TestParamInfo<FsCase> &p) { return std::string(p.param.name); });

TEST(Orphdir, ArgumentsGiveUsageAndCreateNothing)
{
    SandboxResult r = run_in_sandbox(orphdir_spec(), [&] {
        if (chdir("/tmp") != 0)
            return 12;
        run_and_report("one", {"x"});
        run_and_report("two", {"a", "b"});
        report_dir("after");
        return 0;
    }, 30000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    for (const char *tag : {"one", "two"}) {
        EXPECT_EQ(rep[std::string(tag) + ".status"], "1");
        EXPECT_EQ(rep[std::string(tag) + ".err"], kBanner + "Usage: orphdir\n");
        EXPECT_EQ(rep[std::string(tag) + ".out"], "");
    }
    EXPECT_EQ(rep["after.exists"], "0");
}

TEST(Orphdir, BannerHasVersionAndReleaseDate)
{
    std::regex form(R"(orphdir [0-9]+(\.[0-9]+)+ \([0-9]{1,2}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-9]{4}\)\n)");
    EXPECT_TRUE(std::regex_match(kBanner, form)) << kBanner;
}

TEST(Orphdir, RunningOutOfInodesStopsAtCreatAndKeepsTheFillers)
{
    SandboxResult r = run_in_sandbox(orphdir_spec(), [&] {
        if (mount("small", "/mnt", "tmpfs", 0, "size=1m,nr_inodes=40") != 0 || chdir("/mnt") != 0)
            return 11;
        run_and_report("run", {});
        report_dir("after");
        return 0;
    }, 30000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["run.status"], "1");
    EXPECT_EQ(rep["run.err"], kBanner + "creat: No space left on device\n");
    EXPECT_EQ(rep["after.isdir"], "1");
    EXPECT_GT(std::stoi(rep["after.entries"]), 10);
    EXPECT_EQ(rep["after.contiguous"], "1");
}

TEST(Orphdir, NewDirectorySwappedForALinkIsNotUsed)
{
    SandboxSpec spec = orphdir_spec();
    spec.binds.push_back({SWAP_MKDIR_LIB, "/qk/swap_mkdir.so"});
    std::string filler0 = kFillerPrefix + "00000000";
    SandboxResult r = run_in_sandbox(spec, [&] {
        // The link points at a directory whose first filler name is itself a
        // link to a file that must keep its contents.
        if (!make_dirs("/tmp/work") || !make_dirs("/tmp/victim") || !write_file("/tmp/secret", "precious\n", 0600) ||
            symlink("/tmp/secret", ("/tmp/victim/" + filler0).c_str()) != 0 || chdir("/tmp/work") != 0)
            return 11;
        run_and_report("run", {}, {"PATH=/usr/bin:/bin", "LD_PRELOAD=/qk/swap_mkdir.so", "QK_SWAP_TARGET=/tmp/victim",
                                   "ASAN_OPTIONS=verify_asan_link_order=0"});
        std::string secret;
        put("secret", read_file("/tmp/secret", &secret) ? secret : "unreadable");
        std::vector<std::string> names = entries("/tmp/victim");
        put("victim.entries", std::to_string(names.size()));
        put("victim.first", names.empty() ? "" : names[0]);
        struct stat st;
        put("work.link", lstat("lost+found", &st) == 0 && S_ISLNK(st.st_mode) ? "1" : "0");
        return 0;
    }, 30000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["work.link"], "1") << "the preloaded mkdir did not swap the directory";
    EXPECT_EQ(rep["run.status"], "1");
    // O_DIRECTORY with O_NOFOLLOW refuses the link as "not a directory".
    EXPECT_EQ(rep["run.err"], kBanner + "open: " + strerror(ENOTDIR) + "\n");
    EXPECT_EQ(rep["secret"], "precious\n");
    EXPECT_EQ(rep["victim.entries"], "1");
    EXPECT_EQ(rep["victim.first"], filler0);
}

// A directory that is not the one made (anybody may write it, and a FIFO
// waits under the first filler's name) is refused at once, untouched.
TEST(Orphdir, NewDirectorySwappedForAnotherDirectoryIsNotUsed)
{
    SandboxSpec spec = orphdir_spec();
    spec.binds.push_back({SWAP_MKDIR_LIB, "/qk/swap_mkdir.so"});
    SandboxResult r = run_in_sandbox(spec, [&] {
        if (!make_dirs("/tmp/work") || chdir("/tmp/work") != 0)
            return 11;
        run_and_report("run", {}, {"PATH=/usr/bin:/bin", "LD_PRELOAD=/qk/swap_mkdir.so", "QK_SWAP_TARGET=dir",
                                   "ASAN_OPTIONS=verify_asan_link_order=0"});
        struct stat st;
        put("fifo", stat(("lost+found/" + kFillerPrefix + "00000000").c_str(), &st) == 0 && S_ISFIFO(st.st_mode)
                        ? "1" : "0");
        put("entries", std::to_string(entries("lost+found").size()));
        return 0;
    }, 30000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["run.status"], "1");
    EXPECT_EQ(rep["run.err"], kBanner + "open: " + strerror(EEXIST) + "\n");
    EXPECT_EQ(rep["fifo"], "1");
    EXPECT_EQ(rep["entries"], "1");
}

TEST(Orphdir, UsageTextIsTranslatedBannerIsNot)
{
    // A German user has a German locale made on the system (LANGUAGE alone
    // is not enough: the C library ignores it in the C locale, and newer
    // ones in C.UTF-8 too).  The locale is made here as an administrator
    // makes it, from the sources of the locales package into the locale
    // archive.
    if (access("/usr/share/i18n/locales/de_DE", R_OK) != 0 || access("/usr/share/i18n/locales/C", R_OK) != 0)
        GTEST_SKIP() << "no locale sources to make de_DE.UTF-8 and C.UTF-8 from (Debian package locales)";
    const std::string po =
        "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
        "msgid \"Usage: orphdir\\n\"\nmsgstr \"Aufruf: orphdir (ohne Argumente)\\n\"\n\n"
        "msgid \"orphdir %s (%s)\\n\"\nmsgstr \"orphdir Version %s vom %s\\n\"\n";
    SandboxResult r = run_in_sandbox(orphdir_spec(), [&] {
        // The catalogue and the locales exist only in this sandbox's view of
        // /usr/share/locale and /usr/lib/locale.
        if (mount("locale", "/usr/share/locale", "tmpfs", 0, nullptr) != 0 ||
            mount("locale", "/usr/lib/locale", "tmpfs", 0, nullptr) != 0)
            return 11;
        if (!write_file("/tmp/de.po", po) || !make_dirs("/usr/share/locale/de/LC_MESSAGES") ||
            !shell("msgfmt -o /usr/share/locale/de/LC_MESSAGES/quarrykit.mo /tmp/de.po"))
            return 12;
        if (!shell("localedef -i de_DE -f UTF-8 de_DE.UTF-8 && localedef -i C -f UTF-8 C.UTF-8"))
            return 13;
        if (chdir("/tmp") != 0)
            return 14;
        run_and_report("locale", {"x"}, {"LANG=de_DE.UTF-8"});
        run_and_report("c_locale", {"x"}, {"LC_ALL=C", "LANGUAGE=de"});
        run_and_report("no_language", {"x"}, {"LANG=C.UTF-8"});
        return 0;
    }, 60000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["locale.err"], kBanner + "Aufruf: orphdir (ohne Argumente)\n");
    EXPECT_EQ(rep["locale.status"], "1");
    // The C locale never translates; C.UTF-8 has no catalogue.
    EXPECT_EQ(rep["c_locale.err"], kBanner + "Usage: orphdir\n");
    EXPECT_EQ(rep["no_language.err"], kBanner + "Usage: orphdir\n");
}

// The growth itself, on a host scratch directory (tmpfs or whatever /tmp is).
TEST(GrowLostFound, LeavesEmptyPrivateDirectoryAndReportsFirstFailure)
{
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string target = dir + "/lost+found";
    LostFoundStats stats;
    mode_t old = umask(0);
    const char *failed = grow_lost_found(target.c_str(), &stats);
    umask(old);
    EXPECT_EQ(failed, nullptr);
    EXPECT_GT(stats.files, 0);
    EXPECT_GT(stats.size, 11LL * stats.blksize);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700U);
    EXPECT_TRUE(entries(target).empty());

    errno = 0;
    failed = grow_lost_found(target.c_str(), &stats);
    EXPECT_STREQ(failed, "mkdir");
    EXPECT_EQ(errno, EEXIST);
    EXPECT_STREQ(grow_lost_found((dir + "/absent/lost+found").c_str(), &stats), "mkdir");
    remove_tree(dir);
}

} // namespace

namespace {

TEST(Orphdir, CleanUnderMemcheck)
{
    std::string why = memcheck_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    SandboxResult r = run_in_sandbox(orphdir_spec(), [] {
        if (chdir("/tmp") != 0)
            return 10;
        int n = 0;
        for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{}, std::vector<std::string>{"x"}}) {
            std::vector<std::string> argv = {"/qk/orphdir"};
            argv.insert(argv.end(), args.begin(), args.end());
            ProcResult p = run_process(under_memcheck(argv), {"LANG=C.UTF-8"}, 120000);
            put("status" + std::to_string(n), std::to_string(p.status));
            put("err" + std::to_string(n), p.err);
            n++;
        }
        return 0;
    }, 300000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["status0"], "0") << rep["err0"];
    EXPECT_EQ(rep["err0"], kBanner);
    EXPECT_EQ(rep["status1"], "1") << rep["err1"];
    EXPECT_EQ(rep["err1"], kBanner + "mkdir: File exists\n");
    EXPECT_EQ(rep["status2"], "1") << rep["err2"];
    EXPECT_EQ(rep["err2"], kBanner + "Usage: orphdir\n");
}

} // namespace
