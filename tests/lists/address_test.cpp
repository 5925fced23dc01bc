#include <gtest/gtest.h>

#include <string>

#include "lists/address.h"

namespace {

struct extract_case {
    const char* name;
    std::string text;
    std::string expected;
};

TEST(extract_email_address, normalises_or_rejects) {
    const extract_case cases[] = {
        {"display name, brackets, capitals", "John Doe <John.Doe@Example.COM>", "john.doe@example.com"},
        {"scheme prefix", "mailto:Bob@X.org", "bob@x.org"},
        {"only the first colon counts", "sip:x:bob@x.org", ""},
        {"five characters", "a@b.c", "a@b.c"},
        {"four characters", "a@.c", ""},
        {"address starts with @", "@x.com", ""},
        {"leading @ word hides a later address", "<@x.com> good@y.org", ""},
        {"two @", "a@b@c.de", ""},
        {"no dot", "user@localhost", ""},
        {"dot before @ only", "first.last@localhost", "first.last@localhost"},
        {"first word with @ is used", "Reply to bob@x.org or eve@y.org", "bob@x.org"},
        {"no @ anywhere: last word", "plain.text and.more", ""},
        {"punctuation stops taking", "\"Ann\" <ann_b+tag@sub-d.example.org>,", "ann_b+tag@sub-d.example.org"},
        {"domain entry form", ".@Example.com", ".@example.com"},
        {"high bytes are skipped before", "\xC9ric@example.com", "ric@example.com"},
        {"high bytes stop taking",
         "ab\xE9"
         "cd@example.com",
         ""},
        {"NUL stops taking", std::string("bob\0@x.org", 10), ""},
        {"all blanks separate words", "x\t\v\f\r\nName:Bob@X.org", "bob@x.org"},
        {"empty", "", ""},
        {"only blanks", " \t\r\n\v\f ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(extract_email_address(c.text), c.expected) << c.name;
}

TEST(domain_of, text_after_first_at) {
    EXPECT_EQ(domain_of("bob@x.org"), "x.org");
    EXPECT_EQ(domain_of(".@x.org"), "x.org");
    EXPECT_EQ(domain_of("a@b@c"), "b@c");
    EXPECT_EQ(domain_of("nobody"), "");
    EXPECT_EQ(domain_of("bob@"), "");
}

}  // namespace
