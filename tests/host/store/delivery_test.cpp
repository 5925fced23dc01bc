// Storing a message handed over on a file descriptor: envelope checks, the header lines added,
// and input larger than what is held in memory.
#include "store/delivery.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "maildir_fixture.h"
#include "store/maildir.h"

namespace {

// Stores `input`, written by a thread into a pipe, as a mail system would hand it over.
std::optional<stored_message> store_piped(const maildir_tree& tree, const std::string& input, envelope sent,
                                          std::string& error) {
    int pipe_ends[2];
    EXPECT_EQ(::pipe(pipe_ends), 0);
    std::thread writer([&] {
        std::string_view rest = input;
        while (!rest.empty()) {
            ssize_t n = ::write(pipe_ends[1], rest.data(), rest.size());
            if (n <= 0) break;
            rest.remove_prefix(static_cast<size_t>(n));
        }
        ::close(pipe_ends[1]);
    });
    std::optional<stored_message> stored = store_message(pipe_ends[0], tree.root(), std::move(sent), error);
    writer.join();
    ::close(pipe_ends[0]);
    return stored;
}

}  // namespace

TEST(delivery_test, envelope_addresses_that_could_break_a_header_line_are_refused) {
    EXPECT_EQ(envelope_address("ann@example.org"), "ann@example.org");
    EXPECT_EQ(envelope_address("<ann@example.org>"), "ann@example.org");
    EXPECT_EQ(envelope_address(""), "");
    EXPECT_EQ(envelope_address("<>"), "");
    EXPECT_EQ(envelope_address("MAILER-DAEMON"), "");
    EXPECT_EQ(envelope_address("MAILER-DAEMON@example.org"), "MAILER-DAEMON@example.org");
    EXPECT_EQ(envelope_address("j\xc3\xb6rg@example.org"), "j\xc3\xb6rg@example.org") << "UTF-8 addresses pass";
    for (const std::string& bad :
         std::vector<std::string>{"a@b\r\nBcc: c@d", "a@b\n", "a b@c", "a@b\t", "<a@b", "a<b@c", "a@b>x", "a@\x7f",
                                  "<<a@b>>", std::string(901, 'a')})
        EXPECT_FALSE(envelope_address(bad)) << bad;
    EXPECT_FALSE(envelope_address(std::string("a\0b@c", 5)));
}

TEST(delivery_test, header_lines_follow_the_message_and_the_envelope_return_path_replaces_its_own) {
    envelope both{"ann@example.org", "me@home.example"};
    EXPECT_EQ(delivery_header_lines(both, "From: x\n\nbody"),
              "Return-Path: <ann@example.org>\nDelivered-To: me@home.example\n");
    EXPECT_EQ(delivery_header_lines(both, "From: x\r\n\r\n"),
              "Return-Path: <ann@example.org>\r\nDelivered-To: me@home.example\r\n");
    EXPECT_EQ(delivery_header_lines(both, "From: x\nreturn-path: <a@b>\n\n"),
              "Return-Path: <ann@example.org>\nDelivered-To: me@home.example\n");
    // Every Return-Path field of the header goes, folded lines and all; the body stays.
    EXPECT_EQ(without_return_path("Return-Path: <x@y>\nFrom: x\nreturn-path :\n <z@y>\nTo: me\n\nReturn-Path: <b>\n"),
              "From: x\nTo: me\n\nReturn-Path: <b>\n");
    EXPECT_EQ(without_return_path("Return-Path: <x@y>\r\nSubject: a\r\n\r\n"), "Subject: a\r\n\r\n");
    EXPECT_EQ(without_return_path("X-Return-Path: <x@y>\nFrom: x\nReturn-Path: <cut off"),
              "X-Return-Path: <x@y>\nFrom: x\nReturn-Path: <cut off");
    EXPECT_EQ(delivery_header_lines(both, "From: x\n\nReturn-Path: <in the body>\n"),
              "Return-Path: <ann@example.org>\nDelivered-To: me@home.example\n");
    EXPECT_EQ(delivery_header_lines(envelope{"", std::nullopt}, ""), "Return-Path: <>\n");
    EXPECT_EQ(delivery_header_lines(envelope{}, "From: x\n"), "");

    EXPECT_EQ(postmark_sender("From ann@example.org  Tue Dec  8 07:38:43 2026\nFrom: x\n"), "ann@example.org");
    EXPECT_FALSE(postmark_sender("From: ann@example.org\n"));
    EXPECT_FALSE(postmark_sender("From \n"));
}

TEST(delivery_test, a_delivered_to_the_delivery_agent_wrote_on_top_is_not_written_again) {
    const envelope sent{"ann@example.org", "me@home.example"};
    const struct {
        const char* head;
        bool written;
    } rows[] = {
        {"Delivered-To: me@home.example\nFrom: x\n\n", false},  // Postfix's local delivery
        {"X-Original-To: me@home.example\r\nDelivered-To:  ME@Home.example \r\nFrom: x\r\n\r\n", false},
        {"Delivered-To: other@home.example\nFrom: x\n\n", true},
        {"Delivered-To: me@home.example.evil\nFrom: x\n\n", true},
        {"From: x\nDelivered-To: me@home.example\n\n", true},  // the sender's own, below his fields
        {"From: x\n\nDelivered-To: me@home.example\n", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(delivery_header_lines(sent, row.head).find("Delivered-To") != std::string::npos, row.written)
            << row.head;
}

TEST(delivery_test, stores_input_larger_than_memory_holds_byte_for_byte) {
    maildir_tree tree;
    std::string body;
    for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) body += "line " + std::to_string(i) + "\r\n";
    std::string message = "From: ann@example.org\r\nSubject: big\r\n\r\n" + body;
    std::string error;
    std::optional<stored_message> stored =
        store_piped(tree, "From ann@example.org Mon Jan  1 00:00:00 2024\n" + message, envelope{}, error);
    ASSERT_TRUE(stored) << error;
    std::string expected = "Return-Path: <ann@example.org>\r\n" + message;
    EXPECT_EQ(stored->size, expected.size());
    EXPECT_EQ(tree.files_in("", "new"), std::vector<std::string>{stored->name});
    EXPECT_TRUE(read_text_file(tree.root() + "/new/" + stored->name) == expected);
    EXPECT_TRUE(tree.files_in("", "tmp").empty());

    // A header block that never ends within what is held is still stored whole.
    std::string endless(200 * 1024, 'X');
    stored = store_piped(tree, "Subject: " + endless, envelope{"b@c", std::nullopt}, error);
    ASSERT_TRUE(stored) << error;
    EXPECT_TRUE(read_text_file(tree.root() + "/new/" + stored->name) == "Return-Path: <b@c>\nSubject: " + endless);
}

TEST(delivery_test, a_file_is_mail_only_when_it_starts_with_a_header_field) {
    EXPECT_TRUE(maildir::starts_with_header_field(std::string_view("From: a@b\n")));
    EXPECT_TRUE(maildir::starts_with_header_field(std::string_view("X-Old-Style : yes\n")));
    EXPECT_FALSE(maildir::starts_with_header_field(std::string_view("")));
    EXPECT_FALSE(maildir::starts_with_header_field(std::string_view("just text\n")));
    EXPECT_FALSE(maildir::starts_with_header_field(std::string_view(": no name\n")));
    EXPECT_FALSE(maildir::starts_with_header_field(std::string_view("\n\nbody")));
    EXPECT_FALSE(maildir::starts_with_header_field(std::string_view("\x89PNG\r\n")));
}
