// SPDX-License-Identifier: MIT
#include "seal.h"

#include "sha1.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>

void hold_standard_descriptors()
{
    int fd;
    do
        fd = open("/", O_PATH | O_CLOEXEC);
    while (fd >= 0 && fd <= STDERR_FILENO);
    if (fd >= 0)
        close(fd);
}

const char *special_file_kind(mode_t mode)
{
    if (S_ISCHR(mode))
        return "Is a character device";
    if (S_ISBLK(mode))
        return "Is a block device";
    if (S_ISFIFO(mode))
        return "Is a FIFO";
    if (S_ISSOCK(mode))
        return "Is a socket";
    return nullptr;
}

int open_found_file(int found, const char *path, int flags)
{
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", found);
    int fd = open(link, flags | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        fd = open(path, flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    return fd;
}

bool unchanged_since(const struct stat *before, const struct stat *now)
{
    return now->st_size == before->st_size && now->st_mtim.tv_sec == before->st_mtim.tv_sec &&
           now->st_mtim.tv_nsec == before->st_mtim.tv_nsec && now->st_ctim.tv_sec == before->st_ctim.tv_sec &&
           now->st_ctim.tv_nsec == before->st_ctim.tv_nsec;
}

// The working copy reads as the file's contents, the kernel copies only the
// page that the zeroed digest field is written to, and nothing written to it
// reaches the file.  It is not populated in advance, which would copy every
// page; read-ahead hints (sequential, will-need, populate-read) measured no
// faster than the kernel's own read-ahead on faults, warm or cold.  A
// private mapping may be written even where the file is open for reading
// only.
unsigned char *map_working_copy(int fd, size_t len)
{
    void *copy = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    return copy == MAP_FAILED ? nullptr : static_cast<unsigned char *>(copy);
}

// Where a SIGBUS while hashing returns to.  Reading a mapped page that the
// file no longer has (it was truncated) raises SIGBUS, and so does a memory
// error in one: either way the file could not be read.
static sigjmp_buf file_changed;

static void on_sigbus(int)
{
    siglongjmp(file_changed, 1);
}

bool digest_working_copy(unsigned char *copy, int32_t size, unsigned char digest[kDigestSize],
                         unsigned char *field)
{
    struct sigaction bus = {}, old_bus;
    bus.sa_handler = on_sigbus;
    sigemptyset(&bus.sa_mask);
    sigaction(SIGBUS, &bus, &old_bus);
    // A SIGBUS blocked in the mask we were started with would kill us
    // despite the handler; the jump back restores the mask saved here.
    sigset_t bus_only, old_mask;
    sigemptyset(&bus_only);
    sigaddset(&bus_only, SIGBUS);
    if (sigsetjmp(file_changed, 1) != 0) {
        sigaction(SIGBUS, &old_bus, nullptr);
        return false;
    }
    sigprocmask(SIG_UNBLOCK, &bus_only, &old_mask);
    if (field != nullptr)
        memcpy(field, copy + size - kTrailerSize, kDigestSize);
    memset(copy + size - kTrailerSize, 0, kDigestSize);
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, copy, static_cast<uint32_t>(size));
    sha1_final(&ctx, digest);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGBUS, &old_bus, nullptr);
    return true;
}
