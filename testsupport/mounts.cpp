// SPDX-License-Identifier: MIT
// Mounts: reading the mount table (/proc/.../mountinfo) and the mount a
// descriptor lies on, binding a file or directory read-only together with
// every mount below it, and making the empty file or directory to mount on.
#include "sandbox.h"
#include "sandbox_internal.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

using namespace sandbox_internal;

namespace {

// Mountinfo escapes blanks, tabs, newlines and backslashes as octal.
std::string unescape_mountinfo(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

} // namespace

namespace sandbox_internal {

// The mounts listed in a mountinfo file (paths as the reader sees them).
std::vector<MountLine> read_mountinfo(const std::string &path)
{
    std::vector<MountLine> mounts;
    std::string text;
    if (!read_file(path, &text))
        return mounts;
    std::istringstream lines(text);
    for (std::string text_line; std::getline(lines, text_line);) {
        // Fields are single words: blanks inside paths are escaped.
        std::istringstream words(text_line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;)
            fields.push_back(word);
        if (fields.size() < 7)
            continue;
        MountLine line;
        line.id = strtol(fields[0].c_str(), nullptr, 10);
        line.mount_point = unescape_mountinfo(fields[4]);
        for (size_t i = 6; i < fields.size() && fields[i] != "-"; i++)
            line.optional += fields[i] + " ";
        mounts.push_back(line);
    }
    return mounts;
}

// The id of the mount that holds `path` (from its descriptor's fdinfo), or -1.
long mount_id_of(int fd)
{
    std::string info;
    if (!read_file("/proc/self/fdinfo/" + std::to_string(fd), &info))
        return -1;
    size_t at = info.find("mnt_id:");
    return at == std::string::npos ? -1 : strtol(info.c_str() + at + 7, nullptr, 10);
}

long mount_id_of(const std::string &path)
{
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return -1;
    long id = mount_id_of(fd);
    close(fd);
    return id;
}

} // namespace sandbox_internal

namespace {

// Remounts read-only one mount, keeping its other per-mount flags.
bool remount_readonly(const std::string &target)
{
    struct statvfs vfs;
    if (statvfs(target.c_str(), &vfs) != 0)
        return false;
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY;
    const std::pair<unsigned long, unsigned long> kept[] = {
        {ST_NOSUID, MS_NOSUID}, {ST_NODEV, MS_NODEV}, {ST_NOEXEC, MS_NOEXEC},
        {ST_NOATIME, MS_NOATIME}, {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
    for (const auto &[st_flag, ms_flag] : kept)
        if (vfs.f_flag & st_flag)
            flags |= ms_flag;
    return mount(nullptr, target.c_str(), nullptr, flags, nullptr) == 0;
}

// Makes the mount at `target` and every mount below it read-only: a file
// system mounted below a bound directory would otherwise stay writable.
bool make_tree_readonly(const std::string &target)
{
#ifdef SYS_mount_setattr
    struct mount_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.attr_set = MOUNT_ATTR_RDONLY;
    if (syscall(SYS_mount_setattr, AT_FDCWD, target.c_str(), AT_RECURSIVE, &attr, sizeof attr) == 0)
        return true;
    if (errno != ENOSYS)
        return false;
#endif
    // Kernels before 5.12: each mount in turn, the top one first.
    if (!remount_readonly(target))
        return false;
    for (const MountLine &m : read_mountinfo("/proc/self/mountinfo")) {
        if (m.mount_point.size() > target.size() && m.mount_point.compare(0, target.size(), target) == 0 &&
            m.mount_point[target.size()] == '/' && !remount_readonly(m.mount_point))
            return false;
    }
    return true;
}

} // namespace

namespace sandbox_internal {

// Makes an empty file or directory at `target` to mount `source` on.
bool make_mountpoint(const std::string &source, const std::string &target)
{
    struct stat st;
    if (stat(source.c_str(), &st) != 0)
        return false;
    if (!make_dirs(std::filesystem::path(target).parent_path()))
        return false;
    if (S_ISDIR(st.st_mode))
        return mkdir(target.c_str(), 0755) == 0 || errno == EEXIST;
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Binds `source` at `target` (made as needed), read-only with every mount
// below it.
bool bind_readonly(const std::string &source, const std::string &target)
{
    if (!make_mountpoint(source, target))
        return false;
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return false;
    return make_tree_readonly(target);
}

} // namespace sandbox_internal
