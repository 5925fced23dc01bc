// The decision log and `tarnwick why`: what each kind of message writes, hostile values kept to
// one line, a sender's and a message's story newest first, and the records a delivery appends to
// rather than rewrites.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "common/text.h"
#include "program_story.h"

namespace fs = std::filesystem;

namespace {

class decision_log_test : public program_story {
protected:
    void SetUp() override {
        configure();
        tree.make_folder("Junk");
        ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
        ASSERT_EQ(tarnwick({"list", "add", "remove", "spam@example.org"}).code, 0);
    }
    std::string log_path() const { return data() + "/OstrelAntiSpam/decisions.log"; }
    // The log's lines, split into their fields.
    std::vector<std::vector<std::string>> log_lines() const {
        std::vector<std::vector<std::string>> lines;
        for (const std::string& line : lines_of(read_text_file(log_path()))) {
            std::vector<std::string> fields;
            for (std::string_view field : split(line, '\t')) fields.emplace_back(field);
            lines.push_back(fields);
        }
        return lines;
    }
    void filter() {
        outcome ran = tarnwick({"run", "--maildir", tree.root()});
        ASSERT_EQ(ran.code, 0) << ran.out << ran.err;
    }
};

std::string mail(const std::string& from, const std::string& id, const std::string& subject,
                 const std::vector<std::string>& extra = {}) {
    std::string text = "Return-Path: <x@example.org>\nFrom: " + from + "\nTo: me@home.example\nSubject: " + subject +
                       "\nMessage-ID: " + id + "\n";
    for (const std::string& field : extra) text += field + "\n";
    return text + "\nHello.\n";
}

}  // namespace

TEST_F(decision_log_test, each_message_judged_writes_one_safe_line) {
    tree.add("", "new", "1.kept.host", mail("ann@example.org", "<k@x>", "Hi"), 1704067200);
    tree.add("", "new", "2.parked.host", mail("Bob <bob@example.org>", "<p@x>", "Hello"), 1704067201);
    tree.add("", "new", "3.list.host", mail("cy@example.org", "<l@x>", "News", {"List-Id: <news.example.org>"}),
             1704067202);
    tree.add("", "new", "4.removed.host", mail("spam@example.org", "<r@x>", "Buy"), 1704067203);
    // A sender without an address, whose decoded text and subject carry CR, LF and tabs.
    tree.add("", "new", "5.hostile.host",
             mail("evil\tinjected\x01\ryes", "<h\t1@x>", "=?utf-8?q?line=0D=0Abreak=09tab?="), 1704067204);
    filter();
    // The user moves Bob's parked message into the inbox: a verdict, logged by the next run.
    for (const std::string& name : tree.files_in("Pending", "cur")) {
        if (unique_of(name) == "2.parked.host")
            fs::rename(tree.folder_dir("Pending") + "/cur/" + name, tree.root() + "/cur/" + name);
    }
    filter();

    struct row {
        const char* unique;
        const char* sender;
        const char* action;
        const char* challenge;  // how the field starts
    };
    const std::vector<row> expected = {
        {"1.kept.host", "ann@example.org", "kept", "none"},
        {"2.parked.host", "bob@example.org", "parked", "sent to bob@example.org"},
        {"3.list.host", "cy@example.org", "parked", "withheld: mailing-list mail (List-Id)"},
        {"4.removed.host", "spam@example.org", "deleted", "none"},
        {"5.hostile.host", "evil injected yes", "parked", ""},
        {"2.parked.host", "bob@example.org", "authorized", "sent to bob@example.org"},
    };
    std::vector<std::vector<std::string>> lines = log_lines();
    ASSERT_EQ(lines.size(), expected.size()) << read_text_file(log_path());
    for (size_t i = 0; i < expected.size(); ++i) {
        const row& want = expected[i];
        const std::vector<std::string>& got = lines[i];
        ASSERT_EQ(got.size(), 8u) << "line " << i + 1 << ": " << read_text_file(log_path());
        EXPECT_EQ(got[0].size(), 20u) << got[0];
        EXPECT_EQ(got[1], want.unique) << "line " << i + 1;
        EXPECT_EQ(got[3], want.sender) << "line " << i + 1;
        EXPECT_EQ(got[5], want.action) << "line " << i + 1;
        EXPECT_EQ(got[7].rfind(want.challenge, 0), 0u) << "line " << i + 1 << ": " << got[7];
        EXPECT_GT(got[6].size(), 5u) << "line " << i + 1 << " says why";
    }
    EXPECT_EQ(lines[4][2], "<h 1@x>");
    EXPECT_EQ(lines[4][4], "line  break tab");
}

TEST_F(decision_log_test, why_tells_a_sender_or_a_message_newest_first) {
    auto deliver = [&](const std::string& text) {
        outcome delivered = tarnwick({"deliver", "--maildir", tree.root()}, text);
        ASSERT_EQ(delivered.code, 0) << delivered.err;
    };
    deliver(mail("Bob <bob@example.org>", "<first@x>", "One"));
    deliver(mail("ann@example.org", "<other@x>", "Two"));
    deliver(mail("bob@example.org", "<second@x>", "Three \"quoted\" \\"));

    outcome by_sender = tarnwick({"why", "BOB@Example.ORG"});
    ASSERT_EQ(by_sender.code, 0) << by_sender.err;
    size_t second = by_sender.out.find("Three"), first = by_sender.out.find("One");
    EXPECT_NE(first, std::string::npos) << by_sender.out;
    EXPECT_LT(second, first) << "newest first:\n" << by_sender.out;
    EXPECT_EQ(by_sender.out.find("Two"), std::string::npos);
    expect_lines(by_sender.out, {"parked", "challenge: sent to bob@example.org"});

    for (const char* id : {"<first@x>", "first@x"}) {
        outcome by_id = tarnwick({"why", id});
        EXPECT_EQ(by_id.code, 0) << id;
        EXPECT_EQ(lines_of(by_id.out).size(), 4u) << id << "\n" << by_id.out;
    }

    // The JSON parses, with the quotes and backslashes of the subject escaped.
    outcome json = tarnwick({"why", "bob@example.org", "--json"});
    ASSERT_EQ(json.code, 0) << json.err;
    std::string check = tree.base() + "/check.py";
    write_text_file(check,
                    "import json, sys\n"
                    "a = json.load(sys.stdin)\n"
                    "assert [d['subject'] for d in a] == ['Three \"quoted\" \\\\', 'One'], a\n"
                    "assert a[0]['action'] == 'parked' and a[0]['message_id'] == '<second@x>', a\n");
    write_text_file(tree.base() + "/why.json", json.out);
    std::string command = "python3 '" + check + "' < '" + tree.base() + "/why.json'";
    EXPECT_EQ(std::system(command.c_str()), 0) << json.out;

    outcome nothing = tarnwick({"why", "nobody@example.org"});
    EXPECT_EQ(nothing.code, 1);
    EXPECT_NE(nothing.err.find("says nothing about nobody@example.org"), std::string::npos) << nothing.err;
    EXPECT_EQ(tarnwick({"why"}).code, 2);
}

TEST_F(decision_log_test, deliveries_append_to_the_history_and_the_budget) {
    std::string history = data() + "/OstrelAntiSpam/history.tsv";
    std::string budget = data() + "/OstrelAntiSpam/challenges_sent.txt";
    auto inode = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    ino_t history_inode = 0, budget_inode = 0;
    for (int i = 0; i < 3; ++i) {
        std::string who = "stranger" + std::to_string(i) + "@example.org";
        outcome delivered =
            tarnwick({"deliver", "--maildir", tree.root()}, mail(who, "<s" + std::to_string(i) + "@x>", "Hello"));
        ASSERT_EQ(delivered.code, 0) << delivered.err;
        if (i == 0) {
            history_inode = inode(history);
            budget_inode = inode(budget);
        }
        EXPECT_EQ(inode(history), history_inode) << "delivery " << i;
        EXPECT_EQ(inode(budget), budget_inode) << "delivery " << i;
    }
    EXPECT_EQ(lines_of(read_text_file(budget)).size(), 3u);
    EXPECT_EQ(lines_of(read_text_file(history)).size(), 3u);

    // An authorized delivery renames nothing in the data folder and flushes one record at most.
    std::string trace = tree.base() + "/trace";
    outcome known = tarnwick({"deliver", "--maildir", tree.root()}, mail("ann@example.org", "<a@x>", "Hi"),
                             {"TARNWICK_FAULT_TRACE=" + trace});
    ASSERT_EQ(known.code, 0) << known.err;
    int data_flushes = 0;
    for (const traced_step& step : read_trace(trace)) {
        bool in_data = step.path.rfind(data(), 0) == 0;
        EXPECT_FALSE(in_data && step.step == "rename") << step.path;
        if (in_data && (step.step == "flush" || step.step == "sync_folder")) ++data_flushes;
    }
    EXPECT_LE(data_flushes, 1);
}
