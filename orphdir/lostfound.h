// SPDX-License-Identifier: MIT
// Growing a new, empty directory until it holds more than 11 blocks.
#pragma once

struct LostFoundStats {
    int files;          // filler files created (and removed again)
    long long size;     // the directory's size when growth stopped
    long blksize;       // its block size then
};

// Creates `dir` (mode 0700), fills it with empty files of 254-character names
// until its size exceeds 11 times its block size, then removes them in the
// order made.  All work after mkdir goes through a descriptor of the directory
// made ("open" fails when something else, a link say, bears its name by then).
// Returns nullptr on success, or the name of the call that failed ("mkdir",
// "open", "creat", "stat", "unlink") with errno set; nothing is undone on
// failure.  `stats` gets what was done so far.
const char *grow_lost_found(const char *dir, LostFoundStats *stats);
