// SPDX-License-Identifier: MIT
// imgseal: seals an image file.  The image ends in a 32-byte trailer whose
// first 20 bytes hold a SHA-1 digest of the whole file, computed with those
// 20 bytes taken as zeros; imgseal computes it, prints it and writes it there.
// Nothing else in the file changes.
#include "seal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char kChanged[] = "file changed while being sealed";
static const char kWriterOpen[] = "file is open for writing by another process";
static const char kAhead[] = "file's times are ahead of the clock";

// Prints "<program>: <what> <path>: <why>" (the path escaped, so that the
// message stays one line) and exits with 1.
[[noreturn]] static void refuse(const char *prog, const char *what, const char *path, const char *why)
{
    print_refusal(prog, what, path, why);
    exit(1);
}

// The same, with the system's text for errno as the reason.
[[noreturn]] static void fail(const char *prog, const char *what, const char *path)
{
    refuse(prog, what, path, strerror(errno));
}

// Ends the program when the file changed while its times were waited for
// (settle_times), or could not be looked at again.
static void check_settled(const char *prog, const char *what, const char *path, TimesSettled times)
{
    if (times == kTimesChanged)
        refuse(prog, what, path, kChanged);
    if (times == kTimesUnseen)
        fail(prog, "Can't stat", path);
}

// Opens, with `flags`, the very file that `from` (a descriptor of the image
// with status `st`) refers to; without /proc the path is opened again, and
// must still name that file.  A failure ends the program with `what`.
static int open_same_file(const char *prog, const char *what, int from, const char *path, int flags,
                          const struct stat *st)
{
    int fd = open_found_file(from, path, flags);
    struct stat again;
    if (fd >= 0 && fstat(fd, &again) == 0 && (again.st_dev != st->st_dev || again.st_ino != st->st_ino))
        refuse(prog, what, path, kChanged);
    if (fd < 0)
        fail(prog, what, path);
    return fd;
}

// Opens the image for reading, once it has been opened for reading and
// writing, which is what shows that it may be sealed; but never a device
// node, FIFO or socket: opening some devices acts (a hardware watchdog starts
// counting).  A path-only descriptor finds the file, following links as a
// plain open does, without opening it; the other descriptors are then opened
// from that one through /proc, so they are the very file whose type was
// checked even when the path is changed meanwhile.  Without /proc the path is
// opened again (without waiting) and must still name the same file; a file
// swapped in between is refused then, but only after it has been opened.
// The read-write descriptor is closed again: while this process has the file
// open for writing, it can take no read lease on it (see main).
static int open_image(const char *prog, const char *path)
{
    int found = open(path, O_PATH | O_CLOEXEC);
    if (found < 0)
        fail(prog, "Can't open", path);
    struct stat st;
    if (fstat(found, &st) != 0)
        fail(prog, "Can't stat", path);
    const char *kind = special_file_kind(st.st_mode);
    if (kind != nullptr)
        refuse(prog, "Can't seal", path, kind);

    int writable = open_same_file(prog, "Can't open", found, path, O_RDWR, &st);
    int fd = open_same_file(prog, "Can't open", found, path, O_RDONLY, &st);
    close(writable);
    close(found);
    return fd;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 0;
    const char *prog = argv[0];
    const char *path = argv[1];

    hold_standard_descriptors();
    int fd = open_image(prog, path);

    struct stat st;
    if (fstat(fd, &st) != 0)
        fail(prog, "Can't stat", path);

    // Sizes are handled as signed 32-bit numbers: 4 GiB and more cannot be
    // represented at all, and a file with no room for the trailer cannot be
    // sealed.  Both are refused before anything is written.  (2 to 4 GiB come
    // out negative, and the mapping below refuses them.)
    if (st.st_size >= (1LL << 32))
        refuse(prog, "Can't seal", path, "file is 4 GiB or larger");
    if (st.st_size > 0 && st.st_size < kTrailerSize) {
        char too_short[64];
        snprintf(too_short, sizeof too_short, "file is shorter than its %d-byte trailer", kTrailerSize);
        refuse(prog, "Can't seal", path, too_short);
    }
    int32_t size = static_cast<int32_t>(static_cast<uint32_t>(st.st_size));
    size_t len = static_cast<size_t>(size);

    // Where a lease can be had, no other process writes to the file while it
    // is held, and one that opens it for writing or truncates it meanwhile
    // breaks it.  A file that another process already has open for writing
    // may be changing as it is read, and is not sealed.  Without a lease
    // (another user's file, a file system without them) the file's times and
    // size are all there is to go by, once any later write must move them.
    LeaseTaken lease = take_read_lease(fd);
    if (lease == kLeaseWriterOpen)
        refuse(prog, "Can't seal", path, kWriterOpen);
    TimesSettled times = lease == kLeaseHeld ? kTimesSettled : settle_times(fd, &st);
    check_settled(prog, "Can't read", path, times);

    // An empty file fails here too: a mapping cannot be empty.
    void *map = mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        fail(prog, "Can't read", path);

    unsigned char *copy = map_working_copy(fd, len);
    if (copy == nullptr) {
        char what[64];
        snprintf(what, sizeof what, "Can't allocate %ld bytes to seal", static_cast<long>(size));
        fail(prog, what, path);
    }

    unsigned char digest[kDigestSize];
    bool hashed = digest_working_copy(copy, size, digest, nullptr);
    if (!hashed)
        refuse(prog, "Can't read", path, kChanged);

    // Two lines, written whole (a full output is waited on).  A seal whose
    // digest nobody received is not written.
    char out[sizeof "Tarrow sum:\n" + 3 * kDigestSize + 1];
    int len_out = snprintf(out, sizeof out, "Tarrow sum:\n");
    for (unsigned char byte : digest)
        len_out += snprintf(out + len_out, sizeof out - static_cast<size_t>(len_out), "%02X ", byte);
    len_out += snprintf(out + len_out, sizeof out - static_cast<size_t>(len_out), "\n");
    if (!write_all(STDOUT_FILENO, out, static_cast<size_t>(len_out)))
        fail(prog, "Can't print the digest of", path);

    // The lease is given up before the file is opened for writing, which
    // would break it.  Broken while it was held, it tells that another
    // process opened the file for writing (or cut it) while it was read.
    // Once it is given up, the times alone tell of a write, so they too must
    // be such that any write moves them.
    if (lease == kLeaseHeld) {
        times = settle_times(fd, &st);
        check_settled(prog, "Can't write", path, times);
    }
    bool unbroken = release_read_lease();
    int writable = open_same_file(prog, "Can't write", fd, path, O_RDWR, &st);

    // A file that grew or shrank since its size was read would get the
    // digest of other contents, and written inside its data; one written to
    // meanwhile (its change time moved) would get a digest of contents it
    // no longer has.  The seek, too, must land where the trailer was.
    struct stat now;
    if (fstat(writable, &now) != 0)
        fail(prog, "Can't stat", path);
    if (!unbroken || !unchanged_since(&st, &now))
        refuse(prog, "Can't write", path, kChanged);
    // Times ahead of the clock move on a write only until the clock reaches them.
    if (times == kTimesAhead && clock_reached(&st))
        refuse(prog, "Can't write", path, kAhead);

    if (lseek(writable, -kTrailerSize, SEEK_END) != now.st_size - kTrailerSize)
        refuse(prog, "Can't write", path, kChanged);
    if (write(writable, digest, kDigestSize) != kDigestSize)
        fail(prog, "Can't write", path);
    // The seal is made once it is on the disk: a write-back error shows up
    // here, and after close it would go unseen.
    if (fdatasync(writable) != 0)
        fail(prog, "Can't write", path);

    munmap(copy, len);
    munmap(map, len);
    close(fd);
    // Some file systems report a failed write only here.
    if (close(writable) != 0)
        fail(prog, "Can't write", path);
    return 0;
}
