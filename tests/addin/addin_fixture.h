// The add-in object called through its virtual table, over the in-memory client: the fixture and
// helpers its test files share.
#pragma once

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

namespace addin_testing {

// What a faulty client raises through a call: not even a standard exception.
struct client_fault {};

inline bstr_holder text(const std::string& value) { return bstr_holder(bstr_from_narrow(value)); }
inline std::string take(BSTR value) {
    bstr_holder owner(value);
    return narrow_from_bstr(owner.get());
}
inline std::string data_file(const std::string& name) { return read_text_file(get_data_file_path(name)); }
inline bool file_has(const std::string& name, const std::string& piece) {
    return data_file(name).find(piece) != std::string::npos;
}

inline memory_host::message_id add_mail(memory_host& client, memory_host::folder_id folder, const std::string& sender) {
    memory_host::message_spec spec;
    spec.sender = sender;
    spec.receiver = "me@example.com";
    spec.subject = "hello";
    return client.add_message(folder, spec);
}

// Fails unless every piece occurs in `log`, each after the one before.
inline void expect_in_order(const std::string& log, std::initializer_list<std::string> pieces) {
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

inline bool workflow_lock_is_free() {
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

// What the property of `key` answers, as text.
inline std::string read_property(IMailerInterfaceTest* o, const std::string& key) {
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

}  // namespace addin_testing
