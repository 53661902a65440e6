// SPDX-License-Identifier: MIT
// Processors without a SHA-1 path here use the portable compression only.
#include "sha1_internal.h"

#include <cstdlib>

bool sha1_hardware_available()
{
    return false;
}

void sha1_blocks_hardware(uint32_t[5], const unsigned char *, size_t)
{
    abort();    // never chosen: sha1_hardware_available() is false
}
