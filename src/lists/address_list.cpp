#include "lists/address_list.h"

#include <cstddef>
#include <optional>
#include <utility>

#include "diag/debug_log.h"
#include "lists/address.h"
#include "lists/words_detail.h"
#include "platform/file_io.h"

namespace {

bool contains(const address_set& list, std::string_view entry) { return list.find(std::string(entry)) != list.end(); }

}  // namespace

bool is_in_list(const address_set& list, std::string_view text) {
    std::string address = extract_email_address(text);
    return !address.empty() && contains(list, address);
}

bool is_authorized(const address_set& authorized, std::string_view text) {
    if (is_in_list(authorized, text)) return true;
    std::string address = extract_email_address(text);
    if (address.empty()) return false;
    // Looked up like any text: a domain entry too short to be an address never matches.
    return is_in_list(authorized, ".@" + domain_of(address));
}

void add_to_list(std::string_view text, address_set& list) {
    if (contains(list, text)) return;
    std::string address = extract_email_address(text);
    if (address.empty()) {
        debug_log() << "warnning: add_to_list - invalid email " << text << '\n';
        return;
    }
    list.insert(std::move(address));
}

bool remove_from_list(address_set& list, std::string_view text) { return list.erase(std::string(text)) > 0; }

void parse_list_words(std::string_view content, address_set& list) {
    lists_detail::for_each_word(content, [&list](std::string_view word) {
        list.emplace(word);
        return true;
    });
}

void parse_list_lines(std::string_view content, address_set& list) {
    while (!content.empty()) {
        std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        // Files written on Windows end their lines in CR LF; the CR is part of the line break.
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) list.emplace(line);
    }
}

std::string format_list_file(const address_set& list) {
    // The file has always been written as LF CR per entry through a text-mode stream, so each
    // entry ends in CR LF CR; readers split at blanks and do not care.
    static constexpr std::string_view separator = "\r\n\r";
    std::size_t size = separator.size();
    for (const std::string& entry : list) size += entry.size() + separator.size();
    std::string bytes;
    bytes.reserve(size);
    bytes += separator;
    for (const std::string& entry : list) {
        bytes += entry;
        bytes += separator;
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
