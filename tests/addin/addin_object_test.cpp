// The add-in object itself: one counted interface, and hostile input through its virtual table.
#include "addin_fixture.h"

namespace {

using namespace addin_testing;

// ---- The object itself

TEST_F(addin_test, the_object_is_one_counted_interface_with_dispatch_by_id) {
    for (const IID& iid : {IID_IUnknown, IID_IDispatch, IID_IMailerInterfaceTest}) {
        void* answer = nullptr;
        EXPECT_HR(S_OK, object->QueryInterface(iid, &answer));
        EXPECT_EQ(answer, static_cast<void*>(object));
        EXPECT_EQ(object->Release(), 1u);
    }
    void* answer = object;
    EXPECT_HR(E_NOINTERFACE, object->QueryInterface(IID_IMailerHost, &answer));
    EXPECT_EQ(answer, nullptr);
    UINT count = 9;
    EXPECT_HR(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(count, 0u);
    ITypeInfo* info = nullptr;
    EXPECT_HR(DISP_E_BADINDEX, object->GetTypeInfo(0, 0, &info));

    bstr_holder name = text("LanguageId");
    LPOLESTR names[] = {name.get()};
    DISPID id = 0;
    EXPECT_HR(DISP_E_UNKNOWNINTERFACE, object->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id));
    EXPECT_HR(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    variant_holder result, number;
    EXPECT_HR(S_OK, object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.put(), nullptr, nullptr));
    EXPECT_HR(S_OK, VariantChangeType(number.put(), result.get(), 0, VT_I4));
    EXPECT_EQ(number->lVal, 1033);
}

// ---- Hostile input through the virtual table

// A BSTR of exactly these UTF-16 code units: NULs and lone surrogates are kept.
bstr_holder units(std::u16string_view code_units) {
    std::basic_string<OLECHAR> wide(code_units.begin(), code_units.end());
    return bstr_holder(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
}

HRESULT put_property(IMailerInterfaceTest* o, const std::string& key, BSTR value) {
    return key == "ARMessage"      ? o->put_ARMessage(value)
           : key == "ARSubject"    ? o->put_ARSubject(value)
           : key == "ARSubjectKey" ? o->put_ARSubjectKey(value)
                                   : o->put_ARMessageKey(value);
}

TEST_F(addin_test, hostile_input_through_the_virtual_table_is_refused_or_kept_exactly) {
    const std::string megabyte_text(1 << 20, 'x');
    const std::u16string megabyte_units(megabyte_text.begin(), megabyte_text.end());
    const std::string long_local(1 << 20, 'a');
    const std::string long_address = long_local + "@example.com";
    const std::u16string long_address_units(long_address.begin(), long_address.end());
    constexpr LONG lowest = std::numeric_limits<LONG>::min();
    constexpr LONG highest = std::numeric_limits<LONG>::max();

    // A text put: accepted ones read back the same, before and after the file is read again;
    // refused ones leave the old value, in memory and in the file.
    auto text_put = [&](const char* key, std::u16string value, HRESULT expected) {
        return [=, this](const std::string& what) {
            ASSERT_HR(S_OK, put_property(object, key, text("Before").get())) << what;
            bstr_holder put = units(value);
            EXPECT_EQ(put_property(object, key, put.get()), expected) << what;
            const std::string kept = expected == S_OK ? narrow_from_bstr(put.get()) : "Before";
            EXPECT_EQ(read_property(object, key), kept) << what;
            get_configuration("ostrel_user")->load();
            EXPECT_EQ(read_property(object, key), kept) << what;
        };
    };
    // A list change: the call's code, then every list as it must be in memory and after a reload.
    auto list_call = [&](std::function<HRESULT()> call, HRESULT expected, std::vector<std::string> authorized) {
        return [=, this](const std::string& what) {
            ASSERT_HR(S_OK, add(ignore_list_number, "kept@example.com")) << what;
            EXPECT_EQ(call(), expected) << what;
            for (int reload = 0; reload < 2; ++reload) {
                if (reload) get_ostrel_Object()->reload_address_lists();
                EXPECT_EQ(engine_list(authorized_list_number), authorized) << what << (reload ? ", reloaded" : "");
                EXPECT_EQ(engine_list(ignore_list_number), std::vector<std::string>{"kept@example.com"}) << what;
            }
            for (const std::string& entry : engine_list(authorized_list_number))
                object->RemoveFromList(authorized_list_number, text(entry).get());
        };
    };
    auto code_is = [](std::function<HRESULT()> call, HRESULT expected) {
        return [=](const std::string& what) { EXPECT_EQ(call(), expected) << what; };
    };
    auto refuses_null = [](std::function<HRESULT()> call) {
        return [=](const std::string& what) { EXPECT_HR(E_POINTER, call()) << what; };
    };
    auto a = [this](const char* value) { return text(value); };
    IMailerInterfaceTest* o = object;

    const struct {
        std::string what;
        std::function<void(const std::string&)> check;
    } rows[] = {
        {"1 MB subject", text_put("ARSubject", megabyte_units, S_OK)},
        {"1 MB message", text_put("ARMessage", megabyte_units + u"\nend", S_OK)},
        {"NUL inside a text", text_put("ARSubject", std::u16string(u"Confirm\0 [K]", 12), E_INVALIDARG)},
        {"NUL at the end of a text", text_put("ARSubjectKey", std::u16string(u"[K]\0", 4), E_INVALIDARG)},
        {"lone high surrogate", text_put("ARSubjectKey", u"[K\xD800]", E_INVALIDARG)},
        {"lone low surrogate", text_put("ARMessageKey", u"\xDC00", E_INVALIDARG)},
        {"surrogate pair reversed", text_put("ARMessage", u"\xDE00\xD83D", E_INVALIDARG)},
        {"accented letter", text_put("ARSubject", u"Caf\u00e9 [K]", S_OK)},
        {"line-break stand-in byte", text_put("ARMessage",
                                              u"a\x01"
                                              "b",
                                              E_INVALIDARG)},
        {"semicolon stand-in byte", text_put("ARSubject",
                                             u"a\x02"
                                             "b",
                                             E_INVALIDARG)},
        {"leading blank", text_put("ARSubject", u" Confirm", E_INVALIDARG)},
        {"trailing tab", text_put("ARSubjectKey", u"[K]\t", E_INVALIDARG)},
        {"trailing carriage return", text_put("ARMessage", u"Bye\r", E_INVALIDARG)},
        {"CR LF line breaks and a final line feed", text_put("ARMessage", u"Hello\r\nBye\n", S_OK)},
        {"1 MB address",
         list_call([&] { return o->AddToList(authorized_list_number, units(long_address_units).get()); }, S_OK,
                   {long_address})},
        {"NUL inside an address",
         list_call(
             [&] {
                 return o->AddToList(authorized_list_number, units({u"a@example.com\0b", 15}).get());
             },
             E_INVALIDARG, {})},
        {"lone surrogate in an address",
         list_call([&] { return o->AddToList(authorized_list_number, units(u"a\xD800@example.com").get()); },
                   E_INVALIDARG, {})},
        {"no address in the text",
         list_call([&] { return o->AddToList(authorized_list_number, a("kept").get()); }, E_INVALIDARG, {})},
        {"an empty address",
         list_call([&] { return o->AddToList(remove_list_number, a("<>").get()); }, E_INVALIDARG, {})},
        {"negative list number only removes",
         list_call([&] { return o->AddToList(-1, a("other@example.com").get()); }, S_OK, {})},
        {"NUL in the address to remove",
         list_call(
             [&] {
                 return o->RemoveFromList(ignore_list_number, units({u"kept@example.com\0", 17}).get());
             },
             E_INVALIDARG, {})},
        {"modify to a text without an address keeps the old entry",
         list_call(
             [&] {
                 o->AddToList(authorized_list_number, a("old@example.com").get());
                 return o->ModifyInList(authorized_list_number, a("old@example.com").get(), a("nothing here").get());
             },
             E_INVALIDARG, {"old@example.com"})},
        {"modify to a text with a NUL keeps the old entry",
         list_call(
             [&] {
                 o->AddToList(authorized_list_number, a("old@example.com").get());
                 return o->ModifyInList(authorized_list_number, a("old@example.com").get(),
                                        units({u"new@example.com\0", 16}).get());
             },
             E_INVALIDARG, {"old@example.com"})},
        {"size of list -1", code_is(
                                [&] {
                                    LONG n = 5;
                                    HRESULT hr = o->GetListSize(-1, &n);
                                    return n == 5 ? hr : E_UNEXPECTED;
                                },
                                S_OK)},
        {"size of the lowest list number", code_is(
                                               [&] {
                                                   LONG n = 5;
                                                   HRESULT hr = o->GetListSize(lowest, &n);
                                                   return n == 5 ? hr : E_UNEXPECTED;
                                               },
                                               S_OK)},
        {"size of the highest list number", code_is(
                                                [&] {
                                                    LONG n = 5;
                                                    HRESULT hr = o->GetListSize(highest, &n);
                                                    return n == 5 ? hr : E_UNEXPECTED;
                                                },
                                                S_OK)},
        {"items at negative and huge indexes", code_is(
                                                   [&] {
                                                       for (LONG list : {LONG{-1}, LONG{0}, lowest, highest}) {
                                                           for (LONG item : {LONG{0}, LONG{-1}, lowest, highest}) {
                                                               BSTR entry = nullptr;
                                                               if (HRESULT hr = o->GetListItem(list, item, &entry);
                                                                   hr != S_OK || !entry)
                                                                   return E_UNEXPECTED;
                                                               SysFreeString(entry);
                                                           }
                                                       }
                                                       return S_OK;
                                                   },
                                                   S_OK)},
        {"help dialog ids 0 and 0xFFFFFFFF", code_is(
                                                 [&] {
                                                     for (ULONG id : {ULONG{0}, ULONG{0xFFFFFFFF}, ULONG{0x80000000}}) {
                                                         VARIANT_BOOL shown = 7;
                                                         if (o->put_HelpDlgEnabled(id, VARIANT_FALSE) != S_OK)
                                                             return E_UNEXPECTED;
                                                         get_configuration("ostrel_user")->load();
                                                         if (o->get_HelpDlgEnabled(id, &shown) != S_OK || shown != 0)
                                                             return E_UNEXPECTED;
                                                         if (o->get_HelpDlgEnabled(id + 1, &shown) != S_OK ||
                                                             shown != 1)
                                                             return E_UNEXPECTED;  // its own key
                                                         o->put_HelpDlgEnabled(id, VARIANT_TRUE);
                                                     }
                                                     return S_OK;
                                                 },
                                                 S_OK)},
        {"null size", refuses_null([&] { return o->GetListSize(0, nullptr); })},
        {"null item", refuses_null([&] { return o->GetListItem(0, 0, nullptr); })},
        {"null LanguageId", refuses_null([&] { return o->get_LanguageId(nullptr); })},
        {"null MarkBlockedAsRead", refuses_null([&] { return o->get_MarkBlockedAsRead(nullptr); })},
        {"null AutoDeleteBlocked", refuses_null([&] { return o->get_AutoDeleteBlocked(nullptr); })},
        {"null AutoDeleteIgnored", refuses_null([&] { return o->get_AutoDeleteIgnored(nullptr); })},
        {"null EnableProtection", refuses_null([&] { return o->get_EnableProtection(nullptr); })},
        {"null PendingToBlockedTimeo", refuses_null([&] { return o->get_PendingToBlockedTimeo(nullptr); })},
        {"null ARMessage", refuses_null([&] { return o->get_ARMessage(nullptr); })},
        {"null ARSubject", refuses_null([&] { return o->get_ARSubject(nullptr); })},
        {"null ARSubjectKey", refuses_null([&] { return o->get_ARSubjectKey(nullptr); })},
        {"null ARMessageKey", refuses_null([&] { return o->get_ARMessageKey(nullptr); })},
        {"null HelpDlgEnabled", refuses_null([&] { return o->get_HelpDlgEnabled(0xFFFFFFFF, nullptr); })},
        {"null PendingFolderName", refuses_null([&] { return o->get_PendingFolderName(nullptr); })},
        {"null type-information count", refuses_null([&] { return o->GetTypeInfoCount(nullptr); })},
        {"null interface", refuses_null([&] { return o->QueryInterface(IID_IDispatch, nullptr); })},
        {"null names", code_is(
                           [&] {
                               DISPID id = 0;
                               return o->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id);
                           },
                           E_INVALIDARG)},
        {"null ids", code_is(
                         [&] {
                             bstr_holder name = text("ARSubject");
                             LPOLESTR names[] = {name.get()};
                             return o->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr);
                         },
                         E_INVALIDARG)},
        {"a null name", code_is(
                            [&] {
                                LPOLESTR names[] = {nullptr};
                                DISPID id = 0;
                                return o->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
                            },
                            DISP_E_UNKNOWNNAME)},
        {"null arguments to Invoke",
         code_is([&] { return o->Invoke(11, IID_NULL, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr); },
                 E_INVALIDARG)},
        {"null type information", code_is([&] { return o->GetTypeInfo(0, 0, nullptr); }, DISP_E_BADINDEX)},
    };
    for (const auto& row : rows) row.check(row.what);
}

TEST_F(addin_test, null_out_pointers_are_refused) {
    EXPECT_HR(E_POINTER, object->GetListSize(0, nullptr));
    EXPECT_HR(E_POINTER, object->GetListItem(0, 0, nullptr));
    EXPECT_HR(E_POINTER, object->get_LanguageId(nullptr));
    EXPECT_HR(E_POINTER, object->get_MarkBlockedAsRead(nullptr));
    EXPECT_HR(E_POINTER, object->get_PendingToBlockedTimeo(nullptr));
    EXPECT_HR(E_POINTER, object->get_ARMessage(nullptr));
    EXPECT_HR(E_POINTER, object->get_HelpDlgEnabled(1, nullptr));
    EXPECT_HR(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
}

}  // namespace
