#include "policy/filter_settings.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "platform/file_io.h"

namespace {

std::string trimmed(std::string_view text) {
    const char* blanks = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return "";
    return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

// The stored forms: byte 0x02 stands for ";" and 0x01 for a line break.
std::string parsed_value(std::string text) {
    for (char& c : text) {
        if (c == '\x02') c = ';';
        else if (c == '\x01') c = '\n';
    }
    return text;
}

std::map<std::string, std::string> parse(std::string_view text) {
    std::map<std::string, std::string> entries;
    while (!text.empty()) {
        std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(text.size(), line.size() + 1));
        if (line.empty() || line.substr(0, 2) == "//") continue;
        size_t equals = line.find('=');
        size_t semicolon = line.find(';');
        if (equals == std::string_view::npos || semicolon == std::string_view::npos || semicolon < equals) continue;
        entries[parsed_value(trimmed(line.substr(0, equals)))] =
            parsed_value(trimmed(line.substr(equals + 1, semicolon - equals - 1)));
    }
    return entries;
}

}  // namespace

std::map<std::string, std::string> read_filter_settings(const std::string& data_directory) {
    std::map<std::string, std::string> entries;
    if (std::optional<std::string> text = read_file(data_directory + "/ostrel.cfg")) entries = parse(*text);
    if (entries.empty()) {
        if (std::optional<std::string> text = read_file(data_directory + "/ostrel_original.cfg"))
            entries = parse(*text);
    }
    return entries;
}

pending_settings pending_settings_of(const std::map<std::string, std::string>& settings) {
    pending_settings found;
    if (auto name = settings.find("PENDING_FOLDER_NAME"); name != settings.end()) found.folder = name->second;
    auto on = settings.find("AutoDeleteBlocked");
    auto days = settings.find("PendingToBlockedTimeo");
    if (on != settings.end() && on->second == "true" && days != settings.end()) {
        const std::string& text = days->second;
        if (!text.empty() && text.size() <= 6 && text.find_first_not_of("0123456789") == std::string::npos)
            found.expiry_days = std::stoi(text);
    }
    return found;
}
