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
    for (const std::string& folder :
         {tree.root() + "/cur", tree.root() + "/.Pending/cur", tree.root() + "/.Trash/cur"}) {
        auto last = last_rename_into(folder);
        EXPECT_NE(last, steps.begin()) << "no message renamed into " << folder;
        flushed_before_index(folder, last);
        last_message_move = std::max(last_message_move, last);
    }
    // The trace names a rename by its target: the inbox's new/ lost its last message by then.
    flushed_before_index(tree.root() + "/new", last_message_move);
    EXPECT_GT(last_data_flush, last_data_rename);
}
