#include <gtest/gtest.h>

#include <string>

#include "platform/com.h"
#include "platform/text.h"

namespace {
std::string round_trip(const std::string& text) {
    bstr_holder b(bstr_from_narrow(text));
    return narrow_from_bstr(b.get());
}
}  // namespace

TEST(text, null_and_empty_are_the_empty_text) {
    EXPECT_EQ(narrow_from_bstr(nullptr), "");
    bstr_holder empty(bstr_from_narrow(""));
    ASSERT_NE(empty.get(), nullptr);
    EXPECT_EQ(SysStringLen(empty.get()), 0u);
    EXPECT_EQ(narrow_from_bstr(empty.get()), "");
}

TEST(text, ascii_round_trips_and_keeps_length) {
    const std::string text = "Alice <alice@example.com>\r\nline two";
    bstr_holder b(bstr_from_narrow(text));
    EXPECT_EQ(SysStringLen(b.get()), text.size());
    EXPECT_EQ(narrow_from_bstr(b.get()), text);
}

TEST(text, embedded_nul_survives) {
    const std::string text("a\0b", 3);
    EXPECT_EQ(round_trip(text), text);
}

TEST(text, bstr_carries_its_length_prefix) {
    bstr_holder b(bstr_from_narrow("abc"));
    EXPECT_EQ(SysStringByteLen(b.get()), 3 * sizeof(OLECHAR));
    EXPECT_EQ(b.get()[3], 0);  // terminated like a C string as well
}

#ifndef _WIN32
// Narrow text is UTF-8 here: ASCII runs are copied unit for byte, and whatever follows one is
// still encoded and decoded, a character outside the BMP as a surrogate pair.
TEST(text, utf8_after_an_ascii_run_round_trips) {
    const std::string text = "user@example.com \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 end";
    bstr_holder b(bstr_from_narrow(text));
    ASSERT_EQ(SysStringLen(b.get()), 27u);
    EXPECT_EQ(b.get()[17], 0xE9);
    EXPECT_EQ(b.get()[21], 0xD83D);
    EXPECT_EQ(b.get()[22], 0xDE00);
    EXPECT_EQ(narrow_from_bstr(b.get()), text);
    // A lone surrogate after ASCII becomes U+FFFD; invalid UTF-8 after ASCII too.
    const OLECHAR lone[] = {'a', 'b', 0xD800, 'c'};
    EXPECT_EQ(narrow_from_wide(lone, 4),
              "ab\xEF\xBF\xBD"
              "c");
    EXPECT_EQ(round_trip("ab\xFF"), "ab\xEF\xBF\xBD");
}
#endif
