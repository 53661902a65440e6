// SPDX-License-Identifier: MIT
#include "sha1.h"
#include "sha1_internal.h"

#include <cstring>

namespace {

const unsigned char kPadding[64] = {0x80};

inline uint32_t load_be32(const unsigned char *b)
{
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
           static_cast<uint32_t>(b[2]) << 8 | static_cast<uint32_t>(b[3]);
}

inline void store_be32(unsigned char *b, uint32_t v)
{
    b[0] = static_cast<unsigned char>(v >> 24);
    b[1] = static_cast<unsigned char>(v >> 16);
    b[2] = static_cast<unsigned char>(v >> 8);
    b[3] = static_cast<unsigned char>(v);
}

inline uint32_t rol(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

// The compression function on one block: 80 steps, unrolled.  The schedule
// lives in a 16-word ring; step t >= 16 first replaces W[t & 15] by
// rol(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16], 1).  The working values are 32-bit,
// so the chaining values come back exact with no higher bits set.
void sha1_process(sha1_ctx *ctx, const unsigned char block[64])
{
    uint32_t W[16];
    for (int i = 0; i < 16; i++)
        W[i] = load_be32(block + 4 * i);

    uint32_t A = static_cast<uint32_t>(ctx->state[0]);
    uint32_t B = static_cast<uint32_t>(ctx->state[1]);
    uint32_t C = static_cast<uint32_t>(ctx->state[2]);
    uint32_t D = static_cast<uint32_t>(ctx->state[3]);
    uint32_t E = static_cast<uint32_t>(ctx->state[4]);

#define SCHED(t) (W[(t) & 15] = rol(W[((t) - 3) & 15] ^ W[((t) - 8) & 15] ^ W[((t) - 14) & 15] ^ W[(t) & 15], 1))
#define STEP(a, b, c, d, e, f, k, w) \
    do {                             \
        e += rol(a, 5) + f(b, c, d) + (k) + (w); \
        b = rol(b, 30);              \
    } while (0)
#define F_CH(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define F_PARITY(x, y, z) ((x) ^ (y) ^ (z))
#define F_MAJ(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define K1 0x5A827999u
#define K2 0x6ED9EBA1u
#define K3 0x8F1BBCDCu
#define K4 0xCA62C1D6u

    STEP(A, B, C, D, E, F_CH, K1, W[0]);
    STEP(E, A, B, C, D, F_CH, K1, W[1]);
    STEP(D, E, A, B, C, F_CH, K1, W[2]);
    STEP(C, D, E, A, B, F_CH, K1, W[3]);
    STEP(B, C, D, E, A, F_CH, K1, W[4]);
    STEP(A, B, C, D, E, F_CH, K1, W[5]);
    STEP(E, A, B, C, D, F_CH, K1, W[6]);
    STEP(D, E, A, B, C, F_CH, K1, W[7]);
    STEP(C, D, E, A, B, F_CH, K1, W[8]);
    STEP(B, C, D, E, A, F_CH, K1, W[9]);
    STEP(A, B, C, D, E, F_CH, K1, W[10]);
    STEP(E, A, B, C, D, F_CH, K1, W[11]);
    STEP(D, E, A, B, C, F_CH, K1, W[12]);
    STEP(C, D, E, A, B, F_CH, K1, W[13]);
    STEP(B, C, D, E, A, F_CH, K1, W[14]);
    STEP(A, B, C, D, E, F_CH, K1, W[15]);
    STEP(E, A, B, C, D, F_CH, K1, SCHED(16));
    STEP(D, E, A, B, C, F_CH, K1, SCHED(17));
    STEP(C, D, E, A, B, F_CH, K1, SCHED(18));
    STEP(B, C, D, E, A, F_CH, K1, SCHED(19));

    STEP(A, B, C, D, E, F_PARITY, K2, SCHED(20));
    STEP(E, A, B, C, D, F_PARITY, K2, SCHED(21));
    STEP(D, E, A, B, C, F_PARITY, K2, SCHED(22));
    STEP(C, D, E, A, B, F_PARITY, K2, SCHED(23));
    STEP(B, C, D, E, A, F_PARITY, K2, SCHED(24));
    STEP(A, B, C, D, E, F_PARITY, K2, SCHED(25));
    STEP(E, A, B, C, D, F_PARITY, K2, SCHED(26));
    STEP(D, E, A, B, C, F_PARITY, K2, SCHED(27));
    STEP(C, D, E, A, B, F_PARITY, K2, SCHED(28));
    STEP(B, C, D, E, A, F_PARITY, K2, SCHED(29));
    STEP(A, B, C, D, E, F_PARITY, K2, SCHED(30));
    STEP(E, A, B, C, D, F_PARITY, K2, SCHED(31));
    STEP(D, E, A, B, C, F_PARITY, K2, SCHED(32));
    STEP(C, D, E, A, B, F_PARITY, K2, SCHED(33));
    STEP(B, C, D, E, A, F_PARITY, K2, SCHED(34));
    STEP(A, B, C, D, E, F_PARITY, K2, SCHED(35));
    STEP(E, A, B, C, D, F_PARITY, K2, SCHED(36));
    STEP(D, E, A, B, C, F_PARITY, K2, SCHED(37));
    STEP(C, D, E, A, B, F_PARITY, K2, SCHED(38));
    STEP(B, C, D, E, A, F_PARITY, K2, SCHED(39));

    STEP(A, B, C, D, E, F_MAJ, K3, SCHED(40));
    STEP(E, A, B, C, D, F_MAJ, K3, SCHED(41));
    STEP(D, E, A, B, C, F_MAJ, K3, SCHED(42));
    STEP(C, D, E, A, B, F_MAJ, K3, SCHED(43));
    STEP(B, C, D, E, A, F_MAJ, K3, SCHED(44));
    STEP(A, B, C, D, E, F_MAJ, K3, SCHED(45));
    STEP(E, A, B, C, D, F_MAJ, K3, SCHED(46));
    STEP(D, E, A, B, C, F_MAJ, K3, SCHED(47));
    STEP(C, D, E, A, B, F_MAJ, K3, SCHED(48));
    STEP(B, C, D, E, A, F_MAJ, K3, SCHED(49));
    STEP(A, B, C, D, E, F_MAJ, K3, SCHED(50));
    STEP(E, A, B, C, D, F_MAJ, K3, SCHED(51));
    STEP(D, E, A, B, C, F_MAJ, K3, SCHED(52));
    STEP(C, D, E, A, B, F_MAJ, K3, SCHED(53));
    STEP(B, C, D, E, A, F_MAJ, K3, SCHED(54));
    STEP(A, B, C, D, E, F_MAJ, K3, SCHED(55));
    STEP(E, A, B, C, D, F_MAJ, K3, SCHED(56));
    STEP(D, E, A, B, C, F_MAJ, K3, SCHED(57));
    STEP(C, D, E, A, B, F_MAJ, K3, SCHED(58));
    STEP(B, C, D, E, A, F_MAJ, K3, SCHED(59));

    STEP(A, B, C, D, E, F_PARITY, K4, SCHED(60));
    STEP(E, A, B, C, D, F_PARITY, K4, SCHED(61));
    STEP(D, E, A, B, C, F_PARITY, K4, SCHED(62));
    STEP(C, D, E, A, B, F_PARITY, K4, SCHED(63));
    STEP(B, C, D, E, A, F_PARITY, K4, SCHED(64));
    STEP(A, B, C, D, E, F_PARITY, K4, SCHED(65));
    STEP(E, A, B, C, D, F_PARITY, K4, SCHED(66));
    STEP(D, E, A, B, C, F_PARITY, K4, SCHED(67));
    STEP(C, D, E, A, B, F_PARITY, K4, SCHED(68));
    STEP(B, C, D, E, A, F_PARITY, K4, SCHED(69));
    STEP(A, B, C, D, E, F_PARITY, K4, SCHED(70));
    STEP(E, A, B, C, D, F_PARITY, K4, SCHED(71));
    STEP(D, E, A, B, C, F_PARITY, K4, SCHED(72));
    STEP(C, D, E, A, B, F_PARITY, K4, SCHED(73));
    STEP(B, C, D, E, A, F_PARITY, K4, SCHED(74));
    STEP(A, B, C, D, E, F_PARITY, K4, SCHED(75));
    STEP(E, A, B, C, D, F_PARITY, K4, SCHED(76));
    STEP(D, E, A, B, C, F_PARITY, K4, SCHED(77));
    STEP(C, D, E, A, B, F_PARITY, K4, SCHED(78));
    STEP(B, C, D, E, A, F_PARITY, K4, SCHED(79));

#undef SCHED
#undef STEP
#undef F_CH
#undef F_PARITY
#undef F_MAJ
#undef K1
#undef K2
#undef K3
#undef K4

    ctx->state[0] = static_cast<uint32_t>(ctx->state[0] + A);
    ctx->state[1] = static_cast<uint32_t>(ctx->state[1] + B);
    ctx->state[2] = static_cast<uint32_t>(ctx->state[2] + C);
    ctx->state[3] = static_cast<uint32_t>(ctx->state[3] + D);
    ctx->state[4] = static_cast<uint32_t>(ctx->state[4] + E);
}

// Compresses `blocks` whole blocks lying at `data`, where they lie.
void compress(sha1_ctx *ctx, const unsigned char *data, size_t blocks, sha1_path path)
{
    if (path == sha1_path::hardware) {
        uint32_t state[5];
        for (int i = 0; i < 5; i++)
            state[i] = static_cast<uint32_t>(ctx->state[i]);
        sha1_blocks_hardware(state, data, blocks);
        for (int i = 0; i < 5; i++)
            ctx->state[i] = state[i];
        return;
    }
    for (size_t i = 0; i < blocks; i++)
        sha1_process(ctx, data + 64 * i);
}

sha1_path best_path()
{
    return sha1_hardware_available() ? sha1_path::hardware : sha1_path::portable;
}

} // namespace

void sha1_init(sha1_ctx *ctx)
{
    ctx->total[0] = 0;
    ctx->total[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
}

void sha1_update_on(sha1_ctx *ctx, const unsigned char *input, uint32_t ilen, sha1_path path)
{
    if (ilen == 0)
        return;
    if (path == sha1_path::hardware && !sha1_hardware_available())
        path = sha1_path::portable;

    uint32_t left = static_cast<uint32_t>(ctx->total[0] & 63);
    uint32_t fill = 64 - left;

    ctx->total[0] = (ctx->total[0] + ilen) & 0xFFFFFFFFul;
    if (ctx->total[0] < ilen)
        ctx->total[1]++;

    if (left != 0 && ilen >= fill) {
        memcpy(ctx->buffer + left, input, fill);
        compress(ctx, ctx->buffer, 1, path);
        input += fill;
        ilen -= fill;
        left = 0;
    }
    if (ilen >= 64) {
        compress(ctx, input, ilen / 64, path);
        input += ilen & ~63u;
        ilen &= 63;
    }
    if (ilen > 0)
        memcpy(ctx->buffer + left, input, ilen);
}

void sha1_final_on(sha1_ctx *ctx, unsigned char output[20], sha1_path path)
{
    // The length in bits, from the counters as they stand before padding.
    unsigned char msglen[8];
    store_be32(msglen, static_cast<uint32_t>((ctx->total[0] >> 29) | (ctx->total[1] << 3)));
    store_be32(msglen + 4, static_cast<uint32_t>(ctx->total[0] << 3));

    uint32_t last = static_cast<uint32_t>(ctx->total[0] & 63);
    uint32_t padn = last < 56 ? 56 - last : 120 - last;
    sha1_update_on(ctx, kPadding, padn, path);
    sha1_update_on(ctx, msglen, 8, path);

    for (int i = 0; i < 5; i++)
        store_be32(output + 4 * i, static_cast<uint32_t>(ctx->state[i]));
}

void sha1_update(sha1_ctx *ctx, const unsigned char *input, uint32_t ilen)
{
    sha1_update_on(ctx, input, ilen, best_path());
}

void sha1_final(sha1_ctx *ctx, unsigned char output[20])
{
    sha1_final_on(ctx, output, best_path());
}
