// SPDX-License-Identifier: MIT
// The engine's compression paths, for its own tests and benchmarks: the
// portable one, and the processor's SHA instructions where it has them
// (x86-64 SHA extensions, Armv8 SHA1).  sha1_update and sha1_final use the
// hardware path whenever sha1_hardware_available() is true.
#pragma once

#include "sha1.h"

#include <cstddef>
#include <cstdint>

enum class sha1_path { portable, hardware };

// Decided once per process, from cpuid or the auxiliary vector.
bool sha1_hardware_available();

// sha1_update and sha1_final on an explicit path (hardware only where available).
void sha1_update_on(sha1_ctx *ctx, const unsigned char *input, uint32_t ilen, sha1_path path);
void sha1_final_on(sha1_ctx *ctx, unsigned char output[20], sha1_path path);

// Compresses `blocks` consecutive 64-byte blocks into state (H0..H4) with the
// processor's instructions.  Defined only where the build has such a path.
void sha1_blocks_hardware(uint32_t state[5], const unsigned char *data, size_t blocks);
