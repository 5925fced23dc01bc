#include "platform/random.h"

#include <windows.h>
// bcrypt.h builds on windows.h.
#include <bcrypt.h>

#include <climits>

bool fill_random_bytes(void* buffer, std::size_t size) {
    auto* at = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ULONG part = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, at, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        at += part;
        size -= part;
    }
    return true;
}
