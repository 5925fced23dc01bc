// A challenge cut short: `tarnwick run` finds what a run killed at each step of a challenge left
// (the record of the challenge under way, the challenge stored, half-written or not at all, the
// message still new or parked, the sender noted as pending or not) and finishes it, so that the
// sender has exactly one challenge and is noted as pending, and nothing is left in tmp/. The
// record itself is checked for hostile values.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "maildir_fixture.h"
#include "policy/challenge_intent.h"
#include "program_runner.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* stranger = "sam@strangers.example";
constexpr const char* message_name = "1704067201.M1P1.test";
constexpr const char* challenge_name = "1704067300.M5P99Q1.home";

// What a killed run left behind, and what the next run must make of it.
struct kill_point {
    const char* story;
    bool recorded;          // the challenge is in the record
    bool by_command;        // it was handed to a sendmail command
    const char* challenge;  // where the stored challenge is: "" nowhere, "new", or "tmp" half-written
    bool parked;            // the message is in the pending folder already, not in new/
    const char* listed;     // the list naming the sender already: "", "pending" or "remove"
    int challenges;         // the challenges the sender has after the next run
    bool pending;           // he is on the pending list after it
};

const kill_point kill_points[] = {
    {"killed before the challenge was recorded", false, false, "", false, "", 1, true},
    {"killed after it was recorded, before it was stored", true, false, "", false, "", 1, true},
    {"killed while it was written", true, false, "tmp", false, "", 1, true},
    {"killed after it was stored, before the message was parked", true, false, "new", false, "", 1, true},
    {"killed after the message was parked, before the pending list was saved", true, false, "new", true, "", 1, true},
    {"killed after the pending list was saved", true, false, "new", true, "pending", 1, true},
    {"killed while the command had it: taken as sent", true, true, "", false, "", 0, true},
    {"the user put him on the remove list since", true, false, "new", true, "remove", 1, false},
};

// A Maildir with its data folder, the add-in set up to challenge.
class mailbox {
public:
    mailbox() {
        outcome set = tarnwick({"config", "set", "EnableProtection", "true", "AutoDeleteBlocked", "false",
                                "ARSubjectKey", "[TWK-CONFIRM]", "ARSubject", "Please confirm [TWK-CONFIRM]"});
        EXPECT_EQ(set.code, 0) << set.err;
        tree.make_folder("Outbox");
        tree.make_folder("Pending");
    }
    outcome tarnwick(std::vector<std::string> args) {
        args.insert(args.end(), {"--data-dir", tree.base() + "/data"});
        return run(tree.base(), args);
    }
    std::string record_file() const { return tree.base() + "/data/OstrelAntiSpam/" + challenge_record_file_name; }
    std::string command_output() const { return tree.base() + "/sent-by-command"; }
    // Challenges to the stranger, in the Outbox and handed to the command.
    int challenges() const {
        int count = 0;
        for (const char* subdir : {"new", "cur"}) {
            for (const std::string& name : tree.files_in("Outbox", subdir))
                count += read_text_file(tree.folder_dir("Outbox") + "/" + subdir + "/" + name)
                             .find(std::string("\nTo: ") + stranger) != std::string::npos;
        }
        if (file_exists(command_output())) {
            std::string sent = read_text_file(command_output());
            for (size_t at = 0; (at = sent.find(std::string("\nTo: ") + stranger, at)) != std::string::npos; ++at)
                ++count;
        }
        return count;
    }
    bool on_pending_list() {
        std::vector<std::string> entries = lines_of(tarnwick({"list", "show", "pending"}).out);
        return std::find(entries.begin(), entries.end(), stranger) != entries.end();
    }

    maildir_tree tree;
};

std::string offer() {
    return mail_text({std::string("Return-Path: <") + stranger + ">", std::string("From: ") + stranger,
                      "To: me@home.example", "Subject: Offer"});
}

}  // namespace

TEST(challenge_cut_short, is_finished_once_whatever_step_the_kill_came_at) {
    for (const kill_point& row : kill_points) {
        SCOPED_TRACE(row.story);
        mailbox box;
        maildir_tree& tree = box.tree;
        if (row.parked) tree.add("Pending", "cur", std::string(message_name) + ":2,S", offer());
        else tree.add("", "new", message_name, offer());
        if (row.recorded)
            write_text_file(box.record_file(), format_challenge_record({{unique_of(message_name), stranger, 1704067300,
                                                                         row.by_command ? "" : challenge_name}}));
        std::string challenge = mail_text({"Return-Path: <>", "From: me@home.example", std::string("To: ") + stranger,
                                           "Subject: Please confirm [TWK-CONFIRM]"});
        if (std::string(row.challenge) == "new") tree.add("Outbox", "new", challenge_name, challenge);
        // Half-written, under this program's name for its files in tmp/; beside it another
        // program's file, being written that very moment.
        if (std::string(row.challenge) == "tmp")
            tree.add("Outbox", "tmp", std::string("tarnwick-part.") + challenge_name, challenge.substr(0, 30));
        tree.add("Outbox", "tmp", "1704067299.M7P42Q1.mx", "Return-Path: <>\n");
        if (*row.listed) {
            ASSERT_EQ(box.tarnwick({"list", "add", row.listed, stranger}).code, 0);
        }

        std::vector<std::string> args = {"run", "--maildir", tree.root()};
        if (row.by_command) args.insert(args.end(), {"--sendmail", "cat >> '" + box.command_output() + "'; true"});
        outcome next = box.tarnwick(args);
        EXPECT_EQ(next.code, 0) << next.out << next.err;
        EXPECT_EQ(box.challenges(), row.challenges) << next.out;
        EXPECT_EQ(next.out.find("taken as sent") != std::string::npos, row.by_command) << next.out;
        EXPECT_EQ(box.on_pending_list(), row.pending);
        EXPECT_TRUE(tree.files_in("", "new").empty());
        EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);
        EXPECT_EQ(read_text_file(box.record_file()), "");
        EXPECT_EQ(tree.files_in("Outbox", "tmp"), std::vector<std::string>{"1704067299.M7P42Q1.mx"});
    }
}

// A run that cannot write the challenge down sends none, and says which file it could not write.
TEST(challenge_cut_short, no_challenge_goes_out_unrecorded) {
    mailbox box;
    box.tree.add("", "new", message_name, offer());
    fs::create_directories(box.record_file());  // a folder where the file belongs: neither read nor replaced
    outcome failed = box.tarnwick({"run", "--maildir", box.tree.root()});
    EXPECT_EQ(failed.code, 1) << failed.out << failed.err;
    EXPECT_NE((failed.out + failed.err).find(box.record_file()), std::string::npos) << failed.out << failed.err;
    EXPECT_EQ(box.challenges(), 0);
    EXPECT_EQ(box.tree.files_in("Pending", "cur").size(), 1u);
}

// Every field of the record is written so that no value can break its line or its fields.
TEST(challenge_record_text, hostile_values_round_trip_and_broken_lines_are_left_out) {
    const std::vector<challenge_intent> entries = {
        {"1.M1P1.test", "a@b.example", 1, "2.M2P2Q1.home", false},
        {"name\twith\ttabs", "x\n@y.example", 2, "", true},
        {"-", "%41@b.example", 3, "-", false},
        {"\r\n\x7f\xff", "\x01@b.example", 4, "100%", true},
    };
    int bad = -1;
    std::string text = format_challenge_record(entries);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_EQ(parse_challenge_record(text, bad), entries);
    EXPECT_EQ(bad, 0);
    const char* broken[] = {
        "only\tthree\tfields", "m\ta@b\t1\t-\tmaybe",    "m\ta@b\tsoon\t-\tsent", "m\ta@b\t1\t-\tsent\textra",
        "-\ta@b\t1\t-\tsent",  "m\ta@b\t1\tbad%4\tsent", "m\ta b\t1\t-\tsent",
    };
    for (const char* line : broken) {
        EXPECT_TRUE(parse_challenge_record(text + line + "\n", bad) == entries) << line;
        EXPECT_EQ(bad, 1) << line;
    }
}
