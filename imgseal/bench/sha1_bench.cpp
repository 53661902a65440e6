// SPDX-License-Identifier: MIT
// Throughput of the engine's two compression paths beside OpenSSL's SHA-1,
// on the same buffers in the same run: one whole digest (init, update,
// final) per iteration.
#include "sha1.h"
#include "sha1_internal.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <vector>

namespace {

std::vector<unsigned char> buffer(size_t size)
{
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; i++)
        data[i] = static_cast<unsigned char>(i * 131 + 7);
    return data;
}

void engine(benchmark::State &state, sha1_path path)
{
    if (path == sha1_path::hardware && !sha1_hardware_available()) {
        state.SkipWithError("no SHA-1 instructions on this processor");
        return;
    }
    std::vector<unsigned char> data = buffer(static_cast<size_t>(state.range(0)));
    unsigned char out[20];
    for (auto _ : state) {
        sha1_ctx ctx;
        sha1_init(&ctx);
        sha1_update_on(&ctx, data.data(), static_cast<uint32_t>(data.size()), path);
        sha1_final_on(&ctx, out, path);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Portable(benchmark::State &state)
{
    engine(state, sha1_path::portable);
}

void BM_Hardware(benchmark::State &state)
{
    engine(state, sha1_path::hardware);
}

void BM_OpenSSL(benchmark::State &state)
{
    std::vector<unsigned char> data = buffer(static_cast<size_t>(state.range(0)));
    unsigned char out[20];
    unsigned int len = 0;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const EVP_MD *md = EVP_sha1();
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, out, &len);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark *b)
{
    for (int64_t size : {64LL, 4096LL, 1LL << 20, 64LL << 20})
        b->Arg(size);
}

BENCHMARK(BM_Portable)->Apply(sizes);
BENCHMARK(BM_Hardware)->Apply(sizes);
BENCHMARK(BM_OpenSSL)->Apply(sizes);

} // namespace

BENCHMARK_MAIN();
