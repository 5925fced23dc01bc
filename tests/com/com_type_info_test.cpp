// Tarnwick.dll as a COM client meets it: its class information, resources, type information and
// connection points.
#include "com_fixture.h"

namespace {

using namespace com_testing;

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
