#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "diag/debug_log.h"
#include "lists/address_list.h"
#include "platform/file_io.h"
#include "support/seam_guards.h"
#include "support/temp_dir.h"

namespace {

TEST(is_authorized, by_address_or_exact_domain) {
    // ".@cd" and ".@x.y" stand for hand-edited entries: only the second is a valid address.
    const address_set authorized = {".@example.com", "ann@other.org", ".@cd", ".@x.y"};
    const struct {
        const char* sender;
        bool expected;
    } cases[] = {
        {"Bob <BOB@Example.COM>", true},
        {"anyone@example.com", true},
        {"Ann <Ann@Other.org>", true},
        {"x@sub.example.com", false},
        {"x@example.com.evil.net", false},
        {"x@example.org", false},
        {"bob@other.org", false},
        {"a.b@cd", false},
        {"Z <Z@X.Y>", true},
        {"not an address", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_authorized(authorized, c.sender), c.expected) << c.sender;
}

TEST(is_in_list, normalises_the_text_but_not_the_entries) {
    const address_set list = {"Bob@Example.com", "ann@x.org"};
    EXPECT_TRUE(is_in_list(list, "Ann <ANN@X.ORG>"));
    // An entry written in capitals by hand can never match.
    EXPECT_FALSE(is_in_list(list, "Bob@Example.com"));
    EXPECT_FALSE(is_in_list(list, "ann"));
}

TEST(add_to_list, inserts_the_normalised_address_once) {
    address_set list = {"Bob@Example.com"};
    add_to_list("Bob <BOB@EXAMPLE.COM>", list);
    EXPECT_EQ(list, (address_set{"Bob@Example.com", "bob@example.com"}));
    add_to_list("bOb@example.com", list);
    add_to_list("Bob@Example.com", list);  // the text itself is an entry
    EXPECT_EQ(list.size(), 2u);
}

TEST(add_to_list, logs_an_invalid_address_and_leaves_the_list) {
    address_set list = {"ann@x.org"};
    log_capture log;
    add_to_list("Bob <bob@localhost>", list);
    EXPECT_EQ(log.text(), "warnning: add_to_list - invalid email Bob <bob@localhost>\n");
    EXPECT_EQ(list, (address_set{"ann@x.org"}));
}

TEST(remove_from_list, compares_the_text_exactly) {
    address_set list = {"bob@example.com"};
    EXPECT_FALSE(remove_from_list(list, "BOB@example.com"));
    EXPECT_FALSE(remove_from_list(list, "<bob@example.com>"));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_TRUE(remove_from_list(list, "bob@example.com"));
    EXPECT_TRUE(list.empty());
}

TEST(list_file, two_words_on_one_line_load_and_save_sorted) {
    temp_dir dir;
    const std::string path = dir.file("authorized.txt");
    write_text_file(path, "zed@x.org\tBob@Example.com ann@x.org\r\n");
    address_set list = {"kept@x.org"};
    load_list(path, list);
    EXPECT_EQ(list, (address_set{"Bob@Example.com", "ann@x.org", "kept@x.org", "zed@x.org"}));

    ASSERT_TRUE(save_list(path, list));
    EXPECT_EQ(read_text_file(path), "\r\n\rBob@Example.com\r\n\rann@x.org\r\n\rkept@x.org\r\n\rzed@x.org\r\n\r");
    address_set reloaded;
    load_list(path, reloaded);
    EXPECT_EQ(reloaded, list);

    ASSERT_TRUE(save_list(path, {}));
    EXPECT_EQ(read_text_file(path), "\r\n\r");
}

TEST(list_file, missing_file_or_missing_name_reads_and_writes_nothing) {
    temp_dir dir;
    // A file name missing from the configuration leaves the bare data directory path.
    const std::string directory = dir.path() + "/";
    address_set list = {"ann@x.org"};
    log_capture log;
    load_list(dir.file("absent.txt"), list);
    load_list(directory, list);
    load_list_full_line(directory, list);
    EXPECT_EQ(list, (address_set{"ann@x.org"}));
    EXPECT_EQ(log.text(), "\n\nStart load_list " + dir.file("absent.txt") + "\nEnd load_list " +
                              dir.file("absent.txt") + "\n\n\nStart load_list " + directory + "\nEnd load_list " +
                              directory + "\n\n\nStart load_list_full_line " + directory +
                              "\nEnd load_list_full_line " + directory + "\n");
    EXPECT_FALSE(save_list(directory, list));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(list_file, failed_save_keeps_the_old_file) {
    temp_dir dir;
    const std::string path = dir.file("pending.txt");
    write_text_file(path, "old@x.org\n");
    for (file_step failing : {file_step::create_temporary, file_step::write, file_step::flush, file_step::rename}) {
        {
            fault_hook_guard refuse([failing](file_step step, const std::string&) { return step != failing; });
            EXPECT_FALSE(save_list(path, {"new@x.org"})) << static_cast<int>(failing);
        }
        EXPECT_EQ(read_text_file(path), "old@x.org\n") << static_cast<int>(failing);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(list_file, binary_content_loads_what_it_can) {
    temp_dir dir;
    const std::string path = dir.file("binary.txt");
    const std::string huge(1 << 20, 'w');
    write_text_file(path, std::string("a\0b \xFF\xFE\x80\n\n", 9) + huge);
    address_set words;
    load_list(path, words);
    EXPECT_EQ(words, (address_set{std::string("a\0b", 3), "\xFF\xFE\x80", huge}));
    address_set lines;
    load_list_full_line(path, lines);
    EXPECT_EQ(lines, (address_set{std::string("a\0b \xFF\xFE\x80", 7), huge}));
}

TEST(parse_list_lines, line_ends_and_blank_lines) {
    const struct {
        const char* name;
        std::string content;
        address_set expected;
    } cases[] = {
        {"LF", "Undeliverable\nfailure notice\n", {"Undeliverable", "failure notice"}},
        {"CR LF, no final line end", "Undeliverable\r\nfailure notice", {"Undeliverable", "failure notice"}},
        {"empty lines skipped", "\n\r\n\nx\n\n", {"x"}},
        {"blank-only line kept", "x\n  \t\r\n", {"x", "  \t"}},
        {"only one CR dropped", "x\r\r\n", {"x\r"}},
        {"lone CR at the end kept", "x\r", {"x\r"}},
    };
    for (const auto& c : cases) {
        address_set patterns;
        parse_list_lines(c.content, patterns);
        EXPECT_EQ(patterns, c.expected) << c.name;
    }
}

}  // namespace
