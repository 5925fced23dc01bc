// The operating system's cryptographic random source.
#pragma once

#include <cstddef>

// Fills `size` bytes at `buffer` with cryptographically secure random bytes. False when the
// source failed; the buffer's content is then unspecified.
bool fill_random_bytes(void* buffer, std::size_t size);
