// SPDX-License-Identifier: MIT
// Temporary folders: a fresh one for each use, named after the process that
// made it, the ones left by killed test processes swept away, and removing a
// tree without following links or leaving its mount.
#include "sandbox.h"
#include "sandbox_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

using namespace sandbox_internal;

namespace {

// Temporary folders are named kTempPrefix + "<pid namespace>-<pid>-XXXXXX"
// after the process that made them, so that a later run can tell the ones
// whose maker is gone (killed before it could clean up).
const char kTempPrefix[] = "quarrykit-test-";

// Removes `name` in the directory `parent` and everything below it.  Links
// are removed, never followed (each directory is opened O_NOFOLLOW and checked
// to be the one looked at), and nothing on another mount is touched.
void remove_below(int parent, const std::string &name, dev_t dev, long mount_id, int depth)
{
    struct stat st;
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        if (st.st_dev == dev)
            unlinkat(parent, name.c_str(), 0);
        return;
    }
    if (st.st_dev != dev || depth > 200)
        return;
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat opened;
    if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
        (mount_id >= 0 && mount_id_of(fd) != mount_id)) {
        close(fd);
        return;
    }
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    for (const std::string &below : names)
        remove_below(dirfd(dir), below, dev, mount_id, depth + 1);
    closedir(dir);
    unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// Removes `name` in `parent` and all below it, staying on the mount it is on.
void remove_entry(int parent, const std::string &name)
{
    struct stat st;
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    long mount_id = -1;
    int top = openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (top >= 0) {
        mount_id = mount_id_of(top);
        close(top);
    }
    remove_below(parent, name, st.st_dev, mount_id, 0);
}

std::string pid_namespace_number()
{
    NamespaceId ns = namespace_of("/proc/self/ns/pid");
    return ns.known ? std::to_string(ns.ino) : "";
}

// Removes the temporary folders left by test processes of this pid namespace
// that are gone (killed before they could clean up).  A folder whose maker's
// pid is in use again stays, as do folders of other pid namespaces (whose
// pids say nothing here) and anything not a directory of ours.
void remove_abandoned_temp_dirs(const std::string &tmp, const std::string &pidns)
{
    int fd = open(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    const std::string mine = kTempPrefix + pidns + "-";
    std::vector<std::string> abandoned;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.compare(0, mine.size(), mine) != 0)
            continue;
        // "<pid>-XXXXXX"
        std::string rest = name.substr(mine.size());
        size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string::npos || rest.size() != dash + 7 ||
            rest.find_first_not_of("0123456789") != dash)
            continue;
        long pid = strtol(rest.c_str(), nullptr, 10);
        struct stat st;
        if (pid <= 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != geteuid())
            continue;
        abandoned.push_back(name);
    }
    for (const std::string &name : abandoned)
        remove_entry(dirfd(dir), name);
    closedir(dir);
}

} // namespace

std::string make_temp_dir()
{
    std::string tmp = std::filesystem::temp_directory_path().string();
    std::string pidns = pid_namespace_number();
    // Once per process is enough to clear what earlier, killed runs left.
    static bool swept = false;
    if (!swept && !pidns.empty()) {
        swept = true;
        remove_abandoned_temp_dirs(tmp, pidns);
    }
    std::string templ = tmp + "/" + kTempPrefix + (pidns.empty() ? "0" : pidns) + "-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        return "";
    return templ;
}

// The last component of `path` is never followed either.
void remove_tree(const std::string &path)
{
    std::filesystem::path p(path);
    std::string parent = p.parent_path().string(), name = p.filename().string();
    if (name.empty() || name == "." || name == "..")
        return;
    int fd = open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    remove_entry(fd, name);
    close(fd);
}
