// Automatic replies: what must not be answered (RFC 3834, RFC 5230), and the reply itself.
#include <gtest/gtest.h>

#include "host/mime.h"
#include "host/reply.h"

namespace {

header_summary message_with(const std::string& extra_headers) {
    return parse_headers("Return-Path: <bob@example.net>\nDelivered-To: me@home.example\n"
                         "From: Bob <bob@example.net>\nTo: Robin <me@home.example>\nSubject: Hello\n"
                         "Message-ID: <original@example.net>\n" +
                         extra_headers + "\n");
}

}  // namespace

TEST(ReplyRefusals, AutomaticListAndBulkMailIsNeverAnswered) {
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
        else EXPECT_NE(reason.value_or("").find(r.reason), std::string::npos) << r.headers << " gave " << reason.value_or("(none)");
    }
}

TEST(ReplyRefusals, MailWithoutAReturnPathOrFromARobotIsNeverAnswered) {
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
        {"Return-Path: <bob@example.net>\nFrom: bob@example.net\nTo: undisclosed-recipients:;\n\n", "no receiver"},
    };
    for (const row& r : rows) {
        std::optional<std::string> reason = reason_not_to_answer(parse_headers(r.message));
        EXPECT_NE(reason.value_or("").find(r.reason), std::string::npos) << r.message << " gave " << reason.value_or("(none)");
    }
}

TEST(ReplyRefusals, RobotAddresses) {
    for (const char* robot : {"MAILER-DAEMON@x.org", "mailer-daemon@x.org", "LISTSERV@x.org", "majordomo@x.org",
                              "owner-users@x.org", "users-request@x.org", "noreply@x.org", "no-reply+tag@x.org",
                              "Do-Not-Reply@x.org", "donotreply@x.org"})
        EXPECT_TRUE(is_robot_address(robot)) << robot;
    for (const char* person : {"bob@example.net", "owner@x.org", "request@x.org", "norah@x.org", "replies@x.org"})
        EXPECT_FALSE(is_robot_address(person)) << person;
}

TEST(ReplyComposition, TheReplyAnswersTheSenderWithoutQuotingIt) {
    std::string error;
    header_summary original = parse_headers(
        "Return-Path: <bob@example.net>\nDelivered-To: me@home.example\nFrom: Bob <bob@example.net>\n"
        "Reply-To: Bob at home <bob@home.example.net>\nTo: Robin <ME@home.example>, Other <other@example.org>\n"
        "Subject: Secret original subject\nMessage-ID: <original@example.net>\n"
        "References: <first@example.net>\n\n");
    auto reply = compose_reply(original, "Please confirm [KEY]\nBcc: injected@evil.example", "Line one\nLine two", error);
    ASSERT_TRUE(reply) << error;
    header_summary parsed = parse_headers(reply->substr(0, reply->find("\n\n") + 2));
    EXPECT_EQ(parsed.sender, "me@home.example");
    EXPECT_EQ(parsed.headers.find("From")->value, "Robin <me@home.example>");
    EXPECT_EQ(parsed.receiver, "bob@home.example.net");  // Reply-To wins over From
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
    header_summary as_received = parse_headers("Return-Path: <me@home.example>\n" + reply->substr(0, reply->find("\n\n") + 2));
    EXPECT_TRUE(reason_not_to_answer(as_received));
}

TEST(ReplyComposition, TheReplyComesFromTheAddressTheMailWasDeliveredTo) {
    struct row {
        std::string headers;
        const char* from;
    };
    const row rows[] = {
        {"To: Ann <ann@example.org>\nCc: Robin <Me@Home.example>\nDelivered-To: me@home.example\n", "Robin <me@home.example>"},
        {"To: users@lists.example.org\nX-Original-To: robin@home.example\nDelivered-To: me@home.example\n",
         "robin@home.example"},
        {"To: Robin <me@home.example>, Ann <ann@example.org>\n", "Robin <me@home.example>"},
    };
    for (const row& r : rows) {
        std::string error;
        auto reply = compose_reply(parse_headers("From: bob@example.net\n" + r.headers + "\n"), "s", "b", error);
        ASSERT_TRUE(reply) << error;
        EXPECT_EQ(parse_headers(*reply).headers.value("From"), r.from) << r.headers;
    }
}

TEST(ReplyComposition, NonAsciiTextIsSentAsUtf8) {
    std::string error;
    header_summary original = parse_headers("From: jerome@exemple.fr\nTo: me@home.example\nSubject: x\n\n");
    auto reply = compose_reply(original, "Bitte bestätigen [KEY]", "Grüße\n", error);
    ASSERT_TRUE(reply) << error;
    for (unsigned char c : *reply) EXPECT_LT(c, 0x80) << "the reply must be 7-bit";
    EXPECT_NE(reply->find("charset=utf-8"), std::string::npos);
    EXPECT_EQ(parse_headers(reply->substr(0, reply->find("\n\n") + 2)).subject, "Bitte bestätigen [KEY]");
    EXPECT_EQ(parse_content(*reply).body, "Grüße\n");
    EXPECT_EQ(parse_headers(*reply).headers.find("In-Reply-To"), nullptr);  // the original had no Message-ID
}

TEST(ReplyComposition, NobodyToAnswerIsAnError) {
    std::string error;
    EXPECT_FALSE(compose_reply(parse_headers("To: me@home.example\n\n"), "s", "b", error));
    EXPECT_NE(error.find("nobody"), std::string::npos);
    EXPECT_FALSE(compose_reply(parse_headers("From: bob@example.net\n\n"), "s", "b", error));
    EXPECT_NE(error.find("no receiver"), std::string::npos);
}

TEST(ReplyRefusals, PostmasterMailAndAutomaticRepliesAreNeverAnswered) {
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
        else EXPECT_NE(reason.value_or("").find(r.reason), std::string::npos) << r.headers << " gave " << reason.value_or("(none)");
    }
    const std::string from_postmaster = "Return-Path: <postmaster@mx.example>\nFrom: postmaster@mx.example\nTo: me@home.example\n\n";
    EXPECT_NE(reason_not_to_answer(parse_headers(from_postmaster)).value_or("").find("robot"), std::string::npos);
}

TEST(ReplyRefusals, AChallengeGoesToOneAddressOrToNone) {
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
        {"From: Bob <bob@example.net>, Ann <ann@example.org>\nReply-To: bob@example.net\n", "more than one sender address"},
        {"Reply-To: bob@example.net, ann@example.org\n", "more than one reply address"},
        {"Reply-To: " + thousand + "\n", "more than one reply address"},
        {"Reply-To: Bob at home <bob@home.example.net>\n", nullptr},
    };
    for (const row& r : rows) {
        // The rows' From replaces the usual one.
        std::string headers = "Return-Path: <bob@example.net>\nDelivered-To: me@home.example\nTo: me@home.example\n" +
                              (r.headers.rfind("From:", 0) == 0 ? "" : std::string("From: bob@example.net\n")) + r.headers + "\n";
        header_summary original = parse_headers(headers);
        std::optional<std::string> reason = reason_not_to_answer(original);
        std::string row_name = r.headers.substr(0, 80);
        if (!r.reason) EXPECT_FALSE(reason) << row_name << " gave " << reason.value_or("");
        else EXPECT_NE(reason.value_or("").find(r.reason), std::string::npos) << row_name << " gave " << reason.value_or("(none)");
        // Whoever asks, the composer never writes to several addresses.
        std::string error;
        std::optional<std::string> reply = compose_reply(original, "s", "b", error);
        if (!r.reason) {
            ASSERT_TRUE(reply) << row_name << ": " << error;
            EXPECT_EQ(parse_mailboxes(parse_headers(*reply).headers.find("To")->raw).size(), 1u) << row_name;
        } else {
            EXPECT_FALSE(reply) << row_name;
            EXPECT_NE(error.find("more than one"), std::string::npos) << row_name << ": " << error;
        }
    }
}
