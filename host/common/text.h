// Small text helpers the host's layers share.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// `text` without the `blanks` it starts and ends with.
std::string trimmed(std::string_view text, std::string_view blanks = " \t\r\n");

// `items` one after the other, each but the first after ", ".
std::string joined(const std::vector<std::string>& items);

// The pieces of `text` between the `separator`s: one more than there are separators.
std::vector<std::string_view> split(std::string_view text, char separator);

// What follows the last '@' of an address ("user@example.com", "@example.com"), or the whole
// value when it has none (SPF names a bare domain for an empty return path).
std::string domain_of(std::string_view address);

// True for the characters of a dot-atom besides the dot (RFC 5322 atext).
bool is_atext(char c);

// `seconds` since 1970 as UTC, written by strftime's `format` (at most 63 characters).
std::string utc_time(long long seconds, const char* format);
