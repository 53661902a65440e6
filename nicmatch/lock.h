// SPDX-License-Identifier: MIT
// The instance lock: concurrent runs take turns through a lock file that
// holds the owner's process id.
#pragma once

// Takes the lock at `path`, waiting for its release: a try soon after the
// lock file is released or removed, a look at it at most 100 ms apart.
// Returns true when this process holds it, false when the run is to go on
// without it (the lock cannot be made or used here, or the wait reached its
// bound).  Lock files whose owner is gone, or that name a process of another
// program, are removed at once; about 20 seconds into a wait it SIGKILLs a
// live owner (a run of this same program) that it has seen hold the lock for
// 11 seconds.
// Never follows or blocks on the lock path, never ends the process.
bool lock_step(const char *path);

// Removes the lock file at `path` if, and only if, this process holds it
// (and has not removed it yet) and the path still names the file it
// created.  Async-signal-safe; callers keep the signal handlers that call it
// from interrupting it.
void lock_release(const char *path);
