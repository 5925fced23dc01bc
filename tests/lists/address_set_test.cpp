#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "address_model.h"

namespace {

using namespace address_model;

TEST(address_set, orders_as_std_string_does) {
    // Bytes above 0x7F after the ASCII ones, NUL as the smallest byte, a prefix before what
    // extends it, and lengths whose stored length takes one, two and three bytes.
    const std::vector<std::string> entries = {
        "b",
        "a",
        "",
        std::string("a\0", 2),
        std::string("a\0b", 3),
        "a\x01",
        "ab",
        "\x7F",
        "\x80",
        "\xFF",
        "\xFF\xFF",
        "\xC3\xA9t\xC3\xA9",
        std::string(127, 'x'),
        std::string(128, 'x'),
        std::string(300, 'x') + "\x80",
        std::string(20000, '\xFF'),
        "A",
        "a ",
    };
    address_set set;
    for (const std::string& entry : entries) EXPECT_TRUE(set.insert(entry)) << entry.size();
    expect_same(set, model(entries.begin(), entries.end()), "inserted one by one");

    address_set loaded;
    address_set::bulk_insert adding(loaded, 0);
    for (const std::string& entry : entries) adding.add(entry);
    adding.finish();
    EXPECT_EQ(loaded, set);
}

TEST(address_set, insert_erase_and_lookups_answer_like_std_set) {
    address_set set = {"bob@x.org", "ann@x.org", "carl@x.org"};
    const model expected = {"bob@x.org", "ann@x.org", "carl@x.org"};
    EXPECT_TRUE(set.insert("dora@x.org"));
    EXPECT_FALSE(set.insert("dora@x.org"));
    EXPECT_EQ(set.erase("dora@x.org"), 1u);
    EXPECT_EQ(set.erase("dora@x.org"), 0u);
    EXPECT_EQ(set.erase(""), 0u);
    EXPECT_EQ(set.count("ann@x.org"), 1u);
    EXPECT_EQ(set.count("ann@x.or"), 0u);
    EXPECT_TRUE(set.find("ann@x.orgg") == set.end());
    ASSERT_TRUE(set.find("bob@x.org") != set.end());
    EXPECT_EQ(*set.find("bob@x.org"), "bob@x.org");
    for (std::string key : {"", "a", "ann@x.org", "ann@x.org\x01", "bob", "carl@x.org", "z", "\xFF"}) {
        auto bound = set.upper_bound(key);
        auto wanted = expected.upper_bound(key);
        if (wanted == expected.end()) EXPECT_TRUE(bound == set.end()) << key;
        else EXPECT_EQ(*bound, *wanted) << key;
        auto lower = set.lower_bound(key);
        auto lower_wanted = expected.lower_bound(key);
        if (lower_wanted == expected.end()) EXPECT_TRUE(lower == set.end()) << key;
        else EXPECT_EQ(*lower, *lower_wanted) << key;
    }
    // An entry taken from the set itself can be inserted and erased.
    address_set copy = set;
    EXPECT_FALSE(copy.insert(*copy.begin()));
    EXPECT_EQ(copy.erase(*copy.begin()), 1u);
    EXPECT_EQ(entries_of(copy), (std::vector<std::string>{"bob@x.org", "carl@x.org"}));
}

TEST(address_set, chunks_split_and_merge_and_stay_in_order) {
    address_set set;
    model expected;
    // Ascending, descending and interleaved insertions, each filling many chunks.
    for (int i = 0; i < 3000; ++i) {
        for (const std::string& entry : {name(i), name(100000 - i), name(50000 + (i % 2 ? i : -i))}) {
            EXPECT_EQ(set.insert(entry), expected.insert(entry).second);
        }
    }
    expect_same(set, expected, "after insertions");
    const std::size_t chunks = set.chunk_count();
    EXPECT_GT(chunks, 8u);

    // A run across many chunk boundaries goes, then every other entry of what is left.
    auto first = expected.lower_bound(name(1200));
    auto last = expected.upper_bound(name(1800));
    std::vector<std::string> run(first, last);
    for (const std::string& entry : run) {
        EXPECT_EQ(set.erase(entry), 1u);
        expected.erase(entry);
    }
    expect_same(set, expected, "after erasing a run");
    int position = 0;
    for (auto it = expected.begin(); it != expected.end();) {
        if (position++ % 8 != 0) {
            EXPECT_EQ(set.erase(*it), 1u) << *it;
            it = expected.erase(it);
        } else {
            ++it;
        }
    }
    expect_same(set, expected, "after erasing seven entries in eight");
    EXPECT_LT(set.chunk_count(), chunks / 2);  // thinned chunks were merged

    while (expected.size() > 3) {
        EXPECT_EQ(set.erase(*expected.begin()), 1u);
        expected.erase(expected.begin());
    }
    expect_same(set, expected, "down to three");
    EXPECT_LE(set.chunk_count(), 2u);
    for (std::string entry : model(expected)) set.erase(entry);
    EXPECT_TRUE(set.empty());
    EXPECT_TRUE(set.begin() == set.end());
    EXPECT_EQ(set.chunk_count(), 0u);
    EXPECT_TRUE(set.insert("again@x.org"));
    EXPECT_EQ(entries_of(set), std::vector<std::string>{"again@x.org"});
}

TEST(address_set, erased_bytes_are_reclaimed) {
    address_set set;
    model expected;
    for (int i = 0; i < 10000; ++i) {
        set.insert(name(i) + std::string(40, 'p'));
        expected.insert(name(i) + std::string(40, 'p'));
    }
    const std::size_t full = set.arena_bytes();
    // Nine tenths go: what stays must not keep the arena they took.
    for (int i = 0; i < 10000; ++i) {
        if (i % 10 == 0) continue;
        set.erase(name(i) + std::string(40, 'p'));
        expected.erase(name(i) + std::string(40, 'p'));
    }
    expect_same(set, expected, "after erasing nine tenths");
    EXPECT_LT(set.arena_bytes(), full / 4);
    EXPECT_LT(set.arena_capacity(), full / 4);

    // Entries inserted and erased over and over do not grow the arena without end.
    for (int round = 0; round < 20000; ++round) {
        set.insert("passing@x.org");
        set.erase("passing@x.org");
    }
    EXPECT_LT(set.arena_bytes(), full / 4);
    expect_same(set, expected, "after many passing entries");
    set.clear();
    EXPECT_EQ(set.arena_capacity(), 0u);
    EXPECT_TRUE(set.empty());
}

TEST(address_set, bulk_insert_takes_any_order_and_repeats) {
    const struct {
        const char* name;
        std::vector<std::string> before;
        std::vector<std::string> added;
    } cases[] = {
        {"in order", {}, {"a", "b", "c", "d"}},
        {"repeats in a row", {}, {"a", "a", "b", "b", "b", "c"}},
        {"reverse order", {}, {"d", "c", "b", "a"}},
        {"shuffled, with repeats", {}, {"c", "a", "d", "a", "b", "d", "c"}},
        {"after the entries there", {"a", "b"}, {"c", "d"}},
        {"among the entries there", {"b", "d"}, {"a", "b", "c", "d", "e", "a"}},
        {"all there already", {"a", "b"}, {"b", "a"}},
        {"nothing", {"a"}, {}},
    };
    for (const auto& c : cases) {
        address_set set;
        for (const std::string& entry : c.before) set.insert(entry);
        address_set::bulk_insert adding(set, 16);
        for (const std::string& entry : c.added) adding.add(entry);
        adding.finish();
        model expected(c.before.begin(), c.before.end());
        expected.insert(c.added.begin(), c.added.end());
        expect_same(set, expected, c.name);
    }

    // Thousands, shuffled and doubled: sorted in at the end, each once.
    std::vector<std::string> many;
    for (int i = 0; i < 5000; ++i) many.push_back(name(i));
    many.insert(many.end(), many.begin(), many.begin() + 1000);
    std::shuffle(many.begin(), many.end(), std::mt19937(7));
    address_set set;
    {
        address_set::bulk_insert adding(set, 0);
        for (const std::string& entry : many) adding.add(entry);
        adding.finish();
    }
    expect_same(set, model(many.begin(), many.end()), "shuffled thousands");

    // Cut short before finish(): what came in order is there, in order; the rest is not.
    address_set partial = {"m"};
    {
        address_set::bulk_insert adding(partial, 0);
        for (std::string entry : {"n", "a", "o", "b"}) adding.add(entry);
    }
    expect_same(partial, {"m", "n", "o"}, "unfinished");
}

TEST(address_set, copies_and_moves_are_independent) {
    address_set set = {"a@x.org", "b@x.org"};
    address_set copy = set;
    EXPECT_EQ(copy, set);
    copy.insert("c@x.org");
    EXPECT_FALSE(copy == set);
    EXPECT_EQ(set.size(), 2u);
    address_set moved = std::move(copy);
    EXPECT_EQ(moved.size(), 3u);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from set is empty
    copy.insert("d@x.org");
    EXPECT_EQ(entries_of(copy), std::vector<std::string>{"d@x.org"});
    set = moved;
    EXPECT_EQ(set, moved);
    set = address_set{};
    EXPECT_TRUE(set.empty());
    EXPECT_EQ(address_set{}, address_set{});
    EXPECT_FALSE((address_set{"a"}) == (address_set{"b"}));
}

// Random edits with a fixed seed: insertions, erasures, bulk loads and the hinted walk, the set
// checked against std::set after each step of a kind and completely now and then.
TEST(address_set, random_edits_match_a_std_set_model) {
    std::mt19937 random(20240611);
    // Few, short, byte-rich entries, so that edits meet entries already there.
    const std::string alphabet = std::string("ab@.\0\x7F\x80\xFF", 8);
    auto random_entry = [&] {
        std::string entry;
        const std::size_t length = random() % 9 == 0 ? 130 + random() % 200 : random() % 6;
        for (std::size_t i = 0; i < length; ++i) entry += alphabet[random() % alphabet.size()];
        return entry;
    };
    address_set set;
    model expected;
    for (int step = 0; step < 15000; ++step) {
        const unsigned kind = random() % 100;
        if (kind < 45) {
            std::string entry = random_entry();
            ASSERT_EQ(set.insert(entry), expected.insert(entry).second) << step;
        } else if (kind < 85) {
            std::string entry = random_entry();
            ASSERT_EQ(set.erase(entry), expected.erase(entry)) << step;
        } else if (kind < 87) {
            address_set::bulk_insert adding(set, 64);
            for (int i = 0; i < 50; ++i) {
                std::string entry = random_entry();
                adding.add(entry);
                expected.insert(entry);
            }
            adding.finish();
        } else if (kind < 97) {
            std::string key = random_entry();
            auto bound = set.upper_bound(key);
            auto wanted = expected.upper_bound(key);
            ASSERT_EQ(bound == set.end(), wanted == expected.end()) << step;
            if (wanted != expected.end()) {
                ASSERT_EQ(*bound, *wanted) << step;
            }
            ASSERT_EQ(set.contains(key), expected.count(key) == 1) << step;
        } else {
            // The hinted walk, as an enumeration reads a list, with edits in between.
            std::string last;
            auto near = set.begin();
            if (near == set.end()) continue;
            last = std::string(*near);
            for (int i = 0; i < 20; ++i) {
                if (random() % 4 == 0) {
                    std::string entry = random_entry();
                    set.insert(entry);
                    expected.insert(entry);
                }
                near = set.upper_bound(last, near);
                auto wanted = expected.upper_bound(last);
                ASSERT_EQ(near == set.end(), wanted == expected.end()) << step;
                if (near == set.end()) break;
                ASSERT_EQ(*near, *wanted) << step;
                last = std::string(*near);
            }
        }
        if (step % 3000 == 0) expect_same(set, expected, "step " + std::to_string(step));
    }
    expect_same(set, expected, "at the end");
    EXPECT_GT(set.chunk_count(), 2u);  // the edits went across chunks
}

}  // namespace
