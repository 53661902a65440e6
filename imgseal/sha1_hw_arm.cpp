// SPDX-License-Identifier: MIT
// SHA-1 compression with the Armv8 SHA1 instructions: ABCD in one vector,
// E as a scalar; each sha1c/sha1p/sha1m does four steps on message words
// that already carry the round constant.
#include "sha1_internal.h"

#include <arm_neon.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>

namespace {

// Asked once, when the program starts.  Not a function-local static: its
// guarded initialisation would call into the C++ runtime library, which the
// programs do not otherwise need at run time.  (Code run by another static
// initialiser before this one would see false and take the portable path.)
const bool available = (getauxval(AT_HWCAP) & HWCAP_SHA1) != 0;

} // namespace

bool sha1_hardware_available()
{
    return available;
}

__attribute__((target("+crypto")))
void sha1_blocks_hardware(uint32_t state[5], const unsigned char *data, size_t blocks)
{
    const uint32x4_t k0 = vdupq_n_u32(0x5A827999);
    const uint32x4_t k1 = vdupq_n_u32(0x6ED9EBA1);
    const uint32x4_t k2 = vdupq_n_u32(0x8F1BBCDC);
    const uint32x4_t k3 = vdupq_n_u32(0xCA62C1D6);

    uint32x4_t abcd = vld1q_u32(state);
    uint32_t e0 = state[4], e1;

    for (; blocks > 0; blocks--, data += 64) {
        uint32x4_t abcd_saved = abcd;
        uint32_t e0_saved = e0;

        uint32x4_t m0 = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data)));
        uint32x4_t m1 = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16)));
        uint32x4_t m2 = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 32)));
        uint32x4_t m3 = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 48)));
        uint32x4_t w0 = vaddq_u32(m0, k0);
        uint32x4_t w1 = vaddq_u32(m1, k0);

// Four steps of kind op with E e_in and words w, the next E into e_out; then
// the words for two groups on (m_w plus constant k) into w, and the schedule
// advanced: m_done completed from m_last, m_start begun from the next three.
#define GROUP(op, e_in, e_out, w, m_w, k)                   \
    e_out = vsha1h_u32(vgetq_lane_u32(abcd, 0));            \
    abcd = op(abcd, e_in, w);                               \
    w = vaddq_u32(m_w, k)
#define SU1(m_done, m_last) m_done = vsha1su1q_u32(m_done, m_last)
#define SU0(m_start, a, b) m_start = vsha1su0q_u32(m_start, a, b)

        GROUP(vsha1cq_u32, e0, e1, w0, m2, k0);  SU0(m0, m1, m2);                  // 0-3
        GROUP(vsha1cq_u32, e1, e0, w1, m3, k0);  SU1(m0, m3); SU0(m1, m2, m3);     // 4-7
        GROUP(vsha1cq_u32, e0, e1, w0, m0, k0);  SU1(m1, m0); SU0(m2, m3, m0);     // 8-11
        GROUP(vsha1cq_u32, e1, e0, w1, m1, k1);  SU1(m2, m1); SU0(m3, m0, m1);     // 12-15
        GROUP(vsha1cq_u32, e0, e1, w0, m2, k1);  SU1(m3, m2); SU0(m0, m1, m2);     // 16-19
        GROUP(vsha1pq_u32, e1, e0, w1, m3, k1);  SU1(m0, m3); SU0(m1, m2, m3);     // 20-23
        GROUP(vsha1pq_u32, e0, e1, w0, m0, k1);  SU1(m1, m0); SU0(m2, m3, m0);     // 24-27
        GROUP(vsha1pq_u32, e1, e0, w1, m1, k1);  SU1(m2, m1); SU0(m3, m0, m1);     // 28-31
        GROUP(vsha1pq_u32, e0, e1, w0, m2, k2);  SU1(m3, m2); SU0(m0, m1, m2);     // 32-35
        GROUP(vsha1pq_u32, e1, e0, w1, m3, k2);  SU1(m0, m3); SU0(m1, m2, m3);     // 36-39
        GROUP(vsha1mq_u32, e0, e1, w0, m0, k2);  SU1(m1, m0); SU0(m2, m3, m0);     // 40-43
        GROUP(vsha1mq_u32, e1, e0, w1, m1, k2);  SU1(m2, m1); SU0(m3, m0, m1);     // 44-47
        GROUP(vsha1mq_u32, e0, e1, w0, m2, k2);  SU1(m3, m2); SU0(m0, m1, m2);     // 48-51
        GROUP(vsha1mq_u32, e1, e0, w1, m3, k3);  SU1(m0, m3); SU0(m1, m2, m3);     // 52-55
        GROUP(vsha1mq_u32, e0, e1, w0, m0, k3);  SU1(m1, m0); SU0(m2, m3, m0);     // 56-59
        GROUP(vsha1pq_u32, e1, e0, w1, m1, k3);  SU1(m2, m1); SU0(m3, m0, m1);     // 60-63
        GROUP(vsha1pq_u32, e0, e1, w0, m2, k3);  SU1(m3, m2); SU0(m0, m1, m2);     // 64-67
        GROUP(vsha1pq_u32, e1, e0, w1, m3, k3);  SU1(m0, m3);                      // 68-71

        e1 = vsha1h_u32(vgetq_lane_u32(abcd, 0));                                  // 72-75
        abcd = vsha1pq_u32(abcd, e0, w0);
        e0 = vsha1h_u32(vgetq_lane_u32(abcd, 0));                                  // 76-79
        abcd = vsha1pq_u32(abcd, e1, w1);
#undef GROUP
#undef SU1
#undef SU0

        e0 += e0_saved;
        abcd = vaddq_u32(abcd_saved, abcd);
    }

    vst1q_u32(state, abcd);
    state[4] = e0;
}
