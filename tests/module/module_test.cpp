// libTarnwick.so as a Linux host uses it: opened by path, its class object asked for an
// instance, the instance driven through its virtual table and by name.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "contract/mailer_interface.h"
#include "platform/text.h"
#include "support/memory_host.h"
#include "support/temp_dir.h"

namespace {

using get_class_object_fn = HRESULT (*)(REFCLSID, REFIID, void**);
using module_fn = HRESULT (*)();

constexpr CLSID other_class = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr LONG pending_list = 3;

class module_test : public testing::Test {
protected:
    void SetUp() override {
        // The module keeps its data in its own data directory, found on first use.
        setenv("XDG_DATA_HOME", data_home.path().c_str(), 1);
        module = dlopen(TARNWICK_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        get_class_object = reinterpret_cast<get_class_object_fn>(dlsym(module, "DllGetClassObject"));
        can_unload_now = reinterpret_cast<module_fn>(dlsym(module, "DllCanUnloadNow"));
        ASSERT_NE(get_class_object, nullptr);
        ASSERT_NE(can_unload_now, nullptr);
    }
    void TearDown() override { close_module(); }

    // Unloading destroys the module's process-wide objects, the remembered mailer among them.
    void close_module() {
        if (!module) return;
        EXPECT_EQ(dlclose(module), 0) << dlerror();
        module = nullptr;
    }

    com_ptr<IClassFactory> factory() {
        com_ptr<IClassFactory> result;
        EXPECT_EQ(get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory, reinterpret_cast<void**>(result.put())),
                  S_OK);
        return result;
    }

    com_ptr<IMailerInterfaceTest> create() {
        com_ptr<IMailerInterfaceTest> instance;
        EXPECT_EQ(factory()->CreateInstance(nullptr, IID_IMailerInterfaceTest, reinterpret_cast<void**>(instance.put())),
                  S_OK);
        return instance;
    }

    temp_dir data_home;
    void* module = nullptr;
    get_class_object_fn get_class_object = nullptr;
    module_fn can_unload_now = nullptr;
};

TEST_F(module_test, registration_is_refused_plainly_since_there_is_no_registry) {
    for (const char* name : {"DllRegisterServer", "DllUnregisterServer"}) {
        auto function = reinterpret_cast<module_fn>(dlsym(module, name));
        ASSERT_NE(function, nullptr) << name;
        EXPECT_EQ(function(), E_NOTIMPL) << name;
    }
    // Nothing else of the module is visible from outside.
    EXPECT_EQ(dlsym(module, "tarnwick_get_class_object"), nullptr);
}

TEST_F(module_test, the_class_object_is_one_and_refuses_what_it_must) {
    void* object = &object;
    EXPECT_EQ(get_class_object(other_class, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(get_class_object(CLSID_CMailerInterfaceTest, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(factory().get(), factory().get());

    com_ptr<IClassFactory> classes = factory();
    object = &object;
    EXPECT_EQ(classes->CreateInstance(classes.get(), IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(classes->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(classes->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(can_unload_now(), S_OK) << "a refused instance must not stay alive";
}

TEST_F(module_test, can_unload_only_without_instances_or_server_locks) {
    EXPECT_EQ(can_unload_now(), S_OK);
    com_ptr<IMailerInterfaceTest> instance = create();
    com_ptr<IDispatch> second_reference = instance.query<IDispatch>(IID_IDispatch);
    EXPECT_EQ(can_unload_now(), S_FALSE);
    instance.reset();
    EXPECT_EQ(can_unload_now(), S_FALSE);
    second_reference.reset();
    EXPECT_EQ(can_unload_now(), S_OK);

    com_ptr<IClassFactory> classes = factory();
    EXPECT_EQ(classes->LockServer(TRUE), S_OK);
    EXPECT_EQ(can_unload_now(), S_FALSE);
    EXPECT_EQ(classes->LockServer(FALSE), S_OK);
    EXPECT_EQ(can_unload_now(), S_OK);
    // An unlock without its lock cannot take away the count of a live instance.
    instance = create();
    EXPECT_EQ(classes->LockServer(FALSE), E_UNEXPECTED);
    EXPECT_EQ(can_unload_now(), S_FALSE);
}

TEST_F(module_test, a_host_drives_the_instance_through_the_vtable_and_by_name) {
    memory_host host;
    com_ptr<IMailerHost> mailer = host.mailer();
    memory_host::message_spec first{"stranger@example.com", "me@example.com", "hello", "", true, {}, 0};
    memory_host::message_spec second{"other@example.com", "me@example.com", "hi", "", true, {}, 0};
    com_ptr<IUnknown> first_message = host.message_object(host.add_message(host.incoming(), first));
    com_ptr<IUnknown> second_message = host.message_object(host.add_message(host.incoming(), second));
    {
        com_ptr<IMailerInterfaceTest> instance = create();
        ASSERT_EQ(instance->SetMailer(mailer.get()), S_OK);
        ASSERT_TRUE(host.find_folder("/Inbox/Pending"));
        memory_host::folder_id pending = *host.find_folder("/Inbox/Pending");

        ASSERT_EQ(instance->RunWorkflow2(mailer.get(), first_message.get()), S_OK);
        EXPECT_EQ(host.messages_in(pending).size(), 1u);
        EXPECT_EQ(host.replies().size(), 1u);

        com_ptr<IDispatch> automation = instance.query<IDispatch>(IID_IDispatch);
        ASSERT_TRUE(automation);
        bstr_holder name(bstr_from_narrow("runworkflow2"));
        LPOLESTR names[] = {name.get()};
        DISPID id = 0;
        ASSERT_EQ(automation->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        EXPECT_EQ(id, 23);
        VARIANT args[2];  // last first
        VariantInit(&args[0]);
        args[0].vt = VT_UNKNOWN;
        args[0].punkVal = second_message.get();
        VariantInit(&args[1]);
        args[1].vt = VT_DISPATCH;
        args[1].pdispVal = mailer.get();
        DISPPARAMS params{args, nullptr, 2, 0};
        ASSERT_EQ(automation->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                                     nullptr),
                  S_OK);
        EXPECT_EQ(host.messages_in(pending).size(), 2u);
        EXPECT_EQ(host.replies().size(), 2u);

        VARIANT list;
        VariantInit(&list);
        list.vt = VT_I4;
        list.lVal = pending_list;
        DISPPARAMS size_params{&list, nullptr, 1, 0};
        variant_holder size;
        ASSERT_EQ(automation->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                     &size_params, size.get(), nullptr, nullptr),
                  S_OK);
        EXPECT_EQ(size->vt, VT_I4);
        EXPECT_EQ(size->lVal, 2);

        EXPECT_EQ(instance->Unload(), S_OK);
    }
    EXPECT_EQ(can_unload_now(), S_OK);
    first_message.reset();
    second_message.reset();
    mailer.reset();
    close_module();
    EXPECT_EQ(host.outstanding_references(), 0) << host.describe_outstanding();
}

}  // namespace
