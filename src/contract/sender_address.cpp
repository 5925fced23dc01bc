#include "contract/sender_address.h"

#include <cstddef>

#include "contract/words.h"

namespace {

// Plain ASCII ranges rather than <cctype>: the host may have switched the process locale, and
// bytes 0x80-0xFF must never count as letters whatever code page is in force.
bool is_address_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.' || c == '@' || c == '_';
}

char to_lower_ascii(unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

// The first word holding "@", else the last word, else "".
std::string_view candidate_word(std::string_view text) {
    std::string_view last;
    contract_words::for_each_word(text, [&last](std::string_view word) {
        last = word;
        return word.find('@') == std::string_view::npos;
    });
    return last;
}

}  // namespace

std::string extract_email_address(std::string_view text) {
    std::string_view word = candidate_word(text);
    if (std::size_t colon = word.find(':'); colon != std::string_view::npos) word.remove_prefix(colon + 1);

    std::size_t i = 0;
    while (i < word.size() && !is_address_char(static_cast<unsigned char>(word[i]))) ++i;
    if (i == word.size() || word[i] == '@') return {};

    std::string address;
    int dots = 0;
    int ats = 0;
    for (; i < word.size() && is_address_char(static_cast<unsigned char>(word[i])); ++i) {
        char c = to_lower_ascii(static_cast<unsigned char>(word[i]));
        if (c == '.') ++dots;
        if (c == '@') ++ats;
        address += c;
    }
    if (dots < 1 || ats != 1 || address.size() < 5) return {};
    return address;
}
