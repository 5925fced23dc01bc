// The one escape of the text fields in the host's record files: a byte the file's format cannot
// hold as it is becomes '%' and two upper-case hex digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// `text` with every byte that `plain` refuses, and every '%', written as %XX.
std::string percent_encode(std::string_view text, bool (*plain)(unsigned char));

// The bytes of `text` back. None when a '%' is not followed by two hex digits, or a byte that
// `plain` refuses stands unescaped (a field written by someone else).
std::optional<std::string> percent_decode(std::string_view text, bool (*plain)(unsigned char));
