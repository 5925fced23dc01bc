// Normalisation of e-mail addresses: every list lookup and insertion goes through
// extract_email_address, so that a sender header value and a stored entry compare equal.
#pragma once

#include <string>
#include <string_view>

// The lower-cased, validated address in the first word of `text` that contains "@" (the last
// word when none does), without any prefix up to a ":" and without surrounding punctuation such
// as angle brackets; "" when that word holds no valid address. Never fails; any bytes accepted.
std::string extract_email_address(std::string_view text);

// The text after the first "@" of `address`; "" when it has no "@".
std::string domain_of(const std::string& address);
