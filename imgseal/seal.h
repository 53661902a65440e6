// SPDX-License-Identifier: MIT
// The seal of an image file, as imgseal makes it and imgverify checks it.
// The image ends in a 32-byte trailer: a 20-byte digest field, then 12 other
// bytes.  The digest is SHA-1 over the whole file, from the first byte to
// the last, with the 20 bytes of the field taken as zeros and every other
// byte (the last 12 too) as it is.  The steps that compute it, and the
// checks both programs make before and around them, are here.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

const int kTrailerSize = 32;
const int kDigestSize = 20;

// A closed standard descriptor would be handed out again when an image is
// opened, and output meant for it would go to the image.  Each closed one is
// taken by a path-only descriptor, on which every write fails.
void hold_standard_descriptors();

// The path as a line of output shows it, in the convention of checksum
// tools: a path holding a backslash, a line feed or a carriage return gets a
// backslash in front, and those characters are written as "\\", "\n" and
// "\r", so that every line stays one line and no name can forge another's
// line.  Other paths are shown as they are.  Returns a string to free, or
// null when there is no memory for it.
char *escaped_path(const char *path);

// Writes all len bytes to fd, waiting (poll) while a non-blocking descriptor
// is full instead of giving up, so that a line goes out whole.  False, with
// errno set, when the writing fails.
bool write_all(int fd, const char *buf, size_t len);

// Prints "<prog>: <what> <path>: <why>" as one line on standard error, the
// path escaped as above.
void print_refusal(const char *prog, const char *what, const char *path, const char *why);

// A read lease (fcntl F_SETLEASE) on an image open for reading: while it is
// held, no other process has the file open for writing, and one that opens it
// for writing or truncates it breaks the lease.  The break is answered at
// once (the lease is given up in the signal handler), so the other process
// waits no longer than it takes to deliver a signal; the check learns of it
// when the lease is released.  Only the file's owner, or a process allowed
// to lease any file (root), gets one, and only on file systems that have
// them.
enum LeaseTaken {
    kLeaseHeld,        // held until release_read_lease
    kLeaseUnavailable, // not allowed or not supported here: no lease
    kLeaseWriterOpen,  // another process has the file open for writing
};
LeaseTaken take_read_lease(int fd);
// Gives the lease up.  False when it was broken while it was held (the file
// was opened for writing or truncated); true when it held, or none was taken.
bool release_read_lease();

// "Is a character device", "Is a block device", "Is a FIFO" or "Is a
// socket" for such a file, which is never opened to be read or written
// (opening some devices acts, opening a FIFO may wait); null for others.
const char *special_file_kind(mode_t mode);

// Opens, with open(2) `flags`, the very file that `found` (a path-only
// descriptor of `path`, whose type the caller has checked) refers to,
// through /proc, even when the path has been changed meanwhile.  Without
// /proc the path is opened again, without waiting on a FIFO or taking a
// terminal, and the caller must check that it is still the same file.
// Returns the descriptor, or -1 with errno set.
int open_found_file(int found, const char *path, int flags);

// True when a file whose status was `before` and is now `now` has kept its
// size, and has not been written to (modification and change times).
bool unchanged_since(const struct stat *before, const struct stat *now);

// File times come from the coarse real-time clock, which moves in ticks of
// some milliseconds, and some file systems keep only whole seconds (or tens
// of milliseconds): a write in the same tick as the file's last change leaves
// its times as they were, and a check that goes by the times alone would not
// see it.  Where the times of `st` (the first look at fd) are not yet older
// than the clock, the clock is waited for, for as long as the precision the
// stamps show (a stamp with no sub-second part: the rest of its second, or of
// its two-second step for an even second) and at most a little over two
// seconds, and the file is looked at again.  Every write stamps both times
// alike, so one of them older than the clock is enough.
enum TimesSettled {
    kTimesSettled,  // any later write moves the times
    kTimesAhead,    // further ahead of the clock than is waited for (the
                    // clock was set back, or the times set ahead): a later
                    // write moves them until the clock reaches them, which
                    // clock_reached tells at the last look
    kTimesChanged,  // the file changed while it was waited for
    kTimesUnseen,   // fstat failed, errno set
};
TimesSettled settle_times(int fd, const struct stat *st);
// True when the coarse clock has reached both times of `st` (as they were
// when settle_times said kTimesAhead): a write since then may have kept them.
bool clock_reached(const struct stat *st);

// The working copy of an image of len bytes open on fd: a private
// copy-on-write mapping of the file, writable, whose changes never reach the
// file.  Null, with errno set, when it cannot be made.
unsigned char *map_working_copy(int fd, size_t len);

// The digest rule: zeroes the digest field of the working copy of an image
// of `size` bytes (at least the trailer's) and hashes the whole copy, in
// one sha1_update, into `digest`.  When `field` is not null it receives the
// field as it was before it was zeroed.  False when the file was cut short
// under the copy (reading a page it no longer has raised SIGBUS).
bool digest_working_copy(unsigned char *copy, int32_t size, unsigned char digest[kDigestSize],
                         unsigned char *field);
