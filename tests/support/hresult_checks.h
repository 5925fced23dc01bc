// HRESULT checks that print both codes in hex, the way each code is documented, instead of the
// signed decimal that a plain EXPECT_EQ shows.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/com.h"

// "0x80070057" for E_INVALIDARG.
inline std::string hresult_text(HRESULT hr) {
    char text[16];
    // Through 32 bits first: a failure code is negative, and widened directly it would print 16 digits.
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<std::uint32_t>(hr)));
    return text;
}

// The call's code is `expected`; a failure names the call and prints both codes.
#define EXPECT_HR(expected, call) EXPECT_EQ(hresult_text(call), hresult_text(expected)) << #call << ' '
#define ASSERT_HR(expected, call) ASSERT_EQ(hresult_text(call), hresult_text(expected)) << #call << ' '
