#include <functional>
#include <stdexcept>

#include "diag/debug_log.h"
#include "mail_fixture.h"
#include "support/hresult_checks.h"

namespace {

class accounts_test : public mail_test {
protected:
    a_email_account* account() {
        a_all_accounts* all = get_all_accounts();
        return all->get_account_count() ? all->get_account(0) : nullptr;
    }
    std::vector<std::string> paths(a_email_account& a) {
        std::vector<std::string> result;
        for (int i = 0; i < a.get_folder_count(); ++i) result.push_back(a.get_folder(i)->get_path());
        return result;
    }
};

TEST_F(accounts_test, walks_only_the_incoming_branch) {
    for (const char* path : {"/Inbox/Sub", "/Inbox/Sub/Deeper", "/Inbox2/Other", "/Archive/Inbox"})
        host.add_folder(path);
    log_capture log;
    a_email_account* a = account();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->get_name(), "Test account");
    EXPECT_EQ(incoming_path, "/Inbox");
    EXPECT_EQ(paths(*a),
              (std::vector<std::string>{"/Inbox", "/Inbox/Sub", "/Inbox/Sub/Deeper", "/Inbox2", "/Inbox2/Other"}));
    EXPECT_TRUE(log.contains("all_accounts::all_accounts(), incoming folder name: /Inbox\n"));
    EXPECT_TRUE(
        log.contains("1. email_account::email_account Test account\n2. email_account::email_account Test account\n"));
    EXPECT_TRUE(log.contains("2. Folder : '/Archive'\n\n"));
    EXPECT_FALSE(log.contains("iterate_folder for : '/Archive'"));
    EXPECT_TRUE(log.contains("\n\nAll_accounts::All_accounts() Account : Test account\n"));
}

TEST_F(accounts_test, finds_folders_by_exact_path) {
    host.add_folder("/Inbox/Sub");
    a_email_account* a = account();
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->find_folder("/inbox"));
    EXPECT_FALSE(a->find_folder("/Inbox/"));
    a_email_folder* incoming = a->find_incoming_folder();
    ASSERT_TRUE(incoming);
    EXPECT_EQ(incoming->get_path(), "/Inbox");
    EXPECT_EQ(a->find_incoming_folder(), incoming);
    EXPECT_EQ(a->find_folder("/Inbox/Sub")->get_path(), "/Inbox/Sub");
    EXPECT_FALSE(a->get_folder(a->get_folder_count()));
    EXPECT_FALSE(a->get_folder(-1));
}

TEST_F(accounts_test, an_incoming_folder_deeper_down_is_never_reached) {
    memory_host deep("Elsewhere");
    deep.set_incoming(deep.add_folder("/Mail/Inbox"));
    g_mailer = deep.mailer();
    a_email_account* a = account();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->get_folder_count(), 0);
    EXPECT_FALSE(a->find_incoming_folder());
    reset_all_accounts();
    g_mailer.reset();
    EXPECT_EQ(deep.outstanding_references(), 0) << deep.describe_outstanding();
}

TEST_F(accounts_test, holds_at_most_the_first_account) {
    struct row {
        std::vector<host_item> accounts;
        int count;
    } rows[] = {
        {{"First", "Second"}, 1}, {{host_item::number(1), "Second"}, 0}, {{}, 0}, {{host_item::null_text()}, 1}};
    for (const row& r : rows) {
        host.set_accounts(r.accounts);
        reset_all_accounts();
        a_all_accounts* all = get_all_accounts();
        EXPECT_EQ(all->get_account_count(), r.count);
        EXPECT_EQ(all->get_account(0) != nullptr, r.count == 1);
        EXPECT_FALSE(all->get_account(1));
        if (r.count) {
            EXPECT_EQ(all->get_account(0)->get_name(), r.accounts[0].text);
        }
    }
}

TEST_F(accounts_test, a_missing_mailer_or_incoming_folder_gives_no_account) {
    incoming_path = "/Before";
    host.inject("get_incoming_folder", {.result = S_OK});
    {
        log_capture log;
        EXPECT_EQ(get_all_accounts()->get_account_count(), 0);
        EXPECT_EQ(log.text(), "all_accounts::all_accounts(), incoming folder == 0\n");
    }
    EXPECT_EQ(incoming_path, "/Before") << "a rebuild without an incoming folder keeps the last path";
    reset_all_accounts();
    g_mailer.reset();
    log_capture log;
    EXPECT_EQ(get_all_accounts()->get_account_count(), 0);
    EXPECT_EQ(log.text(), "all_accounts::all_accounts() mailer == 0\n");
}

TEST_F(accounts_test, a_failing_host_keeps_what_was_reached) {
    host.inject("get_root_folder", {});
    a_email_account* a = account();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->get_folder_count(), 0);
}

TEST_F(accounts_test, a_failure_during_the_scan_is_logged_not_printed) {
    host.on_call(
        "enum_accounts", [] { throw memory_host::escaping_failure("host gave up"); }, 1);
    reset_all_accounts();
    log_capture log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_all_accounts()->get_account_count(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(log.contains("\ntttt\n")) << log.text();
}

TEST_F(accounts_test, a_host_that_drops_the_mailer_mid_walk_is_still_held) {
    host.add_folder("/Inbox/Sub");
    host.on_call(
        "enum_subfolders", [] { g_mailer.reset(); }, 1);
    a_email_account* a = account();
    ASSERT_TRUE(a);
    EXPECT_EQ(paths(*a), (std::vector<std::string>{"/Inbox", "/Inbox/Sub"}));
}

TEST_F(accounts_test, copies_of_an_account_take_their_own_references) {
    host.add_folder("/Inbox/Sub");
    auto* original = static_cast<email_account*>(account());
    long before = host.outstanding_references();
    {
        email_account copy(*original);
        EXPECT_EQ(host.outstanding_references(), before + 2);
        EXPECT_EQ(paths(copy), paths(*original));
    }
    EXPECT_EQ(host.outstanding_references(), before);
    reset_all_accounts();
    EXPECT_EQ(host.outstanding_references(), 1) << "only g_mailer is left";
}

TEST_F(accounts_test, create_folder_uses_the_name_the_host_stored) {
    host.store_subfolders_as("Pending (2)");
    a_email_account* a = account();
    a_email_folder* made = a->create_folder("Pending");
    ASSERT_TRUE(made);
    EXPECT_EQ(made->get_path(), "/Inbox/Pending (2)");
    EXPECT_EQ(a->find_folder("/Inbox/Pending (2)"), made);
    EXPECT_TRUE(host.find_folder("/Inbox/Pending (2)"));
}

TEST_F(accounts_test, create_folder_gives_null_when_refused_or_without_mailer) {
    a_email_account* a = account();
    int count = a->get_folder_count();
    host.refuse_subfolders();
    EXPECT_FALSE(a->create_folder("Pending"));
    g_mailer.reset();
    log_capture log;
    EXPECT_FALSE(a->create_folder("Pending"));
    EXPECT_EQ(log.text(), "FAIL: create_folder, MAILER == NULL\n");
    EXPECT_EQ(a->get_folder_count(), count);
}

TEST_F(accounts_test, delete_last_mail_reports_the_deleted_message) {
    auto pending = host.add_folder("/Inbox/Pending");
    host.set_now(10 * 86400.0);
    auto old = host.add_message(pending, {.sender = "old@example.com", .received = 0});
    host.add_message(pending, {.sender = "new@example.com", .received = 9 * 86400.0});
    a_email_folder* folder = account()->find_folder("/Inbox/Pending");
    std::string sender = "unchanged";
    double age = 0;
    folder->delete_last_mail(5, sender, age);
    EXPECT_EQ(sender, "old@example.com");
    EXPECT_EQ(age, 10 * 86400.0);
    EXPECT_EQ(host.deleted(), std::vector<memory_host::message_id>{old});

    sender = "unchanged";
    age = 0;
    folder->delete_last_mail(5, sender, age);
    EXPECT_EQ(sender, "unchanged") << "an empty answer leaves the sender as it was";
    EXPECT_EQ(age, 0.0);
    EXPECT_EQ(host.deleted().size(), 1u);
}

TEST_F(accounts_test, find_emails_from_matches_the_sender_in_any_case) {
    add({.sender = "Ann <Ann@Example.com>"});
    add({.sender = "bob@example.com"});
    a_email_folder* incoming = account()->find_incoming_folder();
    com_ptr<IEnumVARIANT> found;
    incoming->find_emails_from("ann@EXAMPLE.com", found);
    ASSERT_TRUE(found);
    int count = 0;
    for (variant_holder item; found->Next(1, item.put(), nullptr) == S_OK; ++count) {
        auto email = make_email(*item);
        ASSERT_TRUE(email);
        EXPECT_EQ(email->get_sender(), "Ann <Ann@Example.com>");
    }
    EXPECT_EQ(count, 1);

    IEnumVARIANT* before = found.get();
    int calls = host.call_count("find_messages_from");
    incoming->find_emails_from("", found);
    EXPECT_EQ(found.get(), before);
    EXPECT_EQ(host.call_count("find_messages_from"), calls);
}

TEST_F(accounts_test, folders_move_messages_and_forward_actions) {
    auto pending_id = host.add_folder("/Inbox/Pending");
    auto id = add({.sender = "ann@example.com"});
    a_email_account* a = account();
    a_email_folder* pending = a->find_folder("/Inbox/Pending");
    auto email = record(id);
    EXPECT_EQ(pending->move_email_here(*email), "");
    EXPECT_EQ(host.folder_of(id), pending_id);
    EXPECT_EQ(pending->get_number(), 1);
    EXPECT_EQ(pending->move_email_to_incoming(*email), "");
    EXPECT_EQ(host.folder_of(id), host.incoming());

    EXPECT_HR(S_OK, pending->switch_folder_action(3, true));
    EXPECT_HR(S_OK, pending->switch_folder_action(4, false));
    EXPECT_HR(S_OK, pending->run_folder_action(5, 6));
    ASSERT_EQ(host.folder_actions().size(), 3u);
    EXPECT_EQ(host.folder_actions()[0].operation, "folder_action_on");
    EXPECT_EQ(host.folder_actions()[1].operation, "folder_action_off");
    EXPECT_EQ(host.folder_actions()[2].b, 6);
}

TEST_F(accounts_test, send_email_creates_and_sends_one_message) {
    account()->send_email("ann@example.com", "unused", "unused", "Subject", "Body");
    ASSERT_EQ(host.sent().size(), 1u);
    const auto sent = host.sent()[0];
    EXPECT_EQ(sent.to, "ann@example.com");
    EXPECT_TRUE(sent.cc_null && sent.bcc_null);
    EXPECT_EQ(sent.subject, "Subject");
    EXPECT_EQ(sent.body, "Body");
    EXPECT_EQ(sent.flags, 0);
    EXPECT_EQ(sent.options, -1);

    host.inject("create_message", {.result = S_OK});
    account()->send_email("bob@example.com", "", "", "S", "B");
    EXPECT_EQ(host.call_count("send_message"), 1) << "nothing was made, so nothing is sent";
}

TEST_F(accounts_test, get_contacts_appends_the_texts) {
    host.set_contacts({"ann@example.com", host_item::number(3), "bob@example.com"});
    std::vector<std::string> contacts{"kept"};
    account()->get_contacts(contacts);
    EXPECT_EQ(contacts, (std::vector<std::string>{"kept", "ann@example.com", "bob@example.com"}));
}

TEST_F(accounts_test, folder_operations_without_a_mailer_fail_cleanly) {
    host.add_folder("/Inbox/Pending");
    a_email_account* a = account();
    a_email_folder* folder = a->find_folder("/Inbox/Pending");
    auto email = record(add({}));
    com_ptr<IEnumVARIANT> stale;
    host.mailer()->enum_contacts(stale.put());
    g_mailer.reset();
    size_t calls_before = host.calls().size();
    struct row {
        const char* operation;
        std::function<void()> call;
    } rows[] = {
        {"get_number", [&] { EXPECT_EQ(folder->get_number(), 0); }},
        {"move_email_here", [&] { folder->move_email_here(*email); }},
        {"move_email_to_incoming", [&] { folder->move_email_to_incoming(*email); }},
        {"switch_folder_action", [&] { EXPECT_HR(E_FAIL, folder->switch_folder_action(1, true)); }},
        {"run_folder_action", [&] { EXPECT_HR(E_FAIL, folder->run_folder_action(1, 2)); }},
        {"find_emails_from",
         [&] {
             folder->find_emails_from("a@b", stale);
             EXPECT_FALSE(stale);
         }},
        {"delete_last_mail",
         [&] {
             std::string sender = "kept";
             double age = 1;
             folder->delete_last_mail(1, sender, age);
             EXPECT_EQ(sender, "kept");
         }},
        {"send_email", [&] { a->send_email("a@b", "", "", "s", "b"); }},
    };
    for (const row& r : rows) {
        log_capture log;
        r.call();
        EXPECT_EQ(log.text(), std::string("FAIL: ") + r.operation + ", MAILER == NULL\n");
    }
    std::vector<std::string> contacts;
    a->get_contacts(contacts);
    EXPECT_TRUE(contacts.empty());
    EXPECT_EQ(host.calls().size(), calls_before);
}

TEST(path_contains_incoming, is_a_plain_case_sensitive_search) {
    incoming_path = "";
    EXPECT_FALSE(path_contains_incoming("/Inbox"));
    incoming_path = "/Inbox";
    EXPECT_TRUE(path_contains_incoming("/Inbox2/Sub"));
    EXPECT_TRUE(path_contains_incoming("/Archive/Inbox"));
    EXPECT_FALSE(path_contains_incoming("/inbox"));
}

}  // namespace
