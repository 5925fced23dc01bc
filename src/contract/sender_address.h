// The add-in's rule for what counts as an address, for a host that must know beforehand what the
// add-in will make of a sender or of an address typed by the user.
#pragma once

#include <string>
#include <string_view>

// The lower-cased, validated address in the first word of `text` that contains "@" (the last
// word when none does), without any prefix up to a ":" and without surrounding punctuation such
// as angle brackets; "" when that word holds no valid address. Never fails; any bytes accepted.
std::string extract_email_address(std::string_view text);
