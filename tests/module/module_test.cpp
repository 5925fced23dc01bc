// libTarnwick.so as a Linux host uses it: opened by path, its class object asked for an
// instance, the instance driven through its virtual table and by name.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "contract/mailer_interface.h"
#include "platform/text.h"
#include "support/client_story.h"
#include "support/hresult_checks.h"
#include "support/memory_host.h"
#include "support/temp_dir.h"

namespace {

using get_class_object_fn = HRESULT (*)(REFCLSID, REFIID, void**);
using module_fn = HRESULT (*)();

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
        EXPECT_HR(S_OK, get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory,
                                         reinterpret_cast<void**>(result.put())));
        return result;
    }

    com_ptr<IMailerInterfaceTest> create() {
        com_ptr<IMailerInterfaceTest> instance;
        EXPECT_HR(S_OK, factory()->CreateInstance(nullptr, IID_IMailerInterfaceTest,
                                                  reinterpret_cast<void**>(instance.put())));
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
        EXPECT_HR(E_NOTIMPL, function()) << name;
    }
    // Nothing else of the module is visible from outside.
    EXPECT_EQ(dlsym(module, "tarnwick_get_class_object"), nullptr);
}

TEST_F(module_test, the_class_object_is_one_and_refuses_what_it_must) {
    ASSERT_NO_FATAL_FAILURE(check_class_object_refusals(get_class_object, can_unload_now));
    // Interfaces that neither the class object nor an instance has, and a null out pointer.
    void* object = &object;
    EXPECT_HR(E_NOINTERFACE, get_class_object(CLSID_CMailerInterfaceTest, IID_IDispatch, &object));
    com_ptr<IClassFactory> classes = factory();
    EXPECT_HR(E_POINTER, classes->CreateInstance(nullptr, IID_IUnknown, nullptr));
    object = &object;
    EXPECT_HR(E_NOINTERFACE, classes->CreateInstance(nullptr, IID_IClassFactory, &object));
    EXPECT_EQ(object, nullptr);
    EXPECT_HR(S_OK, can_unload_now()) << "a refused instance must not stay alive";
}

TEST_F(module_test, can_unload_only_without_instances_or_server_locks) {
    ASSERT_NO_FATAL_FAILURE(check_unloading_follows_instances_and_locks(*factory().get(), can_unload_now));
    // Each reference on an instance keeps the module, not only the first.
    com_ptr<IMailerInterfaceTest> instance = create();
    com_ptr<IDispatch> second_reference = instance.query<IDispatch>(IID_IDispatch);
    EXPECT_HR(S_FALSE, can_unload_now());
    instance.reset();
    EXPECT_HR(S_FALSE, can_unload_now());
    second_reference.reset();
    EXPECT_HR(S_OK, can_unload_now());
    // An unlock without its lock cannot take away the count of a live instance.
    com_ptr<IClassFactory> classes = factory();
    instance = create();
    EXPECT_HR(E_UNEXPECTED, classes->LockServer(FALSE));
    EXPECT_HR(S_FALSE, can_unload_now());
}

TEST_F(module_test, a_host_drives_the_instance_through_the_vtable_and_by_name) {
    memory_host host;
    ASSERT_NO_FATAL_FAILURE(play_client_story(create(), host));
    EXPECT_HR(S_OK, can_unload_now());
    close_module();
    EXPECT_EQ(host.outstanding_references(), 0) << host.describe_outstanding();
}

}  // namespace
