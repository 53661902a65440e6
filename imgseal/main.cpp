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

// Prints "<program>: <what> <path>: <why>" and exits with 1.
[[noreturn]] static void refuse(const char *prog, const char *what, const char *path, const char *why)
{
    fprintf(stderr, "%s: %s %s: %s\n", prog, what, path, why);
    exit(1);
}

// The same, with the system's text for errno as the reason.
[[noreturn]] static void fail(const char *prog, const char *what, const char *path)
{
    refuse(prog, what, path, strerror(errno));
}

// Opens the image for reading and writing, but never a device node, FIFO or
// socket: opening some devices acts (a hardware watchdog starts counting).  A
// path-only descriptor finds the file, following links as a plain open does,
// without opening it; the read-write descriptor is then opened from that one
// through /proc, so it is the very file whose type was checked even when the
// path is changed meanwhile.  Without /proc the path is opened again (without
// waiting) and must still name the same file; a file swapped in between is
// refused then, but only after it has been opened.
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

    int fd = open_found_file(found, path, O_RDWR);
    struct stat again;
    if (fd >= 0 && fstat(fd, &again) == 0 && (again.st_dev != st.st_dev || again.st_ino != st.st_ino))
        refuse(prog, "Can't open", path, kChanged);
    if (fd < 0)
        fail(prog, "Can't open", path);
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
    if (st.st_size >= (1LL << 32)) {
        fprintf(stderr, "%s: Can't seal %s: file is 4 GiB or larger\n", prog, path);
        exit(1);
    }
    if (st.st_size > 0 && st.st_size < kTrailerSize) {
        fprintf(stderr, "%s: Can't seal %s: file is shorter than its %d-byte trailer\n", prog, path, kTrailerSize);
        exit(1);
    }
    int32_t size = static_cast<int32_t>(static_cast<uint32_t>(st.st_size));
    size_t len = static_cast<size_t>(size);

    // An empty file fails here too: a mapping cannot be empty.
    void *map = mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        fail(prog, "Can't read", path);

    unsigned char *copy = map_working_copy(fd, len);
    if (copy == nullptr) {
        fprintf(stderr, "%s: Can't allocate %ld bytes to seal %s: %s\n", prog, static_cast<long>(size), path,
                strerror(errno));
        exit(1);
    }

    unsigned char digest[kDigestSize];
    if (!digest_working_copy(copy, size, digest, nullptr))
        refuse(prog, "Can't read", path, kChanged);

    puts("Tarrow sum:");
    for (unsigned char byte : digest)
        printf("%02X ", byte);
    putchar('\n');
    // A seal whose digest nobody received is not written.
    if (fflush(stdout) != 0 || ferror(stdout))
        fail(prog, "Can't print the digest of", path);

    // A file that grew or shrank since its size was read would get the
    // digest of other contents, and written inside its data; one written to
    // meanwhile (its change time moved) would get a digest of contents it
    // no longer has.  The seek, too, must land where the trailer was.
    struct stat now;
    if (fstat(fd, &now) != 0)
        fail(prog, "Can't stat", path);
    if (!unchanged_since(&st, &now))
        refuse(prog, "Can't write", path, kChanged);

    if (lseek(fd, -kTrailerSize, SEEK_END) != now.st_size - kTrailerSize)
        refuse(prog, "Can't write", path, kChanged);
    if (write(fd, digest, kDigestSize) != kDigestSize)
        fail(prog, "Can't write", path);
    // The seal is made once it is on the disk: a write-back error shows up
    // here, and after close it would go unseen.
    if (fdatasync(fd) != 0)
        fail(prog, "Can't write", path);

    munmap(copy, len);
    munmap(map, len);
    // Some file systems report a failed write only here.
    if (close(fd) != 0)
        fail(prog, "Can't write", path);
    return 0;
}
