#include "lists/address_list.h"

#include <cstddef>
#include <cstring>
#include <optional>

#include "diag/debug_log.h"
#include "lists/address.h"
#include "lists/words_detail.h"
#include "platform/file_io.h"

bool is_in_list(const address_set& list, std::string_view text) {
    std::string address = extract_email_address(text);
    return !address.empty() && list.contains(address);
}

bool is_authorized(const address_set& authorized, std::string_view text) {
    if (is_in_list(authorized, text)) return true;
    std::string address = extract_email_address(text);
    if (address.empty()) return false;
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
    while (!content.empty()) {
        std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        // Files written on Windows end their lines in CR LF; the CR is part of the line break.
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) adding.add(line);
    }
    adding.finish();
}

std::string format_list_file(const address_set& list) {
    // The file has always been written as LF CR per entry through a text-mode stream, so each
    // entry ends in CR LF CR; readers split at blanks and do not care.
    static constexpr std::string_view separator = "\r\n\r";
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

void load_list(const std::string& path, address_set& list) {
    debug_log() << "\n\nStart load_list " << path << '\n';
    if (std::optional<std::string> content = read_file(path)) parse_list_words(*content, list);
    debug_log() << "End load_list " << path << '\n';
}

void load_list_full_line(const std::string& path, address_set& list) {
    debug_log() << "\n\nStart load_list_full_line " << path << '\n';
    if (std::optional<std::string> content = read_file(path)) parse_list_lines(*content, list);
    debug_log() << "End load_list_full_line " << path << '\n';
}

bool save_list(const std::string& path, const address_set& list) {
    return replace_file_atomically(path, format_list_file(list));
}
