#include "cli/numbers.h"

#include "cli/exit_status.h"

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
