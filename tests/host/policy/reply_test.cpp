// Automatic replies: what must not be answered (RFC 3834, RFC 5230), and the reply itself.
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

header_summary message_with(const std::string& extra_headers) {
    return parse_headers(
        "Return-Path: <bob@example.net>\nDelivered-To: me@home.example\n"
        "From: Bob <bob@example.net>\nTo: Robin <me@home.example>\nSubject: Hello\n"
        "Message-ID: <original@example.net>\n" +
        extra_headers + "\n");
}

}  // namespace

TEST(reply_refusals, automatic_list_and_bulk_mail_is_never_answered) {
    struct row {
        std::string headers;
        const char* reason;  // nullptr: may be answered
    };
    const row rows[] = {
        {"", nullptr},
        {"Auto-Submitted: no\n", nullptr},
        {"Auto-Submitted: No (a person wrote this)\n", nullptr},
        {"Precedence: first-class\n", nullptr},
        {"X-Auto-Response-Suppress: DR, RN\n", nullptr},
        {"Auto-Submitted: auto-replied\n", "Auto-Submitted: auto-replied"},
        {"Auto-Submitted: auto-generated; owner-email=x@y.z\n", "Auto-Submitted"},
        {"X-Auto-Response-Suppress: OOF, DR\n", "X-Auto-Response-Suppress"},
        {"X-Auto-Response-Suppress: all\n", "X-Auto-Response-Suppress"},
        {"List-Id: <users.lists.example.org>\n", "mailing-list mail (List-Id)"},
        {"List-Unsubscribe: <mailto:x@lists.example.org>\n", "mailing-list mail (List-Unsubscribe)"},
        {"Precedence: bulk\n", "Precedence: bulk"},
        {"Precedence: LIST\n", "Precedence"},
        {"Precedence: junk\n", "Precedence"},
        {"Content-Type: multipart/report; report-type=delivery-status; boundary=x\n", "a delivery report"},
        {"Content-Type: message/delivery-status\n", "a delivery report"},
        {"Reply-To: noreply@example.net\n", "robot or list address noreply@example.net"},
    };
    for (const row& r : rows) {
        std::optional<std::string> reason = reason_not_to_answer(message_with(r.headers));
        if (!r.reason) EXPECT_FALSE(reason) << r.headers << " gave " << reason.value_or("");
        else
            EXPECT_NE(reason.value_or("").find(r.reason), std::string::npos)
                << r.headers << " gave " << reason.value_or("(none)");
    }
}

TEST(reply_refusals, mail_without_a_return_path_or_from_a_robot_is_never_answered) {
    struct row {
        std::string message;
        const char* reason;
    };
    const row rows[] = {
        {"From: bob@example.net\nTo: me@home.example\n\n", "no return path"},
        {"Return-Path: <>\nFrom: bob@example.net\nTo: me@home.example\n\n", "empty return path"},
        {"Return-Path: <owner-users@lists.example.org>\nFrom: bob@example.net\nTo: me@home.example\n\n", "robot"},
        {"Return-Path: <bob@example.net>\nFrom: MAILER-DAEMON@mx.example\nTo: me@home.example\n\n", "robot"},
        {"Return-Path: <bob@example.net>\nTo: me@home.example\n\n", "no address to answer"},
    };
    for (const row& r : rows) {
        std::optional<std::string> reason = reason_not_to_answer(parse_headers(r.message));
        EXPECT_NE(reason.value_or("").find(r.reason), std::string::npos)
            << r.message << " gave " << reason.value_or("(none)");
    }
}

TEST(reply_refusals, robot_addresses) {
    for (const char* robot :
         {"MAILER-DAEMON@x.org", "mailer-daemon@x.org", "LISTSERV@x.org", "majordomo@x.org", "owner-users@x.org",
          "users-request@x.org", "noreply@x.org", "no-reply+tag@x.org", "Do-Not-Reply@x.org", "donotreply@x.org"})
        EXPECT_TRUE(is_robot_address(robot)) << robot;
    for (const char* person : {"bob@example.net", "owner@x.org", "request@x.org", "norah@x.org", "replies@x.org"})
        EXPECT_FALSE(is_robot_address(person)) << person;
}

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

TEST(reply_refusals, postmaster_mail_and_automatic_replies_are_never_answered) {
    struct row {
        std::string headers;
        const char* reason;  // nullptr: may be answered
    };
    const row rows[] = {
        {"X-Autoreply: yes\n", "X-Autoreply"},
        {"X-AUTOREPLY: \n", "X-Autoreply"},
        {"X-Autorespond: Out of office\n", "X-Autorespond"},
        {"Reply-To: postmaster@example.net\n", "robot or list address postmaster@example.net"},
        {"Reply-To: PostMaster+bounces@example.net\n", "robot or list address"},
        {"Reply-To: postmasters@example.net\n", nullptr},
        {"X-Autoreplied-By-Someone-Else: x\n", nullptr},
    };
    for (const row& r : rows) {
        std::optional<std::string> reason = reason_not_to_answer(message_with(r.headers));
        if (!r.reason) EXPECT_FALSE(reason) << r.headers << " gave " << reason.value_or("");
        else
            EXPECT_NE(reason.value_or("").find(r.reason), std::string::npos)
                << r.headers << " gave " << reason.value_or("(none)");
    }
    const std::string from_postmaster =
        "Return-Path: <postmaster@mx.example>\nFrom: postmaster@mx.example\nTo: me@home.example\n\n";
    EXPECT_NE(reason_not_to_answer(parse_headers(from_postmaster)).value_or("").find("robot"), std::string::npos);
}

TEST(reply_refusals, a_challenge_goes_to_one_address_or_to_none) {
    std::string thousand;
    for (int i = 0; i < 1000; ++i) thousand += (i ? ", victim" : "victim") + std::to_string(i) + "@example.org";
    struct row {
        std::string headers;
        const char* reason;  // nullptr: may be answered
    };
    const row rows[] = {
        {"From: Bob <bob@example.net>, Ann <ann@example.org>\n", "more than one sender address"},
        {"From: " + thousand + "\n", "more than one sender address"},
        {"From: friends: bob@example.net, ann@example.org;\n", "more than one sender address"},
        {"From: friends: bob@example.net;\n", nullptr},
        {"From: Bob <bob@example.net>, Ann <ann@example.org>\nReply-To: bob@example.net\n",
         "more than one sender address"},
        // The challenge goes to From alone: what Reply-To names does not matter.
        {"Reply-To: bob@example.net, ann@example.org\n", nullptr},
        {"Reply-To: " + thousand + "\n", nullptr},
        {"Reply-To: Bob at home <bob@home.example.net>\n", nullptr},
    };
    for (const row& r : rows) {
        // The rows' From replaces the usual one.
        std::string headers = "Return-Path: <bob@example.net>\nDelivered-To: me@home.example\nTo: me@home.example\n" +
                              (r.headers.rfind("From:", 0) == 0 ? "" : std::string("From: bob@example.net\n")) +
                              r.headers + "\n";
        header_summary original = parse_headers(headers);
        std::optional<std::string> reason = reason_not_to_answer(original);
        std::string row_name = r.headers.substr(0, 80);
        if (!r.reason) EXPECT_FALSE(reason) << row_name << " gave " << reason.value_or("");
        else
            EXPECT_NE(reason.value_or("").find(r.reason), std::string::npos)
                << row_name << " gave " << reason.value_or("(none)");
        // Whoever asks, the composer never writes to several addresses.
        std::string error;
        std::optional<std::string> reply = compose_reply(original, "s", "b", error, me);
        if (!r.reason) {
            ASSERT_TRUE(reply) << row_name << ": " << error;
            EXPECT_EQ(parse_mailboxes(parse_headers(*reply).headers.find("To")->raw).size(), 1u) << row_name;
        } else {
            EXPECT_FALSE(reply) << row_name;
            EXPECT_NE(error.find("more than one"), std::string::npos) << row_name << ": " << error;
        }
    }
}

TEST(reply_refusals, a_message_with_several_from_fields_is_never_answered) {
    struct row {
        const char* from_fields;
        const char* reason;  // nullptr: may be answered
    };
    const row rows[] = {
        {"From: bob@example.net\nFrom: bob@example.net\n", "more than one From field"},
        {"From: bob@example.net\nfrom:ceo@bank.example\n", "more than one From field"},
        {"From: Bob <bob@example.net>\nX-Mailer: x\nFROM : ceo@bank.example\n", "more than one From field"},
        {"From: bob@example.net\nFrom:\n", "more than one From field"},
        {"From: bob@example.net\nResent-From: ann@example.org\nX-Original-From: ceo@bank.example\n", nullptr},
    };
    for (const row& r : rows) {
        header_summary original = parse_headers(std::string("Return-Path: <bob@example.net>\n") + r.from_fields +
                                                "Delivered-To: me@home.example\nTo: me@home.example\n\n");
        std::optional<std::string> reason = reason_not_to_answer(original);
        if (!r.reason) EXPECT_FALSE(reason) << r.from_fields << " gave " << reason.value_or("");
        else EXPECT_EQ(reason.value_or("(none)"), r.reason) << r.from_fields;
    }
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

TEST(reply_refusals, an_address_that_cannot_be_written_back_is_not_answered) {
    struct row {
        std::string from;
        bool answered;
    };
    const row rows[] = {
        {"\"a,b\"@example.net", false},
        {"\"bob\\\r\\\nBcc: evil@spam.example\"@example.net", false},
        {"=?utf-8?q?bob=0D=0ABcc=3A_evil?=@example.net", true},  // not decoded: written back as it came
        {"bob@[192.0.2.1]", false},
        {std::string(300, 'b') + "@example.net", false},
        {"j\xc3\xa9r\xc3\xb4me@example.fr", false},
        {"Bob <bob.o'neil+tag@example.net>", true},
        {"J\xc3\xa9r\xc3\xb4me <jerome@ex\xc3\xa4mple.fr>", true},
    };
    for (const row& r : rows) {
        header_summary original =
            parse_headers("Return-Path: <bob@example.net>\nFrom: " + r.from + "\nTo: me@home.example\n\n");
        std::optional<std::string> reason = reason_not_to_answer(original);
        std::string error;
        std::optional<std::string> reply = compose_reply(original, "s", "b", error, me);
        EXPECT_EQ(!reason, r.answered) << one_line(r.from) << " gave " << reason.value_or("(none)");
        EXPECT_EQ(reply.has_value(), r.answered) << one_line(r.from) << ": " << error;
        if (reply) {
            for (unsigned char c : *reply) ASSERT_LT(c, 0x80) << one_line(r.from);
        }
    }
}

TEST(reply_refusals, a_domain_without_an_ascii_form_is_not_answered) {
    // A C1 control character or a symbol in the domain has no ASCII form: it used to reach the
    // reply's To or From line as raw 8-bit bytes.
    const std::string rows[] = {"bob@home.exampl\xc2\x9d",
                                "bob@ex\xc2\x85"
                                "ample.net",
                                "bob@ex\xffmple.net", "bob@home\xc2\xae.example"};
    for (const std::string& address : rows) {
        for (const char* field : {"Reply-To: ", "From: "}) {
            header_summary original = parse_headers("Return-Path: <bob@example.net>\nFrom: bob@example.net\n" +
                                                    std::string(field) + address + "\nTo: me@home.example\n\n");
            std::string error;
            std::optional<std::string> reply = compose_reply(original, "s", "b", error, me);
            if (reply) {
                for (unsigned char c : *reply) ASSERT_LT(c, 0x80) << one_line(address) << "\n" << *reply;
            }
        }
        // Read as Windows-1252, the 0xFF is a letter with an ASCII form like any other.
        if (address.find('\xff') != std::string::npos) continue;
        header_summary to_self = parse_headers("Return-Path: <bob@example.net>\nFrom: bob@example.net\nTo: me@" +
                                               address.substr(address.find('@') + 1) + "\n\n");
        std::string error;
        user_addresses there{"me@" + address.substr(address.find('@') + 1), {}};
        EXPECT_FALSE(compose_reply(to_self, "s", "b", error, there)) << one_line(address);
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
