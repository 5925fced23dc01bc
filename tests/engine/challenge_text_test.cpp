// The held message named in a challenge: "%subject%" and "%date%" of ARMessage, filled safely.
#include <gtest/gtest.h>

#include <string>

#include "engine/challenge_text.h"
#include "engine_fixture.h"

namespace {

using namespace std::string_literals;

// 2026-12-08 10:00:00 UTC, and the same day as an automation date.
constexpr std::int64_t a_tuesday = 1'796'724'000;
constexpr std::int64_t a_tuesday_automation = 46'364;

struct fill_case {
    const char* name;
    std::string body;
    std::string subject;
    std::int64_t date;
    std::string expected;
};

const fill_case fill_cases[] = {
    {"no_placeholder_is_unchanged", "Hi %s 100%\n%Subject% %date", "x", a_tuesday, "Hi %s 100%\n%Subject% %date"},
    {"both_filled", "Your mail \"%subject%\" of %date% waits.\n", "Lunch", a_tuesday,
     "Your mail \"Lunch\" of Tue, 8 Dec 2026 10:00:00 +0000 waits.\n"},
    {"automation_date", "%date%", "", a_tuesday_automation, "Tue, 8 Dec 2026"},
    {"line_breaks_cannot_add_lines", "[%subject%]", "Hi\r\nBcc: all@example.org\r\n\r\nbuy", 0,
     "[Hi Bcc: all@example.org buy]"},
    {"controls_and_del_become_one_blank", "[%subject%]", "\ta\x01\x7F b\0c\x1B[31m  "s, 0, "[a b c [31m]"},
    {"encoded_words_stay_as_the_host_gave_them", "%subject%", "=?UTF-8?B?SMOkbGxv?= \xC3\xA4", 0,
     "=?UTF-8?B?SMOkbGxv?= \xC3\xA4"},
    {"values_are_not_searched_again", "%subject%|%date%", "%date% %subject%", 0, "%date% %subject%|"},
    {"missing_subject_and_date_are_empty", "<%subject%><%date%>", "", 0, "<><>"},
    {"negative_and_far_dates_are_none", "<%date%>", "", -5, "<>"},
    {"beyond_year_9999_is_none", "<%date%>", "", 253'402'300'800, "<>"},
};

class fill_test : public testing::TestWithParam<fill_case> {};

TEST_P(fill_test, fills_the_placeholders) {
    const fill_case& c = GetParam();
    EXPECT_EQ(engine_detail::fill_challenge_placeholders(c.body, c.subject, c.date), c.expected);
}

INSTANTIATE_TEST_SUITE_P(engine, fill_test, testing::ValuesIn(fill_cases), row_name());

TEST(challenge_text, a_long_subject_is_cut_before_a_character) {
    // 150 letters, then two-byte characters (0xC3 and its continuation): cut at 200 characters.
    std::string subject = std::string(150, 'a');
    for (int i = 0; i < 80; ++i) subject += "\xC3\xA4";
    std::string line = engine_detail::one_line_text(subject, engine_detail::challenge_subject_limit);
    std::string expected = std::string(150, 'a');
    for (int i = 0; i < 50; ++i) expected += "\xC3\xA4";
    EXPECT_EQ(line, expected + "...");
    EXPECT_EQ(engine_detail::one_line_text(std::string(200, 'b'), 200), std::string(200, 'b'));
}

class challenge_placeholder_test : public engine_test {};

// Through the engine: the held message's subject and date, as its host gives them, reach the
// challenge, and a body without placeholders asks the host for no time at all.
TEST_F(challenge_placeholder_test, the_challenge_names_the_held_message) {
    set("ARMessage", "Your mail \"%subject%\"\x01of %date% waits.");
    deliver({.sender = "ann@example.com", .subject = "Lunch\r\nX-Evil: 1", .received = double(a_tuesday)});
    ASSERT_EQ(host.replies().size(), 1u);
    EXPECT_EQ(host.replies()[0].body, "Your mail \"Lunch X-Evil: 1\"\nof Tue, 8 Dec 2026 10:00:00 +0000 waits.");

    set("ARMessage", "Hello,\x01Please reply.");
    const std::size_t calls_before = host.calls().size();
    deliver({.sender = "bob@example.com", .subject = "Hi", .received = double(a_tuesday)});
    ASSERT_EQ(host.replies().size(), 2u);
    EXPECT_EQ(host.replies()[1].body, "Hello,\nPlease reply.");
    for (std::size_t i = calls_before; i < host.calls().size(); ++i)
        EXPECT_EQ(host.calls()[i].find("get_message_time"), std::string::npos) << host.calls()[i];
}

}  // namespace
