#include <gtest/gtest.h>

#include <filesystem>

#include "platform/file_io.h"
#include "support/seam_guards.h"
#include "support/temp_dir.h"

namespace {
size_t files_in(const std::string& folder) {
    size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}
}  // namespace

TEST(atomic_replace, writes_exact_bytes_and_replaces) {
    temp_dir dir;
    const std::string path = dir.file("list.txt");
    ASSERT_TRUE(replace_file_atomically(path, std::string("a\r\n\0b", 5)));
    EXPECT_EQ(read_file(path).value(), std::string("a\r\n\0b", 5));
    ASSERT_TRUE(replace_file_atomically(path, "second"));
    EXPECT_EQ(read_file(path).value(), "second");
    EXPECT_EQ(files_in(dir.path()), 1u);
}

TEST(atomic_replace, every_failing_step_keeps_the_old_file_and_leaves_no_temporary) {
    for (file_step failing : {file_step::create_temporary, file_step::write, file_step::flush, file_step::rename}) {
        SCOPED_TRACE(static_cast<int>(failing));
        temp_dir dir;
        const std::string path = dir.file("ostrel.cfg");
        write_text_file(path, "old content");
        {
            fault_hook_guard refuse([failing](file_step step, const std::string&) { return step != failing; });
            EXPECT_FALSE(replace_file_atomically(path, "new content"));
        }
        EXPECT_EQ(read_text_file(path), "old content");
        EXPECT_EQ(files_in(dir.path()), 1u);
    }
}

TEST(atomic_replace, missing_folder_fails) {
    temp_dir dir;
    EXPECT_FALSE(replace_file_atomically(dir.file("no/such/folder/file"), "x"));
}

TEST(read_file, missing_file_is_none) {
    temp_dir dir;
    EXPECT_FALSE(read_file(dir.file("absent")).has_value());
}
