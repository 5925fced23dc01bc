// `tarnwick run` and `tarnwick deliver` killed at random moments: the mailbox copies and the
// readings of a Maildir that both kill tests share.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "maildir_fixture.h"
#include "program_runner.h"

namespace fs = std::filesystem;

namespace kill_testing {

inline constexpr unsigned seed = 20240117;
inline constexpr const char* rename_delay_us = "1500";

inline const std::vector<std::string> lists = {"authorized", "remove", "ignore", "pending"};

// Where each message is: its unique part to "folder/subdir/name" for each copy found, the
// Outbox (challenges, which a killed run may send twice) left out.
inline std::map<std::string, std::vector<std::string>> places(const std::string& root) {
    std::map<std::string, std::vector<std::string>> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        fs::path path = entry.path();
        std::string subdir = path.parent_path().filename().string();
        if (subdir != "new" && subdir != "cur") continue;
        std::string folder = fs::relative(path.parent_path().parent_path(), root).string();
        if (folder == ".Outbox") continue;
        std::string name = path.filename().string();
        found[unique_of(name)].push_back(folder + "/" + subdir + "/" + name);
    }
    return found;
}

// The challenges in the Outbox, counted by their recipient (the To field).
inline std::map<std::string, int> challenges_by_recipient(const std::string& root) {
    std::map<std::string, int> count;
    for (const char* subdir : {"/new", "/cur"}) {
        std::string dir = root + "/.Outbox" + subdir;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::string text = read_text_file(entry.path().string());
            size_t at = text.find("\nTo: ");
            ++count[at == std::string::npos ? "(no To field)" : text.substr(at + 5, text.find('\n', at + 1) - at - 5)];
        }
    }
    return count;
}

// Files left in a tmp/ folder anywhere in the Maildir.
inline std::vector<std::string> files_in_tmp(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().parent_path().filename() == "tmp")
            found.push_back(fs::relative(entry.path(), root).string());
    }
    return found;
}

// One Maildir with its data folder, set up the same way for each copy.
class mailbox_copy {
public:
    mailbox_copy(const std::string& base, const std::string& source) : base_(base) {
        fs::create_directories(base_);
        fs::copy(source, root(), fs::copy_options::recursive);
        for (const auto& entry : fs::recursive_directory_iterator(root())) {
            if (entry.is_regular_file()) {
                std::string name = entry.path().filename().string();
                set_arrival(entry.path().string(), std::stol(name.substr(0, name.find('.'))));
            }
        }
        // The runs' HOME is `base`: challenges need an address of the user's to come from.
        start_filter_record(base_ + "/data");
        fs::create_directories(base_ + "/.config/tarnwick");
        write_text_file(base_ + "/.config/tarnwick/config", "own-address = me@home.example\n");
        expect_ok(
            tarnwick({"config", "set", "EnableProtection", "true", "AutoDeleteBlocked", "false", "MarkBlockedAsRead",
                      "true", "ARSubjectKey", "[TWK-TESTKEY]", "ARSubject", "Please confirm [TWK-TESTKEY]"}));
        expect_ok(tarnwick({"list", "add", "remove", "deals0@spam.example", "deals1@spam.example",
                            "deals2@spam.example", "deals3@spam.example"}));
    }

    std::string root() const { return base_ + "/Maildir"; }
    std::vector<std::string> run_args(const std::string& contacts) const {
        // No budget: which strangers are challenged must not depend on when a kill came.
        return {"run",           "--maildir",         root(),  "--contacts", contacts, "--data-dir",
                base_ + "/data", "--challenge-limit", "100000"};
    }
    outcome tarnwick(std::vector<std::string> args, const std::vector<std::string>& environment = {}) const {
        args.push_back("--data-dir");
        args.push_back(base_ + "/data");
        return run(base_, args, "", environment);
    }
    std::map<std::string, std::vector<std::string>> list_contents() const {
        std::map<std::string, std::vector<std::string>> contents;
        for (const std::string& list : lists) {
            outcome shown = tarnwick({"list", "show", list});
            EXPECT_EQ(shown.code, 0) << shown.err;
            contents[list] = lines_of(shown.out);
        }
        return contents;
    }
    const std::string& base() const { return base_; }

private:
    static void expect_ok(const outcome& result) { ASSERT_EQ(result.code, 0) << result.out << result.err; }
    std::string base_;
};

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

using lists_map = std::map<std::string, std::vector<std::string>>;

}  // namespace kill_testing
