// The add-in object called through its virtual table, over the in-memory client: workflow entry
// points, user verdicts, settings, the configuration session and the list members.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "addin/addin_object.h"
#include "addin/module.h"
#include "config/configuration.h"
#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "diag/timers.h"
#include "engine/ostrel.h"
#include "mail/accounts.h"
#include "platform/file_io.h"
#include "platform/text.h"
#include "support/hresult_checks.h"
#include "support/memory_host.h"
#include "support/seam_guards.h"
#include "support/temp_dir.h"

namespace {

// What a faulty client raises through a call: not even a standard exception.
struct client_fault {};

bstr_holder text(const std::string& value) { return bstr_holder(bstr_from_narrow(value)); }
std::string take(BSTR value) {
    bstr_holder owner(value);
    return narrow_from_bstr(owner.get());
}
std::string data_file(const std::string& name) { return read_text_file(get_data_file_path(name)); }
bool file_has(const std::string& name, const std::string& piece) {
    return data_file(name).find(piece) != std::string::npos;
}

memory_host::message_id add_mail(memory_host& client, memory_host::folder_id folder, const std::string& sender) {
    memory_host::message_spec spec;
    spec.sender = sender;
    spec.receiver = "me@example.com";
    spec.subject = "hello";
    return client.add_message(folder, spec);
}

// Fails unless every piece occurs in `log`, each after the one before.
void expect_in_order(const std::string& log, std::initializer_list<std::string> pieces) {
    std::size_t from = 0;
    for (const std::string& piece : pieces) {
        std::size_t at = log.find(piece, from);
        if (at == std::string::npos) {
            ADD_FAILURE() << "missing, or out of order: \"" << piece << "\"\nin:\n" << log;
            return;
        }
        from = at + piece.size();
    }
}

bool workflow_lock_is_free() {
    bool taken = false;
    std::thread([&] {
        taken = g_workflowLock.try_lock();
        if (taken) g_workflowLock.unlock();
    }).join();
    return taken;
}

// A fresh object with the pristine settings, empty lists, fixed clocks and the log captured.
// Every test ends by releasing the object to zero, with no client reference left anywhere.
class addin_test : public testing::Test {
protected:
    void SetUp() override {
        reset_addin_state_for_tests();
        set_wall_clock_for_tests([this] { return now; });
        set_processor_clock_for_tests([this] { return processor_ticks; });
        for (const char* name :
             {"ostrel.cfg", "authorized.lst", "ignore.lst", "pending.lst", "remove.lst", "release.lst"})
            std::remove(get_data_file_path(name).c_str());
        get_configuration("ostrel_user")->load();
        reset_ostrel_object_for_tests();
        module_locks = tarnwick_module().lock_count();
        object = new CMailerInterfaceTest;
        EXPECT_EQ(tarnwick_module().lock_count(), module_locks + 1);
    }
    void TearDown() override {
        EXPECT_EQ(object->Release(), 0u);
        EXPECT_EQ(tarnwick_module().lock_count(), module_locks);
        reset_all_accounts();
        g_mailer.reset();
        g_savedMailer.reset();
        mailer.reset();
        EXPECT_EQ(host.outstanding_references(), 0) << host.describe_outstanding();
    }

    void use_config(const std::string& content) {
        write_text_file(get_data_file_path("ostrel.cfg"), content);
        get_configuration("ostrel_user")->load();
    }
    LONG list_size(LONG list) {
        LONG size = -1;
        EXPECT_HR(S_OK, object->GetListSize(list, &size));
        return size;
    }
    HRESULT add(LONG list, const std::string& address) { return object->AddToList(list, text(address).get()); }
    memory_host::folder_id pending_folder() { return *host.find_folder("/Inbox/Pending"); }
    static std::vector<std::string> engine_list(int number) {
        const address_set* list = get_ostrel_Object()->list_by_number(number);
        return {list->begin(), list->end()};
    }

    memory_host host;
    com_ptr<IMailerHost> mailer = host.mailer();
    IMailerInterfaceTest* object = nullptr;
    log_capture log;
    std::int64_t now = 1'000'000'000;
    std::clock_t processor_ticks = CLOCKS_PER_SEC;
    LONG module_locks = 0;
    fault_hook_guard faults;
    clock_guard clocks;
};

// ---- Workflow entry points

TEST_F(addin_test, set_mailer_adopts_the_client_checks_the_pending_folder_and_imports_contacts) {
    host.set_contacts({"Friend <Friend@Example.com>"});
    EXPECT_HR(S_OK, object->SetMailer(mailer.get()));

    EXPECT_EQ(g_savedMailer.get(), mailer.get());
    EXPECT_EQ(g_mailer.get(), mailer.get());
    EXPECT_TRUE(host.find_folder("/Inbox/Pending"));
    const std::string stamp = time_text();
    expect_in_order(log.text(),
                    {"=====> Enter SetMailer ... " + stamp + "\n", "enter pre_condition_test() \n",
                     "pre_condition_test - pending_folder ok \n", "end pre_condition_test() \n",
                     "Enter RunWorkflow ...  " + stamp + "\n", " ostrel::run_workflow() 1\n",
                     "Timer for CMailerInterfaceTest::RunWorkflow   0\n\n", "\n\nExit RunWorkflow " + stamp + "\n"});
    EXPECT_EQ(list_size(authorized_list_number), 1);
}

TEST_F(addin_test, a_missing_or_foreign_mailer_leaves_no_current_mailer) {
    // The add-in object is a dispatch object without the client's interface.
    for (IDispatch* argument : {static_cast<IDispatch*>(nullptr), static_cast<IDispatch*>(object)}) {
        object->SetMailer(mailer.get());
        log.clear();
        EXPECT_HR(S_OK, object->SetMailer(argument));
        EXPECT_FALSE(g_mailer);
        EXPECT_FALSE(g_savedMailer);
        EXPECT_TRUE(log.contains("pre_condition_test - get_all_counts fails \n"));
    }
}

TEST_F(addin_test, the_first_run_workflow2_logs_iteration_1_and_runs_no_cleanup) {
    host.add_folder("/Inbox/Pending");
    com_ptr<IUnknown> message = host.message_object(add_mail(host, host.incoming(), "stranger@example.com"));
    host.on_call("get_message_headers", [this] { processor_ticks = CLOCKS_PER_SEC * 7 / 2; });

    EXPECT_HR(S_OK, object->RunWorkflow2(mailer.get(), message.get()));

    const std::string stamp = time_text();
    expect_in_order(log.text(), {"######## Start Clock Timer #####\n\n", "\n\nEnter RunWorkflow2 , before lock 1\n",
                                 "RunWorkflow2 ...  before get_data_dir" + stamp + "\n",
                                 "RunWorkflow2 ...  before get_ostrel_Object" + stamp + "\n",
                                 "handle_email: send chalange request to: stranger@example.com\n",
                                 "before clean pending and run move pending \n",
                                 "Timer for CMailerInterfaceTest::RunWorkflow2   0\n\n",
                                 "\n\nExit RunWorkflow2: itration : 1 time: " + stamp + "\n", "\nDelay Seconds = 2.5\n",
                                 "######## END Clock Timer #####\n\n\n"});
    EXPECT_FALSE(log.contains("error - nested_call_counter"));
    EXPECT_EQ(host.call_count("delete_old_message"), 0);
    EXPECT_EQ(iteration_counter, 1);
    EXPECT_EQ(nested_call_counter, 0);
    EXPECT_TRUE(workflow_lock_is_free());
}

TEST_F(addin_test, the_pending_cleanup_runs_at_most_once_a_minute) {
    host.add_folder("/Inbox/Pending");
    // Seconds after the first call, and the cleanups so far: the gate opens only strictly after
    // its due time, and then re-arms for a minute after that call.
    const struct {
        std::int64_t at;
        int cleanups;
    } calls[] = {{0, 0}, {30, 0}, {60, 0}, {61, 1}, {121, 1}, {122, 2}, {150, 2}};
    const std::int64_t start = now;
    for (const auto& call : calls) {
        now = start + call.at;
        EXPECT_HR(S_OK, object->RunWorkflow2(mailer.get(), nullptr));
        EXPECT_EQ(host.call_count("delete_old_message"), call.cleanups) << "at +" << call.at << " s";
    }
    // A null message still reaches the engine.
    EXPECT_TRUE(log.contains("ostrel::run_workflow2() - not a message object"));
}

TEST_F(addin_test, a_nested_run_workflow2_is_logged_and_both_calls_finish) {
    memory_host::folder_id pending = host.add_folder("/Inbox/Pending");
    com_ptr<IUnknown> outer = host.message_object(add_mail(host, host.incoming(), "outer@example.com"));
    com_ptr<IUnknown> inner = host.message_object(add_mail(host, host.incoming(), "inner@example.com"));
    // The client delivers the next message while it sends the challenge for the first; the
    // outer call then goes on with its account and folders.
    HRESULT inner_result = E_FAIL;
    bool nested = false;
    host.on_call("reply_to_message", [&] {
        if (!std::exchange(nested, true)) inner_result = object->RunWorkflow2(mailer.get(), inner.get());
    });

    EXPECT_HR(S_OK, object->RunWorkflow2(mailer.get(), outer.get()));

    EXPECT_HR(S_OK, inner_result);
    EXPECT_TRUE(log.contains("error - nested_call_counter = 2\n"));
    EXPECT_EQ(nested_call_counter, 0);
    EXPECT_EQ(iteration_counter, 2);
    EXPECT_EQ(host.messages_in(pending).size(), 2u);
}

TEST_F(addin_test, a_failure_inside_run_workflow2_is_logged_and_answered_with_s_ok) {
    com_ptr<IUnknown> message = host.message_object(add_mail(host, host.incoming(), "stranger@example.com"));
    host.on_call("get_message_headers", [] { throw client_fault{}; });

    EXPECT_HR(S_OK, object->RunWorkflow2(mailer.get(), message.get()));

    expect_in_order(log.text(), {"\n\nExit RunWorkflow2: exception \n",
                                 "\nDelay Seconds = ", "######## END Clock Timer #####\n\n\n"});
    EXPECT_FALSE(log.contains("Timer for CMailerInterfaceTest::RunWorkflow2 "));
    EXPECT_EQ(nested_call_counter, 0);
    EXPECT_EQ(iteration_counter, 1);
    EXPECT_TRUE(workflow_lock_is_free());
}

TEST_F(addin_test, failures_of_other_members_become_a_log_line_and_a_failure_code) {
    object->SetMailer(mailer.get());
    add_mail(host, host.incoming(), "spam@example.com");
    host.on_call("find_messages_from", [] { throw client_fault{}; });
    EXPECT_HR(E_FAIL, add(remove_list_number, "spam@example.com"));
    EXPECT_TRUE(log.contains("AddToList: exception unknown\n"));

    set_wall_clock_for_tests([]() -> std::int64_t { throw std::bad_alloc(); });
    EXPECT_HR(E_OUTOFMEMORY, object->RunWorkflow(mailer.get()));
    EXPECT_TRUE(log.contains("\n\nExit RunWorkflow: exception out of memory\n"));
}

TEST_F(addin_test, the_current_mailer_after_unload_and_verdicts) {
    // Before any SetMailer a verdict empties the current mailer: there is no saved one.
    object->RunWorkflow2(mailer.get(), nullptr);
    EXPECT_HR(S_OK, add(authorized_list_number, "a@example.com"));
    EXPECT_FALSE(g_mailer);
    EXPECT_TRUE(log.contains("ostrel::marked_as_not_spam_by_user() - no account ... \n"));

    object->SetMailer(mailer.get());
    EXPECT_HR(S_OK, object->Unload());
    EXPECT_FALSE(g_mailer);
    EXPECT_EQ(g_savedMailer.get(), mailer.get());
    add(ignore_list_number, "b@example.com");
    EXPECT_FALSE(g_mailer);  // only the verdict lists bring the saved mailer back
    add(remove_list_number, "b@example.com");
    EXPECT_EQ(g_mailer.get(), mailer.get());
    object->Unload();
    object->RunWorkflow2(mailer.get(), nullptr);
    EXPECT_EQ(g_mailer.get(), mailer.get());
}

// ---- User verdicts

TEST_F(addin_test, authorized_senders_get_their_pending_mail_back_at_the_next_message) {
    object->SetMailer(mailer.get());
    for (int i = 0; i < 3; ++i) add_mail(host, pending_folder(), "first@example.com");
    add_mail(host, pending_folder(), "second@example.com");

    EXPECT_HR(S_OK, add(authorized_list_number, "first@example.com"));
    EXPECT_HR(S_OK, add(authorized_list_number, "second@example.com"));
    EXPECT_TRUE(host.moves().empty());

    object->RunWorkflow2(mailer.get(), nullptr);
    EXPECT_TRUE(host.messages_in(pending_folder()).empty());
    EXPECT_EQ(host.messages_in(host.incoming()).size(), 4u);
}

TEST_F(addin_test, a_verdict_given_without_a_mailer_is_released_when_the_next_process_connects) {
    object->SetMailer(mailer.get());
    memory_host::message_id waiting = add_mail(host, pending_folder(), "friend@example.com");
    memory_host::message_id other = add_mail(host, pending_folder(), "stranger@example.com");
    object->SetMailer(nullptr);
    reset_ostrel_object_for_tests();

    EXPECT_HR(S_OK, add(authorized_list_number, "friend@example.com"));
    EXPECT_TRUE(host.moves().empty());
    reset_ostrel_object_for_tests();  // the process ends

    EXPECT_HR(S_OK, object->SetMailer(mailer.get()));
    EXPECT_EQ(host.folder_of(waiting), host.incoming());
    EXPECT_EQ(host.folder_of(other), pending_folder());
    EXPECT_EQ(data_file("release.lst"), "");
}

TEST_F(addin_test, the_remove_verdict_deletes_the_senders_mail_marking_it_read_only_when_configured) {
    for (const std::string mark : {"true", "True"}) {
        memory_host client;
        com_ptr<IMailerHost> client_mailer = client.mailer();
        object->SetMailer(client_mailer.get());
        get_configuration("ostrel_user")->set_value("MarkBlockedAsRead", mark);
        memory_host::message_id in_inbox = add_mail(client, client.incoming(), "spam@example.com");
        memory_host::message_id in_pending =
            add_mail(client, *client.find_folder("/Inbox/Pending"), "spam@example.com");

        EXPECT_HR(S_OK, add(remove_list_number, "spam@example.com"));

        EXPECT_TRUE(client.is_deleted(in_inbox) && client.is_deleted(in_pending)) << mark;
        EXPECT_EQ(client.marks().size(), mark == "true" ? 2u : 0u) << mark;
        object->SetMailer(nullptr);  // lets go of this client before it goes
    }
}

TEST_F(addin_test, with_protection_off_verdicts_change_the_lists_but_no_message) {
    object->SetMailer(mailer.get());
    EXPECT_HR(S_OK, object->put_EnableProtection(VARIANT_FALSE));
    add_mail(host, host.incoming(), "spam@example.com");
    add_mail(host, pending_folder(), "friend@example.com");

    add(remove_list_number, "spam@example.com");
    add(authorized_list_number, "friend@example.com");
    object->RunWorkflow2(mailer.get(), nullptr);

    EXPECT_TRUE(host.deleted().empty());
    EXPECT_TRUE(host.moves().empty());
    EXPECT_TRUE(file_has("remove.lst", "spam@example.com"));
    EXPECT_TRUE(file_has("authorized.lst", "friend@example.com"));
}

// ---- Settings and the configuration session

// What the property of `key` answers, as text.
std::string read_property(IMailerInterfaceTest* o, const std::string& key) {
    USHORT language = 0;
    ULONG number = 7;
    VARIANT_BOOL flag = 7;
    BSTR words = nullptr;
    HRESULT hr = key == "LanguageId"              ? o->get_LanguageId(&language)
                 : key == "PendingToBlockedTimeo" ? o->get_PendingToBlockedTimeo(&number)
                 : key == "HelpDlg3Enabled"       ? o->get_HelpDlgEnabled(3, &flag)
                 : key == "MarkBlockedAsRead"     ? o->get_MarkBlockedAsRead(&flag)
                 : key == "AutoDeleteBlocked"     ? o->get_AutoDeleteBlocked(&flag)
                 : key == "AutoDeleteIgnored"     ? o->get_AutoDeleteIgnored(&flag)
                 : key == "EnableProtection"      ? o->get_EnableProtection(&flag)
                 : key == "ARMessage"             ? o->get_ARMessage(&words)
                 : key == "ARSubject"             ? o->get_ARSubject(&words)
                 : key == "ARSubjectKey"          ? o->get_ARSubjectKey(&words)
                 : key == "ARMessageKey"          ? o->get_ARMessageKey(&words)
                                                  : o->get_PendingFolderName(&words);
    EXPECT_HR(S_OK, hr) << key;
    if (key == "LanguageId") return std::to_string(language);
    if (key == "PendingToBlockedTimeo") return std::to_string(number);
    return flag != 7 ? std::to_string(flag) : take(words);
}

TEST_F(addin_test, every_property_reads_its_stored_form) {
    // Key, its value in the file (null: no such line), what the property answers.
    const struct {
        const char* key;
        const char* stored;
        const char* expected;
    } rows[] = {
        {"LanguageId", nullptr, "1033"},
        {"LanguageId", "0", "1033"},
        {"LanguageId", "abc", "1033"},
        {"LanguageId", "1036", "1036"},
        {"LanguageId", "66572", "1036"},  // kept to 16 bits
        {"MarkBlockedAsRead", "true", "1"},
        {"MarkBlockedAsRead", "True", "0"},
        {"MarkBlockedAsRead", "yes", "0"},
        {"MarkBlockedAsRead", "1", "0"},
        {"MarkBlockedAsRead", nullptr, "0"},
        {"AutoDeleteBlocked", "true", "1"},
        {"AutoDeleteIgnored", "false", "0"},
        {"EnableProtection", "true", "1"},
        {"HelpDlg3Enabled", nullptr, "1"},
        {"HelpDlg3Enabled", "false", "0"},
        {"HelpDlg3Enabled", "TRUE", "0"},
        {"PendingToBlockedTimeo", "14", "14"},
        {"PendingToBlockedTimeo", "abc", "0"},
        {"PendingToBlockedTimeo", "-1", "4294967295"},
        {"PendingToBlockedTimeo", nullptr, "0"},
        {"ARSubject", "", ""},  // the file gives ";" for empty
        {"ARMessage", "Hello,\x01World", "Hello,\nWorld"},
        {"ARSubjectKey", "[K]", "[K]"},
        {"ARMessageKey", nullptr, ""},
        {"PENDING_FOLDER_NAME", "Waiting room", "Waiting room"},
    };
    for (const auto& row : rows) {
        use_config(std::string("Filler = x ;\r\n") +
                   (row.stored ? std::string(row.key) + " = " + row.stored + " ;\r\n" : ""));
        EXPECT_EQ(read_property(object, row.key), row.expected)
            << row.key << " = " << (row.stored ? row.stored : "(none)");
    }
}

TEST_F(addin_test, every_put_writes_its_stored_form_to_the_file) {
    const struct {
        HRESULT result;
        const char* line;
    } puts[] = {
        {object->put_LanguageId(65535), "LanguageId = 65535 ;\r\n"},
        {object->put_MarkBlockedAsRead(VARIANT_TRUE), "MarkBlockedAsRead = true ;\r\n"},
        {object->put_AutoDeleteBlocked(1), "AutoDeleteBlocked = true ;\r\n"},
        {object->put_AutoDeleteIgnored(0), "AutoDeleteIgnored = false ;\r\n"},
        {object->put_PendingToBlockedTimeo(4294967295u), "PendingToBlockedTimeo = -1 ;\r\n"},
        {object->put_ARMessage(text("Hello,\nWorld").get()), "ARMessage = Hello,\x01World ;\r\n"},
        {object->put_ARSubject(nullptr), "ARSubject =  ;\r\n"},
        {object->put_ARSubjectKey(text("[K2]").get()), "ARSubjectKey = [K2] ;\r\n"},
        {object->put_ARMessageKey(text("[M2]").get()), "ARMessageKey = [M2] ;\r\n"},
        {object->put_HelpDlgEnabled(3, 0), "HelpDlg3Enabled = false ;\r\n"},
        {object->put_EnableProtection(0), "EnableProtection = false ;\r\n"},
    };
    for (const auto& put : puts) {
        EXPECT_HR(S_OK, put.result) << put.line;
        EXPECT_TRUE(file_has("ostrel.cfg", put.line)) << put.line;
    }
    EXPECT_EQ(read_property(object, "ARMessage"), "Hello,\nWorld");
}

TEST_F(addin_test, texts_with_semicolons_and_emptied_texts_read_back_the_same_after_a_reload) {
    const struct {
        const char* key;
        const char* value;
    } rows[] = {{"ARMessage", "Hello; please reply\nBye;"},
                {"ARSubject", "a;b [K]"},
                {"ARSubjectKey", ""},
                {"ARSubjectKey", ";"},
                {"ARMessageKey", "x = y ; z"}};
    for (const auto& row : rows) {
        const std::string key = row.key;
        bstr_holder value = text(row.value);
        HRESULT hr = key == "ARMessage"      ? object->put_ARMessage(value.get())
                     : key == "ARSubject"    ? object->put_ARSubject(value.get())
                     : key == "ARSubjectKey" ? object->put_ARSubjectKey(value.get())
                                             : object->put_ARMessageKey(value.get());
        ASSERT_HR(S_OK, hr) << key;
        const std::string before = read_property(object, key);
        get_configuration("ostrel_user")->load();
        EXPECT_EQ(read_property(object, key), before) << key << " = " << row.value;
        // A lone ";" is the stored form of an empty text.
        EXPECT_EQ(before, std::string(row.value) == ";" ? "" : row.value) << key;
    }
}

TEST_F(addin_test, a_session_holds_puts_in_memory_until_end_configure) {
    for (VARIANT_BOOL save : {VARIANT_BOOL{0}, VARIANT_BOOL{1}, VARIANT_BOOL{-1}}) {
        object->put_ARSubject(text("Before").get());
        EXPECT_HR(S_OK, object->BeginConfigure());
        object->put_ARSubject(text("During").get());
        EXPECT_EQ(read_property(object, "ARSubject"), "During");
        EXPECT_TRUE(file_has("ostrel.cfg", "ARSubject = Before ;")) << save;

        EXPECT_HR(S_OK, object->EndConfigure(save));
        const std::string kept = save ? "During" : "Before";  // any true value keeps the session
        EXPECT_EQ(read_property(object, "ARSubject"), kept) << save;
        EXPECT_TRUE(file_has("ostrel.cfg", "ARSubject = " + kept + " ;")) << save;
        EXPECT_FALSE(g_configuring);
    }
}

TEST_F(addin_test, a_help_dialog_put_saves_at_once_with_the_sessions_other_changes) {
    const std::string key = read_property(object, "ARSubjectKey");
    object->BeginConfigure();
    object->put_ARSubject(text("Held").get());
    EXPECT_HR(S_OK, object->put_HelpDlgEnabled(7, VARIANT_FALSE));
    EXPECT_TRUE(file_has("ostrel.cfg", "ARSubject = Held ;"));
    EXPECT_TRUE(file_has("ostrel.cfg", "HelpDlg7Enabled = false ;"));

    object->put_ARSubjectKey(text("[Later]").get());  // the session still holds this one
    EXPECT_FALSE(file_has("ostrel.cfg", "[Later]"));
    object->EndConfigure(0);
    EXPECT_EQ(read_property(object, "ARSubjectKey"), key);
}

TEST_F(addin_test, a_setting_that_cannot_be_written_is_reported) {
    set_file_fault_hook([](file_step step, const std::string&) { return step != file_step::rename; });
    EXPECT_HR(E_FAIL, object->put_ARSubject(text("Unsaved").get()));
    EXPECT_TRUE(log.contains("FAIL: put_ARSubject")) << log.text();
    EXPECT_EQ(read_property(object, "ARSubject"), "Unsaved");  // in effect for this process all the same
    object->BeginConfigure();
    EXPECT_HR(E_FAIL, object->EndConfigure(VARIANT_TRUE));
    EXPECT_FALSE(g_configuring);
}

// ---- Lists

TEST_F(addin_test, add_to_list_keeps_an_address_on_one_list_at_most) {
    add(authorized_list_number, "a@example.com");
    EXPECT_HR(S_OK, add(ignore_list_number, "a@example.com"));
    EXPECT_EQ(list_size(authorized_list_number), 0);
    EXPECT_EQ(list_size(ignore_list_number), 1);
    EXPECT_FALSE(file_has("authorized.lst", "a@example.com"));
    EXPECT_TRUE(file_has("ignore.lst", "a@example.com"));

    EXPECT_HR(S_OK, add(7, "a@example.com"));  // only removes
    for (LONG list : {0, 1, 2, 3}) EXPECT_EQ(list_size(list), 0) << list;

    // Typed differently from the stored entry, the address still leaves the other list.
    add(remove_list_number, "b@example.com");
    add(authorized_list_number, "Bob <B@Example.COM>");
    EXPECT_EQ(list_size(remove_list_number), 0);
    EXPECT_EQ(list_size(authorized_list_number), 1);

    EXPECT_HR(S_OK,
              object->ModifyInList(authorized_list_number, text("b@example.com").get(), text("c@example.com").get()));
    EXPECT_TRUE(file_has("authorized.lst", "c@example.com"));
    EXPECT_FALSE(file_has("authorized.lst", "b@example.com"));
}

TEST_F(addin_test, a_list_change_that_cannot_be_written_is_reported_and_undone) {
    EXPECT_HR(S_OK, add(authorized_list_number, "a@example.com"));
    EXPECT_HR(S_OK, add(pending_list_number, "p@example.com"));
    set_file_fault_hook([](file_step step, const std::string& path) {
        return step != file_step::rename || path.find("authorized.lst") == std::string::npos;
    });
    struct {
        const char* what;
        HRESULT result;
    } rows[] = {
        {"add", add(authorized_list_number, "b@example.com")},
        {"add moving off another list", add(authorized_list_number, "p@example.com")},
        {"remove", object->RemoveFromList(authorized_list_number, text("a@example.com").get())},
        {"modify",
         object->ModifyInList(authorized_list_number, text("a@example.com").get(), text("c@example.com").get())},
    };
    for (const auto& row : rows) {
        EXPECT_HR(STG_E_CANTSAVE, row.result) << row.what;
        // Memory matches the files again: nothing of the change stays.
        EXPECT_EQ(engine_list(authorized_list_number), std::vector<std::string>{"a@example.com"}) << row.what;
        EXPECT_EQ(engine_list(pending_list_number), std::vector<std::string>{"p@example.com"}) << row.what;
    }
    EXPECT_TRUE(log.contains("FAIL: AddToList")) << log.text();
    EXPECT_TRUE(log.contains("FAIL: RemoveFromList")) << log.text();

    set_file_fault_hook({});
    EXPECT_HR(S_OK, add(authorized_list_number, "b@example.com"));
    EXPECT_TRUE(file_has("authorized.lst", "b@example.com"));
}

TEST_F(addin_test, a_workflow_call_whose_lists_cannot_be_written_says_so_after_finishing) {
    host.set_contacts({"friend@example.com"});
    set_file_fault_hook([](file_step step, const std::string&) { return step != file_step::flush; });
    EXPECT_HR(STG_E_CANTSAVE, object->SetMailer(mailer.get()));

    com_ptr<IUnknown> message = host.message_object(add_mail(host, host.incoming(), "stranger@example.com"));
    EXPECT_HR(STG_E_CANTSAVE, object->RunWorkflow2(mailer.get(), message.get()));
    EXPECT_EQ(host.messages_in(pending_folder()).size(), 1u);  // handled all the same
    EXPECT_TRUE(log.contains("FAIL: RunWorkflow2")) << log.text();
    EXPECT_TRUE(workflow_lock_is_free());

    set_file_fault_hook({});
    EXPECT_HR(S_OK, object->RunWorkflow2(mailer.get(), nullptr));
}

TEST_F(addin_test, lists_are_read_through_one_shared_cursor_and_sizes_are_logged) {
    write_text_file(get_data_file_path("authorized.lst"), "a@x.com\r\nb@x.com\r\nc@x.com\r\nd@x.com\r\n");
    // Items other than 0 are not positions; list 9 answers "" and moves nothing.
    const struct {
        LONG list;
        LONG item;
        const char* entry;
    } reads[] = {{0, 0, "a@x.com"}, {0, 1, "b@x.com"}, {0, 2, "c@x.com"}, {9, 0, ""}, {0, 5, "d@x.com"}, {0, 6, ""}};
    for (const auto& read : reads) {
        BSTR entry = nullptr;
        EXPECT_HR(S_OK, object->GetListItem(read.list, read.item, &entry));
        EXPECT_NE(entry, nullptr);
        EXPECT_EQ(take(entry), read.entry) << read.list << ", " << read.item;
    }
    LONG size = 77;
    EXPECT_HR(S_OK, object->GetListSize(9, &size));
    EXPECT_EQ(size, 77);
    EXPECT_EQ(list_size(authorized_list_number), 4);
    expect_in_order(log.text(), {"GetListSize 9 = 77\n", "GetListSize 0 = 4\n"});
}

// ---- The object itself

TEST_F(addin_test, the_object_is_one_counted_interface_with_dispatch_by_id) {
    for (const IID& iid : {IID_IUnknown, IID_IDispatch, IID_IMailerInterfaceTest}) {
        void* answer = nullptr;
        EXPECT_HR(S_OK, object->QueryInterface(iid, &answer));
        EXPECT_EQ(answer, static_cast<void*>(object));
        EXPECT_EQ(object->Release(), 1u);
    }
    void* answer = object;
    EXPECT_HR(E_NOINTERFACE, object->QueryInterface(IID_IMailerHost, &answer));
    EXPECT_EQ(answer, nullptr);
    UINT count = 9;
    EXPECT_HR(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(count, 0u);
    ITypeInfo* info = nullptr;
    EXPECT_HR(DISP_E_BADINDEX, object->GetTypeInfo(0, 0, &info));

    bstr_holder name = text("LanguageId");
    LPOLESTR names[] = {name.get()};
    DISPID id = 0;
    EXPECT_HR(DISP_E_UNKNOWNINTERFACE, object->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id));
    EXPECT_HR(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    variant_holder result, number;
    EXPECT_HR(S_OK, object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.put(), nullptr, nullptr));
    EXPECT_HR(S_OK, VariantChangeType(number.put(), result.get(), 0, VT_I4));
    EXPECT_EQ(number->lVal, 1033);
}

// ---- Hostile input through the virtual table

// A BSTR of exactly these UTF-16 code units: NULs and lone surrogates are kept.
bstr_holder units(std::u16string_view code_units) {
    std::basic_string<OLECHAR> wide(code_units.begin(), code_units.end());
    return bstr_holder(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
}

HRESULT put_property(IMailerInterfaceTest* o, const std::string& key, BSTR value) {
    return key == "ARMessage"      ? o->put_ARMessage(value)
           : key == "ARSubject"    ? o->put_ARSubject(value)
           : key == "ARSubjectKey" ? o->put_ARSubjectKey(value)
                                   : o->put_ARMessageKey(value);
}

TEST_F(addin_test, hostile_input_through_the_virtual_table_is_refused_or_kept_exactly) {
    const std::string megabyte_text(1 << 20, 'x');
    const std::u16string megabyte_units(megabyte_text.begin(), megabyte_text.end());
    const std::string long_local(1 << 20, 'a');
    const std::string long_address = long_local + "@example.com";
    const std::u16string long_address_units(long_address.begin(), long_address.end());
    constexpr LONG lowest = std::numeric_limits<LONG>::min();
    constexpr LONG highest = std::numeric_limits<LONG>::max();

    // A text put: accepted ones read back the same, before and after the file is read again;
    // refused ones leave the old value, in memory and in the file.
    auto text_put = [&](const char* key, std::u16string value, HRESULT expected) {
        return [=, this](const std::string& what) {
            ASSERT_HR(S_OK, put_property(object, key, text("Before").get())) << what;
            bstr_holder put = units(value);
            EXPECT_EQ(put_property(object, key, put.get()), expected) << what;
            const std::string kept = expected == S_OK ? narrow_from_bstr(put.get()) : "Before";
            EXPECT_EQ(read_property(object, key), kept) << what;
            get_configuration("ostrel_user")->load();
            EXPECT_EQ(read_property(object, key), kept) << what;
        };
    };
    // A list change: the call's code, then every list as it must be in memory and after a reload.
    auto list_call = [&](std::function<HRESULT()> call, HRESULT expected, std::vector<std::string> authorized) {
        return [=, this](const std::string& what) {
            ASSERT_HR(S_OK, add(ignore_list_number, "kept@example.com")) << what;
            EXPECT_EQ(call(), expected) << what;
            for (int reload = 0; reload < 2; ++reload) {
                if (reload) get_ostrel_Object()->reload_address_lists();
                EXPECT_EQ(engine_list(authorized_list_number), authorized) << what << (reload ? ", reloaded" : "");
                EXPECT_EQ(engine_list(ignore_list_number), std::vector<std::string>{"kept@example.com"}) << what;
            }
            for (const std::string& entry : engine_list(authorized_list_number))
                object->RemoveFromList(authorized_list_number, text(entry).get());
        };
    };
    auto code_is = [](std::function<HRESULT()> call, HRESULT expected) {
        return [=](const std::string& what) { EXPECT_EQ(call(), expected) << what; };
    };
    auto refuses_null = [](std::function<HRESULT()> call) {
        return [=](const std::string& what) { EXPECT_HR(E_POINTER, call()) << what; };
    };
    auto a = [this](const char* value) { return text(value); };
    IMailerInterfaceTest* o = object;

    const struct {
        std::string what;
        std::function<void(const std::string&)> check;
    } rows[] = {
        {"1 MB subject", text_put("ARSubject", megabyte_units, S_OK)},
        {"1 MB message", text_put("ARMessage", megabyte_units + u"\nend", S_OK)},
        {"NUL inside a text", text_put("ARSubject", std::u16string(u"Confirm\0 [K]", 12), E_INVALIDARG)},
        {"NUL at the end of a text", text_put("ARSubjectKey", std::u16string(u"[K]\0", 4), E_INVALIDARG)},
        {"lone high surrogate", text_put("ARSubjectKey", u"[K\xD800]", E_INVALIDARG)},
        {"lone low surrogate", text_put("ARMessageKey", u"\xDC00", E_INVALIDARG)},
        {"surrogate pair reversed", text_put("ARMessage", u"\xDE00\xD83D", E_INVALIDARG)},
        {"accented letter", text_put("ARSubject", u"Caf\u00e9 [K]", S_OK)},
        {"line-break stand-in byte", text_put("ARMessage",
                                              u"a\x01"
                                              "b",
                                              E_INVALIDARG)},
        {"semicolon stand-in byte", text_put("ARSubject",
                                             u"a\x02"
                                             "b",
                                             E_INVALIDARG)},
        {"leading blank", text_put("ARSubject", u" Confirm", E_INVALIDARG)},
        {"trailing tab", text_put("ARSubjectKey", u"[K]\t", E_INVALIDARG)},
        {"trailing carriage return", text_put("ARMessage", u"Bye\r", E_INVALIDARG)},
        {"CR LF line breaks and a final line feed", text_put("ARMessage", u"Hello\r\nBye\n", S_OK)},
        {"1 MB address",
         list_call([&] { return o->AddToList(authorized_list_number, units(long_address_units).get()); }, S_OK,
                   {long_address})},
        {"NUL inside an address",
         list_call(
             [&] {
                 return o->AddToList(authorized_list_number, units({u"a@example.com\0b", 15}).get());
             },
             E_INVALIDARG, {})},
        {"lone surrogate in an address",
         list_call([&] { return o->AddToList(authorized_list_number, units(u"a\xD800@example.com").get()); },
                   E_INVALIDARG, {})},
        {"no address in the text",
         list_call([&] { return o->AddToList(authorized_list_number, a("kept").get()); }, E_INVALIDARG, {})},
        {"an empty address",
         list_call([&] { return o->AddToList(remove_list_number, a("<>").get()); }, E_INVALIDARG, {})},
        {"negative list number only removes",
         list_call([&] { return o->AddToList(-1, a("other@example.com").get()); }, S_OK, {})},
        {"NUL in the address to remove",
         list_call(
             [&] {
                 return o->RemoveFromList(ignore_list_number, units({u"kept@example.com\0", 17}).get());
             },
             E_INVALIDARG, {})},
        {"modify to a text without an address keeps the old entry",
         list_call(
             [&] {
                 o->AddToList(authorized_list_number, a("old@example.com").get());
                 return o->ModifyInList(authorized_list_number, a("old@example.com").get(), a("nothing here").get());
             },
             E_INVALIDARG, {"old@example.com"})},
        {"modify to a text with a NUL keeps the old entry",
         list_call(
             [&] {
                 o->AddToList(authorized_list_number, a("old@example.com").get());
                 return o->ModifyInList(authorized_list_number, a("old@example.com").get(),
                                        units({u"new@example.com\0", 16}).get());
             },
             E_INVALIDARG, {"old@example.com"})},
        {"size of list -1", code_is(
                                [&] {
                                    LONG n = 5;
                                    HRESULT hr = o->GetListSize(-1, &n);
                                    return n == 5 ? hr : E_UNEXPECTED;
                                },
                                S_OK)},
        {"size of the lowest list number", code_is(
                                               [&] {
                                                   LONG n = 5;
                                                   HRESULT hr = o->GetListSize(lowest, &n);
                                                   return n == 5 ? hr : E_UNEXPECTED;
                                               },
                                               S_OK)},
        {"size of the highest list number", code_is(
                                                [&] {
                                                    LONG n = 5;
                                                    HRESULT hr = o->GetListSize(highest, &n);
                                                    return n == 5 ? hr : E_UNEXPECTED;
                                                },
                                                S_OK)},
        {"items at negative and huge indexes", code_is(
                                                   [&] {
                                                       for (LONG list : {LONG{-1}, LONG{0}, lowest, highest}) {
                                                           for (LONG item : {LONG{0}, LONG{-1}, lowest, highest}) {
                                                               BSTR entry = nullptr;
                                                               if (HRESULT hr = o->GetListItem(list, item, &entry);
                                                                   hr != S_OK || !entry)
                                                                   return E_UNEXPECTED;
                                                               SysFreeString(entry);
                                                           }
                                                       }
                                                       return S_OK;
                                                   },
                                                   S_OK)},
        {"help dialog ids 0 and 0xFFFFFFFF", code_is(
                                                 [&] {
                                                     for (ULONG id : {ULONG{0}, ULONG{0xFFFFFFFF}, ULONG{0x80000000}}) {
                                                         VARIANT_BOOL shown = 7;
                                                         if (o->put_HelpDlgEnabled(id, VARIANT_FALSE) != S_OK)
                                                             return E_UNEXPECTED;
                                                         get_configuration("ostrel_user")->load();
                                                         if (o->get_HelpDlgEnabled(id, &shown) != S_OK || shown != 0)
                                                             return E_UNEXPECTED;
                                                         if (o->get_HelpDlgEnabled(id + 1, &shown) != S_OK ||
                                                             shown != 1)
                                                             return E_UNEXPECTED;  // its own key
                                                         o->put_HelpDlgEnabled(id, VARIANT_TRUE);
                                                     }
                                                     return S_OK;
                                                 },
                                                 S_OK)},
        {"null size", refuses_null([&] { return o->GetListSize(0, nullptr); })},
        {"null item", refuses_null([&] { return o->GetListItem(0, 0, nullptr); })},
        {"null LanguageId", refuses_null([&] { return o->get_LanguageId(nullptr); })},
        {"null MarkBlockedAsRead", refuses_null([&] { return o->get_MarkBlockedAsRead(nullptr); })},
        {"null AutoDeleteBlocked", refuses_null([&] { return o->get_AutoDeleteBlocked(nullptr); })},
        {"null AutoDeleteIgnored", refuses_null([&] { return o->get_AutoDeleteIgnored(nullptr); })},
        {"null EnableProtection", refuses_null([&] { return o->get_EnableProtection(nullptr); })},
        {"null PendingToBlockedTimeo", refuses_null([&] { return o->get_PendingToBlockedTimeo(nullptr); })},
        {"null ARMessage", refuses_null([&] { return o->get_ARMessage(nullptr); })},
        {"null ARSubject", refuses_null([&] { return o->get_ARSubject(nullptr); })},
        {"null ARSubjectKey", refuses_null([&] { return o->get_ARSubjectKey(nullptr); })},
        {"null ARMessageKey", refuses_null([&] { return o->get_ARMessageKey(nullptr); })},
        {"null HelpDlgEnabled", refuses_null([&] { return o->get_HelpDlgEnabled(0xFFFFFFFF, nullptr); })},
        {"null PendingFolderName", refuses_null([&] { return o->get_PendingFolderName(nullptr); })},
        {"null type-information count", refuses_null([&] { return o->GetTypeInfoCount(nullptr); })},
        {"null interface", refuses_null([&] { return o->QueryInterface(IID_IDispatch, nullptr); })},
        {"null names", code_is(
                           [&] {
                               DISPID id = 0;
                               return o->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id);
                           },
                           E_INVALIDARG)},
        {"null ids", code_is(
                         [&] {
                             bstr_holder name = text("ARSubject");
                             LPOLESTR names[] = {name.get()};
                             return o->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr);
                         },
                         E_INVALIDARG)},
        {"a null name", code_is(
                            [&] {
                                LPOLESTR names[] = {nullptr};
                                DISPID id = 0;
                                return o->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
                            },
                            DISP_E_UNKNOWNNAME)},
        {"null arguments to Invoke",
         code_is([&] { return o->Invoke(11, IID_NULL, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr); },
                 E_INVALIDARG)},
        {"null type information", code_is([&] { return o->GetTypeInfo(0, 0, nullptr); }, DISP_E_BADINDEX)},
    };
    for (const auto& row : rows) row.check(row.what);
}

TEST_F(addin_test, null_out_pointers_are_refused) {
    EXPECT_HR(E_POINTER, object->GetListSize(0, nullptr));
    EXPECT_HR(E_POINTER, object->GetListItem(0, 0, nullptr));
    EXPECT_HR(E_POINTER, object->get_LanguageId(nullptr));
    EXPECT_HR(E_POINTER, object->get_MarkBlockedAsRead(nullptr));
    EXPECT_HR(E_POINTER, object->get_PendingToBlockedTimeo(nullptr));
    EXPECT_HR(E_POINTER, object->get_ARMessage(nullptr));
    EXPECT_HR(E_POINTER, object->get_HelpDlgEnabled(1, nullptr));
    EXPECT_HR(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
}

}  // namespace
