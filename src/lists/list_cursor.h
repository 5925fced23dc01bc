// The one enumeration cursor that the automation interface reads all four address lists with:
// index 0 selects a list and returns its first entry, each further call the next entry.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "lists/address_list.h"

// The four address lists by list number: 0 authorized, 1 remove, 2 ignore, 3 pending. Not
// owned; a null pointer selects no list.
using list_table = std::array<const address_set*, 4>;

// Remembers the list and the last entry returned, never an iterator: the lists may change
// between calls, and a later call then continues after the entry it last returned.
class list_cursor {
public:
    // With `index` 0: moves to the first entry of list `list_number` and returns it. Otherwise
    // returns the entry after the last one returned, in the list of the last index-0 call,
    // whatever `list_number` says. "" when there is no such entry: before any index-0 call, on
    // an empty list, past the end (the cursor then stays at the end), or for a list number
    // outside 0 to 3 (the cursor then does not move).
    std::string next(int list_number, long index, const list_table& lists);

private:
    int list_ = -1;                    // the list of the last index-0 call; -1 before any
    std::optional<std::string> last_;  // the entry returned last; none when at the end
    // Where last_ stood: while the list has not moved it, the next entry is found without a
    // search, so that reading a long list entry by entry stays linear.
    address_set::const_iterator near_;
};
