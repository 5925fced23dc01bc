// The add-in object over the in-memory client: settings, the configuration session and the list
// members.
#include "addin_fixture.h"

namespace {

using namespace addin_testing;

// ---- Settings and the configuration session

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

}  // namespace
