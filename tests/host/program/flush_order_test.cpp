// The order in which `tarnwick run` makes its work last through a crash, read from the fault
// plan's trace of its file operations (TARNWICK_FAULT_TRACE): a pass flushes the folders it
// renamed in once, where order matters, instead of after every rename; what must last at once
// still does.
#include <gtest/gtest.h>

#include <algorithm>

#include "program_story.h"

namespace {

// The trace's steps, each folder named without a trailing slash.
std::vector<traced_step> read_steps(const std::string& path) {
    std::vector<traced_step> steps = read_trace(path);
    for (traced_step& s : steps)
        if (s.path.size() > 1 && s.path.back() == '/') s.path.pop_back();
    return steps;
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class flush_order : public program_story {};

}  // namespace

TEST_F(flush_order, a_pass_flushes_each_folder_where_order_matters_and_once_at_its_end) {
    configure();
    ASSERT_EQ(tarnwick({"list", "add", "remove", "deals@spam.example"}).code, 0);
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "friend@friends.example"}).code, 0);
    auto add = [&](int i, const std::string& sender, const std::string& subject) {
        tree.add("", "new", std::to_string(100 + i) + ".M" + std::to_string(i) + "P1.gen",
                 mail_text({"Return-Path: <" + sender + ">", "From: " + sender, "To: me@home.example",
                            "Subject: " + subject}),
                 1704067200 + i);
    };
    // A stranger challenged by an earlier run, who answers in this one.
    add(0, "waiting@strangers.example", "Hello");
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    const std::vector<std::string> senders = {"stranger0@strangers.example", "friend@friends.example",
                                              "deals@spam.example",          "waiting@strangers.example",
                                              "stranger1@strangers.example", "friend@friends.example",
                                              "stranger2@strangers.example"};
    for (size_t i = 0; i < senders.size(); ++i) {
        int n = static_cast<int>(i) + 1;
        add(n, senders[i], senders[i].rfind("waiting", 0) == 0 ? "Re: Please confirm [TWK-TESTKEY]" : "Hello");
    }
    const std::string answer = "104.M4P1.gen";
    std::string trace = tree.base() + "/trace";
    outcome result = tarnwick({"run", "--maildir", tree.root()}, "", {"TARNWICK_FAULT_TRACE=" + trace});
    ASSERT_EQ(result.code, 0) << result.out << result.err;
    std::vector<traced_step> steps = read_steps(trace);
    ASSERT_FALSE(steps.empty());
    ASSERT_NE(result.out.find("challenges sent               3"), std::string::npos) << result.out;

    std::string data_dir = data() + "/OstrelAntiSpam";
    std::string outbox = tree.root() + "/.Outbox/new";
    auto in_data = [&](const traced_step& s) { return starts_with(s.path, data_dir + "/"); };
    int data_renames = 0, data_flushes = 0, challenges_flushed = 0, answers_moved = 0;
    size_t last_data_rename = 0, last_data_flush = 0;
    bool challenge_unflushed = false;
    for (size_t i = 0; i < steps.size(); ++i) {
        const traced_step& s = steps[i];
        // Each challenge is on disk before anything in the data folder (the pending list, the
        // index) can record its sender.
        if (s.step == "rename" && starts_with(s.path, outbox + "/")) challenge_unflushed = true;
        if (s.step == "sync_folder" && s.path == outbox && challenge_unflushed) {
            challenge_unflushed = false;
            ++challenges_flushed;
        }
        if (s.step == "rename" && in_data(s)) {
            EXPECT_FALSE(challenge_unflushed) << s.path << " replaced at step " << i + 1;
            ++data_renames;
            last_data_rename = i;
        }
        if (s.step == "sync_folder" && s.path == data_dir) {
            ++data_flushes;
            last_data_flush = i;
        }
        // What an answer wrote down (the sender's release and authorization) lasts before the
        // answer leaves for Trash.
        if (s.step == "rename" && s.path.find("/.Trash/cur/" + answer) != std::string::npos) {
            ++answers_moved;
            EXPECT_GT(last_data_flush, last_data_rename) << "the answer's move to Trash at step " << i + 1;
        }
    }
    EXPECT_EQ(answers_moved, 1);
    EXPECT_EQ(challenges_flushed, 3);
    // The lists were written for each stranger and the answer; their folder was flushed less often.
    EXPECT_LT(data_flushes, data_renames);
    // The end: each mail folder renamed in is flushed after its last rename, before the index of
    // the pending folder is replaced; the data folder after the last replacement in it.
    auto index = std::find_if(steps.begin(), steps.end(), [&](const traced_step& s) {
        return s.step == "rename" && s.path == data_dir + "/pending-index.tsv";
    });
    ASSERT_NE(index, steps.end());
    auto last_rename_into = [&](const std::string& folder) {
        auto found = std::find_if(steps.rbegin(), steps.rend(), [&](const traced_step& s) {
            return s.step == "rename" && starts_with(s.path, folder + "/");
        });
        return found == steps.rend() ? steps.begin() : found.base();
    };
    auto flushed_before_index = [&](const std::string& folder, std::vector<traced_step>::iterator after) {
        auto flush = std::find_if(after, steps.end(),
                                  [&](const traced_step& s) { return s.step == "sync_folder" && s.path == folder; });
        EXPECT_LT(flush, index) << folder;
    };
    auto last_message_move = steps.begin();
    // Kept mail stays in new/: only what the filter moves away is renamed.
    for (const std::string& folder : {tree.root() + "/.Pending/cur", tree.root() + "/.Trash/cur"}) {
        auto last = last_rename_into(folder);
        EXPECT_NE(last, steps.begin()) << "no message renamed into " << folder;
        flushed_before_index(folder, last);
        last_message_move = std::max(last_message_move, last);
    }
    // The trace names a rename by its target: the inbox's new/ lost its last message by then.
    flushed_before_index(tree.root() + "/new", last_message_move);
    EXPECT_GT(last_data_flush, last_data_rename);
}

// A friend's delivery costs what storing any message costs: one rename (the message into the
// inbox's new/, once judged) and at most three flushes (the message, its folder, one record).
TEST_F(flush_order, an_authorized_delivery_renames_only_its_message_and_flushes_at_most_three_times) {
    configure();
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    auto deliver = [&](const std::vector<std::string>& environment) {
        return tarnwick({"deliver", "-f", "ann@example.org", "--maildir", tree.root()},
                        mail_text({"From: ann@example.org", "To: me@home.example", "Subject: Hello"}), environment);
    };
    ASSERT_EQ(deliver({}).code, 0);  // the files a first delivery makes are made
    std::string trace = tree.base() + "/trace";
    outcome delivered = deliver({"TARNWICK_FAULT_TRACE=" + trace});
    ASSERT_EQ(delivered.code, 0) << delivered.err;
    ASSERT_EQ(tree.files_in("", "new").size(), 2u);
    std::vector<std::string> renames, flushes;
    for (const traced_step& s : read_steps(trace)) {
        if (s.step == "rename") renames.push_back(s.path);
        if (s.step == "flush" || s.step == "sync_folder") flushes.push_back(s.step + " " + s.path);
    }
    ASSERT_EQ(renames.size(), 1u) << testing::PrintToString(renames);
    EXPECT_TRUE(starts_with(renames[0], tree.root() + "/new/")) << renames[0];
    EXPECT_LE(flushes.size(), 3u) << testing::PrintToString(flushes);
}

// A stranger's delivery is judged before it shows: nothing of it ever enters the inbox.
TEST_F(flush_order, a_strangers_delivery_never_enters_the_inbox) {
    configure();
    std::string trace = tree.base() + "/trace";
    outcome delivered = tarnwick({"deliver", "-f", "dan@example.org", "--maildir", tree.root()},
                                 unknown_sender("dan@example.org", "d@x"), {"TARNWICK_FAULT_TRACE=" + trace});
    ASSERT_EQ(delivered.code, 0) << delivered.err;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);
    for (const traced_step& step : read_trace(trace))
        EXPECT_NE(step.path.rfind(tree.root() + "/new/", 0), 0u) << step.step << " " << step.path;
}
