// Automatic replies: what must not be answered (RFC 3834, RFC 5230).
#include <gtest/gtest.h>

#include "common/mime.h"
#include "policy/reply.h"

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
