#include "lists/address_list.h"

#include <cstddef>
#include <cstring>

#include "diag/debug_log.h"
#include "lists/address.h"
#include "lists/words_detail.h"
#include "platform/file_io.h"

bool is_in_list(const address_set& list, std::string_view text) {
    std::string address = extract_email_address(text);
    return !address.empty() && list.contains(address);
}

bool is_authorized(const address_set& authorized, std::string_view text) {
    std::string address = extract_email_address(text);
    if (address.empty()) return false;
    if (authorized.contains(address)) return true;
    // Looked up like any text: a domain entry too short to be an address never matches.
    return is_in_list(authorized, ".@" + domain_of(address));
}

void add_to_list(std::string_view text, address_set& list) {
    if (list.contains(text)) return;
    std::string address = extract_email_address(text);
    if (address.empty()) {
        debug_log() << "warnning: add_to_list - invalid email " << text << '\n';
        return;
    }
    list.insert(address);
}

bool remove_from_list(address_set& list, std::string_view text) { return list.erase(text) > 0; }

namespace {

// Adds each entry it is given to `list`; entries in order are appended without a search.
class adder {
public:
    explicit adder(address_set::bulk_insert& adding) : adding_(&adding) {}
    void operator()(std::string_view entry) { adding_->add(entry); }

private:
    address_set::bulk_insert* adding_;
};

// The separator after each entry of a list file; the file also starts with one.
constexpr std::string_view list_separator = "\r\n\r";

}  // namespace

void parse_list_words(std::string_view content, address_set& list) {
    address_set::bulk_insert adding(list, content.size());
    lists_detail::for_each_word(content, [&adding](std::string_view word) {
        adding.add(word);
        return true;
    });
    adding.finish();
}

void parse_list_lines(std::string_view content, address_set& list) {
    address_set::bulk_insert adding(list, content.size());
    lists_detail::piecewise_lines<adder> lines{adder(adding)};
    lines.feed(content);
    lines.finish();
    adding.finish();
}

std::string format_list_file(const address_set& list) {
    // The file has always been written as LF CR per entry through a text-mode stream, so each
    // entry ends in CR LF CR; readers split at blanks and do not care.
    constexpr std::string_view separator = list_separator;
    std::size_t size = separator.size();
    for (std::string_view entry : list) size += entry.size() + separator.size();
    // Written in place: appending entry by entry checks the capacity twice an entry.
    std::string bytes(size, '\0');
    char* out = bytes.data();
    std::memcpy(out, separator.data(), separator.size());
    out += separator.size();
    for (std::string_view entry : list) {
        if (!entry.empty()) std::memcpy(out, entry.data(), entry.size());
        out += entry.size();
        std::memcpy(out, separator.data(), separator.size());
        out += separator.size();
    }
    return bytes;
}

// Files are read a piece at a time, so that a list of a million entries is held once, in the
// set, not also as the text it came from.
void load_list(const std::string& path, address_set& list) {
    debug_log() << "\n\nStart load_list " << path << '\n';
    address_set::bulk_insert adding(list, 0);
    lists_detail::piecewise_words<adder> words{adder(adding)};
    if (read_file_in_pieces(path, [&words](std::string_view piece) { words.feed(piece); })) words.finish();
    adding.finish();
    debug_log() << "End load_list " << path << '\n';
}

void load_list_full_line(const std::string& path, address_set& list) {
    debug_log() << "\n\nStart load_list_full_line " << path << '\n';
    address_set::bulk_insert adding(list, 0);
    lists_detail::piecewise_lines<adder> lines{adder(adding)};
    if (read_file_in_pieces(path, [&lines](std::string_view piece) { lines.feed(piece); })) lines.finish();
    adding.finish();
    debug_log() << "End load_list_full_line " << path << '\n';
}

bool save_list(const std::string& path, const address_set& list) {
    // Written a piece at a time: the whole file is never held beside the list.
    return replace_file_atomically(path, [&list](const file_piece_writer& write) {
        constexpr std::size_t piece_size = 65536;
        std::string piece;
        piece.reserve(piece_size + 256);
        piece += list_separator;
        for (std::string_view entry : list) {
            piece += entry;
            piece += list_separator;
            if (piece.size() >= piece_size) {
                if (!write(piece)) return false;
                piece.clear();
            }
        }
        return write(piece);
    });
}
