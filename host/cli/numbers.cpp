#include "cli/numbers.h"

#include <algorithm>
#include <vector>

#include "cli/exit_status.h"
#include "policy/pending_index.h"

// A whole number from 0 to 100000 for `option`; a usage error otherwise.
int whole_number(const std::string& text, const std::string& option) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(text) > 100000)
        throw usage_error(option + " needs a whole number from 0 to 100000, not " + text);
    return static_cast<int>(std::stol(text));
}

std::optional<std::uint64_t> parse_byte_size(const std::string& text) {
    size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || text.empty()) return std::nullopt;
    std::string number = text.substr(0, digits == std::string::npos ? text.size() : digits);
    std::string unit = digits == std::string::npos ? "" : text.substr(digits);
    int shift = 0;
    if (unit == "K" || unit == "k") shift = 10;
    else if (unit == "M" || unit == "m") shift = 20;
    else if (unit == "G" || unit == "g") shift = 30;
    else if (!unit.empty()) return std::nullopt;
    // Up to 2^40 bytes: a limit beyond that is no limit, and no shift can overflow.
    if (number.size() > 13) return std::nullopt;
    std::uint64_t value = std::stoull(number);
    if (value > (std::uint64_t{1} << (40 - shift))) return std::nullopt;
    return value << shift;
}

std::string grouped(long long count) {
    std::string digits = std::to_string(count);
    size_t first = count < 0 ? 1 : 0;
    for (size_t at = digits.size(); at > first + 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

std::string folded(const std::map<std::string, int>& by_reason) {
    std::vector<std::pair<std::string, int>> order(by_reason.begin(), by_reason.end());
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (const auto& [reason, count] : order)
        text += (text.empty() ? "" : ", ") + shown_text(reason, 200) + " " + grouped(count);
    return text;
}
