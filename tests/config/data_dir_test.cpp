#include "config/data_dir.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "diag/debug_log.h"
#include "platform/fs.h"
#include "program_data.h"
#include "support/temp_dir.h"

namespace {
// A fresh application-data folder, and a module folder with seed files of its own.
class data_dir : public testing::Test {
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
};
}  // namespace

TEST_F(data_dir, is_computed_and_seeded_once_per_process) {
    EXPECT_EQ(get_data_dir(), dir() + "/");
    EXPECT_EQ(get_data_file_path("dlog.log"), dir() + "/dlog.log");
    for (const char* name : seed_file_names) EXPECT_EQ(read_text_file(data_file(name)), std::string("shipped ") + name);
    EXPECT_FALSE(file_exists(data_file("ostrel.cfg")));

    std::remove(data_file("ostrel_original.cfg").c_str());
    EXPECT_EQ(get_data_dir(), dir() + "/");
    EXPECT_FALSE(file_exists(data_file("ostrel_original.cfg")));  // the second call touched nothing

    reset_data_dir_for_tests(app_data.path(), module.path());  // as a new process
    EXPECT_EQ(get_data_dir(), dir() + "/");
    EXPECT_TRUE(file_exists(data_file("ostrel_original.cfg")));
}

TEST_F(data_dir, seeding_only_fills_gaps) {
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

TEST_F(data_dir, the_build_puts_the_seeds_beside_the_program) {
    reset_data_dir_for_tests(app_data.path());
    get_data_dir();
    for (const char* name : seed_file_names) {
        std::string shipped = read_text_file(append_path_component(module_folder(), name));
        EXPECT_FALSE(shipped.empty()) << name;
        EXPECT_EQ(read_text_file(data_file(name)), shipped) << name;
    }
}

TEST_F(data_dir, without_an_app_data_folder_the_working_directory_is_used) {
    log_capture log;
    reset_data_dir_for_tests(std::string());
    EXPECT_EQ(get_data_file_path("ostrel.cfg"), "./ostrel.cfg");
    EXPECT_EQ(log.text(), "FAIL: get_data_dir - unable to find the application data folder, using the working directory\n");
}
