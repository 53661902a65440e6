// SPDX-License-Identifier: MIT
// The instance lock: concurrent runs take turns through a lock file that
// holds the owner's process id.
#pragma once

// Takes the lock at `path`, waiting 100 ms between attempts.  Returns true
// when this process holds it, false when the run is to go on without it (the
// lock can never be made here).  About 20 seconds into a wait it SIGKILLs the
// process the lock file names; lock files whose owner is gone are removed.
// Never ends the process.
bool lock_step(const char *path);

// Removes the lock file at `path` if, and only if, this process holds it
// (and has not removed it yet).  Async-signal-safe; callers keep the signal
// handlers that call it from interrupting it.
void lock_release(const char *path);
