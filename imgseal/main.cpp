// SPDX-License-Identifier: MIT
// imgseal: seals an image file.  The image ends in a 32-byte trailer whose
// first 20 bytes hold a SHA-1 digest of the whole file, computed with those
// 20 bytes taken as zeros; imgseal computes it, prints it and writes it there.
// Nothing else in the file changes.
#include "sha1.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const int kTrailerSize = 32;
static const int kDigestSize = 20;

// Prints "<program>: <what> <path>: <system error text>" and exits with 1.
[[noreturn]] static void fail(const char *prog, const char *what, const char *path)
{
    fprintf(stderr, "%s: %s %s: %s\n", prog, what, path, strerror(errno));
    exit(1);
}

// The working copy.  Images run to gigabytes: in huge pages, copying and
// hashing it take far fewer page faults and TLB misses (about half the time).
static unsigned char *alloc_copy(size_t size)
{
    const size_t huge = 2 << 20;
    void *copy = aligned_alloc(huge, (size + huge - 1) & ~(huge - 1));
    if (copy != nullptr)
        madvise(copy, size, MADV_HUGEPAGE);
    return static_cast<unsigned char *>(copy);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 0;
    const char *prog = argv[0];
    const char *path = argv[1];

    int fd = open(path, O_RDWR);
    if (fd < 0)
        fail(prog, "Can't open", path);

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

    // An empty file fails here too: a mapping cannot be empty.  The pages are
    // all read now, as they would be by the copy, without a fault for each.
    void *map = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED)
        fail(prog, "Can't read", path);

    unsigned char *copy = alloc_copy(static_cast<size_t>(size));
    if (copy == nullptr) {
        fprintf(stderr, "%s: Can't allocate %ld bytes to seal %s: %s\n", prog, static_cast<long>(size), path,
                strerror(errno));
        exit(1);
    }
    memcpy(copy, map, static_cast<size_t>(size));
    memset(copy + size - kTrailerSize, 0, kDigestSize);

    sha1_ctx ctx;
    unsigned char digest[kDigestSize];
    sha1_init(&ctx);
    sha1_update(&ctx, copy, static_cast<uint32_t>(size));
    sha1_final(&ctx, digest);

    puts("Tarrow sum:");
    for (unsigned char byte : digest)
        printf("%02X ", byte);
    putchar('\n');

    lseek(fd, -kTrailerSize, SEEK_END);
    if (write(fd, digest, kDigestSize) != kDigestSize)
        fail(prog, "Can't write", path);

    free(copy);
    munmap(map, static_cast<size_t>(size));
    // Some file systems report a failed write only here.
    if (close(fd) != 0)
        fail(prog, "Can't write", path);
    return 0;
}
