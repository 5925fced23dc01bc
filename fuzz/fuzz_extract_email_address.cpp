// Sender texts and list files come from outside: any bytes must normalise or parse without a
// crash, and the results must keep their promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lists/address.h"
#include "lists/address_list.h"

namespace {

bool is_address_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == '@' || c == '_';
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::string address = extract_email_address(text);
    if (!address.empty()) {
        check(address.size() >= 5 && address.front() != '@');
        check(address.find('.') != std::string::npos);
        check(address.find('@') == address.rfind('@') && address.find('@') != std::string::npos);
        for (char c : address) check(is_address_char(c));
        check(extract_email_address(address) == address);
    }

    // Whatever a list file holds, the saved form reads back as the same list.
    address_set words;
    parse_list_words(text, words);
    address_set reread;
    parse_list_words(format_list_file(words), reread);
    check(reread == words);

    address_set lines;
    parse_list_lines(text, lines);
    for (std::string_view line : lines) check(!line.empty() && line.find('\n') == std::string_view::npos);
    return 0;
}
