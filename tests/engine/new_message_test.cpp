// One new message through run_workflow2: the ladder, bounces, challenges and answers.
#include <algorithm>
#include <vector>

#include "config/configuration.h"
#include "engine/ostrel.h"
#include "engine_fixture.h"
#include "mail/accounts.h"
#include "platform/file_io.h"

namespace {

using new_message_test = engine_test;

enum class fate { left, deleted, pending };

struct ladder_case {
    const char* name;
    std::vector<std::pair<int, const char*>> entries;  // list number, address
    memory_host::message_spec message;
    const char* log_line;  // followed by the raw sender
    fate expected;
};

const char* const remove_line = "handle_email: email is remove list : ";
const char* const ignore_line = "handle_email: email is ignore list : ";
const char* const self_line = "handle_email: sender == reciver, put email in pending list : ";
const char* const authorized_line = "handle_email: email is in authorized list : ";
const char* const pending_line = "handle_email: email is in pending list : ";
const char* const challenge_line = "handle_email: send chalange request to: ";
const char* const bounce_deleted_line =
    "handle_email: MAILERDAEMON Message , Delete bounced reply to chalange request: ";
const char* const bounce_kept_line =
    "handle_email: MAILERDAEMON Message , Not Deleteing bounce email that is not "
    "a reply to chalange request   : ";

const ladder_case ladder_cases[] = {
    {"remove_beats_authorized",
     {{0, "x@example.com"}, {1, "x@example.com"}},
     {.sender = "X <x@example.com>", .receiver = "me@example.org"},
     remove_line,
     fate::deleted},
    {"ignore", {{2, "x@example.com"}}, {.sender = "x@example.com"}, ignore_line, fate::deleted},
    {"sender_equals_receiver_even_when_authorized",
     {{0, "me@example.org"}},
     {.sender = "me@example.org", .receiver = "me@example.org"},
     self_line,
     fate::pending},
    {"sender_differs_from_receiver_only_in_case",
     {{0, "me@example.org"}},
     {.sender = "Me@example.org", .receiver = "me@example.org"},
     authorized_line,
     fate::left},
    {"authorized_by_domain", {{0, ".@example.com"}}, {.sender = "Y@EXAMPLE.COM"}, authorized_line, fate::left},
    {"pending_sender_is_not_challenged_again",
     {{3, "p@example.com"}},
     {.sender = "p@example.com", .subject = "hi"},
     pending_line,
     fate::pending},
    {"key_in_other_letter_case_is_no_answer",
     {{3, "p@example.com"}},
     {.sender = "p@example.com", .subject = "Re: [twk-testkey]"},
     pending_line,
     fate::pending},
    {"bounce_of_a_challenge_by_the_first_at_word",
     {{0, "daemon@example.net"}, {3, "p@example.com"}},
     {.sender = "daemon@example.net", .subject = "Undeliverable: hi", .body = "To: <P@example.com> failed"},
     bounce_deleted_line,
     fate::deleted},
    {"bounce_whose_first_at_word_is_invalid",
     {{3, "p@example.com"}},
     {.sender = "daemon@example.net", .subject = "Returned mail", .body = "@host said p@example.com"},
     bounce_kept_line,
     fate::left},
    {"bounce_of_a_challenge_by_the_key_in_the_body",
     {},
     {.sender = "daemon@example.net", .subject = "Returned mail", .body = "Subject: Please confirm [TWK-TESTKEY]"},
     bounce_deleted_line,
     fate::deleted},
    {"bounce_of_a_challenge_by_an_attachment_name",
     {},
     {.sender = "daemon@example.net", .subject = "Returned mail", .attachments = {"a.txt", "[TWK-TESTKEY].eml"}},
     bounce_deleted_line,
     fate::deleted},
    {"other_bounce_is_kept",
     {},
     {.sender = "daemon@example.net", .subject = "Delivery Failure", .body = "nothing"},
     bounce_kept_line,
     fate::left},
    {"bounce_pattern_case_matters",
     {{3, "p@example.com"}},
     {.sender = "p@example.com", .subject = "delivery failure"},
     pending_line,
     fate::pending},
    {"unknown_sender", {}, {.sender = "new@example.com"}, challenge_line, fate::pending},
};

void PrintTo(const ladder_case& c, std::ostream* out) { *out << c.name; }

class ladder_test : public engine_test, public testing::WithParamInterface<ladder_case> {};

TEST_P(ladder_test, takes_the_first_rung_that_applies) {
    const ladder_case& c = GetParam();
    for (auto [list, address] : c.entries) engine().list_by_number(list)->insert(address);
    const std::size_t pending_before = engine().pending_list().size();
    message_id message = deliver(c.message);

    EXPECT_TRUE(log.contains(std::string(c.log_line) + c.message.sender + "\n")) << log.text();
    EXPECT_EQ(host.is_deleted(message), c.expected == fate::deleted);
    if (c.expected == fate::pending) {
        EXPECT_TRUE(in_folder(message, pending_folder()));
    } else if (c.expected == fate::left) {
        EXPECT_TRUE(in_folder(message, host.incoming()));
    }
    const bool challenged = std::string(c.log_line) == challenge_line;
    EXPECT_EQ(host.replies().size(), challenged ? 1u : 0u);
    EXPECT_EQ(engine().pending_list().size(), pending_before + (challenged ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(engine, ladder_test, testing::ValuesIn(ladder_cases), row_name());

TEST_F(new_message_test, an_unknown_sender_is_challenged_then_moved_then_listed) {
    message_id message = deliver({.sender = "Ann <Ann@Example.com>", .subject = "Hello"});

    ASSERT_EQ(host.replies().size(), 1u);
    EXPECT_EQ(host.replies()[0].message, message);
    EXPECT_EQ(host.replies()[0].subject, "Please confirm [TWK-TESTKEY]");
    EXPECT_EQ(host.replies()[0].body, "Hello,\nPlease reply.\nThanks");
    EXPECT_TRUE(in_folder(message, pending_folder()));
    EXPECT_EQ(data_file("pending.lst"), "\r\n\rann@example.com\r\n\r");

    const std::vector<std::string>& calls = host.calls();
    auto reply = std::find(calls.begin(), calls.end(), "reply_to_message");
    auto move = std::find(calls.begin(), calls.end(), "move_message");
    EXPECT_LT(reply, move);
    const std::string& text = log.text();
    EXPECT_LT(text.find("send_authorization_request, 1, to: Ann <Ann@Example.com>, subj: Hello\n"),
              text.find("send_authorization_request, 4\n"));
    EXPECT_LT(text.find("handle_authorization, 3\n"), text.find("handle_authorization, 4\n"));
    EXPECT_LT(text.find("handle_authorization, 4\n"), text.find("handle_authorization, 5\n"));
    EXPECT_TRUE(log.contains(" ostrel::run_workflow2() exit 1\n"));
}

TEST_F(new_message_test, a_sender_without_an_address_is_moved_but_not_challenged) {
    message_id message = deliver({.sender = "nobody"});
    EXPECT_TRUE(log.contains("send_authorization_request - bad email address : 'nobody'\n"));
    EXPECT_TRUE(log.contains("warnning: add_to_list - invalid email nobody\n"));
    EXPECT_TRUE(host.replies().empty());
    EXPECT_TRUE(in_folder(message, pending_folder()));
    EXPECT_TRUE(engine().pending_list().empty());
}

TEST_F(new_message_test, the_already_read_store_is_filled_on_the_first_call_only) {
    message_id read = deliver({.sender = "old@example.com", .unread = false});
    EXPECT_TRUE(log.contains("handle_email: insert email to already read : old@example.com\n"));
    message_id again = deliver({.sender = "old@example.com"});
    EXPECT_TRUE(log.contains("handle_email: skipping already read mail : old@example.com\n"));
    message_id later = deliver({.sender = "other@example.com", .unread = false});
    EXPECT_TRUE(in_folder(read, host.incoming()));
    EXPECT_TRUE(in_folder(again, host.incoming()));
    EXPECT_TRUE(in_folder(later, pending_folder())) << "only the first call fills the store";
    EXPECT_EQ(host.replies().size(), 1u);
}

TEST_F(new_message_test, an_answer_authorizes_and_its_sender_is_released_at_the_next_release) {
    message_id waiting = deliver({.sender = "ann@example.com", .subject = "Hello"});
    ASSERT_TRUE(in_folder(waiting, pending_folder()));
    ASSERT_FALSE(host.is_unread(waiting)) << "moved aside marked read";

    message_id answer = deliver({.sender = "ann@example.com", .subject = "Re: Please confirm [TWK-TESTKEY]"});
    EXPECT_TRUE(log.contains("handle_email: email is add to list request : ann@example.com\n"));
    EXPECT_TRUE(host.is_deleted(answer));
    EXPECT_EQ(data_file("authorized.lst"), "\r\n\rann@example.com\r\n\r");
    EXPECT_EQ(data_file("pending.lst"), "\r\n\r");
    EXPECT_EQ(engine().senders_to_release(), std::vector<std::string>{"ann@example.com"});
    EXPECT_TRUE(in_folder(waiting, pending_folder())) << "nothing moves before the release";

    engine().run_move_email_from_pending_to_incomming();
    EXPECT_TRUE(log.contains("Run: void ostrel::run_move_email_from_pending_to_incomming() \n"));
    EXPECT_TRUE(in_folder(waiting, host.incoming()));
    EXPECT_TRUE(host.is_unread(waiting));
    EXPECT_TRUE(engine().senders_to_release().empty());
}

// The key is no password: a subject carrying it authorizes only the sender who was challenged
// and is still waiting. Anyone else is handled as any stranger: challenged once, his mail parked.
TEST_F(new_message_test, the_key_authorizes_only_a_sender_whose_challenge_is_pending) {
    message_id waiting = deliver({.sender = "ann@example.com", .subject = "Hello"});
    deliver({.sender = "gone@example.com", .subject = "Hello"});
    engine().remove_from_list(engine().pending_list(), "gone@example.com");  // his challenge expired
    const std::size_t challenges = host.replies().size();

    const char* const hostile_senders[] = {
        "mallory@example.com",           // never challenged
        "Ann <ann@example.net>",         // the challenged name, another address
        "ann@example.com.evil.example",  // the challenged address inside another
        "gone@example.com",              // challenged, but no longer waiting
    };
    std::size_t expected_challenges = challenges;
    for (const char* sender : hostile_senders) {
        SCOPED_TRACE(sender);
        message_id forged = deliver({.sender = sender, .subject = "Re: Please confirm [TWK-TESTKEY]"});
        EXPECT_TRUE(log.contains(std::string(challenge_line) + sender + "\n"));
        EXPECT_TRUE(in_folder(forged, pending_folder()));
        EXPECT_EQ(host.replies().size(), ++expected_challenges);
        EXPECT_FALSE(engine().is_authorized(sender));
    }
    EXPECT_EQ(data_file("authorized.lst"), "");
    EXPECT_TRUE(engine().senders_to_release().empty());
    EXPECT_EQ(data_file("answering.lst"), "");

    message_id answer = deliver({.sender = "ann@example.com", .subject = "Re: Please confirm [TWK-TESTKEY]"});
    EXPECT_TRUE(host.is_deleted(answer));
    EXPECT_TRUE(engine().is_authorized("ann@example.com"));
    engine().run_move_email_from_pending_to_incomming();
    EXPECT_TRUE(in_folder(waiting, host.incoming()));
}

TEST_F(new_message_test, an_answer_from_a_display_name_leaves_the_pending_entry) {
    deliver({.sender = "Ann <ann@example.com>"});
    deliver({.sender = "Ann <ann@example.com>", .subject = "Re: [TWK-TESTKEY]"});
    EXPECT_TRUE(engine().is_authorized("ann@example.com"));
    EXPECT_TRUE(engine().is_in_pending_list("ann@example.com")) << "removal compares the raw sender text";
}

TEST_F(new_message_test, every_sender_that_answers_before_a_release_is_released) {
    message_id from_a = deliver({.sender = "a@example.com"});
    message_id from_b = deliver({.sender = "b@example.com"});
    deliver({.sender = "a@example.com", .subject = "[TWK-TESTKEY]"});
    deliver({.sender = "b@example.com", .subject = "[TWK-TESTKEY]"});
    EXPECT_EQ(engine().senders_to_release(), (std::vector<std::string>{"a@example.com", "b@example.com"}));
    engine().run_move_email_from_pending_to_incomming();
    EXPECT_TRUE(in_folder(from_a, host.incoming()));
    EXPECT_TRUE(in_folder(from_b, host.incoming()));
}

TEST_F(new_message_test, an_empty_key_recognises_no_answer_and_no_bounce_by_key) {
    set("ARSubjectKey", "");
    message_id message = deliver({.sender = "new@example.com", .subject = "anything"});
    EXPECT_TRUE(log.contains(std::string(challenge_line) + "new@example.com\n"));
    EXPECT_TRUE(in_folder(message, pending_folder()));
    EXPECT_FALSE(engine().is_authorized("new@example.com"));

    message_id bounce = deliver({.sender = "d@example.net", .subject = "Returned mail", .body = "no address"});
    EXPECT_TRUE(log.contains(std::string(bounce_kept_line) + "d@example.net\n"));
    EXPECT_TRUE(in_folder(bounce, host.incoming()));
}

// However the key was emptied, a semicolon in a stranger's subject or a bounce is no answer.
struct empty_key_case {
    const char* name;
    bool through_the_file;  // else set in memory only
    const char* value;
};

const empty_key_case empty_key_cases[] = {
    {"emptied_in_memory", false, ""},
    {"emptied_and_read_back_from_the_file", true, ""},
    {"stored_form_in_memory", false, ";"},
};

class empty_key_test : public engine_test, public testing::WithParamInterface<empty_key_case> {};

TEST_P(empty_key_test, authorizes_nobody) {
    const empty_key_case& c = GetParam();
    if (c.through_the_file) {
        settings values = default_settings();
        values["ARSubjectKey"] = c.value;
        configure(values);
    } else {
        set("ARSubjectKey", c.value);
    }
    message_id first = deliver({.sender = "new@example.com", .subject = "hello; there"});
    message_id second = deliver({.sender = "new@example.com", .subject = "Re: hello; there"});
    EXPECT_FALSE(engine().is_authorized("new@example.com"));
    EXPECT_FALSE(host.is_deleted(second)) << "taken for an answer";
    EXPECT_TRUE(in_folder(first, pending_folder()));
    EXPECT_TRUE(in_folder(second, pending_folder()));
    EXPECT_TRUE(engine().senders_to_release().empty());

    message_id bounce = deliver({.sender = "d@example.net", .subject = "Returned mail", .body = "a; b"});
    EXPECT_TRUE(log.contains(std::string(bounce_kept_line) + "d@example.net\n"));
    EXPECT_TRUE(in_folder(bounce, host.incoming()));
}

INSTANTIATE_TEST_SUITE_P(engine, empty_key_test, testing::ValuesIn(empty_key_cases), row_name());

TEST_F(new_message_test, challenge_texts_with_semicolons_survive_a_restart) {
    set("ARSubject", "Confirm; please [TWK-TESTKEY]");
    set("ARMessage", "Hello; please reply.\x01See you; bye");
    ASSERT_TRUE(get_configuration("ostrel_user")->save());
    get_configuration("ostrel_user")->load();
    reset_ostrel_object_for_tests();

    deliver({.sender = "new@example.com"});
    ASSERT_EQ(host.replies().size(), 1u);
    EXPECT_EQ(host.replies()[0].subject, "Confirm; please [TWK-TESTKEY]");
    EXPECT_EQ(host.replies()[0].body, "Hello; please reply.\nSee you; bye");
}

TEST_F(new_message_test, an_emptied_challenge_subject_is_sent_empty) {
    settings values = default_settings();
    values["ARSubject"] = "";
    configure(values);
    deliver({.sender = "new@example.com"});
    ASSERT_EQ(host.replies().size(), 1u);
    EXPECT_EQ(host.replies()[0].subject, "");
}

TEST_F(new_message_test, the_bounce_log_shows_each_pattern_tried) {
    deliver({.sender = "d@example.net", .subject = "Returned mail: see transcript"});
    EXPECT_TRUE(
        log.contains("contains_sub_string: subject = Returned mail: see transcript\n"
                     "\tdaemon item = Delivery Failure\n\tdaemon item = Returned mail\n"
                     "is_MAILERDAEMON_subject, res = Returned mail\n"));
    EXPECT_TRUE(
        log.contains("\n\n==================================================>\n\nHandle mailer deamon message\n"));
    EXPECT_TRUE(log.contains("is_reply_for_chalange_request: ''\n"));
}

TEST(bounce_subject_match, an_empty_pattern_matches_nothing_and_hides_no_other) {
    // "" sorts first: it used to end the search at once, as a match that reads as none.
    EXPECT_EQ(contains_sub_string({"", "Returned mail"}, "Returned mail: see transcript"), "Returned mail");
    EXPECT_EQ(contains_sub_string({""}, "any subject"), "");
    EXPECT_EQ(contains_sub_string({"", "Undeliverable"}, ""), "");
}

TEST_F(new_message_test, nothing_happens_without_protection_an_account_or_a_message) {
    set("EnableProtection", "True");
    message_id message = deliver({.sender = "x@example.com"});
    EXPECT_TRUE(log.contains("ostrel::run_workflow() - EnableProtection == false\n"));

    set("EnableProtection", "true");
    host.set_accounts({});
    deliver({.sender = "x@example.com"});
    EXPECT_TRUE(log.contains("ostrel::run_workflow2() - No account avaiable ... \n"));

    host.set_accounts({"Test account"});
    reset_all_accounts();
    VARIANT not_a_message;
    VariantInit(&not_a_message);
    not_a_message.vt = VT_I4;
    engine().run_workflow2(not_a_message);
    EXPECT_TRUE(log.contains("not a message object")) << log.text();
    EXPECT_TRUE(log.contains(" ostrel::run_workflow2() exit 3\n"));

    EXPECT_TRUE(in_folder(message, host.incoming()));
    EXPECT_EQ(host.call_count("get_message_headers"), 0);
    EXPECT_EQ(engine().run_count(), 3);
}

TEST_F(new_message_test, a_failure_midway_propagates_and_releases_the_message) {
    set_file_fault_hook([](file_step step, const std::string& path) -> bool {
        if (step == file_step::create_temporary && path.ends_with("pending.lst")) throw com_error(E_OUTOFMEMORY);
        return true;
    });
    message_id message = host.add_message(host.incoming(), {.sender = "new@example.com"});
    EXPECT_THROW(run(message), com_error);
    EXPECT_EQ(host.replies().size(), 1u) << "what was done stays done";
    EXPECT_TRUE(in_folder(message, pending_folder()));
    EXPECT_FALSE(log.contains(" ostrel::run_workflow2() exit "));
}

}  // namespace
