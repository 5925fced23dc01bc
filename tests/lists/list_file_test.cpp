// List files read in pieces and loaded whole, whatever their order.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "address_model.h"
#include "lists/words_detail.h"
#include "support/temp_dir.h"

namespace {

using namespace address_model;

// Files are read in pieces: a word or a line cut by the end of a piece must come out whole,
// wherever the cut falls.
TEST(list_file, pieces_cut_anywhere_give_the_same_entries) {
    const std::string texts[] = {
        "\r\n\rann@x.org\r\n\rbob@x.org\r\n\r",
        "one two\tthree\n\nfour\r\nfive\r\r\n six \r",
        std::string("a\0b c\xFF\x80\n\n d", 12),
        "no line end at all",
        "  \n",
    };
    for (const std::string& text : texts) {
        address_set whole_words;
        parse_list_words(text, whole_words);
        address_set whole_lines;
        parse_list_lines(text, whole_lines);
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            for (std::size_t second = cut; second <= text.size(); second += 3) {
                address_set words;
                address_set lines;
                {
                    address_set::bulk_insert adding_words(words, 0);
                    address_set::bulk_insert adding_lines(lines, 0);
                    auto add_word = [&adding_words](std::string_view entry) { adding_words.add(entry); };
                    auto add_line = [&adding_lines](std::string_view entry) { adding_lines.add(entry); };
                    lists_detail::piecewise_words<decltype(add_word)> word_pieces(add_word);
                    lists_detail::piecewise_lines<decltype(add_line)> line_pieces(add_line);
                    for (std::string_view piece :
                         {std::string_view(text).substr(0, cut), std::string_view(text).substr(cut, second - cut),
                          std::string_view(text).substr(second)}) {
                        word_pieces.feed(piece);
                        line_pieces.feed(piece);
                    }
                    word_pieces.finish();
                    line_pieces.finish();
                    adding_words.finish();
                    adding_lines.finish();
                }
                ASSERT_EQ(words, whole_words) << text << " cut at " << cut << " and " << second;
                ASSERT_EQ(lines, whole_lines) << text << " cut at " << cut << " and " << second;
            }
        }
    }
}

TEST(list_file, a_file_larger_than_a_piece_loads_and_saves_whole) {
    temp_dir dir;
    const std::string path = dir.file("authorized.lst");
    // More than two of the pieces a file is read in, so that entries straddle the cuts, and one
    // entry longer than a piece.
    std::string content;
    model expected;
    for (int i = 0; content.size() < (std::size_t{300} << 10); ++i) {
        std::string entry = name(i) + std::string(static_cast<std::size_t>(i % 37), 'q');
        if (i == 7) entry = std::string(std::size_t{100} << 10, 'L');
        content += entry + (i % 2 ? "\r\n" : "\n");
        expected.insert(entry);
    }
    write_text_file(path, content);
    address_set words;
    load_list(path, words);
    expect_same(words, expected, "words");
    address_set lines;
    load_list_full_line(path, lines);
    expect_same(lines, expected, "lines");

    ASSERT_TRUE(save_list(path, words));
    EXPECT_EQ(read_text_file(path), format_list_file(words));
    address_set reloaded;
    load_list(path, reloaded);
    EXPECT_EQ(reloaded, words);
}

TEST(list_file, unordered_and_repeated_files_load_as_a_set) {
    std::string content;
    model expected;
    for (int i = 0; i < 3000; ++i) {
        const std::string entry = name((i * 7919) % 2000);
        content += entry + (i % 3 ? "\r\n\r" : " ");
        expected.insert(entry);
    }
    address_set words;
    parse_list_words(content, words);
    expect_same(words, expected, "words");
    std::string line_content;
    for (auto it = expected.rbegin(); it != expected.rend(); ++it) line_content += *it + "\r\n";
    for (const std::string& entry : expected) line_content += entry + "\n";
    address_set lines;
    parse_list_lines(line_content, lines);
    expect_same(lines, expected, "lines");

    // The saved form loads back as the same set, along the in-order path.
    const std::string saved = format_list_file(words);
    address_set reread;
    parse_list_words(saved, reread);
    EXPECT_EQ(reread, words);
    EXPECT_EQ(format_list_file(reread), saved);
}

}  // namespace
