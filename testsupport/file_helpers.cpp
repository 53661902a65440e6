// SPDX-License-Identifier: MIT
// File helpers for sandbox bodies and tests: writing and reading a whole
// file, making directories, a veth pair in the sandbox's own network
// namespace, and a loop device over an image file.
#include "sandbox.h"
#include "sandbox_internal.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

using namespace sandbox_internal;

bool write_file(const std::string &path, const std::string &contents, unsigned mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, mode);
    return close(fd) == 0;
}

bool read_file(const std::string &path, std::string *contents)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    contents->clear();
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        contents->append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

bool make_dirs(const std::string &path, unsigned mode)
{
    if (path.empty() || path == "/")
        return true;
    if (mkdir(path.c_str(), mode) == 0 || errno == EEXIST)
        return true;
    if (errno != ENOENT || !make_dirs(std::filesystem::path(path).parent_path(), mode))
        return false;
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

bool add_veth(const std::string &name, const std::string &peer, const std::string &mac)
{
    // Only in a sandbox with a network namespace of its own: elsewhere the
    // pair would appear on the host.  The namespace the sandbox started from
    // was noted before it was left (outer_network_namespace); /proc/1 is no
    // guide here, being the sandbox's own init, which shares the sandbox's
    // namespace.
    NamespaceId outer_network = outer_network_namespace();
    NamespaceId here = namespace_of("/proc/self/ns/net");
    if (!outer_network.known || !here.known || (here.dev == outer_network.dev && here.ino == outer_network.ino)) {
        fprintf(stderr, "add_veth: refused outside a sandbox's own network namespace\n");
        return false;
    }
    return shell("ip link add " + name + " address " + mac + " type veth peer name " + peer);
}

int attach_loop(const std::string &image, std::string *device)
{
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0)
        return -1;
    int result = -1;
    for (int tries = 0; tries < 8 && result < 0; tries++) {
        int index = ioctl(control, LOOP_CTL_GET_FREE);
        if (index < 0)
            break;
        std::string node = "/dev/loop" + std::to_string(index);
        unlink(node.c_str());
        if (mknod(node.c_str(), S_IFBLK | 0600, makedev(7, static_cast<unsigned>(index))) != 0)
            break;
        int file = open(image.c_str(), O_RDWR | O_CLOEXEC);
        int loop = open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (file >= 0 && loop >= 0) {
            struct loop_config config;
            memset(&config, 0, sizeof config);
            config.fd = static_cast<unsigned>(file);
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
            // EBUSY: another process took this device first; ask again.
            if (ioctl(loop, LOOP_CONFIGURE, &config) == 0) {
                *device = node;
                result = loop;
                loop = -1;
            }
        }
        if (file >= 0)
            close(file);
        if (loop >= 0)
            close(loop);
    }
    close(control);
    return result;
}
