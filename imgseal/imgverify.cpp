// SPDX-License-Identifier: MIT
// imgverify: checks the seals that imgseal makes, without changing the
// files.  For each path in turn the digest of the whole file, with the
// digest field of its trailer taken as zeros, is computed and compared with
// the digest stored in the field: "PATH: OK" or "PATH: FAILED" on standard
// output, or one line on standard error when the file cannot be checked.
#include "seal.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char kChanged[] = "file changed while being checked";
static const long long kTooLarge = 1LL << 31;

// Prints "<program>: <what> <path>: <why>"; the caller goes on with the next path.
static void refuse(const char *prog, const char *what, const char *path, const char *why)
{
    fprintf(stderr, "%s: %s %s: %s\n", prog, what, path, why);
}

// Opens the image for reading, but never a device node, FIFO or socket (nor
// a directory, which has no contents to check).  A path-only descriptor
// finds the file, following links as a plain open does, without opening it;
// the file is then opened through /proc from that descriptor, so it is the
// very file whose type was checked.  Without /proc the path is opened again,
// without waiting on a FIFO, and must still name the same file; a special
// file swapped in at that moment is opened (read-only, without waiting)
// before it is refused.  The access time stays where this user may ask for
// that (the owner, or root).  Returns the descriptor and the file's status,
// or -1 once the reason is printed.
static int open_image(const char *prog, const char *path, struct stat *st)
{
    int found = open(path, O_PATH | O_CLOEXEC);
    if (found < 0) {
        refuse(prog, "Can't open", path, strerror(errno));
        return -1;
    }
    struct stat seen;
    if (fstat(found, &seen) != 0) {
        refuse(prog, "Can't stat", path, strerror(errno));
        close(found);
        return -1;
    }
    const char *kind = S_ISDIR(seen.st_mode) ? "Is a directory" : special_file_kind(seen.st_mode);
    if (kind != nullptr) {
        refuse(prog, "Can't verify", path, kind);
        close(found);
        return -1;
    }

    int fd = open_found_file(found, path, O_RDONLY | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = open_found_file(found, path, O_RDONLY);
    int open_errno = errno;
    close(found);
    if (fd < 0) {
        refuse(prog, "Can't open", path, strerror(open_errno));
        return -1;
    }
    if (fstat(fd, st) != 0) {
        refuse(prog, "Can't stat", path, strerror(errno));
        close(fd);
        return -1;
    }
    if (st->st_dev != seen.st_dev || st->st_ino != seen.st_ino) {
        refuse(prog, "Can't read", path, kChanged);
        close(fd);
        return -1;
    }
    return fd;
}

// Writes "PATH: OK" or "PATH: FAILED" to standard output as one line of its
// own, unbuffered, so that whether it went out is known for this path alone
// (a stream's error flag would stay set for every path after one failure).
static bool print_verdict(const char *path, bool holds)
{
    char *line;
    int len = asprintf(&line, "%s: %s\n", path, holds ? "OK" : "FAILED");
    if (len < 0)
        return false;
    const char *p = line;
    size_t left = static_cast<size_t>(len);
    while (left > 0) {
        ssize_t n = write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    int saved = errno;
    free(line);
    errno = saved;
    return left == 0;
}

// Checks one image; true when its seal holds and the verdict was printed.
static bool verify(const char *prog, const char *path)
{
    struct stat st;
    int fd = open_image(prog, path, &st);
    if (fd < 0)
        return false;

    // A file with no room for the trailer has no seal, and imgseal seals
    // nothing of 2 GiB or more (its sizes are signed 32-bit numbers).
    const char *size_problem = nullptr;
    char too_short[64];
    if (st.st_size < kTrailerSize) {
        snprintf(too_short, sizeof too_short, "file is shorter than its %d-byte trailer", kTrailerSize);
        size_problem = too_short;
    } else if (st.st_size >= kTooLarge) {
        size_problem = "file is 2 GiB or larger";
    }
    if (size_problem != nullptr) {
        refuse(prog, "Can't verify", path, size_problem);
        close(fd);
        return false;
    }
    int32_t size = static_cast<int32_t>(st.st_size);
    size_t len = static_cast<size_t>(size);

    unsigned char *copy = map_working_copy(fd, len);
    if (copy == nullptr) {
        refuse(prog, "Can't read", path, strerror(errno));
        close(fd);
        return false;
    }
    unsigned char stored[kDigestSize], digest[kDigestSize];
    bool hashed = digest_working_copy(copy, size, digest, stored);
    munmap(copy, len);

    // A file written to, grown or cut short while it was read gives a digest
    // of contents it never had as a whole: no verdict either way.
    struct stat now;
    if (hashed && fstat(fd, &now) != 0) {
        refuse(prog, "Can't stat", path, strerror(errno));
        close(fd);
        return false;
    }
    close(fd);
    if (!hashed || !unchanged_since(&st, &now)) {
        refuse(prog, "Can't read", path, kChanged);
        return false;
    }

    bool holds = memcmp(stored, digest, kDigestSize) == 0;
    // A verdict nobody received is no verdict.
    if (!print_verdict(path, holds)) {
        refuse(prog, "Can't print the result for", path, strerror(errno));
        return false;
    }
    return holds;
}

static const struct option kOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

static void usage(FILE *to, const char *prog)
{
    fprintf(to, "Usage: %s PATH...\n", prog);
}

int main(int argc, char **argv)
{
    const char *prog = argc > 0 ? argv[0] : "imgverify";
    hold_standard_descriptors();

    int option;
    while ((option = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
        if (option == 'h') {
            usage(stdout, prog);
            fputs("Checks the seal of each image file: SHA-1 over the whole file, with the\n"
                  "20-byte digest field of its 32-byte trailer counted as zeros, must equal\n"
                  "the digest stored in that field.  Prints \"PATH: OK\" or \"PATH: FAILED\"\n"
                  "for each, in order; a file that cannot be checked gets a line on standard\n"
                  "error.  Nothing is written to the files.\n"
                  "\n"
                  "      --help     print this help and exit\n"
                  "      --version  print the version and exit\n"
                  "\n"
                  "Exit status: 0 when every file is OK, 1 when any FAILED or could not be\n"
                  "checked, 2 when no PATH is given.\n",
                  stdout);
        } else if (option == 'V') {
            puts("imgverify (quarrykit) " QK_VERSION);
        } else {
            usage(stderr, prog);
            return 2;
        }
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fprintf(stderr, "%s: Can't print: %s\n", prog, strerror(errno));
            return 1;
        }
        return 0;
    }
    if (optind >= argc) {
        usage(stderr, prog);
        return 2;
    }

    int status = 0;
    for (int i = optind; i < argc; i++)
        if (!verify(prog, argv[i]))
            status = 1;
    return status;
}
