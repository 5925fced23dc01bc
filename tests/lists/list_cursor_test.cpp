#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lists/list_cursor.h"

namespace {

// The lists by number as the engine hands them over: 0 authorized, 1 remove, 2 ignore, 3 pending.
struct four_lists {
    address_set authorized{"a1@x.org", "a2@x.org", "a3@x.org"};
    address_set remove{"r1@x.org"};
    address_set ignore{};
    address_set pending{"p1@x.org", "p2@x.org"};
    list_table table() const { return {&authorized, &remove, &ignore, &pending}; }
};

std::vector<std::string> calls(list_cursor& cursor, const four_lists& lists,
                               std::vector<std::pair<int, long>> requests) {
    std::vector<std::string> results;
    for (auto [list, index] : requests) results.push_back(cursor.next(list, index, lists.table()));
    return results;
}

TEST(list_cursor, enumerates_then_stays_at_the_end) {
    four_lists lists;
    list_cursor cursor;
    EXPECT_EQ(calls(cursor, lists, {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}}),
              (std::vector<std::string>{"a1@x.org", "a2@x.org", "a3@x.org", "", ""}));
    EXPECT_EQ(calls(cursor, lists, {{3, 0}, {3, 1}}), (std::vector<std::string>{"p1@x.org", "p2@x.org"}));
}

TEST(list_cursor, only_index_zero_selects_the_list) {
    four_lists lists;
    list_cursor cursor;
    EXPECT_EQ(calls(cursor, lists, {{0, 0}, {2, 1}, {3, 2}, {1, 7}}),
              (std::vector<std::string>{"a1@x.org", "a2@x.org", "a3@x.org", ""}));
}

TEST(list_cursor, outside_its_limits_gives_empty_text) {
    four_lists lists;
    list_cursor cursor;
    EXPECT_EQ(calls(cursor, lists, {{0, 1}, {0, -1}}), (std::vector<std::string>{"", ""}));
    // An empty list: nothing, and entries added later are not picked up without index 0.
    EXPECT_EQ(cursor.next(2, 0, lists.table()), "");
    lists.ignore.insert("i1@x.org");
    EXPECT_EQ(cursor.next(2, 1, lists.table()), "");
    // A list number outside 0 to 3 neither answers nor moves the cursor.
    EXPECT_EQ(calls(cursor, lists, {{3, 0}, {9, 0}, {-1, 1}, {4, 1}, {3, 1}}),
              (std::vector<std::string>{"p1@x.org", "", "", "", "p2@x.org"}));
}

TEST(list_cursor, continues_after_the_last_entry_when_the_list_changes) {
    four_lists lists;
    list_cursor cursor;
    EXPECT_EQ(cursor.next(0, 0, lists.table()), "a1@x.org");
    lists.authorized.erase("a1@x.org");    // the entry under the cursor goes away
    lists.authorized.insert("a0@x.org");   // before the cursor: not seen
    lists.authorized.insert("a25@x.org");  // sorts before "a2@x.org": '5' < '@'
    EXPECT_EQ(calls(cursor, lists, {{0, 1}, {0, 2}}), (std::vector<std::string>{"a25@x.org", "a2@x.org"}));
    lists.authorized.clear();
    EXPECT_EQ(cursor.next(0, 3, lists.table()), "");
    lists.authorized.insert("a9@x.org");
    EXPECT_EQ(cursor.next(0, 4, lists.table()), "");  // the end stays the end
}

}  // namespace
