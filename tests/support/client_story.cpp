#include "support/client_story.h"

#include <gtest/gtest.h>

#include <utility>

#include "platform/text.h"
#include "support/hresult_checks.h"

namespace {

constexpr LONG pending_list = 3;
constexpr DISPID run_workflow2_id = 23;
constexpr DISPID get_list_size_id = 2;

}  // namespace

void check_class_object_refusals(const get_class_object_call& get_class_object,
                                 const can_unload_now_call& can_unload_now) {
    constexpr CLSID other_class = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* object = &object;
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, get_class_object(other_class, IID_IClassFactory, &object));
    EXPECT_EQ(object, nullptr);
    EXPECT_HR(E_POINTER, get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory, nullptr));

    com_ptr<IClassFactory> classes, again;
    ASSERT_HR(S_OK,
              get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory, reinterpret_cast<void**>(classes.put())));
    ASSERT_HR(S_OK,
              get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory, reinterpret_cast<void**>(again.put())));
    EXPECT_EQ(classes.get(), again.get());

    object = &object;
    EXPECT_HR(CLASS_E_NOAGGREGATION, classes->CreateInstance(classes.get(), IID_IUnknown, &object));
    EXPECT_EQ(object, nullptr);
    EXPECT_HR(S_OK, can_unload_now()) << "a refused instance must not stay alive";
}

void check_unloading_follows_instances_and_locks(IClassFactory& classes, const can_unload_now_call& can_unload_now) {
    EXPECT_HR(S_OK, can_unload_now());
    com_ptr<IMailerInterfaceTest> instance;
    ASSERT_HR(S_OK,
              classes.CreateInstance(nullptr, IID_IMailerInterfaceTest, reinterpret_cast<void**>(instance.put())));
    EXPECT_HR(S_FALSE, can_unload_now());
    instance.reset();
    EXPECT_HR(S_OK, can_unload_now());
    EXPECT_HR(S_OK, classes.LockServer(TRUE));
    EXPECT_HR(S_FALSE, can_unload_now());
    EXPECT_HR(S_OK, classes.LockServer(FALSE));
    EXPECT_HR(S_OK, can_unload_now());
}

void play_client_story(com_ptr<IMailerInterfaceTest> instance, memory_host& host) {
    ASSERT_TRUE(instance);
    com_ptr<IMailerHost> mailer = host.mailer();
    memory_host::message_spec first{"stranger@example.com", "me@example.com", "hello", "", true, {}, 0};
    memory_host::message_spec second{"other@example.com", "me@example.com", "hi", "", true, {}, 0};
    com_ptr<IUnknown> first_message = host.message_object(host.add_message(host.incoming(), first));
    com_ptr<IUnknown> second_message = host.message_object(host.add_message(host.incoming(), second));

    ASSERT_HR(S_OK, instance->SetMailer(mailer.get()));
    auto pending = host.find_folder("/Inbox/Pending");
    ASSERT_TRUE(pending);
    ASSERT_HR(S_OK, instance->RunWorkflow2(mailer.get(), first_message.get()));
    EXPECT_EQ(host.messages_in(*pending).size(), 1u);
    EXPECT_EQ(host.replies().size(), 1u);

    com_ptr<IDispatch> automation = instance.query<IDispatch>(IID_IDispatch);
    ASSERT_TRUE(automation);
    for (const char* spelling : {"RunWorkflow2", "runworkflow2"}) {
        bstr_holder name(bstr_from_narrow(spelling));
        LPOLESTR names[] = {name.get()};
        DISPID id = 0;
        ASSERT_HR(S_OK, automation->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)) << spelling;
        EXPECT_EQ(id, run_workflow2_id) << spelling;
    }
    VARIANT args[2];  // last first
    VariantInit(&args[0]);
    args[0].vt = VT_UNKNOWN;
    args[0].punkVal = second_message.get();
    VariantInit(&args[1]);
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = mailer.get();
    DISPPARAMS params{args, nullptr, 2, 0};
    ASSERT_HR(S_OK, automation->Invoke(run_workflow2_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                       nullptr, nullptr, nullptr));
    EXPECT_EQ(host.messages_in(*pending).size(), 2u);
    EXPECT_EQ(host.replies().size(), 2u);

    VARIANT list;
    VariantInit(&list);
    list.vt = VT_I4;
    list.lVal = pending_list;
    DISPPARAMS size_params{&list, nullptr, 1, 0};
    variant_holder size;
    ASSERT_HR(S_OK,
              automation->Invoke(get_list_size_id, IID_NULL, LOCALE_USER_DEFAULT,
                                 DISPATCH_METHOD | DISPATCH_PROPERTYGET, &size_params, size.get(), nullptr, nullptr));
    EXPECT_EQ(size->vt, VT_I4);
    EXPECT_EQ(size->lVal, 2);
    EXPECT_HR(S_OK, instance->Unload());
}
