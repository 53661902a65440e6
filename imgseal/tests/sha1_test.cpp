// SPDX-License-Identifier: MIT
// The SHA-1 engine: known answers on both compression paths, NIST's byte
// vectors, any split of the input, and the 2^32-byte counter wrap.
#include "sha1.h"
#include "sha1_internal.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string hex(const unsigned char *data, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < len; i++) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

Bytes unhex(const std::string &text)
{
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

// Digest of `data` fed in pieces whose sizes are `splits` (the rest at the end).
std::string digest(const unsigned char *data, size_t len, sha1_path path, const std::vector<size_t> &splits = {})
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    size_t done = 0;
    for (size_t piece : splits) {
        piece = std::min(piece, len - done);
        sha1_update_on(&ctx, data + done, static_cast<uint32_t>(piece), path);
        done += piece;
    }
    sha1_update_on(&ctx, data + done, static_cast<uint32_t>(len - done), path);
    unsigned char out[20];
    sha1_final_on(&ctx, out, path);
    return hex(out, 20);
}

std::string digest(const std::string &text, sha1_path path)
{
    return digest(reinterpret_cast<const unsigned char *>(text.data()), text.size(), path);
}

} // namespace

// How GoogleTest shows a path in its messages (else as a dump of its bytes).
void PrintTo(sha1_path path, std::ostream *os)
{
    *os << (path == sha1_path::portable ? "portable" : "hardware");
}

namespace {

class Sha1Paths : public ::testing::TestWithParam<sha1_path> {
protected:
    void SetUp() override
    {
        if (GetParam() == sha1_path::hardware && !sha1_hardware_available())
            GTEST_SKIP() << "this processor has no SHA-1 instructions";
    }
};

TEST_P(Sha1Paths, FipsExamplesAndEmptyMessage)
{
    sha1_path path = GetParam();
    EXPECT_EQ(digest("abc", path), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", path),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(digest("", path), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    // One million 'a', in pieces of odd sizes.
    std::string a(1000000, 'a');
    auto *data = reinterpret_cast<const unsigned char *>(a.data());
    std::vector<size_t> pieces;
    for (size_t total = 0, n = 1; total < a.size(); total += n, n = n * 7 % 1013 + 1)
        pieces.push_back(n);
    EXPECT_EQ(digest(data, a.size(), path, pieces), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Every vector of NIST's byte-oriented short and long message files.
TEST_P(Sha1Paths, NistByteVectors)
{
    int checked = 0;
    for (const char *name : {"SHA1ShortMsg.rsp", "SHA1LongMsg.rsp"}) {
        std::ifstream in(std::string(QK_TESTDATA_DIR) + "/sha1/" + name);
        ASSERT_TRUE(in) << name;
        std::string line, msg;
        long bits = -1;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.rfind("Len = ", 0) == 0)
                bits = std::stol(line.substr(6));
            else if (line.rfind("Msg = ", 0) == 0)
                msg = line.substr(6);
            else if (line.rfind("MD = ", 0) == 0) {
                Bytes data = unhex(msg);
                data.resize(static_cast<size_t>(bits / 8));
                EXPECT_EQ(digest(data.data(), data.size(), GetParam()), line.substr(5)) << name << " Len = " << bits;
                checked++;
            }
        }
    }
    EXPECT_EQ(checked, 65 + 64);
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha1Paths, ::testing::Values(sha1_path::portable, sha1_path::hardware),
                         [](const ::testing::TestParamInfo<sha1_path> &p) {
                             return std::string(p.param == sha1_path::portable ? "Portable" : "Hardware");
                         });

// The same bytes give the same digest however they are split into calls,
// on either path; calls that end exactly on block boundaries included.
TEST(Sha1Splits, AnySplitOnEitherPathGivesTheSameDigest)
{
    std::mt19937 rng(20261208);
    bool hw = sha1_hardware_available();
    for (int round = 0; round < 400; round++) {
        size_t len = round < 200 ? rng() % 300 : rng() % 20000;
        Bytes data(len);
        for (auto &b : data)
            b = static_cast<unsigned char>(rng());
        std::string expected = digest(data.data(), len, sha1_path::portable);

        std::vector<size_t> random_splits, block_splits;
        for (size_t done = 0; done < len;) {
            size_t piece = rng() % 3 == 0 ? 64 * (rng() % 4) : rng() % 150;
            random_splits.push_back(piece);
            done += piece;
        }
        for (size_t done = 0; done < len; done += 64)
            block_splits.push_back(64);
        for (const auto &splits : {random_splits, block_splits}) {
            EXPECT_EQ(digest(data.data(), len, sha1_path::portable, splits), expected) << "length " << len;
            if (hw) {
                EXPECT_EQ(digest(data.data(), len, sha1_path::hardware, splits), expected) << "length " << len;
            }
        }
        if (hw) {
            EXPECT_EQ(digest(data.data(), len, sha1_path::hardware), expected) << "length " << len;
        }
    }
}

TEST(Sha1Context, CountersAndChainingValuesAsDocumented)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    EXPECT_EQ(ctx.total[0], 0UL);
    EXPECT_EQ(ctx.state[0], 0x67452301UL);
    EXPECT_EQ(ctx.state[4], 0xC3D2E1F0UL);
    unsigned char data[200] = {};
    sha1_update(&ctx, data, 0);
    EXPECT_EQ(ctx.total[0], 0UL);
    EXPECT_EQ(ctx.state[0], 0x67452301UL);
    sha1_update(&ctx, data, 70);
    EXPECT_EQ(ctx.total[0], 70UL);
    EXPECT_EQ(memcmp(ctx.buffer, data + 64, 6), 0);
    for (unsigned long word : ctx.state)
        EXPECT_LE(word, 0xFFFFFFFFUL);
}

// Feeds 2^32 + 100 zero bytes: total[0] wraps, total[1] becomes 1, and the
// digest still agrees with an independent implementation.
TEST(Sha1Wrap, FourGibibytesAndMore)
{
    const size_t chunk = 1 << 20;
    const unsigned long long length = (1ULL << 32) + 100;
    Bytes zeros(chunk, 0);
    sha1_ctx ctx;
    sha1_init(&ctx);
    unsigned long long fed = 0;
    while (fed + chunk <= length) {
        sha1_update(&ctx, zeros.data(), chunk);
        fed += chunk;
    }
    sha1_update(&ctx, zeros.data(), static_cast<uint32_t>(length - fed));
    EXPECT_EQ(ctx.total[1], 1UL);
    EXPECT_EQ(ctx.total[0], 100UL);
    unsigned char out[20];
    sha1_final(&ctx, out);

    ProcResult reference = run_process(
        {"/bin/sh", "-c", "head -c " + std::to_string(length) + " /dev/zero | openssl dgst -sha1 -r"},
        {"PATH=/usr/bin:/bin"}, 300000);
    ASSERT_EQ(reference.status, 0) << reference.err;
    EXPECT_EQ(hex(out, 20), reference.out.substr(0, 40));
}

} // namespace
