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
