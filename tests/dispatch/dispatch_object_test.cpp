// The add-in object answering through the dispatch table: by name, and against hostile calls.
#include "dispatch_fixture.h"

namespace {

using namespace dispatch_testing;

// The add-in object itself answers through the same table.
TEST(dispatch_through_the_object, a_setting_put_by_name_reads_back) {
    CMailerInterfaceTest* object = new CMailerInterfaceTest;
    bstr_holder name(bstr_from_narrow("arSUBJECT"));
    LPOLESTR names[] = {name.get()};
    DISPID id = 0;
    ASSERT_HR(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    call_args value;
    value.text("Please confirm [K]").named_put();
    ASSERT_HR(S_OK, object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, value.params(), nullptr,
                                   nullptr, nullptr));
    variant_holder result;
    call_args none;
    ASSERT_HR(S_OK, object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, get_call, none.params(), result.get(), nullptr,
                                   nullptr));
    ASSERT_EQ(result->vt, VT_BSTR);
    EXPECT_EQ(text_of(result->bstrVal), "Please confirm [K]");
    object->Release();
}

// Hostile calls by name reach the real object: each gets a clear code and never a crash, and
// what is accepted reads back as it was sent.
TEST(dispatch_through_the_object, hostile_calls_get_a_clear_code_and_keep_nothing_unreadable) {
    CMailerInterfaceTest* object = new CMailerInterfaceTest;
    recording_target other_object;
    BSTR referenced = bstr_from_narrow("By reference");
    const std::string megabyte(1 << 20, 'x');
    const std::string long_address = std::string(1 << 20, 'a') + "@example.com";
    constexpr LONG lowest = std::numeric_limits<LONG>::min();
    constexpr DISPID subject = 11, add_to_list = 16, get_list_item = 3, get_list_size = 2, help = 20;
    auto invoke = [&](DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, UINT* arg_error) {
        return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, nullptr, arg_error);
    };
    auto read_subject = [&] {
        variant_holder result;
        call_args none;
        EXPECT_HR(S_OK, invoke(subject, get_call, none.params(), result.get(), nullptr));
        return result->vt == VT_BSTR ? text_of(result->bstrVal) : "(not text)";
    };

    struct row {
        const char* what;
        DISPID id;
        WORD flags;
        std::function<void(call_args&)> arguments;
        HRESULT expected;
        UINT bad_argument = 99;               // the position Invoke names, 99 for none
        const char* subject_after = nullptr;  // what ARSubject then reads, when the row sets it
    };
    const std::string megabyte_subject = megabyte;
    const row rows[] = {
        {"a 1 MB subject", subject, DISPATCH_PROPERTYPUT, [&](call_args& a) { a.text(megabyte.c_str()).named_put(); },
         S_OK, 99, megabyte_subject.c_str()},
        {"a NUL inside the subject", subject, DISPATCH_PROPERTYPUT,
         [](call_args& a) {
             a.units({u"a\0b", 3}).named_put();
         },
         E_INVALIDARG, 99, nullptr},
        {"a lone surrogate in the subject", subject, DISPATCH_PROPERTYPUT,
         [](call_args& a) { a.units(u"[K\xDBFF]").named_put(); }, E_INVALIDARG},
        {"an object for the subject", subject, DISPATCH_PROPERTYPUT,
         [&](call_args& a) { a.dispatch(&other_object).named_put(); }, DISP_E_TYPEMISMATCH, 0},
        {"a null object for the subject", subject, DISPATCH_PROPERTYPUT,
         [](call_args& a) { a.zero(VT_DISPATCH).named_put(); }, DISP_E_TYPEMISMATCH, 0},
        {"an unknown object for the subject", subject, DISPATCH_PROPERTYPUT,
         [&](call_args& a) { a.unknown(&other_object).named_put(); }, DISP_E_TYPEMISMATCH, 0},
        {"null for the subject", subject, DISPATCH_PROPERTYPUT, [](call_args& a) { a.zero(VT_NULL).named_put(); },
         DISP_E_TYPEMISMATCH, 0},
        {"an array for the subject", subject, DISPATCH_PROPERTYPUT,
         [](call_args& a) { a.zero(VT_ARRAY | VT_BSTR).named_put(); }, DISP_E_TYPEMISMATCH, 0},
        {"a reference to no text", subject, DISPATCH_PROPERTYPUT,
         [](call_args& a) { a.zero(VT_BYREF | VT_BSTR).named_put(); }, DISP_E_TYPEMISMATCH, 0},
        {"a reference to no variant", subject, DISPATCH_PROPERTYPUT,
         [](call_args& a) { a.zero(VT_BYREF | VT_VARIANT).named_put(); }, DISP_E_TYPEMISMATCH, 0},
        {"a reference to a text", subject, DISPATCH_PROPERTYPUT,
         [&](call_args& a) { a.text_ref(&referenced).named_put(); }, S_OK, 99, "By reference"},
        {"an empty value is the empty text", subject, DISPATCH_PROPERTYPUT,
         [](call_args& a) { a.zero(VT_EMPTY).named_put(); }, S_OK, 99, ""},
        {"a subject read with an argument", subject, get_call, [](call_args& a) { a.i4(0); }, DISP_E_BADPARAMCOUNT},
        {"a 1 MB address", add_to_list, DISPATCH_METHOD, [&](call_args& a) { a.text("0").text(long_address.c_str()); },
         S_OK},
        {"a NUL inside an address", add_to_list, DISPATCH_METHOD,
         [](call_args& a) {
             a.i4(0).units({u"b@example.com\0c", 15});
         },
         E_INVALIDARG},
        {"an object for an address", add_to_list, DISPATCH_METHOD,
         [&](call_args& a) { a.i4(0).unknown(&other_object); }, DISP_E_TYPEMISMATCH, 0},
        {"an object for a list number", add_to_list, DISPATCH_METHOD,
         [&](call_args& a) { a.dispatch(&other_object).text("b@example.com"); }, DISP_E_TYPEMISMATCH, 1},
        {"too few arguments", add_to_list, DISPATCH_METHOD, [](call_args& a) { a.i4(0); }, DISP_E_BADPARAMCOUNT},
        {"too many arguments", add_to_list, DISPATCH_METHOD,
         [](call_args& a) { a.i4(0).text("b@example.com").text("c@example.com"); }, DISP_E_BADPARAMCOUNT},
        {"a named argument", add_to_list, DISPATCH_METHOD,
         [](call_args& a) { a.i4(0).text("b@example.com").named({0}); }, DISP_E_NONAMEDARGS},
        {"a list number past 32 bits", get_list_size, get_call, [](call_args& a) { a.r8(1e300); }, DISP_E_TYPEMISMATCH,
         0},
        {"an unknown list number", get_list_size, get_call, [](call_args& a) { a.i4(lowest); }, S_OK},
        {"the lowest item of an unknown list", get_list_item, get_call, [](call_args& a) { a.i4(-1).i4(lowest); },
         S_OK},
        {"a dialog id past 32 bits", help, get_call, [](call_args& a) { a.r8(1e10); }, DISP_E_TYPEMISMATCH, 0},
        {"the highest dialog id", help, DISPATCH_PROPERTYPUT,
         [](call_args& a) { a.ui4(0xFFFFFFFF).boolean(VARIANT_FALSE).named_put(); }, S_OK},
        {"a text for an object", 21, DISPATCH_METHOD, [](call_args& a) { a.text("mailer"); }, DISP_E_TYPEMISMATCH, 0},
        {"an empty value for an object", 23, DISPATCH_METHOD, [](call_args& a) { a.zero(VT_EMPTY).zero(VT_UNKNOWN); },
         DISP_E_TYPEMISMATCH, 1},
        {"an unknown member", 9999, DISPATCH_METHOD, [](call_args&) {}, DISP_E_MEMBERNOTFOUND},
        {"a negative member id", -7, DISPATCH_METHOD, [](call_args&) {}, DISP_E_MEMBERNOTFOUND},
    };
    for (const row& r : rows) {
        call_args args;
        r.arguments(args);
        variant_holder result;
        UINT arg_error = 99;
        EXPECT_EQ(invoke(r.id, r.flags, args.params(), result.get(), &arg_error), r.expected) << r.what;
        EXPECT_EQ(arg_error, r.bad_argument) << r.what;
        if (r.subject_after) {
            EXPECT_EQ(read_subject(), r.subject_after) << r.what;
        }
    }
    // The refused subjects left the last one accepted; the long address is on the list.
    EXPECT_EQ(read_subject(), "");
    call_args first_item;
    first_item.i4(0).i4(0);
    variant_holder item;
    ASSERT_HR(S_OK, invoke(get_list_item, get_call, first_item.params(), item.get(), nullptr));
    ASSERT_EQ(item->vt, VT_BSTR);
    EXPECT_EQ(text_of(item->bstrVal), long_address);

    // Calls whose own parameters are missing.
    call_args one;
    one.i4(0);
    DISPPARAMS no_values{nullptr, nullptr, 1, 0};
    DISPPARAMS no_names{one.params()->rgvarg, nullptr, 1, 1};
    const struct {
        const char* what;
        DISPPARAMS* params;
        HRESULT expected;
    } missing[] = {{"no parameters", nullptr, E_INVALIDARG},
                   {"no argument array", &no_values, E_INVALIDARG},
                   {"no named-argument array", &no_names, E_INVALIDARG}};
    for (const auto& m : missing)
        EXPECT_EQ(invoke(get_list_size, get_call, m.params, nullptr, nullptr), m.expected) << m.what;
    call_args none;
    EXPECT_HR(S_OK, invoke(subject, get_call, none.params(), nullptr, nullptr)) << "no place for the result";

    SysFreeString(referenced);
    EXPECT_EQ(object->Release(), 0u);
}

}  // namespace
