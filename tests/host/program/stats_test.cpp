// The history of runs and `tarnwick stats`: lines that survive any reason text, the real program's
// runs summed by day, a corrupt history set aside, a history that cannot be written.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "policy/history.h"
#include "program_story.h"

namespace fs = std::filesystem;

namespace {

TEST(history_line, round_trips_any_reason_and_refuses_what_it_did_not_write) {
    history_entry entry{"2026-12-08T05:56:20Z", {{"filtered", 3}, {"withheld.not authenticated: spf=fail\tx%", 2}}};
    std::string line = format_history_line(entry);
    ASSERT_EQ(line.find('\t', line.find("withheld")), std::string::npos) << line;
    ASSERT_EQ(line.back(), '\n');
    std::optional<history_entry> back = parse_history_line(line.substr(0, line.size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->time, entry.time);
    EXPECT_EQ(back->counts, entry.counts);

    for (const char* bad : {"", "garbage", "2026-12-08 05:56:20\tfiltered=1", "2026-12-08T05:56:20Z\tfiltered",
                            "2026-12-08T05:56:20Z\tfiltered=-1", "2026-12-08T05:56:20Z\tfiltered=1x",
                            "2026-12-08T05:56:20Z\t=1", "2026-12-08T05:56:20Z\ta b=1", "2026-12-08T05:56:20Z\tx%4=1",
                            "2026-12-08T05:56:20Z\tkept=1\tkept=2", "2026-12-08T05:56:20Z\tkept=99999999999999999"})
        EXPECT_FALSE(parse_history_line(bad)) << bad;
}

std::string today() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
    return text;
}

class stats_test : public program_story {
protected:
    void SetUp() override { configure(); }
    void arrive(const std::string& who, long arrival, const std::string& extra = "X-Nothing: 0") {
        tree.add("", "new", std::to_string(arrival) + ".M1P1.test",
                 mail_text({"Return-Path: <" + who + ">", "From: " + who, "To: me@home.example",
                            "Subject: Hello from " + who, extra}),
                 arrival);
    }
    std::string history() const { return tree.base() + "/data/OstrelAntiSpam/history.tsv"; }
};

TEST_F(stats_test, two_runs_of_a_day_are_summed_in_the_table_and_the_json) {
    arrive("ann@strangers.example", 100);
    arrive("robot@strangers.example", 101, "Auto-Submitted: auto-replied");
    outcome first = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(first.code, 0) << first.out << first.err;
    arrive("bob@strangers.example", 102);
    outcome second = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(second.code, 0) << second.out << second.err;
    EXPECT_EQ(parse_history(read_text_file(history())).entries.size(), 2u);

    outcome table = tarnwick({"stats"});
    ASSERT_EQ(table.code, 0) << table.err;
    // Three filtered, kept none, three pending, none deleted, two sent, one withheld.
    EXPECT_NE(table.out.find(today() + "       3 " + std::string(18, '#') + "     0     3     0     2     1"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find(today() + "     1  automatic mail"), std::string::npos) << table.out;
    EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 1 + 7 + 2 + 2) << table.out;

    outcome json = tarnwick({"stats", "--json", "--days", "3"});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_NE(json.out.find("{\"day\": \"" + today() +
                            "\", \"runs\": 2, \"filtered\": 3, \"kept\": 0, \"pending\": 3, \"deleted\": 0, \"sent\": "
                            "2, \"withheld\": 1, \"released\": 0, \"expired\": 0, \"failed\": 0, "
                            "\"withheld_by_reason\": {\"automatic mail\": 1}}\n]}\n"),
              std::string::npos)
        << json.out;
    EXPECT_EQ(json.out.rfind("{\"days\": [\n  {\"day\": ", 0), 0u) << json.out;
    size_t days = 0;
    for (size_t at = 0; (at = json.out.find("\"day\":", at)) != std::string::npos; ++at) ++days;
    EXPECT_EQ(days, 3u) << json.out;

    EXPECT_EQ(tarnwick({"stats", "--days", "0"}).code, 2);
    EXPECT_EQ(tarnwick({"stats", "--days", "7x"}).code, 2);

    // The settings file names the data folder and the days, as for every other command.
    std::string settings = tree.base() + "/stats.conf";
    write_text_file(settings, "data-dir = " + tree.base() + "/data\ndays = 3\n");
    outcome from_file = run(tree.base(), {"stats", "--json", "--config", settings});
    ASSERT_EQ(from_file.code, 0) << from_file.err;
    EXPECT_EQ(from_file.out, json.out);
}

TEST_F(stats_test, a_corrupt_history_is_set_aside_and_the_run_still_filters) {
    fs::create_directories(tree.base() + "/data/OstrelAntiSpam");
    const std::string old = "2026-01-01T00:00:00Z\tfiltered=5\n";
    write_text_file(history(), old + "half a li");
    outcome stats = tarnwick({"stats"});
    EXPECT_EQ(stats.code, 0);
    EXPECT_NE(stats.err.find("1 line of " + history() + " cannot be read"), std::string::npos) << stats.err;

    arrive("ann@strangers.example", 100);
    outcome ran = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(ran.code, 0) << ran.out << ran.err;
    EXPECT_TRUE(tree.files_in("", "new").empty());
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);
    EXPECT_NE(ran.err.find(history() + " had lines that cannot be read; set aside as " + history() + ".corrupt-"),
              std::string::npos)
        << ran.err;
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(tree.base() + "/data/OstrelAntiSpam")) {
        if (entry.path().filename().string().rfind("history.tsv.corrupt-", 0) == 0) aside.push_back(entry.path());
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(read_text_file(aside[0]), old + "half a li");
    history_content now = parse_history(read_text_file(history()));
    EXPECT_TRUE(now.bad_lines.empty());
    ASSERT_EQ(now.entries.size(), 2u);
    EXPECT_EQ(now.entries[0].counts.at("filtered"), 5);
    EXPECT_EQ(now.entries[1].counts.at("filtered"), 1);
}

#ifdef TARNWICK_FAULT_SHIM
TEST_F(stats_test, a_history_that_cannot_be_written_fails_the_run_after_filtering) {
    arrive("ann@strangers.example", 100);
    outcome ran = tarnwick({"run", "--maildir", tree.root()}, "",
                           {"LD_PRELOAD=" TARNWICK_FAULT_SHIM, "TARNWICK_SHIM_FAIL=rename,fsync",
                            "TARNWICK_SHIM_ERRNO=28", "TARNWICK_SHIM_PATH=history.tsv"});
    EXPECT_EQ(ran.code, 1) << ran.out << ran.err;
    EXPECT_NE(ran.err.find("were not saved to the history: cannot write " + history()), std::string::npos) << ran.err;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);
}
#endif

}  // namespace
