// Reading mail: encoded subjects, addresses, bodies of multipart mail and delivery reports,
// attachment names.
#include <gtest/gtest.h>

#include "common/mime.h"

TEST(mime_headers, subjects_are_decoded_to_utf8) {
    struct row {
        std::string raw;
        std::string decoded;
    };
    const row rows[] = {
        {"Plain subject", "Plain subject"},
        {"=?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=", "Grüße aus Köln"},
        {"=?ISO-8859-1?Q?Caf=E9_cr=E8me?=", "Café crème"},
        {"Re: =?utf-8?q?na=C3=AFve?= =?utf-8?q?_caf=C3=A9?=", "Re: naïve café"},
        {"Caf\xE9 undeclared Latin-1", "Café undeclared Latin-1"},
        {"=?UTF-8?B?broken", "=?UTF-8?B?broken"},
    };
    for (const row& r : rows) {
        header_summary parsed = parse_headers("From: a@example.org\nSubject: " + r.raw + "\n\n");
        EXPECT_EQ(parsed.subject, r.decoded) << r.raw;
    }
}

TEST(mime_headers, sender_and_receiver_are_the_first_mailboxes) {
    header_summary parsed = parse_headers(
        "From: \"Doe, John\" <John.Doe@Example.COM>, other@example.org\n"
        "To: Team: ann@example.org, bob@example.org;, carl@example.org\n"
        "Subject: x\n\n");
    EXPECT_EQ(parsed.sender, "John.Doe@Example.COM");  // as written: the add-in normalises
    EXPECT_EQ(parsed.receiver, "ann@example.org");     // groups are looked into
    EXPECT_EQ(parse_headers("From: undisclosed\n\n").sender, "undisclosed");
    EXPECT_EQ(parse_headers("Subject: no addresses\n\n").receiver, "");
    std::vector<mailbox> boxes = parse_mailboxes("=?UTF-8?Q?J=C3=A9r=C3=B4me?= <jerome@exemple.fr>");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].name, "Jérôme");
    EXPECT_EQ(boxes[0].address, "jerome@exemple.fr");
}

TEST(mime_headers, fields_are_found_in_any_letter_case) {
    header_summary parsed = parse_headers("LIST-ID: <x.example.org>\nauto-submitted:  auto-replied  \n\n");
    EXPECT_EQ(parsed.headers.value("Auto-Submitted"), "auto-replied");
    ASSERT_NE(parsed.headers.find_prefix("List-"), nullptr);
    EXPECT_FALSE(parsed.headers.value("Precedence"));
    EXPECT_EQ(parse_date("Mon, 01 Jan 2024 10:00:00 +0000"), 1704103200);
    EXPECT_FALSE(parse_date("not a date"));
}

TEST(mime_content, the_body_is_the_first_plain_text_part) {
    struct row {
        const char* what;
        std::string message;
        std::string body;
    };
    const row rows[] = {
        {"single part", "Content-Type: text/plain\n\nHello.\n", "Hello.\n"},
        {"no content type at all", "Subject: x\n\nJust text.\n", "Just text.\n"},
        {"quoted-printable Latin-1",
         "Content-Type: text/plain; charset=ISO-8859-1\nContent-Transfer-Encoding: quoted-printable\n\nCaf=E9\n",
         "Café\n"},
        {"base64 UTF-8", "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\nS8O2bG4K\n",
         "Köln\n"},
        {"alternative: plain before html",
         "Content-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/html\n\n<p>html</p>\n"
         "--b\nContent-Type: text/plain\n\nplain\n--b--\n",
         "plain"},
        {"html only",
         "Content-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/html\n\n<p>html</p>\n--b--\n",
         "<p>html</p>"},
        {"a text attachment is not the body",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\nContent-Disposition: attachment; "
         "filename=notes.txt\n\nnotes\n--b\nContent-Type: text/plain\n\nthe body\n--b--\n",
         "the body"},
        {"an attached message is not the body",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/rfc822\n\nSubject: inner\n\ninner "
         "text\n--b--\n",
         ""},
        {"no text at all", "Content-Type: application/octet-stream\n\nxyz", ""},
    };
    for (const row& r : rows) EXPECT_EQ(parse_content("From: a@b.cd\n" + r.message).body, r.body) << r.what;
}

TEST(mime_content, a_delivery_report_gives_its_text_status_and_returned_headers) {
    const std::string report =
        "From: MAILER-DAEMON@mx.example\nContent-Type: multipart/report; report-type=delivery-status; boundary=r\n\n"
        "--r\nContent-Type: text/plain\n\n<dave@nowhere.example>: host not found\n"
        "--r\nContent-Type: message/delivery-status\n\nReporting-MTA: dns; mx.example\n\n"
        "Final-Recipient: rfc822; dave@nowhere.example\nStatus: 5.4.4\n"
        "--r\nContent-Type: text/rfc822-headers\n\nSubject: Please confirm [KEY]\nTo: dave@nowhere.example\n"
        "--r--\n";
    std::string body = parse_content(report).body;
    EXPECT_EQ(body.find("<dave@nowhere.example>: host not found"), 0u) << body;
    EXPECT_NE(body.find("Final-Recipient: rfc822; dave@nowhere.example"), std::string::npos) << body;
    EXPECT_NE(body.find("Subject: Please confirm [KEY]"), std::string::npos) << body;

    // The same report returning the whole message: only its headers join the body.
    std::string whole = report.substr(0, report.find("--r\nContent-Type: text/rfc822-headers")) +
                        "--r\nContent-Type: message/rfc822\n\nSubject: Please confirm [KEY]\n\nchallenge body\n--r--\n";
    body = parse_content(whole).body;
    EXPECT_NE(body.find("Subject: Please confirm [KEY]"), std::string::npos) << body;
    EXPECT_EQ(body.find("challenge body"), std::string::npos) << body;
}

TEST(mime_content, attachment_names_come_from_every_part_that_carries_one) {
    const std::string message =
        "From: a@b.cd\nContent-Type: multipart/mixed; boundary=m\n\n"
        "--m\nContent-Type: text/plain\n\nsee attached\n"
        "--m\nContent-Type: application/pdf\nContent-Disposition: attachment; "
        "filename*=UTF-8''%C3%9Cbersicht.pdf\n\nx\n"
        "--m\nContent-Type: image/png; name=\"=?UTF-8?B?S8O2bG4ucG5n?=\"\n\nx\n"
        "--m\nContent-Type: application/octet-stream\n\nno name\n"
        "--m\nContent-Type: message/rfc822\nContent-Disposition: attachment; filename=forwarded.eml\n\n"
        "Subject: inner\nContent-Type: application/zip; name=inner.zip\n\nx\n"
        "--m--\n";
    message_content content = parse_content(message);
    EXPECT_EQ(content.attachment_names, (std::vector<std::string>{"Übersicht.pdf", "Köln.png", "forwarded.eml"}));
    EXPECT_EQ(content.body, "see attached");
}

TEST(mime_content, broken_mail_reads_as_empty_values) {
    for (const std::string& broken :
         {std::string(), std::string("\0\xFF\xFE", 3), std::string("Content-Type: multipart/mixed\n\nno boundary")}) {
        message_content content = parse_content(broken);
        EXPECT_TRUE(content.attachment_names.empty());
        header_summary headers = parse_headers(broken);
        EXPECT_EQ(headers.sender, "");
    }
    EXPECT_FALSE(parse_content_file("/nonexistent/message"));
}
