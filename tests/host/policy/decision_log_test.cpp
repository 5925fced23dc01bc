// The decision log's file: one rotation at its bound, lines read back in order, and what a query
// matches.
#include "policy/decision_log.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "maildir_fixture.h"

namespace fs = std::filesystem;

namespace {

decision entry(int n, const std::string& sender = "ann@example.org") {
    return {"2026-12-01T10:00:00Z",
            "u" + std::to_string(n),
            "<m" + std::to_string(n) + "@x>",
            sender,
            "Hi",
            decision_action::kept,
            "why",
            "none"};
}

}  // namespace

TEST(decision_log, rotates_once_at_its_bound_and_reads_both_parts_in_order) {
    temp_dir dir;
    const size_t line = format_decision(entry(10)).size();
    decision_log log(dir.path(), 3 * line);
    for (int n = 10; n < 18; ++n) ASSERT_TRUE(log.write(entry(n))) << log.problem();
    // 8 lines of three a file: 10-12 dropped with the first rotation, 13-15 rotated, 16-17 current.
    std::string path = dir.path() + "/" + decision_log_name;
    EXPECT_EQ(fs::file_size(path), 2 * line);
    EXPECT_EQ(fs::file_size(path + ".1"), 3 * line);
    std::string error;
    std::vector<decision> read = read_decisions(dir.path(), error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(read.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(read[i], entry(13 + i));
}

TEST(decision_log, fields_stay_on_one_line_and_queries_match_an_address_or_a_message_id) {
    decision hostile = entry(1, "Ann@Example.org");
    hostile.subject = "a\r\nb\tc\x01";
    hostile.reason = "";
    hostile.message_id = std::string(5000, 'x');
    std::string line = format_decision(hostile);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    std::optional<decision> back = parse_decision(line.substr(0, line.size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->subject, "a  b c ");
    EXPECT_EQ(back->reason, "");
    EXPECT_LT(back->message_id.size(), 400u);

    struct row {
        const char* query;
        bool matches;
    };
    for (const row& r : std::vector<row>{{"ann@example.org", true},
                                         {" ANN@EXAMPLE.ORG ", true},
                                         {"<m1@x>", true},
                                         {"m1@x", true},
                                         {"<M1@x>", false},
                                         {"m1", false},
                                         {"bob@example.org", false},
                                         {"", false}})
        EXPECT_EQ(decision_matches(entry(1, "Ann@Example.org"), r.query), r.matches) << r.query;
    EXPECT_FALSE(parse_decision("not a line"));
}
