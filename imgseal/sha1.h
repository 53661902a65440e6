// SPDX-License-Identifier: MIT
// SHA-1 (FIPS 180-1) as a streaming engine: sha1_init, any number of
// sha1_update calls, then one sha1_final.  The caller owns the context; the
// engine allocates nothing and does no input or output.
//
// Known answers (FIPS 180-1):
//   "abc"                                   a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d
//   "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"
//                                           84983e44 1c3bd26e baae4aa1 f95129e5 e54670f1
//   one million 'a'                         34aa973c d4c4daa4 f61eeb2b dbad2731 6534016f
//   no bytes                                da39a3ee 5e6b4b0d 3255bfef 95601890 afd80709
#pragma once

#include <cstdint>

struct sha1_ctx {
    // total[0]: bytes fed so far, modulo 2^32; total[1]: how often total[0]
    // wrapped past 2^32.
    unsigned long total[2];
    // H0..H4 in the low 32 bits of each word.
    unsigned long state[5];
    // A partial block waiting for more input.
    unsigned char buffer[64];
};

// Starts a new digest.
void sha1_init(sha1_ctx *ctx);

// Feeds ilen bytes (less than 4 GiB per call; 0 does nothing).
void sha1_update(sha1_ctx *ctx, const unsigned char *input, uint32_t ilen);

// Pads, and writes the 20-byte digest to output.  The context is left as it
// is; start again with sha1_init.
void sha1_final(sha1_ctx *ctx, unsigned char output[20]);
