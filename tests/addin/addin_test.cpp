// The add-in object over the in-memory client: workflow entry points and user verdicts.
#include "addin_fixture.h"

namespace {

using namespace addin_testing;

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

}  // namespace
