// Tarnwick.dll as a COM client meets it: loaded by path or created by CoCreateInstance after
// self-registration, and driven with the in-memory host through the vtable and IDispatch::Invoke.
#include "com_fixture.h"

namespace {

using namespace com_testing;

TEST_F(com_server_test, the_class_object_refuses_what_it_must_and_unloading_follows_the_instances) {
    ASSERT_NO_FATAL_FAILURE(check_class_object_refusals(module.get_class_object, module.can_unload_now));
    // CoCreateInstance passes an outer object on, and it is refused the same way.
    void* object = &object;
    com_ptr<IUnknown> outer = co_create<IUnknown>(IID_IUnknown);
    EXPECT_HR(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_CMailerInterfaceTest, outer.get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &object));
    outer.reset();
    ASSERT_NO_FATAL_FAILURE(check_unloading_follows_instances_and_locks(*factory().get(), module.can_unload_now));
}

TEST_F(com_server_test, a_host_drives_the_created_instance_through_the_vtable_and_by_name) {
    // The module keeps the host of SetMailer until it is unloaded, so the host outlives it.
    auto host = std::make_unique<memory_host>();
    ASSERT_NO_FATAL_FAILURE(play_client_story(co_create<IMailerInterfaceTest>(IID_IMailerInterfaceTest), *host));
    // COM lets go of the module once it may unload; then the last reference on it goes.
    EXPECT_HR(S_OK, module.can_unload_now());
    CoFreeUnusedLibrariesEx(0, 0);
    module.release();
    ASSERT_FALSE(module_is_loaded()) << "the module stayed loaded; it still holds the host";
    EXPECT_EQ(host->outstanding_references(), 0) << host->describe_outstanding();
}

TEST_F(com_server_test, hostile_calls_to_the_created_instance_get_a_clear_code) {
    com_ptr<IMailerInterfaceTest> instance = co_create<IMailerInterfaceTest>(IID_IMailerInterfaceTest);
    ASSERT_TRUE(instance);
    com_ptr<IDispatch> automation = instance.query<IDispatch>(IID_IDispatch);
    ASSERT_TRUE(automation);
    const std::wstring megabyte(1 << 20, L'x');
    BSTR referenced = SysAllocString(L"By reference");
    constexpr DISPID subject = 11;
    BSTR original = nullptr;
    ASSERT_HR(S_OK, instance->get_ARSubject(&original));

    // Puts of the subject by name, each with one value as a client may send it.
    struct row {
        const char* what;
        VARTYPE type;
        BSTR text;  // owned by the row's variant when the type is VT_BSTR
        HRESULT expected;
        const wchar_t* reads_back;  // null when the put is refused and the subject stays
    };
    const row rows[] = {
        {"a 1 MB text", VT_BSTR, SysAllocStringLen(megabyte.data(), static_cast<UINT>(megabyte.size())), S_OK,
         megabyte.c_str()},
        {"a NUL inside the text", VT_BSTR, SysAllocStringLen(L"a\0b", 3), E_INVALIDARG, nullptr},
        {"a lone surrogate", VT_BSTR, SysAllocString(L"[K\xD800]"), E_INVALIDARG, nullptr},
        {"a null object", VT_DISPATCH, nullptr, DISP_E_TYPEMISMATCH, nullptr},
        {"null", VT_NULL, nullptr, DISP_E_TYPEMISMATCH, nullptr},
        {"an array that is not there", VT_ARRAY | VT_BSTR, nullptr, DISP_E_TYPEMISMATCH, nullptr},
        {"a reference to no text", VT_BYREF | VT_BSTR, nullptr, DISP_E_TYPEMISMATCH, nullptr},
        {"a reference to a text", VT_BYREF | VT_BSTR, nullptr, S_OK, L"By reference"},
        {"an empty value", VT_EMPTY, nullptr, S_OK, L""},
    };
    std::wstring last = megabyte;
    for (const row& r : rows) {
        VARIANT value;
        VariantInit(&value);
        value.vt = r.type;
        if (r.type == VT_BSTR) value.bstrVal = r.text;
        if (r.type == (VT_BYREF | VT_BSTR) && r.expected == S_OK) value.pbstrVal = &referenced;
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        UINT bad = 99;
        EXPECT_HR(r.expected, automation->Invoke(subject, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                                                 nullptr, nullptr, &bad))
            << r.what;
        EXPECT_EQ(bad, r.expected == DISP_E_TYPEMISMATCH ? 0u : 99u) << r.what;
        if (r.type == VT_BSTR) VariantClear(&value);
        if (r.reads_back) last = r.reads_back;
        BSTR read = nullptr;
        ASSERT_HR(S_OK, instance->get_ARSubject(&read)) << r.what;
        EXPECT_TRUE(std::wstring(read, SysStringLen(read)) == last) << r.what;
        SysFreeString(read);
    }
    SysFreeString(referenced);
    EXPECT_HR(S_OK, instance->put_ARSubject(original));
    SysFreeString(original);

    // Through the virtual table: null out pointers and odd numbers.
    LONG size = 5;
    EXPECT_HR(S_OK, instance->GetListSize(-1, &size));
    EXPECT_EQ(size, 5);
    EXPECT_HR(E_POINTER, instance->GetListSize(0, nullptr));
    EXPECT_HR(E_POINTER, instance->GetListItem(0, 0, nullptr));
    EXPECT_HR(E_POINTER, instance->get_ARMessage(nullptr));
    EXPECT_HR(E_POINTER, instance->get_HelpDlgEnabled(0xFFFFFFFF, nullptr));
    BSTR item = nullptr;
    EXPECT_HR(S_OK, instance->GetListItem(0x7FFFFFFF, -1, &item));
    EXPECT_NE(item, nullptr);
    SysFreeString(item);
    BSTR with_nul = SysAllocStringLen(L"a@example.com\0b", 15);
    EXPECT_HR(E_INVALIDARG, instance->AddToList(0, with_nul));
    SysFreeString(with_nul);
}

}  // namespace
