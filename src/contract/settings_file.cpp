#include "contract/settings_file.h"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "contract/words.h"
#include "platform/file_io.h"
#include "platform/fs.h"

namespace {
// The text between first and last without surrounding blanks; the one character at `last` when
// the range is empty or blank, `last` then pointing at the "=" or ";" that closes it. Empty when
// first is after last (a ";" before the "=").
std::string trim_range(const char* first, const char* last) {
    if (first > last) return {};
    const char* begin = first;
    const char* end = last;
    while (begin != end && contract_words::is_blank(static_cast<unsigned char>(*begin))) ++begin;
    while (end != begin && contract_words::is_blank(static_cast<unsigned char>(end[-1]))) --end;
    if (begin == end) return std::string(1, *last);
    return std::string(begin, end);
}

std::string parsed_form(std::string text) {
    std::replace(text.begin(), text.end(), semicolon_stand_in, ';');
    return text;
}
}  // namespace

void parse_config_text(std::string_view content, std::map<std::string, std::string>& entries) {
    std::string_view rest = content;
    while (!rest.empty()) {
        std::size_t line_end = rest.find('\n');
        std::string_view line = rest.substr(0, line_end);
        rest.remove_prefix(line_end == std::string_view::npos ? rest.size() : line_end + 1);
        if (line_end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (line.empty() || line.substr(0, 2) == "//") continue;
        std::size_t equals = line.find('=');
        std::size_t semicolon = line.find(';');
        if (equals == std::string_view::npos || semicolon == std::string_view::npos) continue;
        const char* start = line.data();
        entries[parsed_form(trim_range(start, start + equals))] =
            parsed_form(trim_range(start + equals + 1, start + semicolon));
    }
}

std::string setting_text(std::string stored) {
    if (stored == ";") return {};
    std::replace(stored.begin(), stored.end(), line_break_stand_in, '\n');
    return stored;
}

std::map<std::string, std::string> read_settings_file(const std::string& data_directory) {
    std::map<std::string, std::string> entries;
    for (const char* name : {settings_file_name, pristine_settings_file_name}) {
        if (std::optional<std::string> text = read_file(append_path_component(data_directory, name)))
            parse_config_text(*text, entries);
        if (!entries.empty()) break;
    }
    return entries;
}
