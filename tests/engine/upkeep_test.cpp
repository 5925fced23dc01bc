// Contact import, pending upkeep, the check at connect time and the user's verdicts.
#include <functional>
#include <memory>
#include <vector>

#include "engine_fixture.h"
#include "mail/accounts.h"
#include "platform/file_io.h"

namespace {

using upkeep_test = engine_test;

TEST_F(upkeep_test, pre_condition_test_makes_the_pending_folder_once) {
    set("EnableProtection", "false");
    pre_condition_test();
    pre_condition_test();
    EXPECT_EQ(log_count("enter pre_condition_test() \npre_condition_test - get_all_counts = 1 OK\n"), 1)
        << "the first call builds the account collection in between";
    EXPECT_EQ(log_count("pre_condition_test - get_all_counts = 1 OK\n"), 2);
    EXPECT_EQ(log_count("pre_condition_test - pending_folder ok \nend pre_condition_test() \n"), 2);
    EXPECT_TRUE(host.find_folder("/Inbox/Pending"));
    EXPECT_EQ(host.call_count("create_subfolder"), 1);

    reset_all_accounts();
    host.refuse_subfolders();
    set("PENDING_FOLDER_NAME", "Other");
    pre_condition_test();
    EXPECT_TRUE(log.contains("pre_condition_test - pending_folder fails \nend pre_condition_test() \n"));

    reset_all_accounts();
    g_mailer.reset();
    pre_condition_test();
    EXPECT_TRUE(log.contains("pre_condition_test - get_all_counts fails \nend pre_condition_test() \n"));
}

TEST_F(upkeep_test, contact_import_needs_protection_and_an_account) {
    host.set_contacts({"ann@example.com"});
    set("EnableProtection", "false");
    engine().run_workflow();
    EXPECT_TRUE(log.contains(" ostrel::run_workflow() 1\nostrel::run_workflow() - EnableProtection == false\n"));

    set("EnableProtection", "true");
    host.set_accounts({});
    reset_all_accounts();
    engine().run_workflow();
    EXPECT_TRUE(log.contains(" ostrel::run_workflow() 2\n"));
    EXPECT_TRUE(log.contains("ostrel::run_workflow() - No account avaiable ... \n"));
    EXPECT_TRUE(engine().authorized_list().empty());
}

TEST_F(upkeep_test, contacts_join_the_authorized_list_unless_listed_already) {
    engine().add_to_authorized_list(".@corp.example");
    engine().add_to_remove_list("spam@example.com");
    host.set_contacts(
        {"Ann <ANN@example.com>", "boss@corp.example", "spam@example.com", "no address", host_item::number(5)});
    engine().run_workflow();

    EXPECT_EQ(engine().authorized_list(), (address_set{".@corp.example", "ann@example.com"}));
    EXPECT_EQ(engine().remove_list(), address_set{"spam@example.com"});
    EXPECT_TRUE(log.contains("warnning: add_to_list - invalid email no address\n"));
    EXPECT_EQ(data_file("authorized.lst"), "\r\n\r.@corp.example\r\n\rann@example.com\r\n\r");
    EXPECT_TRUE(log.contains("Timer for handle_contacts  0\n\nTIMER : Timer for handle_contacts  0\n"));
    EXPECT_TRUE(log.contains(" ostrel::run_workflow() exit 1\n"));
}

// A first import of a large address book must not rewrite the list once per contact; the file
// and the log end as they would have, and a failed write is one failure, kept for a later save.
TEST_F(upkeep_test, contact_import_writes_the_authorized_list_once) {
    auto replacements = std::make_shared<int>(0);
    set_file_fault_hook([replacements](file_step step, const std::string& path) {
        if (step == file_step::create_temporary && path.find("authorized.lst") != std::string::npos) ++*replacements;
        return true;
    });
    host.set_contacts({"carol@example.com", "Ann <ann@example.com>", "bob@example.com", "ann@example.com"});
    engine().run_workflow();
    EXPECT_EQ(*replacements, 1);
    EXPECT_EQ(data_file("authorized.lst"), "\r\n\rann@example.com\r\n\rbob@example.com\r\n\rcarol@example.com\r\n\r");

    engine().run_workflow();  // nothing new: nothing written
    EXPECT_EQ(*replacements, 1);

    set_file_fault_hook([](file_step step, const std::string&) { return step != file_step::rename; });
    host.set_contacts({"dave@example.com", "erin@example.com"});
    engine().run_workflow();
    set_file_fault_hook({});
    EXPECT_EQ(engine().save_failures(), 1u);
    EXPECT_EQ(log_count("FAIL: unable to write "), 1);
    EXPECT_EQ(data_file("authorized.lst"), "\r\n\rann@example.com\r\n\rbob@example.com\r\n\rcarol@example.com\r\n\r");
    engine().save_unsaved_lists();
    EXPECT_EQ(data_file("authorized.lst"),
              "\r\n\rann@example.com\r\n\rbob@example.com\r\n\rcarol@example.com\r\n\r"
              "dave@example.com\r\n\rerin@example.com\r\n\r");
}

struct expiry_case {
    const char* name;
    const char* timeout;
    double age_days;
    const char* log_line;
    bool expired;
};

const expiry_case expiry_cases[] = {
    {"old_enough", "14", 15, "delete_last_mail: received 14 days ago, from: p@example.com, hours since received: 360\n",
     true},
    {"not_old_enough", "14", 13, "delete_last_mail: received 14 days ago, from: , hours since received: 0\n", false},
    {"timeout_not_a_number", "soon", 0.5,
     "delete_last_mail: received 0 days ago, from: p@example.com, hours since received: 12\n", true},
};

void PrintTo(const expiry_case& c, std::ostream* out) { *out << c.name; }

class expiry_test : public engine_test, public testing::WithParamInterface<expiry_case> {};

TEST_P(expiry_test, deletes_the_oldest_pending_message_and_forgets_its_sender) {
    const expiry_case& c = GetParam();
    set("PendingToBlockedTimeo", c.timeout);
    host.set_now(1e9);
    message_id message =
        host.add_message(pending_folder(), {.sender = "p@example.com", .received = 1e9 - c.age_days * 86400});
    engine().add_to_pending_list("p@example.com");
    engine().clean_pending_messages();

    EXPECT_TRUE(log.contains(c.log_line)) << log.text();
    EXPECT_TRUE(log.contains("Timer for clean_pending_messages   0\n\n"));
    EXPECT_EQ(host.is_deleted(message), c.expired);
    EXPECT_EQ(engine().is_in_pending_list("p@example.com"), !c.expired);
    // The file follows the list, so that the sender does not come back pending after a restart.
    EXPECT_EQ(data_file("pending.lst"), c.expired ? "\r\n\r" : "\r\n\rp@example.com\r\n\r");
}

INSTANTIATE_TEST_SUITE_P(engine, expiry_test, testing::ValuesIn(expiry_cases), row_name());

TEST_F(upkeep_test, expiry_forgets_a_sender_reported_with_a_display_name) {
    set("PendingToBlockedTimeo", "1");
    host.set_now(1e9);
    host.add_message(pending_folder(), {.sender = "Pat <P@Example.com>", .received = 1e9 - 3 * 86400});
    engine().add_to_pending_list("Pat <P@Example.com>");
    engine().clean_pending_messages();

    EXPECT_FALSE(engine().is_in_pending_list("p@example.com"));
    EXPECT_EQ(data_file("pending.lst"), "\r\n\r");
}

TEST_F(upkeep_test, expiry_waits_for_auto_delete) {
    host.add_message(pending_folder(), {.sender = "p@example.com"});
    set("AutoDeleteBlocked", "yes");
    engine().clean_pending_messages();
    EXPECT_EQ(log.text().find("delete_last_mail"), std::string::npos);
    EXPECT_EQ(host.call_count("delete_old_message"), 0);
}

TEST_F(upkeep_test, a_release_without_pending_folder_keeps_the_senders_for_the_next_one) {
    engine().marked_as_not_spam_by_user("a@example.com");
    engine().run_move_email_from_pending_to_incomming();
    EXPECT_TRUE(log.contains("Run: void ostrel::run_move_email_from_pending_to_incomming() \n"));
    EXPECT_EQ(engine().senders_to_release(), std::vector<std::string>{"a@example.com"});
    EXPECT_EQ(data_file("release.lst"), "a@example.com\r\n");
    EXPECT_EQ(host.moves().size(), 0u);

    message_id waiting = host.add_message(pending_folder(), {.sender = "a@example.com"});
    engine().run_move_email_from_pending_to_incomming();
    EXPECT_TRUE(in_folder(waiting, host.incoming()));
    EXPECT_TRUE(engine().senders_to_release().empty());
    EXPECT_EQ(data_file("release.lst"), "");
}

TEST_F(upkeep_test, a_release_cut_short_by_the_end_of_the_process_is_finished_when_the_host_connects) {
    message_id waiting = deliver({.sender = "ann@example.com", .subject = "Hello"});
    message_id unanswered = deliver({.sender = "bob@example.com", .subject = "Hi"});
    message_id own = deliver({.sender = "me@example.org", .receiver = "me@example.org"});
    ASSERT_TRUE(in_folder(own, pending_folder()));
    deliver({.sender = "ann@example.com", .subject = "Re: [TWK-TESTKEY]"});
    EXPECT_EQ(data_file("release.lst"), "ann@example.com\r\n");

    // The process ends before the release; the next one connects and gets no new message.
    reset_ostrel_object_for_tests();
    reset_all_accounts();
    EXPECT_EQ(engine().senders_to_release(), std::vector<std::string>{"ann@example.com"});
    engine().run_workflow();

    EXPECT_TRUE(in_folder(waiting, host.incoming()));
    EXPECT_TRUE(host.is_unread(waiting));
    EXPECT_TRUE(in_folder(unanswered, pending_folder()));
    EXPECT_TRUE(in_folder(own, pending_folder())) << "waits for another reason";
    EXPECT_TRUE(engine().senders_to_release().empty());
    EXPECT_EQ(data_file("release.lst"), "");
}

// A process that ends in the middle of an answer leaves its sender written down before
// anything else: the next one authorizes him, releases his mail and still takes the answer for
// one, even though he is authorized by then. A sender blocked meanwhile is not released.
TEST_F(upkeep_test, an_answer_cut_short_is_finished_by_the_next_process) {
    message_id waiting = host.add_message(pending_folder(), {.sender = "ann@example.com", .subject = "Hello"});
    message_id blocked = host.add_message(pending_folder(), {.sender = "spam@example.com", .subject = "Buy"});
    write_data_file("pending.lst", "ann@example.com\r\n");
    write_data_file("remove.lst", "spam@example.com\r\n");
    write_data_file("release.lst", "ann@example.com\r\nspam@example.com\r\n");
    write_data_file("answering.lst", "ann@example.com\r\n");
    reset_ostrel_object_for_tests();

    engine().run_workflow();
    EXPECT_TRUE(in_folder(waiting, host.incoming()));
    EXPECT_TRUE(in_folder(blocked, pending_folder()));
    EXPECT_TRUE(engine().is_authorized("ann@example.com"));
    EXPECT_FALSE(engine().is_in_pending_list("ann@example.com"));
    EXPECT_EQ(data_file("release.lst"), "");
    // That process ends too before the answer's turn: the next one still knows it.
    reset_ostrel_object_for_tests();
    reset_all_accounts();
    engine().run_workflow();

    message_id answer = deliver({.sender = "ann@example.com", .subject = "Re: [TWK-TESTKEY]"});
    EXPECT_FALSE(in_folder(answer, host.incoming())) << "the answer is deleted as a whole answer would be";
    EXPECT_EQ(data_file("answering.lst"), "");
    // Only the first: a later message with the key from an authorized sender is his own affair.
    message_id later = deliver({.sender = "ann@example.com", .subject = "Re: [TWK-TESTKEY] again"});
    EXPECT_TRUE(in_folder(later, host.incoming()));
}

TEST_F(upkeep_test, a_verdict_without_an_account_is_released_at_the_next_connection) {
    message_id waiting = host.add_message(pending_folder(), {.sender = "a@example.com"});
    g_mailer.reset();
    engine().marked_as_not_spam_by_user("a@example.com");
    EXPECT_TRUE(log.contains("ostrel::marked_as_not_spam_by_user() - no account ... \n"));
    EXPECT_EQ(data_file("release.lst"), "a@example.com\r\n");

    reset_ostrel_object_for_tests();
    reset_all_accounts();
    g_mailer = host.mailer();
    engine().run_workflow();
    EXPECT_TRUE(in_folder(waiting, host.incoming()));
    EXPECT_EQ(data_file("release.lst"), "");
}

TEST_F(upkeep_test, the_release_file_is_read_line_by_line) {
    const struct {
        const char* name;
        const char* file;
        std::vector<std::string> senders;
    } rows[] = {
        {"CR LF and LF",
         "a@example.com\r\nB <b@example.com>\nc@example.com",
         {"a@example.com", "B <b@example.com>", "c@example.com"}},
        {"blank lines and repeats", "\r\n\r\na@example.com\r\n\r\na@example.com\r\n", {"a@example.com"}},
        {"empty", "", {}},
    };
    for (const auto& row : rows) {
        write_data_file("release.lst", row.file);
        reset_ostrel_object_for_tests();
        EXPECT_EQ(engine().senders_to_release(), row.senders) << row.name;
    }
}

TEST_F(upkeep_test, a_host_calling_back_during_a_release_does_not_restart_it) {
    std::vector<message_id> waiting;
    for (int i = 0; i < 3; ++i) waiting.push_back(host.add_message(pending_folder(), {.sender = "a@example.com"}));
    engine().marked_as_not_spam_by_user("a@example.com");
    host.on_call("move_message", [this] { engine().run_move_email_from_pending_to_incomming(); });
    engine().run_move_email_from_pending_to_incomming();
    EXPECT_EQ(log_count("Run: void ostrel::run_move_email_from_pending_to_incomming() \n"), 1);
    for (message_id message : waiting) EXPECT_TRUE(in_folder(message, host.incoming()));
    EXPECT_TRUE(engine().senders_to_release().empty());
}

TEST_F(upkeep_test, authorized_senders_have_all_their_pending_mail_released_next_time) {
    std::vector<message_id> from_a, from_b;
    for (int i = 0; i < 3; ++i)
        from_a.push_back(host.add_message(pending_folder(), {.sender = "A <a@example.com>", .unread = false}));
    from_b.push_back(host.add_message(pending_folder(), {.sender = "b@example.com", .unread = false}));

    engine().marked_as_not_spam_by_user("a@example.com");
    engine().marked_as_not_spam_by_user("b@example.com");
    engine().marked_as_not_spam_by_user("a@example.com");
    EXPECT_EQ(engine().senders_to_release(), (std::vector<std::string>{"a@example.com", "b@example.com"}));
    EXPECT_EQ(log_count("ostrel::marked_as_not_spam_by_user()\n"), 3);
    EXPECT_EQ(host.moves().size(), 0u) << "nothing moves before the release";

    engine().run_move_email_from_pending_to_incomming();
    for (message_id message : from_a) EXPECT_TRUE(in_folder(message, host.incoming()) && host.is_unread(message));
    EXPECT_TRUE(in_folder(from_b[0], host.incoming()));
}

TEST_F(upkeep_test, a_spam_verdict_deletes_in_the_incoming_and_pending_folders) {
    for (const char* mark : {"true", "True"}) {
        SCOPED_TRACE(mark);
        set("MarkBlockedAsRead", mark);
        message_id in_inbox = host.add_message(host.incoming(), {.sender = "s@example.com"});
        message_id waiting = host.add_message(pending_folder(), {.sender = "S <s@example.com>"});
        message_id other = host.add_message(host.incoming(), {.sender = "t@example.com"});
        engine().marked_as_spam_by_user("s@example.com");
        EXPECT_TRUE(host.is_deleted(in_inbox) && host.is_deleted(waiting));
        EXPECT_FALSE(host.is_deleted(other));
        EXPECT_EQ(host.is_unread(in_inbox), std::string(mark) != "true");
        EXPECT_EQ(host.is_unread(waiting), std::string(mark) != "true");
    }
}

TEST_F(upkeep_test, verdicts_change_nothing_while_protection_is_off) {
    engine().marked_as_not_spam_by_user("a@example.com");
    set("EnableProtection", "false");
    message_id message = host.add_message(host.incoming(), {.sender = "s@example.com"});
    engine().marked_as_spam_by_user("s@example.com");
    engine().marked_as_not_spam_by_user("b@example.com");
    EXPECT_TRUE(
        log.contains("ostrel::marked_as_spam_by_user()\n"
                     "ostrel::handle_marked_as_spam_by_user() - EnableProtection == false\n"));
    EXPECT_TRUE(
        log.contains("ostrel::marked_as_not_spam_by_user()\n"
                     "ostrel::handle_marked_as_not_spam_by_user() - EnableProtection == false\n"));
    EXPECT_FALSE(host.is_deleted(message));
    EXPECT_EQ(engine().senders_to_release(), std::vector<std::string>{"a@example.com"});
}

}  // namespace

// A sender is forgotten for release only once both his mail and his lists are kept: a move the
// host refuses, or a list that cannot be written, leaves him in release.lst, and the next
// release finishes the job.
TEST_F(upkeep_test, a_release_that_is_not_kept_is_done_again_by_the_next_one) {
    const struct {
        const char* name;
        std::function<void(memory_host&)> refuse_once;
    } rows[] = {
        {"the move to the inbox fails",
         [](memory_host& h) {
             h.inject("move_to_incoming", {E_FAIL, false, 1});
         }},
        {"authorized.lst cannot be written",
         [](memory_host&) {
             auto failures = std::make_shared<int>(1);
             set_file_fault_hook([failures](file_step step, const std::string& path) {
                 return !(step == file_step::rename && path.ends_with("authorized.lst") && (*failures)-- > 0);
             });
         }},
        {"pending.lst cannot be written",
         [](memory_host&) {
             auto failures = std::make_shared<int>(1);
             set_file_fault_hook([failures](file_step step, const std::string& path) {
                 return !(step == file_step::flush && path.ends_with("pending.lst") && (*failures)-- > 0);
             });
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        message_id waiting = host.add_message(pending_folder(), {.sender = "ann@example.com", .subject = "Hello"});
        write_data_file("pending.lst", "ann@example.com\r\n");
        write_data_file("authorized.lst", "");
        write_data_file("release.lst", "ann@example.com\r\n");
        reset_ostrel_object_for_tests();
        reset_all_accounts();

        row.refuse_once(host);
        engine().run_move_email_from_pending_to_incomming();
        EXPECT_EQ(data_file("release.lst"), "ann@example.com\r\n") << "kept for the next release";

        engine().run_move_email_from_pending_to_incomming();
        set_file_fault_hook({});
        EXPECT_TRUE(in_folder(waiting, host.incoming()));
        EXPECT_EQ(data_file("release.lst"), "");
        EXPECT_EQ(data_file("authorized.lst"), "\r\n\rann@example.com\r\n\r");
        EXPECT_EQ(data_file("pending.lst"), "\r\n\r");
    }
}

// A list whose save failed is written again on request, with its latest content.
TEST_F(upkeep_test, a_list_that_could_not_be_written_is_written_again) {
    set_file_fault_hook([](file_step step, const std::string&) { return step != file_step::write; });
    engine().add_to_pending_list("bob@example.com");
    set_file_fault_hook({});
    EXPECT_EQ(engine().save_failures(), 1u);
    EXPECT_EQ(data_file("pending.lst"), "");
    engine().save_unsaved_lists();
    EXPECT_EQ(data_file("pending.lst"), "\r\n\rbob@example.com\r\n\r");
    engine().save_unsaved_lists();  // nothing left to write
    EXPECT_EQ(engine().save_failures(), 1u);
}
