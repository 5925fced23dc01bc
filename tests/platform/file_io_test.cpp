#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <future>
#include <new>
#include <string>
#include <string_view>

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

TEST(atomic_replace, content_made_in_pieces) {
    temp_dir dir;
    const std::string path = dir.file("list.txt");
    write_text_file(path, "old content");
    ASSERT_TRUE(replace_file_atomically(path, [](const file_piece_writer& write) {
        return write("one ") && write("") && write(std::string("t\0o ", 4)) && write("three");
    }));
    EXPECT_EQ(read_text_file(path), std::string("one t\0o three", 13));

    // Content that cannot be made, whether it says so or throws, replaces nothing and leaves no
    // temporary file.
    EXPECT_FALSE(replace_file_atomically(path, [](const file_piece_writer& write) { return write("half") && false; }));
    EXPECT_THROW(replace_file_atomically(path,
                                         [](const file_piece_writer& write) -> bool {
                                             write("half");
                                             throw std::bad_alloc();
                                         }),
                 std::bad_alloc);
    EXPECT_EQ(read_text_file(path), std::string("one t\0o three", 13));
    EXPECT_EQ(files_in(dir.path()), 1u);
}

TEST(read_file, in_pieces_gives_every_byte_in_order) {
    temp_dir dir;
    const std::string path = dir.file("big");
    std::string content;
    for (int i = 0; content.size() < (std::size_t{300} << 10); ++i) content += std::to_string(i) + '\0';
    write_text_file(path, content);
    std::string read;
    std::size_t pieces = 0;
    EXPECT_TRUE(read_file_in_pieces(path, [&](std::string_view piece) {
        read += piece;
        ++pieces;
    }));
    EXPECT_EQ(read, content);
    EXPECT_GT(pieces, 1u);
    EXPECT_EQ(read_file(path).value(), content);

    // Neither a missing file nor a folder gives anything.
    pieces = 0;
    EXPECT_FALSE(read_file_in_pieces(dir.file("absent"), [&](std::string_view) { ++pieces; }));
    EXPECT_EQ(pieces, 0u);
#ifndef _WIN32
    EXPECT_FALSE(read_file_in_pieces(dir.path(), [&](std::string_view) { ++pieces; }));
    EXPECT_EQ(pieces, 0u);
    EXPECT_FALSE(read_file(dir.path()).has_value());
#endif
}

#ifndef _WIN32
// What is not a regular file gives nothing, at once: a FIFO nobody writes to, a device, a folder.
TEST(read_file, refuses_at_once_what_is_no_regular_file) {
    temp_dir dir;
    const std::string fifo = dir.file("fifo"), device = dir.file("device");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/null", device);
    for (const std::string& path : {fifo, device, dir.path()}) {
        auto reading = std::async(std::launch::async, [&] {
            std::size_t pieces = 0;
            bool whole = read_file(path).has_value();
            bool in_pieces = read_file_in_pieces(path, [&](std::string_view) { ++pieces; });
            return whole || in_pieces || pieces > 0;
        });
        if (reading.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
            ADD_FAILURE() << path << " kept the reader waiting";
            // Set the reader free, so that the test fails instead of hanging.
            while (reading.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout)
                ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        }
        EXPECT_FALSE(reading.get()) << path;
    }
}
#endif
