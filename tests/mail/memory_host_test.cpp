// The in-memory host is what every later test stands on: its own contract is checked here.
#include <gtest/gtest-spi.h>

#include "mail_fixture.h"
#include "platform/text.h"
#include "support/hresult_checks.h"

namespace {

using memory_host_test = mail_test;

TEST_F(memory_host_test, answers_its_three_interfaces_and_counts_every_reference) {
    EXPECT_EQ(host.outstanding_references(), 1) << "g_mailer";
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IMailerHost}) {
        com_ptr<IUnknown> answer;
        EXPECT_HR(S_OK, host.QueryInterface(*iid, reinterpret_cast<void**>(answer.put())));
        EXPECT_EQ(answer.get(), static_cast<IUnknown*>(&host));
        EXPECT_EQ(host.outstanding_references(), 2);
    }
    void* none = &host;
    EXPECT_HR(E_NOINTERFACE, host.QueryInterface(IID_IEnumVARIANT, &none));
    EXPECT_EQ(none, nullptr);

    com_ptr<IEnumVARIANT> subfolders;
    host.add_folder("/Inbox/Sub");
    g_mailer->enum_subfolders(memory_host::unknown_view(host.folder_object(host.incoming()).get()), subfolders.put());
    EXPECT_EQ(host.outstanding_references(), 2) << host.describe_outstanding();
    variant_holder item;
    ASSERT_HR(S_OK, subfolders->Next(1, item.put(), nullptr));
    EXPECT_EQ(host.outstanding_references(), 3) << host.describe_outstanding();
    EXPECT_HR(S_FALSE, subfolders->Next(1, item.put(), nullptr));
    EXPECT_EQ(host.outstanding_references(), 2);
}

TEST_F(memory_host_test, slots_are_where_the_table_puts_them) {
    // Calls through the bare virtual table, as a host written in another language would be.
    using get_folder = HRESULT(STDMETHODCALLTYPE*)(IMailerHost*, IUnknown**);
    void** table = *reinterpret_cast<void***>(g_mailer.get());
    com_ptr<IUnknown> incoming, root;
    reinterpret_cast<get_folder>(table[36])(g_mailer.get(), incoming.put());
    reinterpret_cast<get_folder>(table[51])(g_mailer.get(), root.put());
    bstr_holder name;
    g_mailer->get_folder_name(memory_host::unknown_view(incoming.get()), name.put());
    EXPECT_EQ(narrow_from_bstr(name.get()), "Inbox");
    EXPECT_EQ(host.calls(), (std::vector<std::string>{"get_incoming_folder", "get_root_folder", "get_folder_name"}));
    EXPECT_NONFATAL_FAILURE(g_mailer->reserved_8(), "reserved slot 8");
}

TEST_F(memory_host_test, faults_fail_perform_or_call_back) {
    IUnknown* untouched = static_cast<IUnknown*>(&host);  // a sentinel, never called
    IUnknown* folder = untouched;
    host.inject("get_root_folder", {.result = E_ACCESSDENIED, .times = 1});
    EXPECT_HR(E_ACCESSDENIED, g_mailer->get_root_folder(&folder));
    EXPECT_EQ(folder, untouched) << "out values stay as the caller set them";
    com_ptr<IUnknown> root;
    EXPECT_HR(S_OK, g_mailer->get_root_folder(root.put())) << "the fault applied once";

    auto id = host.add_message(host.incoming(), {});
    host.inject(13, {.result = E_UNEXPECTED, .perform = true});  // delete_message by slot
    auto message = host.message_object(id);
    EXPECT_HR(E_UNEXPECTED, g_mailer->delete_message(memory_host::unknown_view(message.get())));
    EXPECT_TRUE(host.is_deleted(id));

    int seen = 0;
    host.on_call(
        "get_incoming_folder",
        [&] {
            ++seen;
            EXPECT_EQ(host.call_count("get_incoming_folder"), 1) << "the callback runs first, and may re-enter";
            com_ptr<IUnknown> inner;
            g_mailer->get_root_folder(inner.put());
        },
        1);
    com_ptr<IUnknown> incoming;
    g_mailer->get_incoming_folder(incoming.put());
    g_mailer->get_incoming_folder(incoming.put());
    EXPECT_EQ(seen, 1);
    EXPECT_THROW(host.inject("no_such_operation", {}), std::invalid_argument);
}

TEST_F(memory_host_test, delete_old_message_takes_the_oldest_past_the_limit) {
    auto folder = host.add_folder("/Inbox/Pending");
    host.set_now(100 * 86400.0);
    host.add_message(folder, {.sender = "young", .received = 99 * 86400.0});
    auto first = host.add_message(folder, {.sender = "tie-first", .received = 50 * 86400.0});
    auto second = host.add_message(folder, {.sender = "tie-second", .received = 50 * 86400.0});
    host.add_message(host.incoming(), {.sender = "elsewhere", .received = 0});
    auto object = host.folder_object(folder);
    for (auto expected : {first, second}) {
        bstr_holder sender;
        double age = 0;
        EXPECT_HR(S_OK, g_mailer->delete_old_message(object.get(), 10, sender.put(), &age));
        EXPECT_EQ(age, 50 * 86400.0);
        EXPECT_EQ(host.deleted().back(), expected);
    }
    bstr_holder sender;
    double age = 7;
    EXPECT_HR(S_FALSE, g_mailer->delete_old_message(object.get(), 10, sender.put(), &age));
    EXPECT_EQ(sender.length(), 0u);
    EXPECT_EQ(age, 0.0);
}

TEST(memory_host_lifetime, a_host_destroyed_with_live_references_fails_the_test) {
    com_ptr<IUnknown> leaked;
    EXPECT_NONFATAL_FAILURE(
        {
            memory_host h;
            leaked = h.folder_object(h.root());
        },
        "1 live references");
    leaked.reset();  // objects may outlive their host safely
}

}  // namespace
