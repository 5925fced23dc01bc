// The engine object, its address lists and the shared message actions.
#include <memory>

#include "config/data_dir.h"
#include "engine_fixture.h"
#include "mail/accounts.h"
#include "mail/email.h"

namespace {

class engine_object_test : public engine_test {
protected:
    // A record of a message in the incoming folder, with account 0 as the current account.
    std::unique_ptr<a_email> record_of(message_id message) {
        engine().load_accounts_and_emails();
        com_ptr<IUnknown> object = host.message_object(message);
        return make_email(memory_host::unknown_view(object.get()));
    }
};

TEST_F(engine_object_test, one_engine_per_process_reads_its_lists_once_in_order) {
    ostrel* first = get_ostrel_Object();
    EXPECT_EQ(get_ostrel_Object(), first);
    EXPECT_EQ(log_count("Start load_list "), 4);
    EXPECT_EQ(log_count("Start load_list_full_line "), 1);
    const std::string& text = log.text();
    auto authorized = text.find("Start load_list " + get_data_file_path("authorized.lst"));
    auto pending = text.find("Start load_list " + get_data_file_path("pending.lst"));
    auto ignore = text.find("Start load_list " + get_data_file_path("ignore.lst"));
    auto remove = text.find("Start load_list " + get_data_file_path("remove.lst"));
    auto patterns = text.find("Start load_list_full_line " + get_data_file_path("MAILERDAEMON_subject.cfg"));
    EXPECT_TRUE(authorized < pending && pending < ignore && ignore < remove && remove < patterns) << text;
    EXPECT_EQ(first->bounce_subject_patterns(), (address_set{"Delivery Failure", "Returned mail", "Undeliverable"}));
}

TEST_F(engine_object_test, a_hand_written_list_file_loads_word_by_word_unchanged) {
    write_data_file("authorized.lst", "Ann@Example.com bob@example.com\n.@corp.example");
    reset_ostrel_object_for_tests();
    EXPECT_TRUE(engine().is_authorized("Bob <BOB@Example.com>"));
    EXPECT_TRUE(engine().is_authorized("someone@CORP.example"));
    EXPECT_FALSE(engine().is_authorized("someone@sub.corp.example"));
    EXPECT_FALSE(engine().is_in_any_list("ann@example.com")) << "a capitalised entry never matches";
    engine().remove_from_list(engine().authorized_list(), "Bob@example.com");
    EXPECT_TRUE(engine().is_authorized("bob@example.com")) << "removal compares the exact text";
}

TEST_F(engine_object_test, adders_write_the_file_named_by_the_configuration_at_each_use) {
    engine().add_to_pending_list("Zed <zed@example.com>");
    engine().add_to_pending_list("amy@example.com");
    EXPECT_EQ(data_file("pending.lst"),
              "\r\n\r"
              "amy@example.com\r\n\r"
              "zed@example.com\r\n\r");

    set("PENDING_LIST_FN", "renamed.lst");
    engine().add_to_pending_list("not an address");
    EXPECT_TRUE(log.contains("warnning: add_to_list - invalid email not an address\n"));
    EXPECT_EQ(data_file("renamed.lst"), data_file("pending.lst")) << "rewritten although nothing was added";

    engine().add_to_ignore_list("i@example.com");
    engine().add_to_remove_list("r@example.com");
    engine().save_all_lists();
    EXPECT_EQ(data_file("authorized.lst"), "\r\n\r");
    EXPECT_EQ(data_file("ignore.lst"), "\r\n\ri@example.com\r\n\r");
    EXPECT_TRUE(engine().is_in_remove_list("R@example.com"));
}

TEST_F(engine_object_test, one_cursor_serves_the_lists_by_their_numbers) {
    EXPECT_EQ(engine().get_list_item(authorized_list_number, 3), "") << "no index-0 call yet";
    engine().add_to_authorized_list("a@example.com");
    engine().add_to_authorized_list("b@example.com");
    engine().add_to_remove_list("r@example.com");
    EXPECT_EQ(engine().get_list_item(remove_list_number, 0), "r@example.com");
    EXPECT_EQ(engine().get_list_item(authorized_list_number, 0), "a@example.com");
    EXPECT_EQ(engine().get_list_item(ignore_list_number, 1), "b@example.com") << "only index 0 selects the list";
    EXPECT_EQ(engine().get_list_item(authorized_list_number, 2), "");
    EXPECT_EQ(engine().get_list_item(pending_list_number, 0), "") << "empty list";
    EXPECT_EQ(engine().list_by_number(ignore_list_number), &engine().ignore_list());
    EXPECT_EQ(engine().list_by_number(4), nullptr);
}

TEST_F(engine_object_test, block_message_marks_read_only_for_exactly_true) {
    for (const char* mark : {"true", "True", "false"}) {
        set("MarkBlockedAsRead", mark);
        message_id message = host.add_message(host.incoming(), {.sender = "s@example.com"});
        engine().block_message(*record_of(message));
        EXPECT_TRUE(host.is_deleted(message)) << mark;
        EXPECT_EQ(host.is_unread(message), std::string(mark) != "true") << mark;
    }
}

TEST_F(engine_object_test, move_to_pending_makes_the_folder_on_first_use) {
    message_id first = host.add_message(host.incoming(), {.sender = "s@example.com"});
    message_id second = host.add_message(host.incoming(), {.sender = "s@example.com"});
    set("MarkBlockedAsRead", "no");
    engine().move_to_pending(*record_of(first));
    engine().move_to_pending(*record_of(second));

    auto pending = host.find_folder("/Inbox/Pending");
    ASSERT_TRUE(pending);
    EXPECT_TRUE(in_folder(first, *pending));
    EXPECT_TRUE(in_folder(second, *pending));
    EXPECT_TRUE(host.is_unread(first));
    EXPECT_EQ(host.call_count("create_subfolder"), 1);
    EXPECT_EQ(log_count("ostrel::get_folder_ex /Inbox/Pending , Pending\n"), 2);
}

TEST_F(engine_object_test, a_refused_pending_folder_leaves_the_message_in_place) {
    host.refuse_subfolders();
    message_id message = host.add_message(host.incoming(), {.sender = "s@example.com"});
    engine().move_to_pending(*record_of(message));
    EXPECT_TRUE(in_folder(message, host.incoming()));
    EXPECT_TRUE(log.contains("FAILS: ostrel::get_folder_ex /Inbox/Pending , Pending\n"));
    EXPECT_TRUE(log.contains("FAIL: move_to_pending, pending_folder == NULL\n"));
}

TEST_F(engine_object_test, get_folder_ex_needs_a_current_account) {
    EXPECT_EQ(engine().get_folder_ex("/Inbox/Pending", "Pending"), nullptr);
    EXPECT_TRUE(log.contains("FAILS: ostrel::get_folder_ex, _ea == NULL \n"));
    EXPECT_EQ(host.call_count("create_subfolder"), 0);
}

TEST_F(engine_object_test, load_accounts_and_emails_rebuilds_and_takes_account_zero) {
    a_email_account* account = engine().load_accounts_and_emails();
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(engine().current_account(), account);
    EXPECT_EQ(account->get_name(), "Test account");
    EXPECT_TRUE(log.contains("load_accounts_and_emails \n"));

    g_mailer.reset();
    EXPECT_EQ(engine().load_accounts_and_emails(), nullptr);
    EXPECT_EQ(engine().current_account(), nullptr);
}

}  // namespace
