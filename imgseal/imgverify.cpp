// SPDX-License-Identifier: MIT
// imgverify: checks the seals that imgseal makes, without changing the
// files.  For each path in turn the digest of the whole file, with the
// digest field of its trailer taken as zeros, is computed and compared with
// the digest stored in the field: "PATH: OK" or "PATH: FAILED" on standard
// output, or one line on standard error when the file cannot be checked.
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

static const char kChanged[] = "file changed while being checked";
static const char kWriterOpen[] = "file is open for writing by another process";
static const char kAhead[] = "file's times are ahead of the clock";
static const long long kTooLarge = 1LL << 31;

// Prints "<program>: <what> <path>: <why>"; the caller goes on with the next path.
static void refuse(const char *prog, const char *what, const char *path, const char *why)
{
    print_refusal(prog, what, path, why);
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
// own, the path escaped, unbuffered, so that whether it went out is known for
// this path alone (a stream's error flag would stay set for every path after
// one failure).  A full output is waited on, and the line goes out whole.
static bool print_verdict(const char *path, bool holds)
{
    char *shown = escaped_path(path);
    if (shown == nullptr)
        return false;
    char *line;
    int len = asprintf(&line, "%s: %s\n", shown, holds ? "OK" : "FAILED");
    free(shown);
    if (len < 0)
        return false;
    bool printed = write_all(STDOUT_FILENO, line, static_cast<size_t>(len));
    int saved = errno;
    free(line);
    errno = saved;
    return printed;
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

    // Where a lease can be had, no other process writes to the file while it
    // is held, and one that opens it for writing or truncates it meanwhile
    // breaks it.  A file that another process already has open for writing
    // may be changing as it is read: no verdict.  Without a lease (another
    // user's file, a file system without them) the file's times and size are
    // all there is to go by, once any later write must move them.
    LeaseTaken lease = take_read_lease(fd);
    if (lease == kLeaseWriterOpen) {
        refuse(prog, "Can't verify", path, kWriterOpen);
        close(fd);
        return false;
    }
    TimesSettled times = lease == kLeaseHeld ? kTimesSettled : settle_times(fd, &st);
    if (times == kTimesChanged || times == kTimesUnseen) {
        refuse(prog, times == kTimesChanged ? "Can't read" : "Can't stat", path,
               times == kTimesChanged ? kChanged : strerror(errno));
        close(fd);
        return false;
    }
    unsigned char *copy = map_working_copy(fd, len);
    if (copy == nullptr) {
        refuse(prog, "Can't read", path, strerror(errno));
        release_read_lease();
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
        release_read_lease();
        close(fd);
        return false;
    }
    bool unbroken = release_read_lease();
    close(fd);
    if (!hashed || !unbroken || !unchanged_since(&st, &now)) {
        refuse(prog, "Can't read", path, kChanged);
        return false;
    }
    // Times ahead of the clock move on a write only until the clock reaches them.
    if (times == kTimesAhead && clock_reached(&st)) {
        refuse(prog, "Can't read", path, kAhead);
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

static void usage(const char *prog)
{
    dprintf(STDERR_FILENO, "Usage: %s PATH...\n", prog);
}

// Prints the help or the version on standard output; status 0, or 1 when it
// could not be printed.
static int print_about(const char *prog, bool help)
{
    char *text;
    int len;
    if (help)
        len = asprintf(&text,
                       "Usage: %s PATH...\n"
                       "Checks the seal of each image file: SHA-1 over the whole file, with the\n"
                       "20-byte digest field of its 32-byte trailer counted as zeros, must equal\n"
                       "the digest stored in that field.  Prints \"PATH: OK\" or \"PATH: FAILED\"\n"
                       "for each, in order; a path holding a backslash, line feed or carriage\n"
                       "return is printed after a backslash, with those as \\\\, \\n and \\r.  A file\n"
                       "that cannot be checked gets a line on standard error.  Nothing is written\n"
                       "to the files.\n"
                       "\n"
                       "Options are read only before the first PATH; \"--\" ends them.\n"
                       "      --help     print this help and exit (no PATH may follow)\n"
                       "      --version  print the version and exit (no PATH may follow)\n"
                       "\n"
                       "Exit status: 0 when every file is OK, 1 when any FAILED or could not be\n"
                       "checked, 2 when no PATH is given or the options are wrong.\n",
                       prog);
    else
        len = asprintf(&text, "imgverify (quarrykit) " QK_VERSION "\n");
    bool printed = len >= 0 && write_all(STDOUT_FILENO, text, static_cast<size_t>(len));
    int why = len < 0 ? ENOMEM : errno;
    if (len >= 0)
        free(text);
    if (!printed) {
        dprintf(STDERR_FILENO, "%s: Can't print: %s\n", prog, strerror(why));
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    const char *prog = argc > 0 ? argv[0] : "imgverify";
    hold_standard_descriptors();

    // Options come only before the first path, and only as spelt here: a
    // path after it that looks like one (a file named "--help" met by a
    // glob) is checked like any other.  "--help" and "--version" stand
    // alone, so that status 0 always means that every path given was
    // checked and is OK.
    int first = 1;
    if (first < argc && strcmp(argv[first], "--") == 0) {
        first++;
    } else if (first < argc && argv[first][0] == '-' && argv[first][1] != '\0') {
        bool help = strcmp(argv[first], "--help") == 0;
        bool version = strcmp(argv[first], "--version") == 0;
        if ((help || version) && argc == 2)
            return print_about(prog, help);
        if (help || version)
            print_refusal(prog, "Can't use", argv[first], "it takes no PATH");
        else
            print_refusal(prog, "Can't use", argv[first], "unknown option (a PATH that begins with - goes after --)");
        usage(prog);
        return 2;
    }
    if (first >= argc) {
        usage(prog);
        return 2;
    }

    int status = 0;
    for (int i = first; i < argc; i++)
        if (!verify(prog, argv[i]))
            status = 1;
    return status;
}
