// The real `tarnwick run` and the user's friends: whom the user wrote to and whoever answers the
// user's mail pass without a challenge; a challenge goes to the sender it is about, with the null
// envelope sender.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/mime.h"
#include "program_story.h"

namespace {

std::string from_stranger(const std::string& who, const std::string& id, const std::string& extra = "X-Note: none") {
    return mail_text({"Return-Path: <" + who + ">", "Delivered-To: me@home.example", "From: " + who,
                      "To: me@home.example", "Subject: Hello from " + who, "Message-ID: <" + id + ">", extra});
}

std::string sent_by_me(const std::string& recipients, const std::string& id) {
    return mail_text({"From: Robin <me@home.example>", recipients, "Subject: Hi", "Message-ID: <" + id + ">"});
}

// The summary's line that starts with `what`, its runs of blanks made one.
std::string summary_line(const std::string& out, const std::string& what) {
    size_t start = out.find("  " + what);
    if (start == std::string::npos) return "(no line " + what + ")";
    std::string line;
    for (char c : out.substr(start + 2, out.find('\n', start) - start - 2)) {
        if (c != ' ' || line.empty() || line.back() != ' ') line += c;
    }
    return line;
}

class friends_test : public program_story {
protected:
    void SetUp() override {
        configure();
        tree.make_folder("Sent");
    }
    // The one stored challenge.
    std::string stored_challenge() {
        std::vector<std::string> stored = tree.files_in("Outbox", "new");
        EXPECT_EQ(stored.size(), 1u);
        return stored.empty() ? "" : read_text_file(tree.folder_dir("Outbox") + "/new/" + stored[0]);
    }
};

}  // namespace

TEST_F(friends_test, whom_the_user_wrote_to_and_who_answers_pass_and_old_sent_mail_is_read_once) {
    tree.add("Sent", "cur", "10.s1.test:2,S",
             sent_by_me("To: Ann <ANN@example.org>, \"broken\" <not an address>\nCc: me@home.example", "s1@home"));
    tree.add("Sent", "cur", "11.s2.test:2,S", sent_by_me("Bcc: undisclosed-recipients:;", "s2@home"));
    tree.add("Sent", "cur", "12.s3.test:2,S", "no header block at all");
    tree.add("", "new", "100.a.test", from_stranger("ann@example.org", "a@x"), 100);
    tree.add("", "new", "200.z.test", from_stranger("zed@example.net", "z@x", "References: <q@x> <s2@home>"), 200);
    tree.add("", "new", "300.u.test", from_stranger("uma@example.net", "u@x", "In-Reply-To: <s9@home>"), 300);

    outcome first = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(first.code, 0) << first.err << first.out;
    // Zed names a sent message that was not written to him: his answer proves nothing.
    EXPECT_EQ(summary_line(first.out, "friends added"), "friends added 1 (read 3 new in .Sent)") << first.out;
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"100.a.test"}));
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"200.z.test:2,S", "300.u.test:2,S"}));
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{"ann@example.org"}));

    // The user takes Ann off the list; her old message is not read again, a new one is.
    ASSERT_EQ(tarnwick({"list", "remove", "authorized", "ann@example.org"}).code, 0);
    tree.add("Sent", "new", "20.s4.test", sent_by_me("To: bea@example.org", "s4@home"));
    outcome second = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(summary_line(second.out, "friends added"), "friends added 1 (read 1 new in .Sent)") << second.out;
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{"bea@example.org"}));
}

TEST_F(friends_test, the_users_verdict_stands_and_thousands_of_sent_messages_cost_one_run) {
    ASSERT_EQ(tarnwick({"list", "add", "remove", "blocked@example.org"}).code, 0);
    for (int i = 0; i < 2000; ++i) {
        std::string recipients = i % 3 == 0   ? "To: blocked@example.org"
                                 : i % 3 == 1 ? "To: =?utf-8?q?=0D=0A?= <x@>, \"a,b\"@example.org"
                                              : "To: friend" + std::to_string(i % 7) + "@example.org";
        tree.add("Sent", "cur", std::to_string(1000 + i) + ".s.test:2,S", sent_by_me(recipients, std::to_string(i)));
    }
    outcome first = tarnwick({"run", "--maildir", tree.root(), "--sent-folder", ".Sent"});
    ASSERT_EQ(first.code, 0) << first.err;
    EXPECT_EQ(summary_line(first.out, "friends added"), "friends added 7 (read 2000 new in .Sent)") << first.out;
    std::vector<std::string> friends = list("authorized");
    EXPECT_EQ(friends.size(), 7u);
    EXPECT_FALSE(std::count(friends.begin(), friends.end(), "blocked@example.org"));
    outcome second = tarnwick({"run", "--maildir", tree.root(), "--sent-folder", "Sent"});
    EXPECT_EQ(summary_line(second.out, "friends added"), "friends added 0 (read 0 new in .Sent)") << second.out;
    // A sent folder that does not exist finds no friends, with a warning.
    outcome nowhere = tarnwick({"run", "--maildir", tree.root(), "--sent-folder", "Nowhere"});
    EXPECT_EQ(nowhere.code, 0) << nowhere.err;
    EXPECT_EQ(summary_line(nowhere.out, "friends added"), "friends added 0 (no sent folder)") << nowhere.out;
}

TEST_F(friends_test, a_challenge_goes_to_the_sender_with_the_null_envelope_sender) {
    const std::string forged_reply = "Reply-To: victim@example.com";
    tree.add("", "new", "100.a.test", from_stranger("ann@example.org", "a@x", forged_reply), 100);
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    std::string stored = stored_challenge();
    EXPECT_EQ(stored.rfind("Return-Path: <>\n", 0), 0u) << stored;
    header_summary challenge = parse_headers(stored);
    EXPECT_EQ(challenge.receiver, "ann@example.org");
    EXPECT_EQ(challenge.sender, "me@home.example");  // where a person's answer goes
    EXPECT_EQ(challenge.headers.value("Auto-Submitted"), "auto-replied");
    EXPECT_EQ(challenge.headers.value("In-Reply-To"), "<a@x>");

    // A sendmail command gets -f '<>', unless it names the envelope sender itself.
    std::string fake = tree.base() + "/sendmail.sh";
    write_text_file(fake, "printf '[%s]' \"$@\" > \"$0.args\"; cat > \"$0.eml\"\n");
    const std::pair<std::string, std::string> rows[] = {
        {"sh " + fake + " -t -oi", "[-t][-oi][-f][<>]"},
        {"sh " + fake + " -t -f me@home.example", "[-t][-f][me@home.example]"},
    };
    int row = 0;
    for (const auto& [command, arguments] : rows) {
        std::string sender = "sender" + std::to_string(++row) + "@example.net";
        tree.add("", "new", std::to_string(200 + row) + ".b.test", from_stranger(sender, "b@x", forged_reply), 200);
        outcome sent = tarnwick({"run", "--maildir", tree.root(), "--sendmail", command});
        ASSERT_EQ(sent.code, 0) << sent.err << sent.out;
        EXPECT_EQ(read_text_file(fake + ".args"), arguments) << command;
        EXPECT_EQ(parse_headers(read_text_file(fake + ".eml")).receiver, sender);
    }
}

// Message-IDs are public: naming one of the user's proves nothing but for a recipient of that
// message, and with a gate only when his server authenticated him. The recipients are taken off
// the list first, so that only an answer can put one back.
TEST_F(friends_test, an_answer_authorizes_only_a_recipient_of_the_message_it_names) {
    tree.add("Sent", "cur", "10.s1.test:2,S",
             sent_by_me("To: ann@example.org, dee@example.org, fay@example.org, gus@example.org, hal@example.org\n"
                        "Cc: cat@example.org\nBcc: bob@example.org",
                        "s1@home.example"));
    tree.add("Sent", "cur", "11.s2.test:2,S", sent_by_me("To: amy@example.org, list@lists.example", "s2@home.example"));
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    for (const char* who : {"ann", "amy", "bob", "cat", "dee", "fay", "gus", "hal"})
        ASSERT_EQ(tarnwick({"list", "remove", "authorized", std::string(who) + "@example.org"}).code, 0);

    struct row {
        const char* what;
        std::string from;    // whose answer; the From field unless `fields` gives one
        std::string fields;  // the rest of the header
        bool gated;          // run with --trusted-authserv
        bool authorizes;
    };
    const std::string s1 = "<s1@home.example>", passing = "Authentication-Results: mx.home.example; dmarc=pass";
    const row rows[] = {
        {"a stranger naming a sent id", "eve@evil.example", "In-Reply-To: " + s1, false, false},
        {"a stranger naming it deep in References", "dan@evil.example",
         "References: <a@x.example>\n " + s1 + "\n <b@x.example>", false, false},
        {"a recipient of another sent message", "amy@example.org", "In-Reply-To: " + s1, false, false},
        {"a recipient naming an id never sent", "ann@example.org", "In-Reply-To: <s9@home.example>", false, false},
        {"a recipient as one of two authors", "gus@example.org",
         "From: gus@example.org, eve@evil.example\nIn-Reply-To: " + s1, false, false},
        {"a recipient in the first of two From fields", "hal@example.org",
         "From: hal@example.org\nFrom: eve@evil.example\nIn-Reply-To: " + s1, false, false},
        {"a Bcc recipient", "bob@example.org", "In-Reply-To: " + s1, false, true},
        {"a Cc recipient deep in References", "cat@example.org",
         "References: <old@x.example> " + s1 + " <mid@x.example>", false, true},
        {"a recipient not authenticated", "fay@example.org",
         "Authentication-Results: mx.home.example; dmarc=fail header.from=example.org\nIn-Reply-To: " + s1, true,
         false},
        {"a recipient vouched for by an untrusted server", "hal@example.org",
         "Authentication-Results: mx.evil.example; dmarc=pass header.from=example.org\nIn-Reply-To: " + s1, true,
         false},
        {"a recipient authenticated", "dee@example.org", passing + " header.from=example.org\nIn-Reply-To: " + s1, true,
         true},
        {"a recipient in capitals, authenticated", "ANN@Example.ORG",
         passing + " header.from=example.org\nReferences: " + s1, true, true},
    };
    for (bool gated : {false, true}) {
        int n = 0;
        std::vector<std::string> names;
        for (const row& r : rows) {
            if (r.gated != gated) continue;
            std::string name = std::to_string(++n + (gated ? 500 : 100)) + ".r.test";
            std::string fields = r.fields.rfind("From: ", 0) == 0 ? r.fields : "From: " + r.from + "\n" + r.fields;
            tree.add("", "new", name,
                     "Return-Path: <" + r.from + ">\n" + fields + "\nTo: me@home.example\nSubject: Re: Hi\n\nYes.\n");
            names.push_back(name);
        }
        std::vector<std::string> args = {"run", "--maildir", tree.root()};
        if (gated) args.insert(args.end(), {"--trusted-authserv", "mx.home.example"});
        outcome ran = tarnwick(args);
        ASSERT_EQ(ran.code, 0) << ran.out << ran.err;
        std::vector<std::string> friends = list("authorized");
        n = 0;
        for (const row& r : rows) {
            if (r.gated != gated) continue;
            std::string address = ascii_lower(r.from);
            bool listed = std::count(friends.begin(), friends.end(), address) > 0;
            EXPECT_EQ(listed, r.authorizes) << r.what << "\n" << ran.out;
            std::string kept = names[n++];
            std::vector<std::string> inbox = tree.files_in("", "new");
            EXPECT_EQ(std::count(inbox.begin(), inbox.end(), kept) > 0, r.authorizes) << r.what;
        }
    }
}

#ifdef TARNWICK_FAULT_SHIM
// A friend whose addition cannot be written is owed, not lost: his answer waits unfiltered in
// new/ without a challenge, and the next run adds him, as it adds a recipient whose write failed.
TEST_F(friends_test, a_friend_whose_list_write_failed_is_added_by_the_next_run) {
    tree.add("Sent", "cur", "10.s1.test:2,S", sent_by_me("To: ann@example.org", "s1@home.example"));
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    ASSERT_EQ(tarnwick({"list", "remove", "authorized", "ann@example.org"}).code, 0);
    tree.add("Sent", "new", "20.s2.test", sent_by_me("To: bea@example.org", "s2@home.example"));
    tree.add("", "new", "100.a.test", from_stranger("ann@example.org", "a@x", "In-Reply-To: <s1@home.example>"), 100);

    outcome failed =
        tarnwick({"run", "--maildir", tree.root()}, "",
                 {"LD_PRELOAD=" TARNWICK_FAULT_SHIM, "TARNWICK_SHIM_FAIL=rename", "TARNWICK_SHIM_PATH=authorized.lst"});
    EXPECT_EQ(failed.code, 1) << failed.out << failed.err;
    for (const char* said :
         {"friend bea@example.org not added", "friend ann@example.org not added", "message 100.a.test stays in new/"})
        EXPECT_NE(failed.out.find(said), std::string::npos) << said << "\n" << failed.out;
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"100.a.test"}));
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{}));

    outcome next = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(next.code, 0) << next.out << next.err;
    EXPECT_EQ(summary_line(next.out, "friends added"), "friends added 2 (read 0 new in .Sent)") << next.out;
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{"ann@example.org", "bea@example.org"}));
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"100.a.test"}));
    EXPECT_EQ(tree.files_in("Outbox", "new"), (std::vector<std::string>{})) << "a friend was challenged";
}
#endif
