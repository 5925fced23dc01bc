// The index of the pending folder: hostile values round-trip within their bounds, lines it did
// not write are dropped, and a message's bytes are known by size, lines and SHA-256.
#include "policy/pending_index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "maildir_fixture.h"
#include "policy/filter_settings.h"

TEST(pending_index_file, round_trips_hostile_values_bounded_and_drops_lines_it_did_not_write) {
    header_summary headers;
    headers.sender = "Ann@Example.ORG";
    headers.subject = "tab\there\r\nBcc: x@y %41 " + std::string(5000, 'x');
    headers.headers.fields = {{"Message-ID", "<a\tb\n%@x>", ""}, {"Date", std::string(500, '7'), ""}};
    pending_entry entry = entry_of(headers, "100.a.test", 5, 4, "withheld:not authenticated: spf=fail\t");
    EXPECT_EQ(entry.sender, "ann@example.org");
    EXPECT_LE(entry.subject.size(), 998u);
    EXPECT_LE(entry.date.size(), 200u);

    std::string text = format_pending_index({{entry.unique, entry}});
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 10) << text;
    int bad = -1;
    std::map<std::string, pending_entry> back = parse_pending_index(text, bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(back.size(), 1u);
    const pending_entry& read = back.at("100.a.test");
    EXPECT_EQ(read.message_id, entry.message_id);
    EXPECT_EQ(read.subject, entry.subject);
    EXPECT_EQ(read.challenge, entry.challenge);
    EXPECT_EQ(read.parked, 5);
    EXPECT_EQ(read.arrived, 4);

    std::string good = text.substr(text.find('\n') + 1);
    std::string lines = "short\tline\n" + good + good +  // a unique name twice
                        "x/y\t1\t1\t\t\t\tnone\t\n" + "a\t1\t1\t%4\t\t\tnone\t\n" + "a\t-1\t1\t\t\t\tnone\t\n";
    back = parse_pending_index(lines, bad);
    EXPECT_EQ(bad, 5);
    EXPECT_EQ(back.size(), 1u);
}

TEST(pending_index_file, bytes_are_known_by_size_lines_and_sha256_with_crlf_taken_as_lf) {
    EXPECT_EQ(fingerprint_of("abc").sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(fingerprint_of("a\r\nb\r\n"), fingerprint_of("a\nb\n"));
    EXPECT_NE(fingerprint_of("a\rb"), fingerprint_of("ab"));  // a lone CR is a byte like any other
    EXPECT_NE(fingerprint_of("a\r"), fingerprint_of("a"));

    // Read in pieces: a CRLF split between two of them is still one line end.
    maildir_tree tree;
    std::string lf_text = std::string(65535, 'x') + "\n" + std::string(70000, 'y') + "\n";
    std::string crlf_text = std::string(65535, 'x') + "\r\n" + std::string(70000, 'y') + "\r\n";
    std::string path = tree.add("", "cur", "1.big.test:2,", crlf_text);
    EXPECT_EQ(fingerprint_of_file(path), fingerprint_of(lf_text));
    std::string fifo = tree.root() + "/cur/2.fifo.test:2,";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(fingerprint_of_file(fifo));  // refused, not waited on

    // An index line of an older version, without the bytes, is read with them unknown; bytes
    // that are not a size, a line count and a SHA-256 make the line unreadable.
    std::string old_line = "1.a.test\t5\t4\t<a@x>\tann@example.org\t\tnone\tHi\n";
    int bad = -1;
    std::map<std::string, pending_entry> back = parse_pending_index(old_line, bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_FALSE(back.at("1.a.test").bytes.known());
    std::string new_line = "1.a.test\t5\t4\t<a@x>\tann@example.org\t\tnone\tHi\t";
    std::string hash = fingerprint_of("abc").sha256;
    for (const std::string& broken : {"3\t0\t" + hash.substr(1), "3\t0\t" + hash + "0", "3\t\t" + hash, "3\t4\t" + hash,
                                      "\t\t" + hash, "3\t0\t" + std::string(64, 'G'), std::string("\t\t\t")}) {
        back = parse_pending_index(new_line + broken + "\n", bad);
        EXPECT_EQ(bad, 1) << broken;
    }
    back = parse_pending_index(new_line + "3\t0\t" + hash + "\n", bad);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back.at("1.a.test").bytes, fingerprint_of("abc"));
}

// The expiry `pending` and `digest` tell is the one the add-in applies: its days read by atoi's
// rules, on only for "true", never for a negative count.
TEST(pending_settings, expiry_is_read_as_the_add_in_reads_it) {
    const struct {
        const char* on;
        const char* days;  // nullptr: no such line
        int expected;
    } rows[] = {{"true", "14", 14},
                {"true", "+7", 7},
                {"true", "7 days", 7},
                {"true", "0012", 12},
                {"true", "-3", -1},
                {"true", "-0", 0},
                {"true", "x", 0},
                {"true", nullptr, 0},
                {"false", "14", -1},
                {"True", "14", -1},
                {"true", "99999999999", 2147483647}};
    for (const auto& row : rows) {
        std::map<std::string, std::string> settings = {{"AutoDeleteBlocked", row.on}};
        if (row.days) settings["PendingToBlockedTimeo"] = row.days;
        pending_settings read = pending_settings_of(settings);
        EXPECT_EQ(read.expiry_days, row.expected) << row.on << " " << (row.days ? row.days : "(none)");
        if (row.expected >= 0) EXPECT_EQ(expiry_time(read, 1000), 1000 + row.expected * 86400LL) << row.days;
        else EXPECT_FALSE(expiry_time(read, 1000));
    }
}
