// An address_set checked against a std::set of the same entries: the model its tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lists/address_list.h"

namespace address_model {

using model = std::set<std::string>;

inline std::vector<std::string> entries_of(const address_set& set) {
    std::vector<std::string> entries;
    for (std::string_view entry : set) entries.emplace_back(entry);
    return entries;
}

inline std::vector<std::string> entries_of(const model& set) { return {set.begin(), set.end()}; }

// The set walked both ways, its size and its lookups, against the model.
inline void expect_same(const address_set& set, const model& expected, const std::string& when) {
    ASSERT_EQ(set.size(), expected.size()) << when;
    ASSERT_EQ(set.empty(), expected.empty()) << when;
    ASSERT_EQ(entries_of(set), entries_of(expected)) << when;
    std::vector<std::string> backwards;
    for (auto it = set.end(); it != set.begin();) backwards.emplace_back(*--it);
    ASSERT_TRUE(std::equal(backwards.begin(), backwards.end(), expected.rbegin(), expected.rend())) << when;
    for (const std::string& entry : expected) ASSERT_TRUE(set.contains(entry)) << when << ": " << entry;
}

inline std::string name(int i) { return "user" + std::to_string(i) + "@domain" + std::to_string(i % 7) + ".com"; }

}  // namespace address_model
