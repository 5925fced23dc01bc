// Tarnwick.dll as a COM client meets it: loaded by path or created by CoCreateInstance after
// self-registration, driven with the in-memory host through the vtable and IDispatch::Invoke,
// and asked for its class information, type information and connection points.
#include <gtest/gtest.h>

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>
#include <shlobj.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "contract/mailer_interface.h"
#include "platform/text.h"
#include "support/client_story.h"
#include "support/hresult_checks.h"
#include "support/memory_host.h"

namespace {

using get_class_object_fn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using module_fn = HRESULT(STDAPICALLTYPE*)();

// The DLL beside this program, as the build puts it.
std::wstring dll_path() {
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring path(program, length);
    std::string name = "Tarnwick.dll";
    return path.substr(0, path.find_last_of(wchar_t{'\\'}) + 1) + std::wstring(name.begin(), name.end());
}

// One LoadLibrary reference on the module for the life of a test, with its four exports.
class loaded_module {
public:
    loaded_module() : module_(LoadLibraryW(dll_path().c_str())) {
        if (!module_) return;
        get_class_object = exported<get_class_object_fn>("DllGetClassObject");
        can_unload_now = exported<module_fn>("DllCanUnloadNow");
        register_server = exported<module_fn>("DllRegisterServer");
        unregister_server = exported<module_fn>("DllUnregisterServer");
    }
    ~loaded_module() { release(); }
    loaded_module(const loaded_module&) = delete;
    loaded_module& operator=(const loaded_module&) = delete;

    bool complete() const {
        return module_ && get_class_object && can_unload_now && register_server && unregister_server;
    }
    void release() {
        if (module_) FreeLibrary(module_);
        module_ = nullptr;
    }

    get_class_object_fn get_class_object = nullptr;
    module_fn can_unload_now = nullptr;
    module_fn register_server = nullptr;
    module_fn unregister_server = nullptr;

private:
    template <class Function>
    Function exported(const char* name) {
        // Through the generic function type, which any function pointer type may be cast to.
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }

    HMODULE module_;
};

bool module_is_loaded() { return GetModuleHandleW(dll_path().c_str()) != nullptr; }

class com_server_test : public testing::Test {
protected:
    // CoCreateInstance finds the class through the registry of this test's wine prefix.
    static void SetUpTestSuite() {
        // The module keeps its data in the user's data directory: each run starts afresh.
        wchar_t app_data[MAX_PATH];
        if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, app_data))) {
            std::error_code ignored;
            std::filesystem::remove_all(std::filesystem::path(app_data) / "OstrelAntiSpam", ignored);
        }
        CoInitialize(nullptr);
        loaded_module module;
        ASSERT_TRUE(module.complete());
        ASSERT_HR(S_OK, module.register_server());
    }
    static void TearDownTestSuite() {
        {
            loaded_module module;
            if (module.complete()) {
                EXPECT_HR(S_OK, module.unregister_server());
            }
        }
        CoUninitialize();
    }
    void SetUp() override { ASSERT_TRUE(module.complete()); }

    com_ptr<IClassFactory> factory() {
        com_ptr<IClassFactory> result;
        EXPECT_HR(S_OK, module.get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory,
                                                reinterpret_cast<void**>(result.put())));
        return result;
    }
    template <class T>
    com_ptr<T> co_create(REFIID iid) {
        com_ptr<T> result;
        EXPECT_HR(S_OK, CoCreateInstance(CLSID_CMailerInterfaceTest, nullptr, CLSCTX_INPROC_SERVER, iid,
                                         reinterpret_cast<void**>(result.put())));
        return result;
    }

    loaded_module module;
};

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

TEST_F(com_server_test, class_information_names_the_class_and_its_source_interface) {
    com_ptr<IProvideClassInfo2> info = co_create<IProvideClassInfo2>(IID_IProvideClassInfo2);
    ASSERT_TRUE(info);
    GUID source{};
    EXPECT_HR(S_OK, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
    EXPECT_TRUE(IsEqualGUID(source, DIID__IMailerInterfaceTestEvents));
    EXPECT_HR(E_INVALIDARG, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID + 1, &source));
    EXPECT_HR(E_POINTER, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, nullptr));

    com_ptr<IProvideClassInfo> plain = info.query<IProvideClassInfo>(IID_IProvideClassInfo);
    ASSERT_TRUE(plain);
    com_ptr<ITypeInfo> class_info;
    ASSERT_HR(S_OK, plain->GetClassInfo(class_info.put()));
    TYPEATTR* attributes = nullptr;
    ASSERT_HR(S_OK, class_info->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(attributes->guid, CLSID_CMailerInterfaceTest));
    EXPECT_EQ(attributes->typekind, TKIND_COCLASS);
    EXPECT_EQ(attributes->cImplTypes, 2);
    class_info->ReleaseTypeAttr(attributes);

    com_ptr<ITypeLib> library;
    UINT index = 0;
    ASSERT_HR(S_OK, class_info->GetContainingTypeLib(library.put(), &index));
    TLIBATTR* library_attributes = nullptr;
    ASSERT_HR(S_OK, library->GetLibAttr(&library_attributes));
    EXPECT_TRUE(IsEqualGUID(library_attributes->guid, LIBID_Tarnwick));
    EXPECT_EQ(library_attributes->wMajorVerNum, 1);
    EXPECT_EQ(library_attributes->wMinorVerNum, 0);
    library->ReleaseTLibAttr(library_attributes);
}

std::wstring wide(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST_F(com_server_test, resources_carry_the_version_and_the_module_name) {
    std::wstring path = dll_path();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    for (const char* name : {"FileVersion", "ProductVersion", "InternalName", "OriginalFilename"}) {
        void* text = nullptr;
        UINT length = 0;
        std::wstring key = wide(std::string("\\StringFileInfo\\040904B0\\") + name);
        ASSERT_TRUE(VerQueryValueW(block.data(), key.c_str(), &text, &length)) << name;
        std::string expected = std::string_view(name).ends_with("Version") ? TARNWICK_EXPECTED_VERSION : "Tarnwick.dll";
        EXPECT_EQ(narrow_from_wide(static_cast<const OLECHAR*>(text), length ? length - 1 : 0), expected) << name;
    }
    // The numeric version, which installers compare, says the same as the text.
    void* fixed = nullptr;
    UINT fixed_size = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &fixed, &fixed_size));
    ASSERT_GE(fixed_size, sizeof(VS_FIXEDFILEINFO));
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    for (DWORD ms : {info->dwFileVersionMS, info->dwProductVersionMS})
        EXPECT_EQ(std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)), TARNWICK_EXPECTED_VERSION_MAJOR_MINOR);
    for (DWORD ls : {info->dwFileVersionLS, info->dwProductVersionLS})
        EXPECT_EQ(std::to_string(HIWORD(ls)) + "." + std::to_string(LOWORD(ls)), TARNWICK_EXPECTED_VERSION_PATCH_TWEAK);
    wchar_t module_name[32] = {};
    EXPECT_GT(LoadStringW(GetModuleHandleW(path.c_str()), 100, module_name, 32), 0);
    EXPECT_EQ(std::wstring(module_name), wide("Tarnwick"));
}

// What the type library says of one member: its dispatch id, kind, help string and slot.
struct member_row {
    int slot;
    DISPID id;
    std::string_view name;
};
#define TARNWICK_MEMBER_ROW(slot, dispid, name, params) {slot, dispid, #name},
const member_row interface_rows[] = {TARNWICK_MAILER_INTERFACE_METHODS(TARNWICK_MEMBER_ROW)};
#undef TARNWICK_MEMBER_ROW

std::string documentation(ITypeInfo* info, MEMBERID id, bool help_string) {
    BSTR name = nullptr, help = nullptr;
    if (FAILED(info->GetDocumentation(id, &name, &help, nullptr, nullptr))) return "?";
    std::string result = narrow_from_bstr(help_string ? help : name);
    SysFreeString(name);
    SysFreeString(help);
    return result;
}

TEST_F(com_server_test, type_information_matches_the_interface_slot_for_slot) {
    com_ptr<IDispatch> automation = co_create<IDispatch>(IID_IDispatch);
    ASSERT_TRUE(automation);
    UINT count = 0;
    EXPECT_HR(S_OK, automation->GetTypeInfoCount(&count));
    EXPECT_EQ(count, 1u);
    com_ptr<ITypeInfo> none;
    EXPECT_HR(DISP_E_BADINDEX, automation->GetTypeInfo(1, LOCALE_USER_DEFAULT, none.put()));
    com_ptr<ITypeInfo> info;
    ASSERT_HR(S_OK, automation->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));

    // The virtual-table view of the dual interface carries the slots; both views the dispids.
    com_ptr<ITypeInfo> vtable = info;
    HREFTYPE reference = 0;
    if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference))) {
        ASSERT_HR(S_OK, info->GetRefTypeInfo(reference, vtable.put()));
    }
    TYPEATTR* attributes = nullptr;
    ASSERT_HR(S_OK, vtable->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(attributes->guid, IID_IMailerInterfaceTest));
    EXPECT_EQ(attributes->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FDUAL);
    const UINT functions = attributes->cFuncs;
    vtable->ReleaseTypeAttr(attributes);
    ASSERT_EQ(functions, std::size(interface_rows));

    for (UINT i = 0; i < functions; ++i) {
        const member_row& row = interface_rows[i];
        std::string_view bare = row.name;
        INVOKEKIND kind = INVOKE_FUNC;
        if (bare.starts_with("get_")) kind = INVOKE_PROPERTYGET;
        if (bare.starts_with("put_")) kind = INVOKE_PROPERTYPUT;
        if (kind != INVOKE_FUNC) bare.remove_prefix(4);
        FUNCDESC* function = nullptr;
        ASSERT_HR(S_OK, vtable->GetFuncDesc(i, &function));
        EXPECT_EQ(function->memid, row.id) << row.name;
        EXPECT_EQ(function->invkind, kind) << row.name;
        EXPECT_EQ(function->oVft, row.slot * static_cast<int>(sizeof(void*))) << row.name;
        MEMBERID id = function->memid;
        vtable->ReleaseFuncDesc(function);
        EXPECT_EQ(documentation(vtable.get(), id, false), bare);
        std::string help = (kind == INVOKE_FUNC ? "method " : "property ") + std::string(bare);
        EXPECT_EQ(documentation(vtable.get(), id, true), help);

        // The dispatch view answers the name with the same id.
        bstr_holder name(bstr_from_narrow(bare));
        LPOLESTR names[] = {name.get()};
        MEMBERID by_name = 0;
        EXPECT_HR(S_OK, info->GetIDsOfNames(names, 1, &by_name));
        EXPECT_EQ(by_name, row.id) << row.name;
    }
}

// A sink that accepts every interface it is asked for and counts its references.
class counting_sink final : public IUnknown {
public:
    explicit counting_sink(bool accepts) : accepts_(accepts) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        if (!accepts_) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    ULONG references = 0;

private:
    bool accepts_;
};

std::vector<IID> connection_interfaces(IConnectionPointContainer* container) {
    std::vector<IID> result;
    com_ptr<IEnumConnectionPoints> points;
    if (FAILED(container->EnumConnectionPoints(points.put()))) return result;
    IConnectionPoint* point = nullptr;
    while (points->Next(1, &point, nullptr) == S_OK) {
        IID iid{};
        point->GetConnectionInterface(&iid);
        result.push_back(iid);
        point->Release();
    }
    return result;
}

std::vector<DWORD> cookies(IConnectionPoint* point) {
    std::vector<DWORD> result;
    com_ptr<IEnumConnections> connections;
    if (FAILED(point->EnumConnections(connections.put()))) return result;
    CONNECTDATA data[4];
    ULONG fetched = 0;
    connections->Next(4, data, &fetched);
    for (ULONG i = 0; i < fetched; ++i) {
        result.push_back(data[i].dwCookie);
        data[i].pUnk->Release();
    }
    return result;
}

TEST_F(com_server_test, connection_points_keep_any_number_of_sinks) {
    counting_sink sink(true), refusing(false);
    {
        com_ptr<IConnectionPointContainer> container =
            co_create<IConnectionPointContainer>(IID_IConnectionPointContainer);
        ASSERT_TRUE(container);
        std::vector<IID> interfaces = connection_interfaces(container.get());
        ASSERT_EQ(interfaces.size(), 2u);
        EXPECT_TRUE(IsEqualIID(interfaces[0], DIID__IMailerInterfaceTestEvents));
        EXPECT_TRUE(IsEqualIID(interfaces[1], IID_IPropertyNotifySink));

        com_ptr<IConnectionPoint> none;
        EXPECT_HR(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, none.put()));
        for (REFIID iid : {DIID__IMailerInterfaceTestEvents, IID_IPropertyNotifySink}) {
            com_ptr<IConnectionPoint> point;
            ASSERT_HR(S_OK, container->FindConnectionPoint(iid, point.put()));
            com_ptr<IConnectionPointContainer> back;
            ASSERT_HR(S_OK, point->GetConnectionPointContainer(back.put()));
            EXPECT_EQ(back.get(), container.get());

            DWORD first = 0, second = 0, refused = 1;
            EXPECT_HR(S_OK, point->Advise(&sink, &first));
            EXPECT_HR(S_OK, point->Advise(&sink, &second));
            EXPECT_HR(CONNECT_E_CANNOTCONNECT, point->Advise(&refusing, &refused));
            EXPECT_EQ(refused, 0u);
            EXPECT_NE(first, 0u);
            EXPECT_NE(first, second);
            EXPECT_EQ(cookies(point.get()), (std::vector<DWORD>{first, second}));
            EXPECT_HR(S_OK, point->Unadvise(first));
            EXPECT_HR(CONNECT_E_NOCONNECTION, point->Unadvise(first));
            EXPECT_EQ(cookies(point.get()), std::vector<DWORD>{second});
        }
        EXPECT_EQ(sink.references, 2u);  // one sink left on each point
    }
    EXPECT_EQ(sink.references, 0u) << "the instance let its sinks go";
}

}  // namespace
