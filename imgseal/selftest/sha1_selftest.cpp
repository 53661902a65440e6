// SPDX-License-Identifier: MIT
// The SHA-1 engine's checks without a test framework, for builds where none
// is at hand (cross builds run under an emulator): known answers and NIST's
// byte vectors on every path, random splits across paths, and optionally the
// 2^32-byte wrap against a digest given on the command line.
//
//   sha1_selftest VECTOR_DIR [WRAP_DIGEST]
#include "sha1.h"
#include "sha1_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int passed, failed;

void check(bool ok, const std::string &what)
{
    if (ok) {
        passed++;
    } else {
        failed++;
        printf("FAILED: %s\n", what.c_str());
    }
}

std::string hex(const unsigned char *d, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

std::string digest(const unsigned char *data, size_t len, sha1_path path, unsigned seed = 0)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    size_t done = 0;
    while (seed != 0 && done < len) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = std::min<size_t>((seed >> 16) % 200, len - done);
        sha1_update_on(&ctx, data + done, static_cast<uint32_t>(piece), path);
        done += piece;
    }
    sha1_update_on(&ctx, data + done, static_cast<uint32_t>(len - done), path);
    unsigned char out[20];
    sha1_final_on(&ctx, out, path);
    return hex(out, 20);
}

std::string digest(const std::string &s, sha1_path path)
{
    return digest(reinterpret_cast<const unsigned char *>(s.data()), s.size(), path);
}

void vectors(const std::string &file, sha1_path path, const char *name)
{
    FILE *in = fopen(file.c_str(), "r");
    check(in != nullptr, "open " + file);
    if (in == nullptr)
        return;
    char line[70000];
    long bits = 0;
    std::vector<unsigned char> msg;
    while (fgets(line, sizeof line, in)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strncmp(line, "Len = ", 6) == 0) {
            bits = atol(line + 6);
        } else if (strncmp(line, "Msg = ", 6) == 0) {
            msg.clear();
            for (const char *p = line + 6; p[0] && p[1]; p += 2) {
                char byte[3] = {p[0], p[1], 0};
                msg.push_back(static_cast<unsigned char>(strtoul(byte, nullptr, 16)));
            }
            msg.resize(static_cast<size_t>(bits / 8));
        } else if (strncmp(line, "MD = ", 5) == 0) {
            check(digest(msg.data(), msg.size(), path) == line + 5,
                  std::string(name) + " " + file + " Len = " + std::to_string(bits));
        }
    }
    fclose(in);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: sha1_selftest VECTOR_DIR [WRAP_DIGEST]\n");
        return 2;
    }
    std::string dir = argv[1];
    bool hw = sha1_hardware_available();
    printf("unsigned long: %zu bits; hardware path: %s\n", sizeof(unsigned long) * 8, hw ? "yes" : "no");

    std::vector<std::pair<sha1_path, const char *>> paths = {{sha1_path::portable, "portable"}};
    if (hw)
        paths.push_back({sha1_path::hardware, "hardware"});
    for (auto [path, name] : paths) {
        check(digest("abc", path) == "a9993e364706816aba3e25717850c26c9cd0d89d", std::string(name) + " abc");
        check(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", path) ==
                  "84983e441c3bd26ebaae4aa1f95129e5e54670f1", std::string(name) + " two blocks");
        check(digest("", path) == "da39a3ee5e6b4b0d3255bfef95601890afd80709", std::string(name) + " empty");
        std::string a(1000000, 'a');
        check(digest(reinterpret_cast<const unsigned char *>(a.data()), a.size(), path, 7) ==
                  "34aa973cd4c4daa4f61eeb2bdbad27316534016f", std::string(name) + " million a");
        vectors(dir + "/SHA1ShortMsg.rsp", path, name);
        vectors(dir + "/SHA1LongMsg.rsp", path, name);
    }

    unsigned seed = 1;
    for (int round = 0; round < 200; round++) {
        seed = seed * 1103515245u + 12345u;
        std::vector<unsigned char> data((seed >> 8) % 5000);
        for (auto &b : data) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<unsigned char>(seed >> 16);
        }
        std::string whole = digest(data.data(), data.size(), sha1_path::portable);
        check(digest(data.data(), data.size(), sha1_path::portable, seed | 1) == whole, "portable split");
        if (hw) {
            check(digest(data.data(), data.size(), sha1_path::hardware) == whole, "hardware whole");
            check(digest(data.data(), data.size(), sha1_path::hardware, seed | 1) == whole, "hardware split");
        }
    }

    if (argc > 2) {
        // 2^32 + 100 zero bytes: total[0] wraps and total[1] becomes 1.
        std::vector<unsigned char> zeros(1 << 20, 0);
        sha1_ctx ctx;
        sha1_init(&ctx);
        for (int i = 0; i < 4096; i++)
            sha1_update(&ctx, zeros.data(), static_cast<uint32_t>(zeros.size()));
        sha1_update(&ctx, zeros.data(), 100);
        check(ctx.total[1] == 1 && ctx.total[0] == 100, "counters after 2^32 + 100 bytes");
        unsigned char out[20];
        sha1_final(&ctx, out);
        check(hex(out, 20) == argv[2], "digest of 2^32 + 100 zero bytes");
    }

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
