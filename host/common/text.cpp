#include "common/text.h"

#include <ctime>

std::string trimmed(std::string_view text, std::string_view blanks) {
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return "";
    return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) text.append(i ? ", " : "").append(items[i]);
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string_view::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::string domain_of(std::string_view address) {
    size_t at = address.rfind('@');
    return std::string(at == std::string_view::npos ? address : address.substr(at + 1));
}

bool is_atext(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

std::string utc_time(long long seconds, const char* format) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[64];
    if (std::strftime(text, sizeof text, format, &utc) == 0) return "";
    return text;
}
