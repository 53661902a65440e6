// SPDX-License-Identifier: MIT
// What the files of the sandbox share among themselves and the tests do not
// use: argument vectors for execve, a child started and finished in two
// steps, the mount table, read-only binds, and namespace identities.
#pragma once

#include "sandbox.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace sandbox_internal {

// child_process.cpp
// `strings` as a null-terminated array for execve (pointing into `strings`).
std::vector<char *> c_strings(const std::vector<std::string> &strings);
// Forks a child in its own process group with its output on two pipes;
// `child` runs in it and its result is the exit status.
ChildRun start_child(const std::function<int()> &child, int timeout_ms, const std::string &input);
// Collects the child's output until it ends (killing it at its time limit),
// then reaps it and kills whatever it left running.
ProcResult finish_child(ChildRun &run);

// mounts.cpp
struct MountLine {
    long id = 0;
    std::string mount_point;
    std::string optional;   // the propagation fields ("shared:N master:M ...")
};
// The mounts listed in a mountinfo file (paths as the reader sees them).
std::vector<MountLine> read_mountinfo(const std::string &path);
// The id of the mount that holds the file open on `fd`, or that holds
// `path`; -1 when it cannot be told.
long mount_id_of(int fd);
long mount_id_of(const std::string &path);
// Makes an empty file or directory at `target` to mount `source` on.
bool make_mountpoint(const std::string &source, const std::string &target);
// Binds `source` at `target` (made as needed), read-only with every mount
// below it.
bool bind_readonly(const std::string &source, const std::string &target);

// sandbox_entry.cpp
struct NamespaceId {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
};
// The namespace that a /proc/.../ns/ file names.
NamespaceId namespace_of(const char *path);
// The network namespace the sandbox was started from: known only inside a
// sandbox (see add_veth).
NamespaceId outer_network_namespace();

} // namespace sandbox_internal
