// What a command prints of an outside text: one line, every character that could hide or
// disguise another made visible.
#include <gtest/gtest.h>

#include <string>

#include "policy/pending_index.h"

TEST(shown_text, makes_controls_and_invisible_formatting_visible) {
    struct row {
        std::string text;
        std::string shown;
    };
    const row rows[] = {
        {"plain ascii", "plain ascii"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC"},  // ordinary letters stay
        {"a\tb\r\nc\x7F"
         "d",
         "a b  c d"},  // C0 controls and DEL
        {"a\xC2\x85"
         "b\xC2\x9B"
         "c",
         "a b c"},                       // C1 controls
        {"bad\xFF", "bad\xEF\xBF\xBD"},  // not UTF-8
        // The bidirectional embeddings and overrides: "evil\u202Egpj.exe" reads "evilexe.jpg".
        {"evil\xE2\x80\xAE"
         "gpj.exe",
         "evil<U+202E>gpj.exe"},
        {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD", "<U+202A><U+202B><U+202C><U+202D>"},
        // The isolates.
        {"\xE2\x81\xA6"
         "x\xE2\x81\xA7"
         "y\xE2\x81\xA8"
         "z\xE2\x81\xA9",
         "<U+2066>x<U+2067>y<U+2068>z<U+2069>"},
        // Zero width space, non-joiner, joiner, left-to-right and right-to-left marks.
        {"p\xE2\x80\x8B"
         "a\xE2\x80\x8C"
         "y\xE2\x80\x8D"
         "p\xE2\x80\x8E"
         "a\xE2\x80\x8F"
         "l",
         "p<U+200B>a<U+200C>y<U+200D>p<U+200E>a<U+200F>l"},
        // Their neighbours are ordinary text.
        {"\xE2\x80\x8A\xE2\x80\x90\xE2\x81\xB0", "\xE2\x80\x8A\xE2\x80\x90\xE2\x81\xB0"},
    };
    for (const row& r : rows) EXPECT_EQ(shown_text(r.text), r.shown) << r.text;
    // An escape counts at its shown length and is never cut in two.
    EXPECT_EQ(shown_text("ab\xE2\x80\xAE", 6), "ab...");
}

TEST(shown_text, is_one_line_of_valid_utf8_within_its_bound) {
    EXPECT_EQ(shown_text("a\tb\r\nc\x7f"
                         "d"),
              "a b  c d");
    EXPECT_EQ(shown_text("caf\xc3\xa9 \xff\xc3"), "caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(shown_text("\xc2\x85x"), " x");  // a C1 control character
    EXPECT_EQ(shown_text("\xc3\xa9\xc3\xa9\xc3\xa9", 5), "\xc3\xa9\xc3\xa9...");
}
