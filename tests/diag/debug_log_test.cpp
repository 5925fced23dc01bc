#include "diag/debug_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "config/data_dir.h"
#include "platform/fs.h"
#include "support/temp_dir.h"

namespace {
bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Runs diag_log_child in `folder` (see log_child.cpp); its exit code.
int run_child(const std::string& folder, const std::string& arguments) {
    // Absolute before the working directory changes: the module folder may be relative.
    auto program = std::filesystem::absolute(append_path_component(module_folder(), "diag_log_child"));
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    int result = std::system((program.string() + " " + arguments).c_str());
    std::filesystem::current_path(previous);
    return result;
}
}  // namespace

TEST(debug_log, each_end_of_line_reaches_the_file_as_cr_lf_and_the_file_stays_shared) {
    debug_log() << "alpha " << 42 << ' ' << std::int64_t{-7} << ' ' << 2.5 << "\n\nbeta" << std::endl;
    std::string path = get_data_file_path("dlog.log");
    std::string bytes = read_text_file(path);
    EXPECT_TRUE(ends_with(bytes, "alpha 42 -7 2.5\r\n\r\nbeta\r\n")) << bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        EXPECT_TRUE(bytes[i] != '\n' || (i > 0 && bytes[i - 1] == '\r')) << i;
    EXPECT_TRUE(std::ofstream(path, std::ios::binary | std::ios::app).is_open()) << "another writer was shut out";
}

TEST(debug_log, captures_see_pieces_untranslated_and_nest) {
    log_capture outer;
    debug_log() << "one\n";
    {
        log_capture inner;
        debug_log() << "two " << 3 << std::endl;
        EXPECT_EQ(inner.text(), "two 3\n");
    }
    debug_log() << "four";
    EXPECT_EQ(outer.text(), "one\ntwo 3\nfour");
}

TEST(debug_log, a_new_process_truncates_the_log) {
    temp_dir folder;
    std::string path = append_path_component(append_path_component(folder.path(), "OstrelAntiSpam"), "dlog.log");
    for (std::string name : {"first", "second"}) {
        ASSERT_EQ(run_child(folder.path(), "appdata " + name), 0);
        EXPECT_EQ(read_text_file(path), "line from " + name + "\r\nsecond line\r\n");
    }
}

TEST(debug_log, a_full_log_becomes_dlog_log_1_replacing_the_older_one_at_a_line_end) {
    // Each line is 8 bytes with its CR LF: the limit of 20 is passed at every third line.
    const struct {
        const char* name;
        int lines;
        const char* current;
        const char* previous;  // null: no dlog.log.1
    } rows[] = {
        {"below the limit", 2, "line 1\r\nline 2\r\n", nullptr},
        {"just past it", 3, "", "line 1\r\nline 2\r\nline 3\r\n"},
        {"twice past it", 7, "line 7\r\n", "line 4\r\nline 5\r\nline 6\r\n"},
    };
    for (const auto& row : rows) {
        temp_dir folder;
        std::string dir = append_path_component(folder.path(), "OstrelAntiSpam");
        ASSERT_EQ(run_child(folder.path(), "rotate 20 " + std::to_string(row.lines)), 0) << row.name;
        EXPECT_EQ(read_text_file(append_path_component(dir, "dlog.log")), row.current) << row.name;
        EXPECT_EQ(file_exists(append_path_component(dir, "dlog.log.1")), row.previous != nullptr) << row.name;
        if (row.previous) {
            EXPECT_EQ(read_text_file(append_path_component(dir, "dlog.log.1")), row.previous) << row.name;
        }
    }
}

TEST(debug_log, without_an_app_data_folder_it_logs_so_in_the_working_directory) {
    temp_dir folder;
    ASSERT_EQ(run_child(folder.path(), "noappdata"), 0);
    EXPECT_EQ(read_text_file(folder.file("dlog.log")),
              "FAIL: get_data_dir - unable to find the application data folder, using the working directory\r\n"
              "line from child\r\nsecond line\r\n");
}

TEST(debug_log, the_temporaries_removed_on_the_way_come_first) {
    temp_dir folder;
    std::string dir = append_path_component(folder.path(), "OstrelAntiSpam");
    std::filesystem::create_directory(dir);
    // The temporary names of each platform's file replacement; only this platform's is ours.
    const std::string names[] = {"x.lst.tmp-Ab3xY9", "x.lst.tmp-12-34"};
    for (const std::string& name : names) write_text_file(append_path_component(dir, name), "cut short");
    ASSERT_EQ(run_child(folder.path(), "appdata"), 0);
    std::string log;
    for (const std::string& name : names) {
        if (!file_exists(append_path_component(dir, name)))
            log += "get_data_dir - removed the left-over temporary file " + name + "\r\n";
    }
    EXPECT_FALSE(log.empty());
    EXPECT_EQ(read_text_file(append_path_component(dir, "dlog.log")), log + "line from child\r\nsecond line\r\n");
}
