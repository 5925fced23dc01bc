// The numbers of the command line: whole numbers and byte counts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// A whole number from 0 to 100000 for `option`; a usage error otherwise.
int whole_number(const std::string& text, const std::string& option);

// A byte count: digits with an optional K, M or G (powers of 1024). None when `text` is not one.
std::optional<std::uint64_t> parse_byte_size(const std::string& text);

// `count` with a comma between each group of three digits: "1,284".
std::string grouped(long long count);

// Counts by reason as a summary folds them: the largest first, then by name, each as "reason
// count" ("mailing list 900, no return path 384"). Reasons come from outside and are shown safely.
std::string folded(const std::map<std::string, int>& by_reason);
