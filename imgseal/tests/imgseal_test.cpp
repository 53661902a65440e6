// SPDX-License-Identifier: MIT
// The built imgseal and imgverify on real files: seals checked with an
// independent SHA-1 (sha1sum), every message, and the files they must leave
// alone.
#include "sandbox.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

namespace {

const std::string kProg = IMGSEAL_BIN;

ProcResult imgseal(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {kProg};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, {"LANG=C"}, 60000);
}

std::string random_bytes(size_t len, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(len, '\0');
    for (char &c : s)
        c = static_cast<char>(rng());
    return s;
}

// "Tarrow sum:\n" and "XX " twenty times, from an independent digest of the
// file's bytes with the digest field zeroed.
std::string expected_output(std::string image, const std::string &scratch)
{
    image.replace(image.size() - 32, 20, std::string(20, '\0'));
    std::string copy = scratch + "/zeroed";
    EXPECT_TRUE(write_file(copy, image));
    ProcResult sum = run_process({"/usr/bin/sha1sum", copy}, {}, 60000);
    EXPECT_EQ(sum.status, 0);
    std::string out = "Tarrow sum:\n";
    for (size_t i = 0; i < 40; i += 2) {
        for (char c : sum.out.substr(i, 2))
            out += static_cast<char>(toupper(static_cast<unsigned char>(c)));
        out += ' ';
    }
    return out + "\n";
}

// Makes a FIFO at `fifo` and a Unix socket bound at `socket_path`, whose
// descriptor goes to `sock` for the caller to close.
void make_fifo_and_socket(const std::string &fifo, const std::string &socket_path, int *sock)
{
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    *sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(*sock, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof addr.sun_path);
    socket_path.copy(addr.sun_path, socket_path.size());
    ASSERT_EQ(bind(*sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
}

std::string digest_bytes(const std::string &output)
{
    std::string bytes;
    for (size_t i = 12; i + 2 < output.size(); i += 3)
        bytes += static_cast<char>(std::stoi(output.substr(i, 2), nullptr, 16));
    return bytes;
}

class Imgseal : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { remove_tree(dir_); }
    std::string file(const std::string &name, const std::string &contents)
    {
        std::string path = dir_ + "/" + name;
        EXPECT_TRUE(write_file(path, contents));
        return path;
    }
    std::string contents(const std::string &path)
    {
        std::string text;
        EXPECT_TRUE(read_file(path, &text));
        return text;
    }
    std::string dir_;
};

TEST_F(Imgseal, SealsOnlyTheDigestFieldAndIsIdempotent)
{
    for (size_t size : {32UL, 33UL, 64UL, 100UL, 4096UL, 1000003UL}) {
        std::string before = random_bytes(size, static_cast<unsigned>(size));
        std::string path = file("image", before);
        std::string expected = expected_output(before, dir_);

        ProcResult first = imgseal({path});
        EXPECT_EQ(first.status, 0) << first.err;
        EXPECT_EQ(first.err, "");
        EXPECT_EQ(first.out, expected) << "size " << size;

        std::string after = contents(path);
        ASSERT_EQ(after.size(), size);
        EXPECT_EQ(after.substr(0, size - 32), before.substr(0, size - 32));
        EXPECT_EQ(after.substr(size - 32, 20), digest_bytes(first.out));
        EXPECT_EQ(after.substr(size - 12), before.substr(size - 12));

        ProcResult second = imgseal({path, "ignored", "args"});
        EXPECT_EQ(second.out, first.out);
        EXPECT_EQ(contents(path), after);
    }
}

TEST_F(Imgseal, EveryByteOutsideTheFieldCountsTheFieldDoesNot)
{
    std::string base = random_bytes(300, 7);
    std::string sealed = imgseal({file("a", base)}).out;
    for (size_t pos : {0UL, 150UL, 267UL, 288UL, 299UL}) {
        std::string changed = base;
        changed[pos] = static_cast<char>(changed[pos] ^ 1);
        EXPECT_NE(imgseal({file("b", changed)}).out, sealed) << "byte " << pos;
    }
    std::string field_changed = base;
    field_changed[270] = static_cast<char>(field_changed[270] ^ 0x55);
    EXPECT_EQ(imgseal({file("c", field_changed)}).out, sealed);
}

TEST_F(Imgseal, ThirtyTwoByteFileIsAllTrailer)
{
    std::string image = std::string(20, 'D') + "twelve bytes";
    std::string path = file("tiny", image);
    ProcResult r = imgseal({path});
    EXPECT_EQ(r.status, 0);
    // SHA-1 of twenty zero bytes followed by "twelve bytes".
    EXPECT_EQ(r.out, expected_output(image, dir_));
    EXPECT_EQ(contents(path), digest_bytes(r.out) + "twelve bytes");
}

TEST_F(Imgseal, FailuresNameTheStepAndTheSystemError)
{
    struct Case {
        std::string path;
        std::string message;
    };
    std::string empty = file("empty", "");
    std::string missing = dir_ + "/missing";
    for (const Case &c : {Case{empty, "Can't read " + empty + ": Invalid argument"},
                          Case{missing, "Can't open " + missing + ": No such file or directory"},
                          Case{dir_, "Can't open " + dir_ + ": Is a directory"}}) {
        ProcResult r = imgseal({c.path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kProg + ": " + c.message + "\n");
    }
    EXPECT_EQ(contents(empty), "");
}

TEST_F(Imgseal, NoArgumentDoesNothing)
{
    ProcResult r = imgseal({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

TEST_F(Imgseal, FilesWithoutRoomForTheTrailerAreRefusedUntouched)
{
    for (size_t size = 1; size < 32; size++) {
        std::string before = random_bytes(size, static_cast<unsigned>(size));
        std::string path = file("short", before);
        ProcResult r = imgseal({path});
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(kProg + ": ", 0), 0U) << r.err;
        EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_EQ(contents(path), before);
    }
}

// Sparse files: 3 GiB is negative as a signed 32-bit size and fails at the
// mapping; 5 GiB does not fit at all and is refused.  Neither is written.
TEST_F(Imgseal, LargeFilesAreRefusedUntouched)
{
    for (long long size : {3LL << 30, 5LL << 30, 1LL << 32}) {
        std::string path = dir_ + "/sparse";
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        ASSERT_EQ(pwrite(fd, "trailer!", 8, size - 8), 8);
        close(fd);
        struct stat before, after;
        stat(path.c_str(), &before);
        ProcResult r = imgseal({path});
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.out, "");
        if (size == 3LL << 30) {
            EXPECT_EQ(r.err.rfind(kProg + ": Can't read " + path + ": ", 0), 0U) << r.err;
        } else {
            EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
        }
        stat(path.c_str(), &after);
        EXPECT_EQ(after.st_size, size);
        EXPECT_EQ(after.st_blocks, before.st_blocks);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        unlink(path.c_str());
    }
}

SandboxSpec seal_spec()
{
    SandboxSpec spec;
    spec.binds = {{IMGSEAL_BIN, "/qk/imgseal"}, {IMGVERIFY_BIN, "/qk/imgverify"}, {FAULT_SHIM_LIB, "/qk/fault_shim.so"}};
    spec.dev_nodes = {"loop-control"};
    return spec;
}

// In a sandbox body: reports KEY.status (from wait status `wstatus`, of a
// process that `ended`), KEY.out and KEY.err (from /tmp/out and /tmp/err).
void put_outcome(const std::string &key, bool ended, int wstatus)
{
    std::string out, err;
    read_file("/tmp/out", &out);
    read_file("/tmp/err", &err);
    put(key + ".status", std::to_string(ended && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1));
    put(key + ".out", out);
    put(key + ".err", err);
}

// The same for argv, run as `uid` (when >= 0) with its output there.
void run_and_put(const std::string &key, const std::vector<std::string> &argv, int uid = -1,
                 const std::vector<std::string> &env = {})
{
    pid_t pid = spawn(argv, env, "/tmp/out", "/tmp/err", uid);
    int wstatus = 0;
    bool ended = pid > 0 && wait_for(pid, 30000, &wstatus);
    put_outcome(key, ended, wstatus);
}

// In a sandbox body: an 8 MiB file system made by the command `mkfs` (given
// the image DIR.img after it) on a loop device, mounted at `dir`.
bool mount_new_fs(const std::string &mkfs, const char *type, const std::string &dir)
{
    std::string device;
    if (!shell("truncate -s 8M " + dir + ".img && " + mkfs + " " + dir + ".img") || !make_dirs(dir))
        return false;
    int loop = attach_loop(dir + ".img", &device);
    bool mounted = loop >= 0 && mount(device.c_str(), dir.c_str(), type, 0, nullptr) == 0;
    close(loop);
    return mounted;
}

std::string us_since(std::chrono::steady_clock::time_point start)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    return std::to_string(us.count());
}

// A full ext4 (1 KiB blocks, no reserve) on a loop device, and an image whose
// trailer lies in a hole: writing the digest needs a block there is none of.
TEST(ImgsealSandbox, WriteThatFailsOnAFullFileSystemIsReported)
{
    SandboxResult r = run_in_sandbox(seal_spec(), [] {
        if (!mount_new_fs("mkfs.ext4 -q -F -b 1024 -m 0", "ext4", "/tmp/fs"))
            return 11;
        int fd = open("/tmp/fs/image", O_RDWR | O_CREAT, 0644);
        if (fd < 0 || pwrite(fd, "head", 4, 0) != 4 || ftruncate(fd, 64 * 1024) != 0 || fsync(fd) != 0)
            return 12;
        close(fd);
        // Fill every remaining block.  Writeback gives back what delayed
        // allocation had set aside, so fill again until nothing more fits.
        shell("for i in 1 2 3 4 5 6; do dd if=/dev/zero of=/tmp/fs/filler$i bs=1k 2>/dev/null; sync; done");
        run_and_put("seal", {"/qk/imgseal", "/tmp/fs/image"});
        std::string image;
        read_file("/tmp/fs/image", &image);
        put("trailer_zero", image.size() == 64 * 1024 && image.substr(image.size() - 32) == std::string(32, '\0') ? "yes" : "no");
        return 0;
    }, 60000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["seal.status"], "1");
    EXPECT_EQ(rep["seal.err"], "/qk/imgseal: Can't write /tmp/fs/image: No space left on device\n");
    EXPECT_EQ(rep["seal.out"].rfind("Tarrow sum:\n", 0), 0U) << "the digest is printed before the write";
    EXPECT_EQ(rep["trailer_zero"], "yes");
}

} // namespace

namespace {

// Sealing, and each early failure, under valgrind: no invalid access and no
// definite leak.  Valgrind hides the SHA instructions, so this runs the
// portable path.
TEST_F(Imgseal, CleanUnderMemcheck)
{
    std::string why = memcheck_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    std::string image = random_bytes(300000, 3);
    std::string path = file("image", image);
    std::string expected = expected_output(image, dir_);
    struct Case {
        std::string path;
        int status;
    };
    for (const Case &c : {Case{path, 0}, Case{file("empty", ""), 1}, Case{file("short", "abc"), 1},
                          Case{dir_ + "/missing", 1}}) {
        ProcResult r = run_process(under_memcheck({kProg, c.path}), {"LANG=C"}, 120000);
        EXPECT_EQ(r.status, c.status) << c.path << "\n" << r.err;
        if (c.status == 0) {
            EXPECT_EQ(r.out, expected);
        }
    }
}

} // namespace

namespace {

const std::vector<std::string> kFaultShim = {"LD_PRELOAD=" FAULT_SHIM_LIB, "ASAN_OPTIONS=verify_asan_link_order=0"};

// A failed write-back shows up at fdatasync, and some file systems (network
// ones above all) report a failed write only when the file is closed: either
// must end in status 1, never 0.
TEST_F(Imgseal, FailureReportedAtSyncOrCloseIsAWriteFailure)
{
    std::string image = random_bytes(100, 11);
    std::string expected = expected_output(image, dir_);
    for (const char *name : {"image.fdatasync-fails", "image.close-fails"}) {
        std::string path = file(name, image);
        ProcResult r = run_process({kProg, path}, kFaultShim, 60000);
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, kProg + ": Can't write " + path + ": Input/output error\n");
        EXPECT_EQ(r.out, expected) << "the digest is printed before the write";
    }

    // The same file under another name seals normally (the shim is selective).
    std::string plain = file("image", image);
    ProcResult r = run_process({kProg, plain}, kFaultShim, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
}

// Where a seal would be wrong or unseen, imgseal ends with one line and
// status 1 before writing anything: the file is cut short while it is hashed
// (which raises SIGBUS in the mapping), or grows before the write; the digest
// cannot be printed; the path names a FIFO, socket or device node, which is
// never opened for writing.  A link to an image is still sealed.
TEST_F(Imgseal, ChangedFilesUnprintedDigestsAndSpecialFilesAreNotWritten)
{
    struct Case {
        std::string name;
        std::string shell_redirect;  // for imgseal's standard output, or none
        std::string message;         // after "PROG: " and before "PATH: "
        std::string reason;
        std::string after;           // the file's contents afterwards
        std::string printed;         // the contents whose digest is printed, or none
    };
    std::string image = random_bytes(1 << 20, 5);
    std::string expected = expected_output(image, dir_);
    std::string grown = image + std::string(4096, 'g');
    std::string rewritten = std::string(4096, 'r') + image.substr(4096);
    std::string half = image.substr(0, image.size() / 2);
    std::string changed = "file changed while being sealed";
    for (const Case &c : {Case{"shrinks-while-sealed", "", "Can't read", changed, half, ""},
                          Case{"shrinks-while-sealed.sigbus-blocked", "", "Can't read", changed, half, ""},
                          Case{"grows-while-sealed", "", "Can't write", changed, grown, image},
                          Case{"rewritten-while-sealed", "", "Can't write", changed, rewritten, rewritten},
                          Case{"stdout-full", ">/dev/full", "Can't print the digest of", "No space left on device", image, ""},
                          Case{"stdout-closed", ">&-", "Can't print the digest of", "Bad file descriptor", image, ""}}) {
        std::string path = file("image." + c.name, image);
        ProcResult r = run_process({"/bin/sh", "-c", "exec \"$0\" \"$1\" " + c.shell_redirect, kProg, path},
                                   kFaultShim, 60000);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, kProg + ": " + c.message + " " + path + ": " + c.reason + "\n");
        EXPECT_EQ(r.out, c.printed.empty() ? "" : expected_output(c.printed, dir_)) << c.name;
        EXPECT_TRUE(contents(path) == c.after) << c.name << ": the file was written";
    }

    std::string fifo = dir_ + "/fifo", socket_path = dir_ + "/socket", link = dir_ + "/link";
    int sock = -1;
    ASSERT_NO_FATAL_FAILURE(make_fifo_and_socket(fifo, socket_path, &sock));
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    for (const auto &[special, kind] : {std::pair<std::string, std::string>{fifo, "FIFO"}, {link, "FIFO"},
                                        {socket_path, "socket"}, {"/dev/null", "character device"}}) {
        ProcResult r = imgseal({special});
        EXPECT_EQ(r.status, 1) << special;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kProg + ": Can't seal " + special + ": Is a " + kind + "\n");
    }
    close(sock);

    std::string target = file("target", image);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ProcResult r = imgseal({link});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(contents(target).substr(image.size() - 32, 20), digest_bytes(expected));
}

} // namespace

namespace {

// imgverify on real files.  The seals are made here with sha1sum, so that
// each verdict is held against an independent digest, not imgseal's.
const std::string kVerify = IMGVERIFY_BIN;
using Imgverify = Imgseal;

std::string sealed_independently(std::string image, const std::string &scratch)
{
    image.replace(image.size() - 32, 20, digest_bytes(expected_output(image, scratch)));
    return image;
}

TEST_F(Imgverify, SealedFilesOfAnySizeAreOKAndKeepTheirBytesAndTimes)
{
    std::vector<std::string> argv = {kVerify}, images;
    std::string expected;
    for (size_t size : {32UL, 33UL, 4096UL, 1000003UL}) {
        images.push_back(sealed_independently(random_bytes(size, static_cast<unsigned>(size)), dir_));
        std::string path = file("image-" + std::to_string(size), images.back());
        // Times long past: a read that did not take care would move the
        // access time (relatime moves one older than a day).
        struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        argv.push_back(path);
        expected += path + ": OK\n";
    }
    std::vector<struct stat> before(images.size());
    for (size_t i = 0; i < images.size(); i++)
        ASSERT_EQ(stat(argv[i + 1].c_str(), &before[i]), 0);

    // A reader of its own (a backup, another check) does not stand in the way.
    int reader = open(argv[1].c_str(), O_RDONLY);
    ProcResult r = run_process(argv, {"LANG=C"}, 60000);
    close(reader);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expected);
    for (size_t i = 0; i < images.size(); i++) {
        const std::string &path = argv[i + 1];
        struct stat after;
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        EXPECT_TRUE(contents(path) == images[i]) << path;
        EXPECT_EQ(after.st_atim.tv_sec, before[i].st_atim.tv_sec) << path;
        EXPECT_EQ(after.st_mtim.tv_sec, before[i].st_mtim.tv_sec) << path;
        EXPECT_EQ(after.st_ctim.tv_sec, before[i].st_ctim.tv_sec) << path;
        EXPECT_EQ(after.st_ctim.tv_nsec, before[i].st_ctim.tv_nsec) << path;
    }
}

// One run over many paths: each changed byte (data, digest field, last 12
// bytes) is FAILED, each file that cannot be checked gets its line on
// standard error, and the paths after it are still checked, in order.  The
// fault shim changes three files while they are read (one is cut short,
// which raises SIGBUS in the mapping).  Nothing is written to any file.
TEST_F(Imgverify, ChangedBytesFailAndFilesThatCannotBeCheckedAreRefusedInTurn)
{
    std::string image = sealed_independently(random_bytes(300, 7), dir_);
    std::string good = file("good", image);
    std::vector<std::string> argv = {kVerify, good};
    std::string out = good + ": OK\n", err;
    std::vector<std::pair<std::string, std::string>> untouched = {{good, image}};
    for (size_t pos : {0UL, 150UL, 267UL, 268UL, 287UL, 288UL, 299UL}) {
        std::string changed = image;
        changed[pos] = static_cast<char>(changed[pos] ^ 0x10);
        std::string path = file("changed-" + std::to_string(pos), changed);
        argv.push_back(path);
        out += path + ": FAILED\n";
        untouched.push_back({path, changed});
    }

    std::string big = file("two-gibibytes", "");
    ASSERT_EQ(truncate(big.c_str(), 1LL << 31), 0);
    std::string fifo = dir_ + "/fifo", socket_path = dir_ + "/socket";
    int sock = -1;
    ASSERT_NO_FATAL_FAILURE(make_fifo_and_socket(fifo, socket_path, &sock));
    std::string large = sealed_independently(random_bytes(1 << 20, 5), dir_);
    std::string changed = "file changed while being checked";
    struct Refusal {
        std::string path;
        std::string message;
    };
    for (const Refusal &c : {Refusal{file("short", image.substr(0, 31)), "Can't verify %: file is shorter than its 32-byte trailer"},
                             Refusal{file("empty", ""), "Can't verify %: file is shorter than its 32-byte trailer"},
                             Refusal{dir_ + "/missing", "Can't open %: No such file or directory"},
                             Refusal{big, "Can't verify %: file is 2 GiB or larger"},
                             Refusal{dir_, "Can't verify %: Is a directory"},
                             Refusal{fifo, "Can't verify %: Is a FIFO"},
                             Refusal{socket_path, "Can't verify %: Is a socket"},
                             Refusal{"/dev/null", "Can't verify %: Is a character device"},
                             Refusal{file("image.shrinks-while-sealed", large), "Can't read %: " + changed},
                             Refusal{file("image.grows-while-sealed", large), "Can't read %: " + changed},
                             Refusal{file("image.rewritten-while-sealed", large), "Can't read %: " + changed}}) {
        argv.push_back(c.path);
        std::string message = c.message;
        err += kVerify + ": " + message.replace(message.find('%'), 1, c.path) + "\n";
    }
    argv.push_back(good);
    out += good + ": OK\n";

    ProcResult r = run_process(argv, kFaultShim, 60000);
    close(sock);
    EXPECT_EQ(r.status, 1) << "signal " << r.signal;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    for (const auto &[path, before] : untouched)
        EXPECT_TRUE(contents(path) == before) << path << " was written";
}

TEST_F(Imgverify, NoPathIsAUsageErrorHelpAndVersionAreNot)
{
    ProcResult none = run_process({kVerify}, {"LANG=C"}, 10000);
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "Usage: " + kVerify + " PATH...\n");
    ProcResult unknown = run_process({kVerify, "--no-such-option", file("image", std::string(32, 'x'))}, {"LANG=C"}, 10000);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    for (const char *option : {"--help", "--version"}) {
        ProcResult r = run_process({kVerify, option}, {"LANG=C"}, 10000);
        EXPECT_EQ(r.status, 0) << option;
        EXPECT_EQ(r.err, "") << option;
        EXPECT_NE(r.out, "") << option;
    }
    // Status 0 means every path was checked: neither an option followed by
    // paths nor an abbreviation (a glob meeting a file named "--v") is one.
    for (const char *option : {"--help", "--version", "--v"}) {
        ProcResult r = run_process({kVerify, option, file("image", std::string(32, 'x'))}, {"LANG=C"}, 10000);
        EXPECT_EQ(r.status, 2) << option;
        EXPECT_EQ(r.out, "") << option;
    }
}

// Output lines cannot be forged by a name: a path holding a line feed,
// carriage return or backslash is printed after a backslash, with those as
// \n, \r and \\, on standard output and in refusals of both programs.
// Options end at the first path, or at "--".  The only trouble in the first
// run is a FAILED verdict, which alone gives status 1.
TEST_F(Imgverify, NamesAreEscapedAndOptionsEndAtTheFirstPath)
{
    std::string image = sealed_independently(random_bytes(300, 7), dir_);
    std::string changed = image;
    changed[0] = static_cast<char>(changed[0] ^ 1);
    file("plain", image);
    file("forged: OK\nx", changed);
    file("carriage\rreturn", image);
    file("back\\slash", image);
    file("--help", image);
    std::vector<std::string> in_dir = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", dir_, kVerify};
    std::vector<std::string> argv = in_dir;
    argv.insert(argv.end(), {"plain", "forged: OK\nx", "carriage\rreturn", "back\\slash", "--help"});
    ProcResult r = run_process(argv, {"LANG=C"}, 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "plain: OK\n\\forged: OK\\nx: FAILED\n\\carriage\\rreturn: OK\n\\back\\\\slash: OK\n"
                     "--help: OK\n");

    argv = in_dir;
    argv.insert(argv.end(), {"--", "--version", "gone\nx: OK"});
    r = run_process(argv, {"LANG=C"}, 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kVerify + ": Can't open --version: No such file or directory\n" + kVerify +
                         ": Can't open \\gone\\nx: OK: No such file or directory\n");

    r = imgseal({dir_ + "/gone\r\n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kProg + ": Can't open \\" + dir_ + "/gone\\r\\n: No such file or directory\n");
}

// As root, on a file system with leases: one pwrite of a sealed image over
// another while imgverify or imgseal reads it.  Begun before the check, the
// file is refused as open for writing; opened for writing during it (once
// the lease shows in /proc/locks), the check ends as the file changed, and
// the writer's open waits far less than the check.  Never a FAILED verdict
// or a seal written over the other image.  A writer that only opens the
// file during the check, changing nothing its times show, is seen by the
// lease alone, and ends the check too.
TEST_F(Imgverify, AWriterDuringTheCheckGetsNoVerdictAndNoSeal)
{
    const size_t size = 64 << 20;
    std::string before = sealed_independently(std::string(size, 'a'), dir_);
    std::string other = sealed_independently(std::string(size, 'b'), dir_);
    SandboxResult r = run_in_sandbox(seal_spec(), [&before, &other] {
        std::string enabled;
        if (read_file("/proc/sys/fs/leases-enable", &enabled) && enabled != "1\n") {
            put("skip", "leases are disabled here (/proc/sys/fs/leases-enable)");
            return 0;
        }
        const char *image = "/tmp/image";
        for (const char *prog : {"imgverify", "imgseal"}) {
            for (std::string when : {"before", "during", "opened"}) {
                bool writer_first = when == "before";
                std::string key = std::string(prog) + "." + when;
                if (!write_file(image, before))
                    return 10;
                int opened[2], finish[2];
                if (pipe(opened) != 0 || pipe(finish) != 0)
                    return 11;
                pid_t writer = -1;
                if (writer_first) {
                    // Opens, tells, writes, and keeps the file open until told.
                    writer = fork();
                    if (writer == 0) {
                        int fd = open(image, O_WRONLY);
                        char c = 'x';
                        bool ok = fd >= 0 && write(opened[1], &c, 1) == 1 &&
                                  pwrite(fd, other.data(), other.size(), 0) == static_cast<ssize_t>(other.size());
                        ok = read(finish[0], &c, 1) == 1 && ok;
                        _exit(ok ? 0 : 1);
                    }
                    char c;
                    if (writer < 0 || read(opened[0], &c, 1) != 1)
                        return 12;
                }
                auto start = std::chrono::steady_clock::now();
                pid_t pid = spawn({std::string("/qk/") + prog, image}, {}, "/tmp/out", "/tmp/err");
                int wstatus = 0;
                bool ended = false;
                if (!writer_first) {
                    std::string locks;
                    while (!ended && read_file("/proc/locks", &locks) && locks.find(" LEASE ") == std::string::npos) {
                        ended = waitpid(pid, &wstatus, WNOHANG) == pid;
                        usleep(500);
                    }
                    auto opening = std::chrono::steady_clock::now();
                    int fd = open(image, O_WRONLY);
                    put(key + ".wait_us", us_since(opening));
                    if (fd < 0 || (when == "during" && pwrite(fd, other.data(), other.size(), 0) !=
                                                            static_cast<ssize_t>(other.size())))
                        return 13;
                    close(fd);
                }
                if (pid < 0 || (!ended && !wait_for(pid, 60000, &wstatus)))
                    return 14;
                put(key + ".run_us", us_since(start));
                if (writer_first) {
                    int writer_status = 0;
                    if (write(finish[1], "x", 1) != 1 || waitpid(writer, &writer_status, 0) != writer ||
                        writer_status != 0)
                        return 15;
                }
                for (int fd : {opened[0], opened[1], finish[0], finish[1]})
                    close(fd);
                std::string now;
                read_file(image, &now);
                put_outcome(key, true, wstatus);
                put(key + ".image", now == other ? "other" : now == before ? "before" : "neither");
            }
        }
        return 0;
    }, 120000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    if (!rep["skip"].empty())
        GTEST_SKIP() << rep["skip"];
    const std::string writing = "/tmp/image: file is open for writing by another process\n";
    EXPECT_EQ(rep["imgverify.before.err"], "/qk/imgverify: Can't verify " + writing);
    EXPECT_EQ(rep["imgseal.before.err"], "/qk/imgseal: Can't seal " + writing);
    for (const char *when : {"during", "opened"}) {
        std::string w = when;
        EXPECT_EQ(rep["imgverify." + w + ".err"], "/qk/imgverify: Can't read /tmp/image: file changed while being checked\n");
        EXPECT_EQ(rep["imgseal." + w + ".err"], "/qk/imgseal: Can't write /tmp/image: file changed while being sealed\n");
    }
    EXPECT_EQ(rep["imgverify.before.out"] + rep["imgverify.during.out"] + rep["imgverify.opened.out"] +
                  rep["imgseal.before.out"], "");
    for (const char *key : {"imgverify.before", "imgverify.during", "imgverify.opened", "imgseal.before",
                            "imgseal.during", "imgseal.opened"}) {
        std::string k = key;
        EXPECT_EQ(rep[k + ".status"], "1") << key;
        EXPECT_EQ(rep[k + ".image"], k.find("opened") == std::string::npos ? "other" : "before")
            << key << ": a seal was written over the image";
    }
    for (const char *key : {"imgverify.during", "imgseal.during", "imgverify.opened", "imgseal.opened"}) {
        std::string k = key;
        EXPECT_LT(2 * std::stoll(rep[k + ".wait_us"]), std::stoll(rep[k + ".run_us"]))
            << key << ": the writer was held up for most of the check";
    }
}

// Only a user who may write a file may seal it, but any user who may read
// it may check it: a file of root's on a read-only mount, and one of mode
// 0444, are refused to imgseal (as root, and as nobody) and checked by
// nobody.  Nobody gets no lease and goes by the file's times alone: on
// ext2, whose times move in ticks of the clock (in whole seconds, with small
// inodes), a byte flipped in the same tick as the first look, after the hash
// has covered it, is still seen by both programs.
TEST_F(Imgverify, ReadOnlyFilesAreCheckedNotSealedAndWritesInTheSameTickSeen)
{
    std::string image = sealed_independently(random_bytes(50000, 9), dir_);
    std::string unsealed = image.substr(0, image.size() - 32) + std::string(32, '\0');
    SandboxResult r = run_in_sandbox(seal_spec(), [&image, &unsealed] {
        if (mount("ro", "/mnt", "tmpfs", 0, nullptr) != 0 || !write_file("/mnt/image", image, 0444) ||
            !write_file("/tmp/ro-file", image, 0444) ||
            mount(nullptr, "/mnt", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return 10;
        run_and_put("fs", {"/qk/imgseal", "/mnt/image"});
        run_and_put("file", {"/qk/imgseal", "/tmp/ro-file"}, 65534);
        run_and_put("ro", {"/qk/imgverify", "/mnt/image", "/tmp/ro-file"}, 65534);
        std::string mounted, file;
        read_file("/mnt/image", &mounted);
        read_file("/tmp/ro-file", &file);
        put("ro.unchanged", mounted == image && file == image ? "yes" : "no");

        for (std::string inode : {"256", "128"}) {
            std::string fs = "/tmp/ext2-" + inode;
            if (!mount_new_fs("mkfs.ext2 -q -F -I " + inode, "ext2", fs))
                return 11;
            // Two writes in one tick leave the times as the first one set them
            // (tried a few times, as this process may be held up between them).
            int fd = open((fs + "/probe").c_str(), O_RDWR | O_CREAT, 0644);
            struct stat first = {}, second = {};
            for (int tries = 0; tries < 10 && (tries == 0 || first.st_ctim.tv_nsec != second.st_ctim.tv_nsec); tries++)
                if (pwrite(fd, "a", 1, 0) != 1 || fstat(fd, &first) != 0 || pwrite(fd, "b", 1, 0) != 1 || fstat(fd, &second) != 0)
                    return 13;
            close(fd);
            if (first.st_ctim.tv_nsec != second.st_ctim.tv_nsec)
                put("skip", "times on ext2 here change with every write, not in ticks of the clock");
            // imgseal as root, under a lease, too: between giving it up and writing.
            for (std::string prog : {"imgverify", "imgseal", "imgseal-root"}) {
                std::string path = fs + "/image.same-tick", key = prog + "." + inode, after;
                const std::string &before = prog == "imgverify" ? image : unsealed;
                if (!write_file(path, before, 0666))
                    return 14;
                bool root = prog == "imgseal-root";
                run_and_put(key, {root ? "/qk/imgseal" : "/qk/" + prog, path}, root ? -1 : 65534,
                            {"LD_PRELOAD=/qk/fault_shim.so", "ASAN_OPTIONS=verify_asan_link_order=0"});
                read_file(path, &after);
                put(key + ".flipped_only", after.size() == before.size() && after[0] == (before[0] ^ 1) &&
                                                   after.substr(1) == before.substr(1) ? "yes" : "no");
            }
        }
        return 0;
    }, 60000);
    Report rep;
    SANDBOX_REPORT(r, rep);
    EXPECT_EQ(rep["fs.status"] + rep["file.status"], "11");
    EXPECT_EQ(rep["fs.err"], "/qk/imgseal: Can't open /mnt/image: Read-only file system\n");
    EXPECT_EQ(rep["file.err"], "/qk/imgseal: Can't open /tmp/ro-file: Permission denied\n");
    EXPECT_EQ(rep["ro.status"], "0");
    EXPECT_EQ(rep["ro.out"], "/mnt/image: OK\n/tmp/ro-file: OK\n");
    EXPECT_EQ(rep["ro.err"], "");
    EXPECT_EQ(rep["ro.unchanged"], "yes");
    for (std::string inode : {"256", "128"}) {
        std::string path = "/tmp/ext2-" + inode + "/image.same-tick";
        EXPECT_EQ(rep["imgverify." + inode + ".out"], "") << inode;
        for (std::string key : {"imgverify." + inode, "imgseal." + inode, "imgseal-root." + inode}) {
            EXPECT_EQ(rep[key + ".status"], "1") << key;
            EXPECT_EQ(rep[key + ".err"], key[3] == 'v' ? "/qk/imgverify: Can't read " + path + ": file changed while being checked\n"
                                                     : "/qk/imgseal: Can't write " + path + ": file changed while being sealed\n");
            EXPECT_EQ(rep[key + ".flipped_only"], "yes") << key << ": a verdict or seal on contents the file no longer has";
        }
    }
    if (!rep["skip"].empty())
        GTEST_SKIP() << rep["skip"];
}

} // namespace
