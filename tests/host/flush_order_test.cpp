// The order in which `tarnwick run` makes its work last through a crash, read from the fault
// plan's trace of its file operations (TARNWICK_FAULT_TRACE): a pass flushes the folders it
// renamed in once, where order matters, instead of after every rename; what must last at once
// still does.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "maildir_fixture.h"
#include "program_runner.h"

namespace {

struct step {
    std::string kind;  // "rename", "sync_folder", ...
    std::string path;
};

std::vector<step> read_steps(const std::string& path) {
    std::vector<step> steps;
    std::istringstream lines(read_text_file(path));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        long number = 0;
        step s;
        fields >> number >> s.kind;
        std::getline(fields >> std::ws, s.path);
        if (s.path.size() > 1 && s.path.back() == '/') s.path.pop_back();
        steps.push_back(s);
    }
    return steps;
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

TEST(flush_order, a_pass_flushes_each_folder_where_order_matters_and_once_at_its_end) {
    maildir_tree tree;
    std::string data = tree.base() + "/data";
    auto tarnwick = [&](std::vector<std::string> args, const std::vector<std::string>& environment = {}) {
        args.push_back("--data-dir");
        args.push_back(data);
        return run(tree.base(), args, "", environment);
    };
    ASSERT_EQ(tarnwick({"config", "set", "EnableProtection", "true", "MarkBlockedAsRead", "true", "ARSubjectKey",
                        "[TWK-CONFIRM]", "ARSubject", "Please confirm [TWK-CONFIRM]"})
                  .code,
              0);
    ASSERT_EQ(tarnwick({"list", "add", "remove", "deals@spam.example"}).code, 0);
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "friend@friends.example"}).code, 0);
    const std::vector<std::string> senders = {"stranger0@strangers.example", "friend@friends.example",
                                              "deals@spam.example",          "stranger1@strangers.example",
                                              "friend@friends.example",      "stranger2@strangers.example"};
    for (size_t i = 0; i < senders.size(); ++i)
        tree.add("", "new", std::to_string(100 + i) + ".M" + std::to_string(i) + "P1.gen",
                 mail_text({"Return-Path: <" + senders[i] + ">", "From: " + senders[i], "To: me@home.example",
                            "Subject: Hello " + std::to_string(i)}),
                 1704067200 + static_cast<long>(i));
    std::string trace = tree.base() + "/trace";
    outcome result = tarnwick({"run", "--maildir", tree.root()}, {"TARNWICK_FAULT_TRACE=" + trace});
    ASSERT_EQ(result.code, 0) << result.out << result.err;
    std::vector<step> steps = read_steps(trace);
    ASSERT_FALSE(steps.empty());
    ASSERT_NE(result.out.find("challenges sent               3"), std::string::npos) << result.out;

    std::string data_dir = data + "/OstrelAntiSpam";
    std::string outbox = tree.root() + "/.Outbox/new";
    auto in_data = [&](const step& s) { return starts_with(s.path, data_dir + "/"); };
    int data_renames = 0, data_flushes = 0, challenges_flushed = 0, senders_recorded = 0;
    size_t last_data_rename = 0, last_data_flush = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const step& s = steps[i];
        if (s.kind == "sync_folder" && s.path == outbox) ++challenges_flushed;
        if (s.kind == "sync_folder" && s.path == data_dir) {
            ++data_flushes;
            last_data_flush = i;
        }
        if (s.kind == "rename" && in_data(s)) {
            ++data_renames;
            last_data_rename = i;
            // Each challenge is on disk before the list that records its sender is replaced.
            if (s.path == data_dir + "/pending.lst") {
                ++senders_recorded;
                EXPECT_GE(challenges_flushed, senders_recorded) << "pending.lst replaced at step " << i + 1;
            }
        }
        // What the lists hold lasts before a message leaves for Trash.
        if (s.kind == "rename" && s.path.find("/.Trash/") != std::string::npos && last_data_rename > 0) {
            EXPECT_GT(last_data_flush, last_data_rename) << "a move to Trash at step " << i + 1;
        }
    }
    EXPECT_EQ(senders_recorded, 3);
    EXPECT_EQ(challenges_flushed, 3);
    // The lists were written for each stranger; their folder was flushed far less often.
    EXPECT_LT(data_flushes, data_renames);
    // The end: every folder renamed in flushed once, the mail folders before the index of the
    // pending folder is replaced, and the data folder after the last replacement in it.
    for (const std::string& folder : {tree.root() + "/new", tree.root() + "/cur", tree.root() + "/.Pending/cur"}) {
        auto flushes = std::count_if(steps.begin(), steps.end(),
                                     [&](const step& s) { return s.kind == "sync_folder" && s.path == folder; });
        EXPECT_EQ(flushes, 1) << folder;
        auto flush = std::find_if(steps.begin(), steps.end(),
                                  [&](const step& s) { return s.kind == "sync_folder" && s.path == folder; });
        auto index = std::find_if(steps.begin(), steps.end(), [&](const step& s) {
            return s.kind == "rename" && s.path == data_dir + "/pending-index.tsv";
        });
        ASSERT_NE(index, steps.end());
        EXPECT_LT(flush, index) << folder;
    }
    EXPECT_GT(last_data_flush, last_data_rename);
}
