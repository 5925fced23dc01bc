// The walk of a command through each of its file operations failing in turn.
#include "fault_walk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "maildir_fixture.h"
#include "program_runner.h"

namespace fs = std::filesystem;

// Copies the tree `from` to `to`, with the modification times, which are the mail's arrival.
void copy_tree(const std::string& from, const std::string& to) {
    fs::create_directories(to);
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        std::string target = to + "/" + fs::relative(entry.path(), from).string();
        if (entry.is_directory()) {
            fs::create_directories(target);
        } else if (entry.is_regular_file()) {
            fs::copy_file(entry.path(), target);
            struct stat st {};
            if (::stat(entry.path().c_str(), &st) == 0) {
                const timespec times[2] = {st.st_atim, st.st_mtim};
                ::utimensat(AT_FDCWD, target.c_str(), times, 0);
            }
        }
    }
}

namespace {

const std::vector<std::string> data_files = {"authorized.lst", "pending.lst", "remove.lst",
                                             "ignore.lst",     "release.lst", "ostrel.cfg"};

std::string to_field(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line) && !line.empty() && line != "\r";) {
        if (line.rfind("To: ", 0) == 0) return line.substr(4);
    }
    return "(no To field)";
}

// The entries of a list file, split as the add-in reads them.
std::set<std::string> words_of(const std::string& text) {
    std::set<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.insert(word);
    return words;
}

// Why `content` of the data file `name` is not a whole file that the command could have written
// between `before` and `after` (the start and a run without faults); "" when it is.
std::string broken_data_file(const std::string& name, const std::string& content, const mailbox_state& before,
                             const mailbox_state& after) {
    auto old_content = before.data.find(name);
    auto new_content = after.data.find(name);
    if ((old_content != before.data.end() && content == old_content->second) ||
        (new_content != after.data.end() && content == new_content->second))
        return "";
    if (name == "ostrel.cfg") return "is neither the old nor the new settings";
    // Lists and the release file are rewritten after each change: any whole version made of
    // entries of the start or the end will do.
    const std::string terminator = name == "release.lst" ? "\r\n" : "\r\n\r";
    if (!content.empty() && (content.size() < terminator.size() ||
                             content.compare(content.size() - terminator.size(), terminator.size(), terminator) != 0))
        return "does not end with a whole entry";
    std::set<std::string> known;
    for (const mailbox_state* state : {&before, &after}) {
        auto found = state->data.find(name);
        if (found != state->data.end()) known.merge(words_of(found->second));
    }
    // Versions between the two may hold other senders of the mailbox, whole.
    auto whole_address = [](const std::string& word) {
        size_t at = word.find('@');
        return at != std::string::npos && at > 0 && word.ends_with(".example") &&
               std::all_of(word.begin(), word.end(),
                           [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '@' || c == '.'; });
    };
    for (const std::string& word : words_of(content)) {
        if (!known.count(word) && !whole_address(word)) return "holds \"" + word + "\", not a whole address";
    }
    return "";
}

std::string describe(const places_map& places, const std::string& unique) {
    auto found = places.find(unique);
    if (found == places.end()) return "nowhere";
    std::string text;
    for (const std::string& place : found->second) text += (text.empty() ? "" : " and ") + place;
    return text;
}

std::vector<std::string> arguments_in(const scenario& s, const std::string& folder) {
    std::vector<std::string> args;
    for (const std::string& arg : s.args) {
        std::string text = arg;
        if (size_t at = text.find("{dir}"); at != std::string::npos) text.replace(at, 5, folder);
        args.push_back(text);
    }
    return args;
}

std::string relative_to(const std::string& path, const std::string& base) {
    return path.rfind(base + "/", 0) == 0 ? path.substr(base.size() + 1) : path;
}

// What must appear in the command's output to name the file of a failed step: the path for the
// filter's files, lock files and folder markers, the unique part of a message's name.
std::string name_to_report(const std::string& path) {
    std::string subdir = fs::path(path).parent_path().filename().string();
    if (subdir == "new" || subdir == "cur" || subdir == "tmp") return unique_of(fs::path(path).filename().string());
    return path;
}

}  // namespace

mailbox_state state_of(const std::string& base) {
    mailbox_state state;
    std::string root = base + "/Maildir";
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        fs::path path = entry.path();
        std::string subdir = path.parent_path().filename().string();
        std::string folder = fs::relative(path.parent_path().parent_path(), root).string();
        std::string name = path.filename().string();
        if (subdir == "tmp") {
            state.leftovers.push_back(fs::relative(path, base).string());
        } else if (subdir != "new" && subdir != "cur") {
            continue;
        } else if (folder == ".Outbox") {
            state.challenges.insert(to_field(read_text_file(path.string())));
        } else {
            state.places[unique_of(name)].push_back(folder + "/" + subdir + "/" + name);
        }
    }
    std::string data = base + "/data/OstrelAntiSpam";
    for (const auto& entry : fs::directory_iterator(data)) {
        if (entry.path().filename().string().find(".tmp-") != std::string::npos)
            state.leftovers.push_back(fs::relative(entry.path(), base).string());
    }
    for (const std::string& name : data_files) {
        if (file_exists(data + "/" + name)) state.data[name] = read_text_file(data + "/" + name);
    }
    return state;
}

void walk_every_fault(const scenario& s) {
    temp_dir work;
    std::string start = work.file("start");
    s.prepare(start);
    mailbox_state before = state_of(start);

    // The run without faults, counted.
    std::string clean = work.file("clean");
    copy_tree(start, clean);
    outcome reference = run(clean, arguments_in(s, clean), "", {"TARNWICK_FAULT_TRACE=" + clean + "/trace"});
    ASSERT_EQ(reference.code, 0) << reference.out << reference.err;
    std::vector<traced_step> steps = read_trace(clean + "/trace");
    mailbox_state expected = state_of(clean);
    ASSERT_GT(steps.size(), 10u);
    ASSERT_TRUE(expected.leftovers.empty());
    std::cout << "[   info   ] " << s.name << ": " << steps.size() << " file operations\n";
    if (std::getenv("TARNWICK_TEST_SHOW_TRACE")) std::cout << read_text_file(clean + "/trace");

    int tolerated_rows = 0;
    for (size_t n = 1 + s.part; n <= steps.size(); n += s.parts) {
        std::string folder = work.file("row" + std::to_string(n));
        copy_tree(start, folder);
        outcome failed = run(folder, arguments_in(s, folder), "",
                             {"TARNWICK_FAULT_AT=" + std::to_string(n), "TARNWICK_FAULT_TRACE=" + folder + "/trace"});
        std::vector<traced_step> trace = read_trace(folder + "/trace");
        // The failing run may take another way after the failure, but not before it.
        traced_step failing = trace.size() >= n ? trace[n - 1] : traced_step{};
        std::string row =
            "row " + std::to_string(n) + " (" + failing.step + " " + relative_to(failing.path, folder) + ")";
        if (failing.number != static_cast<long>(n)) {
            ADD_FAILURE() << row << ": the failing run made only " << trace.size() << " file operations";
            continue;
        }

        mailbox_state after_failure = state_of(folder);
        for (const auto& [unique, where] : before.places) {
            auto found = after_failure.places.find(unique);
            if (found == after_failure.places.end()) ADD_FAILURE() << row << ": " << unique << " was lost";
            else if (found->second.size() != 1)
                ADD_FAILURE() << row << ": " << unique << " is in " << describe(after_failure.places, unique);
        }
        EXPECT_EQ(after_failure.places.size(), before.places.size()) << row;
        for (const std::string& leftover : after_failure.leftovers)
            ADD_FAILURE() << row << ": left behind " << leftover;
        for (const auto& [name, content] : after_failure.data) {
            if (std::string why = broken_data_file(name, content, before, expected); !why.empty())
                ADD_FAILURE() << row << ": " << name << " " << why;
        }

        std::string why_tolerated = s.tolerated(failing);
        if (!why_tolerated.empty()) {
            ++tolerated_rows;
            EXPECT_EQ(failed.code, 0) << row << ", tolerated: " << why_tolerated << "\n" << failed.out << failed.err;
            EXPECT_EQ(after_failure.places, expected.places) << row << ", tolerated: " << why_tolerated;
            EXPECT_EQ(after_failure.data, expected.data) << row << ", tolerated: " << why_tolerated;
            continue;
        }
        EXPECT_EQ(failed.code, 1) << row << "\n" << failed.out << failed.err;
        std::string named = name_to_report(failing.path);
        EXPECT_NE((failed.out + failed.err).find(named), std::string::npos)
            << row << ": the output does not name " << named << "\n"
            << failed.out << failed.err;

        // The next run without faults finishes the job.
        outcome next = run(folder, arguments_in(s, folder), "");
        EXPECT_EQ(next.code, 0) << row << ", the next run\n" << next.out << next.err;
        mailbox_state finished = state_of(folder);
        for (const auto& [unique, where] : expected.places) {
            std::string now = describe(finished.places, unique);
            std::string wanted = describe(expected.places, unique);
            if (now != wanted && !(s.elsewhere && !s.elsewhere(failing, unique, now, wanted).empty()))
                ADD_FAILURE() << row << ": after the next run " << unique << " is " << describe(finished.places, unique)
                              << ", not " << describe(expected.places, unique);
        }
        EXPECT_EQ(finished.data, expected.data) << row << ", after the next run";
        EXPECT_TRUE(finished.leftovers.empty()) << row << ", after the next run";
        // Each challenge of the run without faults was stored, some perhaps twice (the run that
        // failed may have stored one before it failed); one whose storing failed may be missing
        // only where the scenario says so.
        std::set<std::string> wanted(expected.challenges.begin(), expected.challenges.end());
        std::set<std::string> got(finished.challenges.begin(), finished.challenges.end());
        std::string may_miss = s.unfinished ? s.unfinished(failing) : "";
        for (const std::string& to : wanted) {
            if (!got.count(to) && may_miss.empty())
                ADD_FAILURE() << row << ": no challenge to " << to << " after the next run";
        }
        for (const std::string& to : got)
            EXPECT_TRUE(wanted.count(to))
                << row << ": a challenge to " << to << " that the run without faults did not send";
        if (::testing::Test::HasFailure()) {
            // One row's story is enough to tell what went wrong; the rest would repeat it.
            std::cout << "[   info   ] " << row << " failed; its output:\n" << failed.out << failed.err;
            return;
        }
        fs::remove_all(folder);
    }
    std::cout << "[   info   ] " << s.name << ": " << tolerated_rows << " of " << steps.size()
              << " failures tolerated\n";
}
