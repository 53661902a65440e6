// SPDX-License-Identifier: MIT
// Fuzzes the SHA-1 engine: the input is hashed whole and in pieces whose
// sizes come from its own first bytes, on the portable path and (where the
// processor has it) the hardware path.  Every digest must agree.
#include "sha1.h"
#include "sha1_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

void digest(const uint8_t *data, size_t size, const uint8_t *splits, size_t nsplits, sha1_path path,
            unsigned char out[20])
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    size_t done = 0;
    for (size_t i = 0; i < nsplits && done < size; i++) {
        size_t piece = splits[i] % 3 == 0 ? 64 * (splits[i] % 5) : splits[i];
        if (piece > size - done)
            piece = size - done;
        sha1_update_on(&ctx, data + done, static_cast<uint32_t>(piece), path);
        done += piece;
    }
    sha1_update_on(&ctx, data + done, static_cast<uint32_t>(size - done), path);
    sha1_final_on(&ctx, out, path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t nsplits = size > 0 ? data[0] % 32 : 0;
    const uint8_t *splits = data + (size > 0 ? 1 : 0);
    if (nsplits > size - (size > 0 ? 1 : 0))
        nsplits = size > 0 ? size - 1 : 0;

    unsigned char whole[20], split[20];
    digest(data, size, nullptr, 0, sha1_path::portable, whole);
    digest(data, size, splits, nsplits, sha1_path::portable, split);
    if (memcmp(whole, split, 20) != 0)
        abort();
    if (sha1_hardware_available()) {
        digest(data, size, nullptr, 0, sha1_path::hardware, split);
        if (memcmp(whole, split, 20) != 0)
            abort();
        digest(data, size, splits, nsplits, sha1_path::hardware, split);
        if (memcmp(whole, split, 20) != 0)
            abort();
    }
    return 0;
}
