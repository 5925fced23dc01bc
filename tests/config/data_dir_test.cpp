#include "config/data_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "diag/debug_log.h"
#include "platform/file_io.h"
#include "platform/fs.h"
#include "support/program_data.h"
#include "support/seam_guards.h"
#include "support/temp_dir.h"

namespace {
// The names in `folder` that hold `piece`.
std::vector<std::string> names_in(const std::string& folder, const std::string& piece) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.find(piece) != std::string::npos) names.push_back(name);
    }
    return names;
}

// A fresh application-data folder, and a module folder with seed files of its own.
class data_dir_test : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : seed_file_names) write_text_file(module.file(name), std::string("shipped ") + name);
        reset_data_dir_for_tests(app_data.path(), module.path());
    }
    void TearDown() override { reset_data_dir_for_tests(program_app_data()); }

    std::string dir() const { return append_path_component(app_data.path(), "OstrelAntiSpam"); }
    std::string data_file(const char* name) const { return append_path_component(dir(), name); }

    temp_dir app_data;
    temp_dir module;
    fault_hook_guard faults;
};
}  // namespace

TEST_F(data_dir_test, is_computed_and_seeded_once_per_process) {
    EXPECT_EQ(get_data_dir(), dir() + "/");
    EXPECT_EQ(get_data_file_path("dlog.log"), dir() + "/dlog.log");
    EXPECT_FALSE(find_data_dir().fell_back);
    for (const char* name : seed_file_names) EXPECT_EQ(read_text_file(data_file(name)), std::string("shipped ") + name);
    EXPECT_FALSE(file_exists(data_file("ostrel.cfg")));

    std::remove(data_file("ostrel_original.cfg").c_str());
    EXPECT_EQ(get_data_dir(), dir() + "/");
    EXPECT_FALSE(file_exists(data_file("ostrel_original.cfg")));  // the second call touched nothing

    reset_data_dir_for_tests(app_data.path(), module.path());  // as a new process
    EXPECT_EQ(get_data_dir(), dir() + "/");
    EXPECT_TRUE(file_exists(data_file("ostrel_original.cfg")));
}

TEST_F(data_dir_test, seeding_only_fills_gaps) {
    get_data_dir();
    write_text_file(data_file("MAILERDAEMON_subject.cfg"), "edited by the user");
    std::remove(data_file("MAILERDAEMON_header.cfg").c_str());
    std::remove(data_file("ostrel_original.cfg").c_str());
    std::remove(module.file("ostrel_original.cfg").c_str());

    reset_data_dir_for_tests(app_data.path(), module.path());
    get_data_dir();
    EXPECT_EQ(read_text_file(data_file("MAILERDAEMON_subject.cfg")), "edited by the user");
    EXPECT_EQ(read_text_file(data_file("MAILERDAEMON_header.cfg")), "shipped MAILERDAEMON_header.cfg");
    EXPECT_FALSE(file_exists(data_file("ostrel_original.cfg")));
}

TEST_F(data_dir_test, the_build_puts_the_seeds_beside_the_program) {
    reset_data_dir_for_tests(app_data.path());
    get_data_dir();
    for (const char* name : seed_file_names) {
        std::string shipped = read_text_file(append_path_component(module_folder(), name));
        EXPECT_FALSE(shipped.empty()) << name;
        EXPECT_EQ(read_text_file(data_file(name)), shipped) << name;
    }
}

TEST_F(data_dir_test, opening_removes_the_temporaries_of_interrupted_replacements_and_nothing_else) {
    get_data_dir();
    // A replacement that never reaches its rename, as when the process is killed there.
    set_file_fault_hook([](file_step step, const std::string&) -> bool {
        if (step == file_step::rename) throw std::runtime_error("killed");
        return true;
    });
    for (const char* name : {"authorized.lst", "ostrel.cfg"})
        EXPECT_THROW(replace_file_atomically(data_file(name), "new"), std::runtime_error);
    set_file_fault_hook({});
    const std::vector<std::string> leftovers = names_in(dir(), ".tmp-");
    ASSERT_EQ(leftovers.size(), 2u);

    const char* not_ours[] = {"notes.tmp-",  "a.lst.tmp-12345",  "a.lst.tmp-ABCDEFG", "a.lst.tmp-1-2-3",
                              ".tmp-Ab3xY9", "a.lst.tmp-Ab3x_9", "a.lst.tmp"};
    for (const char* name : not_ours) write_text_file(data_file(name), "someone else's");
    std::filesystem::create_directory(data_file("folder.tmp-Ab3xY9"));
    std::filesystem::create_directory(data_file("folder.tmp-12-34"));

    log_capture log;
    reset_data_dir_for_tests(app_data.path(), module.path());  // as a new process
    std::vector<std::string> removed = find_data_dir().removed_temporaries;
    for (const std::string& name : leftovers) EXPECT_FALSE(file_exists(data_file(name.c_str()))) << name;
    std::sort(removed.begin(), removed.end());
    std::vector<std::string> expected = leftovers;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(removed, expected);
    EXPECT_EQ(find_data_dir().removed_temporaries.size(), 2u) << "a later call reports what the first one found";
    EXPECT_EQ(log.text(), "") << "the add-in's loader writes what was found, once the log is open";
    for (const char* name : not_ours) EXPECT_EQ(read_text_file(data_file(name)), "someone else's") << name;
    EXPECT_TRUE(std::filesystem::is_directory(data_file("folder.tmp-Ab3xY9")));
    EXPECT_TRUE(std::filesystem::is_directory(data_file("folder.tmp-12-34")));
    EXPECT_FALSE(file_exists(data_file("authorized.lst"))) << "the interrupted replacement never happened";
}

TEST_F(data_dir_test, the_working_directory_fallback_is_not_cleaned) {
    temp_dir work;
    write_text_file(work.file("x.lst.tmp-Ab3xY9"), "not ours to remove");
    write_text_file(work.file("x.lst.tmp-12-34"), "not ours to remove");
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    reset_data_dir_for_tests(std::string());
    EXPECT_TRUE(find_data_dir().removed_temporaries.empty());
    std::filesystem::current_path(previous);
    EXPECT_TRUE(file_exists(work.file("x.lst.tmp-Ab3xY9")));
    EXPECT_TRUE(file_exists(work.file("x.lst.tmp-12-34")));
}

TEST_F(data_dir_test, without_an_app_data_folder_the_working_directory_is_used) {
    log_capture log;
    reset_data_dir_for_tests(std::string());
    EXPECT_EQ(get_data_file_path("ostrel.cfg"), "./ostrel.cfg");
    data_dir_found found = find_data_dir();
    EXPECT_EQ(found.path, "./");
    EXPECT_TRUE(found.fell_back);
    EXPECT_EQ(log.text(), "") << "the add-in's loader writes the fall-back, once the log is open";
}
