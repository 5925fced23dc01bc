// Automatic replies: the reply itself, whatever the original's header says.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "common/mime.h"
#include "policy/reply.h"
#include "reply_check.h"

namespace {

// The user of most tests: one own address, the one the test mail is written to.
const user_addresses me{"", {"me@home.example"}};

}  // namespace

TEST(reply_composition, the_reply_answers_the_sender_without_quoting_it) {
    std::string error;
    header_summary original = parse_headers(
        "Return-Path: <bob@example.net>\nDelivered-To: me@home.example\nFrom: Bob <bob@example.net>\n"
        "Reply-To: Bob at home <bob@home.example.net>\nTo: Robin <ME@home.example>, Other <other@example.org>\n"
        "Subject: Secret original subject\nMessage-ID: <original@example.net>\n"
        "References: <first@example.net>\n\n");
    auto reply =
        compose_reply(original, "Please confirm [KEY]\nBcc: injected@evil.example", "Line one\nLine two", error, me);
    ASSERT_TRUE(reply) << error;
    header_summary parsed = parse_headers(reply->substr(0, reply->find("\n\n") + 2));
    EXPECT_EQ(parsed.sender, "me@home.example");
    EXPECT_EQ(parsed.headers.find("From")->value, "me@home.example");  // never a display name of the original
    EXPECT_EQ(parsed.receiver, "bob@example.net");                     // the sender it authorizes, never Reply-To
    EXPECT_EQ(parsed.headers.find("To")->value, "Bob <bob@example.net>");
    EXPECT_EQ(parsed.subject, "Please confirm [KEY] Bcc: injected@evil.example");
    EXPECT_FALSE(parsed.headers.find("Bcc"));
    EXPECT_EQ(parsed.headers.value("In-Reply-To"), "<original@example.net>");
    EXPECT_EQ(parsed.headers.value("References"), "<first@example.net> <original@example.net>");
    EXPECT_EQ(parsed.headers.value("Auto-Submitted"), "auto-replied");
    EXPECT_EQ(parsed.headers.value("Precedence"), "bulk");
    EXPECT_EQ(parsed.headers.value("X-Auto-Response-Suppress"), "All");
    EXPECT_TRUE(parsed.headers.find("Date"));
    EXPECT_NE(parsed.headers.value("Message-ID").value_or("").find("@home.example>"), std::string::npos);
    EXPECT_EQ(parse_content(*reply).body, "Line one\nLine two\n");
    EXPECT_EQ(reply->find("Secret original subject"), std::string::npos);
    // Its own headers keep it from being answered automatically in turn.
    header_summary as_received =
        parse_headers("Return-Path: <me@home.example>\n" + reply->substr(0, reply->find("\n\n") + 2));
    EXPECT_TRUE(reason_not_to_answer(as_received));
}

// The challenge speaks for the user: its From is one of his addresses, chosen by what his own
// delivery knows, whatever fields a stranger writes. Its Message-ID is in the same domain.
TEST(reply_composition, the_challenge_comes_from_the_user_whatever_the_message_says) {
    const user_addresses two{"", {"me@home.example", "robin@work.example"}};
    const user_addresses delivered{"me+x@home.example", {"me@home.example"}};
    const user_addresses nobody{};
    struct row {
        std::string headers;
        const user_addresses& user;
        const char* from;  // nullptr: no challenge
    };
    const row rows[] = {
        {"To: \"any text\" <ceo@bank.example>\n", two, "me@home.example"},
        {"To: \"any text\" <ceo@bank.example>\n", nobody, nullptr},
        {"To: ceo@bank.example\nX-Original-To: ceo@bank.example\n", two, "me@home.example"},
        {"To: me@home.example\nX-Original-To: ceo@bank.example\n", nobody, nullptr},
        {"Delivered-To: ceo@bank.example\nTo: me@home.example\n", two, "me@home.example"},
        {"Delivered-To: ceo@bank.example\nTo: me@home.example\n", nobody, nullptr},
        {"Delivered-To: Robin@Work.example\nTo: me@home.example\n", two, "Robin@Work.example"},
        {"To: ann@example.org\nCc: \"CEO\" <robin@work.example>\n", two, "robin@work.example"},
        {"To: ceo@bank.example\nDelivered-To: ceo@bank.example\n", delivered, "me+x@home.example"},
        {"To: undisclosed-recipients:;\n", two, "me@home.example"},
        {"To: undisclosed-recipients:;\n", nobody, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.headers);
        std::string error;
        auto reply =
            compose_reply(parse_headers("From: bob@example.net\n" + r.headers + "\n"), "s", "b", error, r.user);
        EXPECT_EQ(user_address(parse_headers("From: bob@example.net\n" + r.headers + "\n"), r.user).has_value(),
                  r.from != nullptr);
        if (!r.from) {
            EXPECT_FALSE(reply);
            EXPECT_NE(error.find("own-address"), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(reply) << error;
        header_summary sent = parse_headers(*reply);
        EXPECT_EQ(sent.headers.value("From"), r.from);
        std::string domain = ascii_lower(std::string(r.from).substr(std::string(r.from).find('@')));
        EXPECT_NE(ascii_lower(sent.headers.value("Message-ID").value_or("")).find(domain + ">"), std::string::npos)
            << *sent.headers.value("Message-ID");
    }
}

TEST(reply_composition, non_ascii_text_is_sent_as_utf8) {
    std::string error;
    header_summary original = parse_headers("From: jerome@exemple.fr\nTo: me@home.example\nSubject: x\n\n");
    auto reply = compose_reply(original, "Bitte bestätigen [KEY]", "Grüße\n", error, me);
    ASSERT_TRUE(reply) << error;
    for (unsigned char c : *reply) EXPECT_LT(c, 0x80) << "the reply must be 7-bit";
    EXPECT_NE(reply->find("charset=utf-8"), std::string::npos);
    EXPECT_EQ(parse_headers(reply->substr(0, reply->find("\n\n") + 2)).subject, "Bitte bestätigen [KEY]");
    EXPECT_EQ(parse_content(*reply).body, "Grüße\n");
    EXPECT_EQ(parse_headers(*reply).headers.find("In-Reply-To"), nullptr);  // the original had no Message-ID
}

// Text that looks like the start of an encoded word, beside non-ASCII characters, once made the
// reply's Subject an unterminated encoded word with the rest of the value on a line of its own.
TEST(reply_composition, subjects_that_look_encoded_or_are_long_stay_whole_and_well_formed) {
    header_summary original = parse_headers("From: jerome@exemple.fr\nTo: me@home.example\nSubject: x\n\n");
    const std::string bullets = "\xe2\x80\xa2\xe2\x80\xa2\xe2\x80\xa2";
    const std::string subjects[] = {
        "s     <:  =?utf-6?q? o\xc3\xa2=                   " + bullets,
        "<: =?x?q? o\xc3\xa2= " + bullets,
        "=?utf-8?q?=0D=0ABcc:_evil@spam.example?=",
        "\xc3\xa4" + std::string(100, 'x') + bullets + "\xc3\xa4nd",
        "a" + std::string(60, ' ') + "\xe2\x80\xa2",
    };
    for (const std::string& subject : subjects) {
        SCOPED_TRACE(subject);
        std::string error;
        auto reply = compose_reply(original, subject, "body\n", error, me);
        ASSERT_TRUE(reply) << error;
        reply_header_check check = check_reply_headers(*reply);
        EXPECT_TRUE(check.problems.empty()) << problems_text(check);
        std::string head = reply->substr(0, reply->find("\n\n") + 1);
        for (size_t start = 0, end; start < head.size(); start = end + 1) {
            end = head.find('\n', start);
            EXPECT_LE(end - start, 78u) << head.substr(start, end - start);
        }
        EXPECT_EQ(parse_headers(head + "\n").subject, subject);
    }
}

TEST(reply_composition, nobody_to_answer_is_an_error) {
    std::string error;
    EXPECT_FALSE(compose_reply(parse_headers("To: me@home.example\n\n"), "s", "b", error, me));
    EXPECT_NE(error.find("nobody"), std::string::npos);
    EXPECT_FALSE(compose_reply(parse_headers("From: bob@example.net\nTo: me@home.example\n\n"), "s", "b", error));
    EXPECT_NE(error.find("own-address"), std::string::npos);
}

namespace {

// Random header blocks built from the tricks a stranger has for breaking a header line: encoded
// words that decode to CR, LF or NUL, raw CR, folding, huge values, many addresses, 8-bit text.
class hostile_mail {
public:
    explicit hostile_mail(unsigned seed) : random_(seed) {}

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
    bool one_in(size_t n) { return below(n) == 0; }
    template <class T>
    const T& pick(const std::vector<T>& from) {
        return from[below(from.size())];
    }

    std::string mailbox_text() {
        static const std::vector<std::string> boxes = {
            "bob@example.net",
            "Bob <bob@example.net>",
            "=?utf-8?q?Bob=0D=0ABcc:_evil@spam.example?= <bob@example.net>",
            "=?utf-8?b?Qm9iDQpCY2M6IGV2aWxAc3BhbS5leGFtcGxlDQoNCnNwYW0=?= <bob@example.net>",
            "=?utf-8?q?Bob=00Bcc=3A_evil@spam.example?= <bob@example.net>",
            "\"Bob\rBcc: evil@spam.example\" <bob@example.net>",
            "=?utf-8?q?bob=0D=0ABcc=3A_evil?=@example.net",
            "<=?utf-8?q?bob=0D=0ABcc=3A_evil@spam.example?=@example.net>",
            "\"bob\r\nBcc: evil@spam.example\"@example.net",
            "\"a,b\"@example.net",
            "\"a b\"@example.net",
            "bob@example.net (=?utf-8?q?=0D=0ABcc=3A_evil@spam.example?=)",
            "J\xc3\xa9r\xc3\xb4me <jerome@ex\xc3\xa4mple.fr>",
            "J\xe9r\xf4me <j\xe9rome@example.fr>",
            "x@a>b",
            "bob@[192.0.2.1]",
            std::string(3000, 'A') + " <bob@example.net>",
            std::string(1200, 'b') + "@example.net",
            "friends: bob@example.net;",
            "undisclosed-recipients:;",
            "",
            "Bob\n <bob@example.net>",
            "Bob <bob@example.net\r\nBcc: evil@spam.example>",
        };
        if (one_in(2)) return one_in(2) ? "bob@example.net" : "Bob <bob@example.net>";
        if (one_in(12)) {
            std::string many;
            for (int i = 0; i < 1000; ++i) many += (i ? ", v" : "v") + std::to_string(i) + "@example.org";
            return many;
        }
        return pick(boxes);
    }

    // A Message-ID value, and whether a reply must refer to it (1), must not (0), or may (2).
    std::pair<std::string, int> message_id() {
        static const std::vector<std::pair<std::string, int>> ids = {
            {"<original@example.net>", 1},
            {"\n <folded@example.net>", 1},
            {"<a.b-c_d+e=f$g@[192.0.2.1]>", 1},
            {"=?utf-8?q?<x@y>=0D=0ABcc:_evil@spam.example?=", 0},
            {"=?utf-8?q?=0D=0ABcc=3A_evil@spam.example?=", 0},
            {"=?utf-8?q?<x@y=0D=0ABcc:_evil@spam.example=0D=0A=0D=0Aspam>?=", 0},
            {"=?utf-8?q?<x=0D=0ABcc:_evil@spam.example>?=", 0},
            {"=?utf-8?q?<x=00@y>?=", 0},
            {"<x@y\rBcc: evil@spam.example>", 0},
            {"<x@y>\rBcc: evil@spam.example", 0},
            {"<x@\n y>", 0},
            {"<x y@z>", 0},
            {"<x\x01y@z>", 0},
            {"<" + std::string(5000, 'x') + "@example.net>", 0},
            {"x@y", 0},
            {"<@y>", 0},
            {"<x@>", 0},
            {"<>", 0},
            {"", 0},
            {"<x@y> (comment)", 2},
            {"<x@y@z>", 2},
            {"<j\xc3\xa9r\xc3\xb4me@example.fr>", 2},
        };
        return one_in(3) ? ids.front() : pick(ids);
    }

    std::string id_list() {
        static const std::vector<std::string> parts = {"<first@example.net>",
                                                       "<second@example.net>",
                                                       "<x@y>\r\nBcc: evil@spam.example",
                                                       "=?utf-8?q?<a@b>=0D=0A?=",
                                                       "\n <folded@example.net>",
                                                       "<broken",
                                                       "junk>",
                                                       "<x y@z>",
                                                       "(comment)",
                                                       "<" + std::string(3000, 'r') + "@x>"};
        std::string list;
        size_t count = one_in(10) ? 500 : below(6);
        for (size_t i = 0; i < count; ++i) list += (i ? " " : "") + pick(parts);
        return list;
    }

    std::string text() {
        static const std::vector<std::string> texts = {"Hello",
                                                       "a\r\nBcc: evil@spam.example",
                                                       "=?utf-8?q?a=0D=0ABcc:_evil@spam.example?=",
                                                       std::string("a\0b", 3),
                                                       "J\xe9r\xf4me",
                                                       "K\xc3\xb6ln",
                                                       std::string(5000, 'x'),
                                                       "a\rb",
                                                       "=?utf-8?b?AA==?=",
                                                       ""};
        return pick(texts);
    }

    // A whole header block, with LF or CR LF line ends, and whether a reply must name its Message-ID.
    std::pair<std::string, int> header_block() {
        std::vector<std::pair<std::string, std::string>> fields;
        if (!one_in(4)) fields.push_back({"Return-Path", "<bob@example.net>"});
        if (!one_in(3)) fields.push_back({"Delivered-To", mailbox_text()});
        if (one_in(3)) fields.push_back({"X-Original-To", mailbox_text()});
        fields.push_back({"From", mailbox_text()});
        if (one_in(3)) fields.push_back({"Reply-To", mailbox_text()});
        fields.push_back({"To", mailbox_text()});
        if (one_in(3)) fields.push_back({"Cc", mailbox_text()});
        fields.push_back({"Subject", text()});
        int refer = 0;
        if (!one_in(5)) {
            auto [id, must] = message_id();
            fields.push_back({"Message-ID", id});
            refer = must;
        }
        if (one_in(2)) fields.push_back({"References", id_list()});
        if (one_in(3)) fields.push_back({"In-Reply-To", id_list()});
        for (size_t extra = below(4); extra > 0; --extra) fields.push_back({"X-Junk", text()});
        std::shuffle(fields.begin(), fields.end(), random_);
        std::string eol = one_in(2) ? "\r\n" : "\n";
        std::string block;
        for (const auto& [name, value] : fields) block += name + ": " + value + eol;
        return {block + eol, refer};
    }

private:
    std::mt19937 random_;
};

}  // namespace

TEST(reply_composition, no_header_value_of_the_original_breaks_a_line_of_the_reply) {
    const std::vector<std::string> bodies = {"Please confirm.\n",
                                             "Gr\xc3\xbc\xc3\x9f"
                                             "e\nBcc: evil@spam.example\n\nmore",
                                             "\n\nFrom the start\n.\n", std::string(2000, 'y') + "\n"};
    hostile_mail mail(20241208);
    int composed = 0, referring = 0;
    for (int round = 0; round < 600; ++round) {
        auto [block, refer] = mail.header_block();
        std::string subject = mail.text();
        const std::string& body = mail.pick(bodies);
        SCOPED_TRACE("round " + std::to_string(round) + ", original:\n" + block.substr(0, 600));
        header_summary original = parse_headers(block);
        (void)reason_not_to_answer(original);
        std::string error;
        std::optional<std::string> reply = compose_reply(original, subject, body, error, me);
        if (!reply) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        ++composed;
        reply_header_check check = check_reply_headers(*reply);
        EXPECT_TRUE(check.problems.empty()) << problems_text(check);
        bool refers = check.values.count("in-reply-to") > 0;
        if (refer != 2) {
            EXPECT_EQ(refers, refer == 1) << "In-Reply-To: " << check.values["in-reply-to"].substr(0, 200);
        }
        if (refers) ++referring;
        EXPECT_EQ(parse_content(*reply).body, body.back() == '\n' ? body : body + "\n");
    }
    // The hostile mail must leave enough answerable messages for the property to mean something.
    EXPECT_GT(composed, 150) << referring;
    EXPECT_GT(referring, 60) << composed;
}

TEST(reply_composition, only_well_formed_ids_of_the_thread_are_referred) {
    std::string long_thread;
    for (int i = 0; i < 30; ++i) long_thread += "<t" + std::to_string(i) + "@example.net> ";
    std::string kept_thread = "<t0@example.net>";
    for (int i = 12; i < 30; ++i) kept_thread += " <t" + std::to_string(i) + "@example.net>";
    struct row {
        std::string headers;
        const char* in_reply_to;  // nullptr: neither In-Reply-To nor References
        std::string references;
    };
    const row rows[] = {
        {"Message-ID: <m@example.net>\n", "<m@example.net>", "<m@example.net>"},
        {"Message-ID:\n <m@example.net>\n", "<m@example.net>", "<m@example.net>"},
        {"Message-ID: <m@example.net>\nReferences: <a@x> junk <b c@x> <d@x>\n", "<m@example.net>",
         "<a@x> <d@x> <m@example.net>"},
        {"Message-ID: <m@example.net>\nIn-Reply-To: Ann's message <a@x>\n", "<m@example.net>", "<a@x> <m@example.net>"},
        {"Message-ID: <m@example.net>\nReferences: " + long_thread + "\n", "<m@example.net>",
         kept_thread + " <m@example.net>"},
        {"Message-ID: =?utf-8?q?<m=0D=0ABcc:_evil@spam.example>?=\n", nullptr, ""},
        {"Message-ID: <m@example.net\rBcc: evil@spam.example>\n", nullptr, ""},
        {"Message-ID: <m example@example.net>\n", nullptr, ""},
        {"Message-ID: m@example.net\n", nullptr, ""},
        {"Message-ID: <" + std::string(300, 'm') + "@example.net>\n", nullptr, ""},
    };
    for (const row& r : rows) {
        std::string error;
        auto reply = compose_reply(parse_headers("From: bob@example.net\nTo: me@home.example\n" + r.headers + "\n"),
                                   "s", "b", error, me);
        ASSERT_TRUE(reply) << error;
        header_summary parsed = parse_headers(*reply);
        std::string row_name = one_line(r.headers.substr(0, 100));
        if (!r.in_reply_to) {
            EXPECT_FALSE(parsed.headers.find("In-Reply-To")) << row_name;
            EXPECT_FALSE(parsed.headers.find("References")) << row_name;
            continue;
        }
        EXPECT_EQ(parsed.headers.value("In-Reply-To"), r.in_reply_to) << row_name;
        EXPECT_EQ(one_line(parsed.headers.value("References").value_or("")), r.references)
            << row_name;  // folded with tabs
    }
}

TEST(reply_composition, an_id_gmime_would_rewrite_is_not_referred) {
    // GMime reads "[" as the start of a domain literal up to its "]": an unclosed one used to
    // come out of the reply as "<m@[xample.net>>".
    struct row {
        const char* id;
        bool referred;
    };
    const row rows[] = {
        {"<m@[xample.net>", false},      {"<m@[192.0.2.1]>", true},     {"<m@[a]b>", false},
        {"<m\"q\"@example.net>", false}, {"<m(c)@example.net>", false}, {"<a.b-c_d+e=f$g@example.net>", true},
    };
    for (const row& r : rows) {
        std::string error;
        auto reply = compose_reply(
            parse_headers(std::string("From: bob@example.net\nTo: me@home.example\nMessage-ID: ") + r.id + "\n\n"), "s",
            "b", error, me);
        ASSERT_TRUE(reply) << error;
        header_summary parsed = parse_headers(*reply);
        if (r.referred) EXPECT_EQ(parsed.headers.value("In-Reply-To"), r.id);
        else
            EXPECT_FALSE(parsed.headers.find("In-Reply-To"))
                << r.id << " gave " << *parsed.headers.value("In-Reply-To");
    }
}
