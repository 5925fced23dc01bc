#include <functional>
#include <limits>

#include "diag/debug_log.h"
#include "mail/email.h"
#include "mail_fixture.h"
#include "support/hresult_checks.h"

namespace {

using email_test = mail_test;

TEST_F(email_test, reads_the_headers_once_and_keeps_them) {
    auto id = add({.sender = "Ann <ann@example.com>", .receiver = "me@example.org", .subject = "Hello"});
    auto email = record(id);
    ASSERT_TRUE(email);
    EXPECT_EQ(email->get_sender(), "Ann <ann@example.com>");
    EXPECT_EQ(email->get_receiver(), "me@example.org");
    EXPECT_EQ(email->get_subject(), "Hello");
    for (const std::string& text :
         {email->get_extra_text(), email->get_extra_text2(), email->get_extra_text3(), email->get_extra_text4()})
        EXPECT_EQ(text, "");
    EXPECT_EQ(host.call_count("get_message_headers"), 1);
    EXPECT_EQ(host.calls().size(), 1u) << "only the headers are read when the record is made";
}

TEST_F(email_test, a_failed_header_read_leaves_empty_fields) {
    auto id = add({.sender = "ann@example.com", .subject = "Hello"});
    host.inject("get_message_headers", {});
    auto email = record(id);
    ASSERT_TRUE(email);
    EXPECT_EQ(email->get_sender(), "");
    EXPECT_EQ(email->get_subject(), "");
}

TEST_F(email_test, makes_no_record_of_what_is_not_a_message_object) {
    auto id = add({});
    com_ptr<IUnknown> object = host.message_object(id);
    VARIANT as_dispatch = memory_host::unknown_view(object.get());
    as_dispatch.vt = VT_DISPATCH;
    VARIANT null_object = memory_host::unknown_view(nullptr);
    VARIANT empty;
    VariantInit(&empty);
    for (const VARIANT* value : {&as_dispatch, &null_object, &empty}) EXPECT_FALSE(make_email(*value));
    EXPECT_TRUE(host.calls().empty());
}

TEST_F(email_test, sender_domain_starts_at_the_first_at_sign) {
    struct row {
        const char* sender;
        const char* domain;
    } rows[] = {{"ann@example.com", "@example.com"}, {"no at sign", ""}, {"a@b@c", "@b@c"}, {"@", "@"}};
    for (const row& r : rows) {
        auto email = record(add({.sender = r.sender}));
        EXPECT_EQ(email->get_sender_domain(), r.domain) << r.sender;
    }
}

TEST_F(email_test, an_empty_body_is_asked_again_and_a_known_one_is_kept) {
    auto id = add({.body = ""});
    auto email = record(id);
    EXPECT_EQ(email->get_body(), "");
    EXPECT_EQ(email->get_body(), "");
    EXPECT_EQ(host.call_count("get_message_body"), 2);
    host.set_body(id, "now there is text");
    EXPECT_EQ(email->get_body(), "now there is text");
    EXPECT_EQ(email->get_body(), "now there is text");
    EXPECT_EQ(host.call_count("get_message_body"), 3);
}

TEST_F(email_test, a_failing_body_read_gives_empty_marker_for_good) {
    // A host that fills the body but reports failure must not leak it either.
    for (bool performed : {false, true}) {
        auto id = add({.body = "text"});
        auto email = record(id);
        host.inject("get_message_body", {.result = E_UNEXPECTED, .perform = performed, .times = 1});
        EXPECT_EQ(email->get_body(), "<empty>");
        EXPECT_EQ(email->get_body(), "<empty>");
    }
    EXPECT_EQ(host.call_count("get_message_body"), 2);
}

TEST_F(email_test, attachment_names_are_sorted_unique_and_text_only) {
    auto email = record(add({.attachments = {"b.pdf", "a.txt", "b.pdf", "", host_item::number(7),
                                             host_item::null_text(), host_item::empty(), "C.doc"}}));
    std::set<std::string> names;
    email->get_attachment_names(names);
    EXPECT_EQ(names, (std::set<std::string>{"C.doc", "a.txt", "b.pdf"}));

    host.inject("enum_attachment_names", {.result = S_OK});  // answers without an enumerator
    std::set<std::string> none;
    email->get_attachment_names(none);
    EXPECT_TRUE(none.empty());
}

TEST_F(email_test, stream_output_is_one_fixed_block) {
    const std::string head =
        "\n\n==================================================>\n\nemail info : "
        "\nFrom: ann@example.com\nSubject Hello\nMessage \nthe body";
    struct row {
        std::vector<host_item> attachments;
        bool unread;
        std::string tail;
    } rows[] = {
        {{"b.pdf", "a.txt"}, true, "\nAll attachment names\na.txt\nb.pdf\n\nAlready Read = no\n===============\n\n"},
        {{}, false, "\nAll attachment names\n\nAlready Read = yes\n===============\n\n"},
    };
    for (const row& r : rows) {
        auto email = record(add({.sender = "ann@example.com",
                                 .subject = "Hello",
                                 .body = "the body",
                                 .unread = r.unread,
                                 .attachments = r.attachments}));
        std::ostringstream out;
        out << *email << "|";
        EXPECT_EQ(out.str(), head + r.tail + "|");
    }
}

TEST_F(email_test, read_state_is_unread_when_the_host_does_not_answer) {
    auto read = record(add({.unread = false}));
    auto unread = record(add({.unread = true}));
    EXPECT_TRUE(read->is_already_read());
    EXPECT_FALSE(unread->is_already_read());
    for (HRESULT result : {E_FAIL, S_OK}) {
        host.inject("get_unread", {.result = result});
        EXPECT_FALSE(read->is_already_read()) << "get_unread answering " << result << " without a value";
    }
}

TEST_F(email_test, time_values_are_truncated_toward_zero) {
    struct row {
        double received;
        std::int64_t expected;
    } rows[] = {{1234.9, 1234},
                {-5.5, -5},
                {1e300, std::numeric_limits<std::int64_t>::max()},
                {-1e300, std::numeric_limits<std::int64_t>::min()},
                {std::numeric_limits<double>::quiet_NaN(), 0}};
    for (const row& r : rows) {
        auto email = record(add({.received = r.received}));
        EXPECT_EQ(email->get_time_value(), r.expected) << r.received;
        EXPECT_EQ(email->get_time_value2(), r.expected) << r.received;
    }
    auto email = record(add({.received = 99}));
    host.inject("get_message_time", {});
    EXPECT_EQ(email->get_time_value(), 0);
}

TEST_F(email_test, actions_reach_the_host) {
    auto id = add({.unread = true});
    auto email = record(id);
    EXPECT_HR(S_OK, email->mark_as_read());
    EXPECT_FALSE(host.is_unread(id));
    EXPECT_HR(S_OK, email->mark_as_unread());
    EXPECT_TRUE(host.is_unread(id));
    email->a_reply("Re: challenge", "");
    ASSERT_EQ(host.replies().size(), 1u);
    EXPECT_EQ(host.replies()[0].message, id);
    EXPECT_EQ(host.replies()[0].subject, "Re: challenge");
    EXPECT_EQ(host.replies()[0].body, "");
    email->delete_email();
    EXPECT_TRUE(host.is_deleted(id));
}

TEST_F(email_test, a_failed_delete_logs_ggg_and_leaves_standard_output_alone) {
    auto email = record(add({}));
    host.inject("delete_message", {.result = E_ACCESSDENIED});
    log_capture log;
    testing::internal::CaptureStdout();
    email->delete_email();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log.text(), "ggg\n");
    EXPECT_TRUE(host.deleted().empty());
}

TEST_F(email_test, without_a_mailer_every_host_operation_fails_cleanly) {
    auto email = record(add({.body = "text", .unread = false, .attachments = {"a.txt"}, .received = 5}));
    g_mailer.reset();
    struct row {
        const char* operation;
        std::function<void(a_email&)> call;
    } rows[] = {
        {"get_body", [](a_email& e) { EXPECT_EQ(e.get_body(), ""); }},
        {"get_time_value", [](a_email& e) { EXPECT_EQ(e.get_time_value(), 0); }},
        {"get_time_value2", [](a_email& e) { EXPECT_EQ(e.get_time_value2(), 0); }},
        {"is_already_read", [](a_email& e) { EXPECT_FALSE(e.is_already_read()); }},
        {"mark_as_read", [](a_email& e) { EXPECT_HR(E_FAIL, e.mark_as_read()); }},
        {"mark_as_unread", [](a_email& e) { EXPECT_HR(E_FAIL, e.mark_as_unread()); }},
        {"get_attachment_names",
         [](a_email& e) {
             std::set<std::string> names;
             e.get_attachment_names(names);
             EXPECT_TRUE(names.empty());
         }},
        {"delete_email", [](a_email& e) { e.delete_email(); }},
        {"a_reply", [](a_email& e) { e.a_reply("s", "b"); }},
    };
    size_t calls_before = host.calls().size();
    for (const row& r : rows) {
        log_capture log;
        r.call(*email);
        EXPECT_EQ(log.text(), std::string("FAIL: ") + r.operation + ", MAILER == NULL\n");
    }
    EXPECT_EQ(host.calls().size(), calls_before);

    // The body was not fixed as "<empty>": with a mailer again it is fetched.
    g_mailer = host.mailer();
    EXPECT_EQ(email->get_body(), "text");

    g_mailer.reset();
    log_capture log;
    auto object = host.message_object(add({}));
    EXPECT_FALSE(make_email(memory_host::unknown_view(object.get())));
    EXPECT_EQ(log.text(), "FAIL: make_email, MAILER == NULL\n");
}

}  // namespace
