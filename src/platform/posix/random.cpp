#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

bool fill_random_bytes(void* buffer, std::size_t size) {
    auto* at = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        // Blocks only until the kernel's pool is first initialised, early at boot.
        ssize_t got = ::getrandom(at, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}
