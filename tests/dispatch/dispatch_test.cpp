// The hand-written IDispatch of IMailerInterfaceTest: names to ids, and Invoke's checks,
// conversions, argument order and results, against a fake that records each call.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "addin/addin_object.h"
#include "addin/dispatch.h"
#include "platform/text.h"
#include "support/hresult_checks.h"

namespace {

std::string text_of(BSTR text) { return narrow_from_bstr(text); }

// Records every member call as "name(arg,arg)" and answers with fixed out values. The IUnknown
// and IDispatch members are never reached through the dispatcher.
class recording_target final : public IMailerInterfaceTest {
public:
    std::vector<std::string> calls;
    HRESULT result = S_OK;
    IDispatch* last_mailer = nullptr;
    IUnknown* last_message = nullptr;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return unexpected("QueryInterface"); }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return unexpected("GetTypeInfoCount"); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return unexpected("GetTypeInfo"); }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return unexpected("GetIDsOfNames");
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return unexpected("Invoke");
    }

    HRESULT STDMETHODCALLTYPE RunWorkflow(IDispatch* mailer) override {
        last_mailer = mailer;
        return record("RunWorkflow()");
    }
    HRESULT STDMETHODCALLTYPE GetListSize(LONG list, LONG* size) override {
        *size = 42;
        return record("GetListSize(" + number(list) + ")");
    }
    HRESULT STDMETHODCALLTYPE GetListItem(LONG list, LONG item, BSTR* data) override {
        *data = bstr_from_narrow("item");
        return record("GetListItem(" + number(list) + "," + number(item) + ")");
    }
    HRESULT STDMETHODCALLTYPE get_LanguageId(USHORT* value) override { return get(value, USHORT{1033}, "LanguageId"); }
    HRESULT STDMETHODCALLTYPE put_LanguageId(USHORT value) override { return put("LanguageId", number(value)); }
    HRESULT STDMETHODCALLTYPE get_MarkBlockedAsRead(VARIANT_BOOL* value) override {
        return get(value, VARIANT_BOOL{1}, "MarkBlockedAsRead");
    }
    HRESULT STDMETHODCALLTYPE put_MarkBlockedAsRead(VARIANT_BOOL value) override {
        return put("MarkBlockedAsRead", number(value));
    }
    HRESULT STDMETHODCALLTYPE get_AutoDeleteBlocked(VARIANT_BOOL* value) override {
        return get(value, VARIANT_BOOL{0}, "AutoDeleteBlocked");
    }
    HRESULT STDMETHODCALLTYPE put_AutoDeleteBlocked(VARIANT_BOOL value) override {
        return put("AutoDeleteBlocked", number(value));
    }
    HRESULT STDMETHODCALLTYPE get_AutoDeleteIgnored(VARIANT_BOOL* value) override {
        return get(value, VARIANT_BOOL{0}, "AutoDeleteIgnored");
    }
    HRESULT STDMETHODCALLTYPE put_AutoDeleteIgnored(VARIANT_BOOL value) override {
        return put("AutoDeleteIgnored", number(value));
    }
    HRESULT STDMETHODCALLTYPE get_EnableProtection(VARIANT_BOOL* value) override {
        return get(value, VARIANT_BOOL{1}, "EnableProtection");
    }
    HRESULT STDMETHODCALLTYPE put_EnableProtection(VARIANT_BOOL value) override {
        return put("EnableProtection", number(value));
    }
    HRESULT STDMETHODCALLTYPE get_PendingToBlockedTimeo(ULONG* value) override {
        return get(value, ULONG{4000000000u}, "PendingToBlockedTimeo");
    }
    HRESULT STDMETHODCALLTYPE put_PendingToBlockedTimeo(ULONG value) override {
        return put("PendingToBlockedTimeo", number(value));
    }
    HRESULT STDMETHODCALLTYPE get_ARMessage(BSTR* value) override { return get_text(value, "ARMessage"); }
    HRESULT STDMETHODCALLTYPE put_ARMessage(BSTR value) override { return put("ARMessage", text_of(value)); }
    HRESULT STDMETHODCALLTYPE get_ARSubject(BSTR* value) override { return get_text(value, "ARSubject"); }
    HRESULT STDMETHODCALLTYPE put_ARSubject(BSTR value) override { return put("ARSubject", text_of(value)); }
    HRESULT STDMETHODCALLTYPE get_ARSubjectKey(BSTR* value) override { return get_text(value, "ARSubjectKey"); }
    HRESULT STDMETHODCALLTYPE put_ARSubjectKey(BSTR value) override { return put("ARSubjectKey", text_of(value)); }
    HRESULT STDMETHODCALLTYPE get_ARMessageKey(BSTR* value) override { return get_text(value, "ARMessageKey"); }
    HRESULT STDMETHODCALLTYPE put_ARMessageKey(BSTR value) override { return put("ARMessageKey", text_of(value)); }
    HRESULT STDMETHODCALLTYPE BeginConfigure() override { return record("BeginConfigure()"); }
    HRESULT STDMETHODCALLTYPE EndConfigure(VARIANT_BOOL save) override {
        return record("EndConfigure(" + number(save) + ")");
    }
    HRESULT STDMETHODCALLTYPE AddToList(LONG list, BSTR address) override {
        return record("AddToList(" + number(list) + "," + text_of(address) + ")");
    }
    HRESULT STDMETHODCALLTYPE RemoveFromList(LONG list, BSTR address) override {
        return record("RemoveFromList(" + number(list) + "," + text_of(address) + ")");
    }
    HRESULT STDMETHODCALLTYPE ModifyInList(LONG list, BSTR old_address, BSTR new_address) override {
        return record("ModifyInList(" + number(list) + "," + text_of(old_address) + "," + text_of(new_address) + ")");
    }
    HRESULT STDMETHODCALLTYPE ChallangeResponse(BSTR address) override {
        return record("ChallangeResponse(" + text_of(address) + ")");
    }
    HRESULT STDMETHODCALLTYPE get_HelpDlgEnabled(ULONG id, VARIANT_BOOL* value) override {
        *value = 1;
        return record("get_HelpDlgEnabled(" + number(id) + ")");
    }
    HRESULT STDMETHODCALLTYPE put_HelpDlgEnabled(ULONG id, VARIANT_BOOL value) override {
        return record("put_HelpDlgEnabled(" + number(id) + "," + number(value) + ")");
    }
    HRESULT STDMETHODCALLTYPE SetMailer(IDispatch* mailer) override {
        last_mailer = mailer;
        return record("SetMailer()");
    }
    HRESULT STDMETHODCALLTYPE RunWorkflow2(IDispatch* mailer, IUnknown* message) override {
        last_mailer = mailer;
        last_message = message;
        return record("RunWorkflow2()");
    }
    HRESULT STDMETHODCALLTYPE Unload() override { return record("Unload()"); }
    HRESULT STDMETHODCALLTYPE get_PendingFolderName(BSTR* value) override {
        return get_text(value, "PendingFolderName");
    }

private:
    template <class T>
    static std::string number(T value) {
        return std::to_string(value);
    }
    HRESULT record(std::string call) {
        calls.push_back(std::move(call));
        return result;
    }
    template <class T>
    HRESULT get(T* value, T answer, const std::string& name) {
        *value = answer;
        return record("get_" + name + "()");
    }
    HRESULT get_text(BSTR* value, const std::string& name) {
        *value = bstr_from_narrow(name + " text");  // left to the dispatcher even when failing
        return record("get_" + name + "()");
    }
    HRESULT put(const std::string& name, const std::string& value) { return record("put_" + name + "(" + value + ")"); }
    static HRESULT unexpected(const char* member) {
        ADD_FAILURE() << member << " is not for the dispatcher to call";
        return E_UNEXPECTED;
    }
};

// The arguments of one call, written in declaration order; rgvarg gets them last first.
class call_args {
public:
    call_args() = default;
    call_args(const call_args&) = delete;
    call_args& operator=(const call_args&) = delete;
    ~call_args() {
        for (VARIANT& v : values_) VariantClear(&v);
    }

    call_args& i4(LONG value) {
        return add(VT_I4, [&](VARIANT& v) { v.lVal = value; });
    }
    call_args& i2(SHORT value) {
        return add(VT_I2, [&](VARIANT& v) { v.iVal = value; });
    }
    call_args& boolean(VARIANT_BOOL value) {
        return add(VT_BOOL, [&](VARIANT& v) { v.boolVal = value; });
    }
    call_args& text(const char* value) {
        return add(VT_BSTR, [&](VARIANT& v) { v.bstrVal = bstr_from_narrow(value); });
    }
    call_args& dispatch(IDispatch* value) {
        return add(VT_DISPATCH, [&](VARIANT& v) { v.pdispVal = value; });
    }
    call_args& unknown(IUnknown* value) {
        return add(VT_UNKNOWN, [&](VARIANT& v) { v.punkVal = value; });
    }
    // A reference to a variant, as script engines pass their variables.
    call_args& by_ref(VARIANT* target) {
        return add(VT_BYREF | VT_VARIANT, [&](VARIANT& v) { v.pvarVal = target; });
    }
    call_args& ui4(ULONG value) {
        return add(VT_UI4, [&](VARIANT& v) { v.ulVal = value; });
    }
    call_args& r8(double value) {
        return add(VT_R8, [&](VARIANT& v) { v.dblVal = value; });
    }
    // A string of exactly these UTF-16 code units, NULs and lone surrogates kept.
    call_args& units(std::u16string_view code_units) {
        std::basic_string<OLECHAR> wide(code_units.begin(), code_units.end());
        return add(VT_BSTR,
                   [&](VARIANT& v) { v.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())); });
    }
    // A value of `type` whose content is all zero: a null array, reference or object.
    call_args& zero(VARTYPE type) {
        return add(type, [](VARIANT& v) { v.byref = nullptr; });
    }
    call_args& text_ref(BSTR* target) {
        return add(VT_BYREF | VT_BSTR, [&](VARIANT& v) { v.pbstrVal = target; });
    }
    // The last argument becomes the named value of a property put.
    call_args& named_put() {
        named_ = {DISPID_PROPERTYPUT};
        return *this;
    }
    call_args& named(std::vector<DISPID> ids) {
        named_ = std::move(ids);
        return *this;
    }

    DISPPARAMS* params() {
        reversed_.assign(values_.rbegin(), values_.rend());
        params_ = {reversed_.data(), named_.empty() ? nullptr : named_.data(), static_cast<UINT>(reversed_.size()),
                   static_cast<UINT>(named_.size())};
        return &params_;
    }

private:
    template <class Fill>
    call_args& add(VARTYPE type, Fill fill) {
        VARIANT v;
        VariantInit(&v);
        v.vt = type;
        fill(v);
        values_.push_back(v);
        return *this;
    }
    std::vector<VARIANT> values_;  // owned (object references are borrowed: the test holds them)
    std::vector<VARIANT> reversed_;
    std::vector<DISPID> named_;
    DISPPARAMS params_{};
};

constexpr WORD get_call = DISPATCH_METHOD | DISPATCH_PROPERTYGET;  // as script engines call

class dispatch_test : public testing::Test {
protected:
    HRESULT invoke(DISPID id, WORD flags, call_args& args) {
        result.clear();
        arg_error = 99;
        return mailer_interface_invoke(&target, id, flags, args.params(), result.get(), nullptr, &arg_error);
    }
    HRESULT invoke(DISPID id, WORD flags) {
        call_args none;
        return invoke(id, flags, none);
    }

    recording_target target;
    variant_holder result;
    UINT arg_error = 99;
};

DISPID id_of(const char* name) {
    bstr_holder text(bstr_from_narrow(name));
    LPOLESTR names[] = {text.get()};
    DISPID id = 12345;
    HRESULT hr = mailer_interface_get_ids_of_names(names, 1, &id);
    return hr == S_OK ? id : hr == DISP_E_UNKNOWNNAME && id == DISPID_UNKNOWN ? DISPID_UNKNOWN : -12345;
}

TEST(dispatch_names, every_member_answers_to_its_name_in_any_case) {
    struct row {
        const char* name;
        DISPID id;
    };
    const row rows[] = {
        {"RunWorkflow", 1},
        {"runworkflow", 1},
        {"GETLISTSIZE", 2},
        {"GetListItem", 3},
        {"LanguageId", 4},
        {"get_LanguageId", 4},
        {"PUT_languageid", 4},
        {"MarkBlockedAsRead", 5},
        {"AutoDeleteBlocked", 6},
        {"AutoDeleteIgnored", 7},
        {"EnableProtection", 8},
        {"PendingToBlockedTimeo", 9},
        {"ARMessage", 10},
        {"ARSubject", 11},
        {"ARSubjectKey", 12},
        {"ARMessageKey", 13},
        {"BeginConfigure", 14},
        {"EndConfigure", 15},
        {"AddToList", 16},
        {"RemoveFromList", 17},
        {"ModifyInList", 18},
        {"ChallangeResponse", 19},
        {"HelpDlgEnabled", 20},
        {"put_HelpDlgEnabled", 20},
        {"SetMailer", 21},
        {"RunWorkflow2", 23},
        {"Unload", 24},
        {"PendingFolderName", 27},
        {"get_PendingFolderName", 27},
    };
    for (const row& r : rows) EXPECT_EQ(id_of(r.name), r.id) << r.name;
}

TEST(dispatch_names, unknown_names_are_refused) {
    // Methods take no prefix; near misses and the bare prefixes are not names.
    for (const char* name : {"get_RunWorkflow", "put_Unload", "LanguageIdX", "Language", "", "get_", "set_ARSubject",
                             "ChallengeResponse", "RunWorkflow3"})
        EXPECT_EQ(id_of(name), DISPID_UNKNOWN) << name;
}

TEST(dispatch_names, the_first_unknown_name_ends_the_lookup) {
    bstr_holder a(bstr_from_narrow("AddToList")), b(bstr_from_narrow("bogus")), c(bstr_from_narrow("Unload"));
    LPOLESTR names[] = {a.get(), b.get(), c.get()};
    DISPID ids[3] = {7, 7, 7};
    EXPECT_HR(DISP_E_UNKNOWNNAME, mailer_interface_get_ids_of_names(names, 3, ids));
    EXPECT_EQ(ids[0], 16);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
}

TEST_F(dispatch_test, methods_get_their_arguments_in_declaration_order) {
    call_args args;
    args.i4(2).text("old@example.com").text("new@example.com");
    ASSERT_HR(S_OK, invoke(18, DISPATCH_METHOD, args));
    ASSERT_HR(S_OK, invoke(19, DISPATCH_METHOD, call_args().text("x@example.com")));
    EXPECT_EQ(target.calls, (std::vector<std::string>{"ModifyInList(2,old@example.com,new@example.com)",
                                                      "ChallangeResponse(x@example.com)"}));
    EXPECT_EQ(result->vt, VT_EMPTY);
}

TEST_F(dispatch_test, out_values_come_back_as_the_result_in_the_members_type) {
    ASSERT_HR(S_OK, invoke(2, get_call, call_args().i4(3)));
    EXPECT_EQ(result->vt, VT_I4);
    EXPECT_EQ(result->lVal, 42);

    ASSERT_HR(S_OK, invoke(3, get_call, call_args().i4(1).i4(7)));
    EXPECT_EQ(result->vt, VT_BSTR);
    EXPECT_EQ(text_of(result->bstrVal), "item");

    ASSERT_HR(S_OK, invoke(4, DISPATCH_PROPERTYGET));
    EXPECT_EQ(result->vt, VT_UI2);
    EXPECT_EQ(result->uiVal, 1033);

    ASSERT_HR(S_OK, invoke(5, get_call));
    EXPECT_EQ(result->vt, VT_BOOL);
    EXPECT_EQ(result->boolVal, 1);  // the member's own true, passed on unchanged

    ASSERT_HR(S_OK, invoke(9, get_call));
    EXPECT_EQ(result->vt, VT_UI4);
    EXPECT_EQ(result->ulVal, 4000000000u);

    ASSERT_HR(S_OK, invoke(27, DISPATCH_PROPERTYGET));
    EXPECT_EQ(result->vt, VT_BSTR);
    EXPECT_EQ(text_of(result->bstrVal), "PendingFolderName text");

    ASSERT_HR(S_OK, invoke(20, get_call, call_args().i4(3)));
    EXPECT_EQ(result->vt, VT_BOOL);

    EXPECT_EQ(target.calls, (std::vector<std::string>{"GetListSize(3)", "GetListItem(1,7)", "get_LanguageId()",
                                                      "get_MarkBlockedAsRead()", "get_PendingToBlockedTimeo()",
                                                      "get_PendingFolderName()", "get_HelpDlgEnabled(3)"}));
}

TEST_F(dispatch_test, puts_take_the_named_value_last) {
    ASSERT_HR(S_OK, invoke(4, DISPATCH_PROPERTYPUT, call_args().i4(1031).named_put()));
    ASSERT_HR(S_OK, invoke(11, DISPATCH_PROPERTYPUT, call_args().text("Subject").named_put()));
    ASSERT_HR(S_OK, invoke(20, DISPATCH_PROPERTYPUT, call_args().i4(3).boolean(VARIANT_FALSE).named_put()));
    ASSERT_HR(S_OK, invoke(9, DISPATCH_PROPERTYPUT, call_args().i4(14)));  // unnamed value, as some callers send
    EXPECT_EQ(target.calls, (std::vector<std::string>{"put_LanguageId(1031)", "put_ARSubject(Subject)",
                                                      "put_HelpDlgEnabled(3,0)", "put_PendingToBlockedTimeo(14)"}));
    EXPECT_EQ(result->vt, VT_EMPTY);
}

TEST_F(dispatch_test, object_arguments_reach_the_member) {
    recording_target mailer, message;  // any objects will do
    ASSERT_HR(S_OK, invoke(23, DISPATCH_METHOD, call_args().dispatch(&mailer).unknown(&message)));
    EXPECT_EQ(target.last_mailer, &mailer);
    EXPECT_EQ(target.last_message, &message);
    ASSERT_HR(S_OK, invoke(21, DISPATCH_METHOD, call_args().dispatch(nullptr)));
    EXPECT_EQ(target.last_mailer, nullptr);
}

TEST_F(dispatch_test, arguments_are_converted_to_the_parameter_type) {
    variant_holder referenced;
    referenced.get()->vt = VT_BSTR;
    referenced.get()->bstrVal = bstr_from_narrow("ignore@example.com");
    ASSERT_HR(S_OK, invoke(2, get_call, call_args().text("5")));
    ASSERT_HR(S_OK, invoke(16, DISPATCH_METHOD, call_args().i2(2).by_ref(referenced.get())));
    ASSERT_HR(S_OK, invoke(4, DISPATCH_PROPERTYPUT, call_args().text("1031").named_put()));
    ASSERT_HR(S_OK, invoke(11, DISPATCH_PROPERTYPUT, call_args().i4(12).named_put()));
    EXPECT_EQ(target.calls, (std::vector<std::string>{"GetListSize(5)", "AddToList(2,ignore@example.com)",
                                                      "put_LanguageId(1031)", "put_ARSubject(12)"}));
}

TEST_F(dispatch_test, an_argument_that_does_not_convert_is_named_by_its_position_in_rgvarg) {
    struct row {
        const char* what;
        DISPID id;
        WORD flags;
        call_args args;
        UINT position;
    };
    row rows[4] = {
        {"list of GetListSize", 2, get_call, {}, 0},
        {"list of GetListItem", 3, get_call, {}, 1},
        {"item of GetListItem", 3, get_call, {}, 0},
        {"LanguageId past 16 bits", 4, DISPATCH_PROPERTYPUT, {}, 0},
    };
    rows[0].args.text("abc");
    rows[1].args.text("abc").i4(0);
    rows[2].args.i4(0).text("abc");
    rows[3].args.i4(70000).named_put();
    for (row& r : rows) {
        EXPECT_HR(DISP_E_TYPEMISMATCH, invoke(r.id, r.flags, r.args)) << r.what;
        EXPECT_EQ(arg_error, r.position) << r.what;
    }
    EXPECT_TRUE(target.calls.empty());
}

TEST_F(dispatch_test, calls_that_do_not_fit_a_member_are_refused_before_it_runs) {
    struct row {
        const char* what;
        DISPID id;
        WORD flags;
        int arguments;  // VT_I4 zeros
        std::vector<DISPID> named;
        HRESULT expected;
    };
    const row rows[] = {
        {"an id without member", 22, DISPATCH_METHOD, 0, {}, DISP_E_MEMBERNOTFOUND},
        {"the value id", DISPID_VALUE, get_call, 0, {}, DISP_E_MEMBERNOTFOUND},
        {"a put of a read-only property", 27, DISPATCH_PROPERTYPUT, 1, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"a put of a method", 2, DISPATCH_PROPERTYPUT, 1, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"a property called as a method only", 4, DISPATCH_METHOD, 0, {}, DISP_E_BADPARAMCOUNT},
        {"a method read as a property only", 14, DISPATCH_PROPERTYGET, 0, {}, DISP_E_BADPARAMCOUNT},
        {"a put by reference", 4, DISPATCH_PROPERTYPUTREF, 1, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"four arguments", 18, DISPATCH_METHOD, 4, {}, DISP_E_BADPARAMCOUNT},
        {"too few for a method", 2, get_call, 0, {}, DISP_E_BADPARAMCOUNT},
        {"too many for a method", 24, DISPATCH_METHOD, 1, {}, DISP_E_BADPARAMCOUNT},
        {"an index on a plain get", 4, get_call, 1, {}, DISP_E_BADPARAMCOUNT},
        {"no index on an indexed get", 20, get_call, 0, {}, DISP_E_BADPARAMCOUNT},
        {"no index on an indexed put", 20, DISPATCH_PROPERTYPUT, 1, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"two values for a put", 4, DISPATCH_PROPERTYPUT, 2, {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
        {"a named argument on a method", 2, get_call, 1, {0}, DISP_E_NONAMEDARGS},
        {"the put id on a method", 17, DISPATCH_METHOD, 2, {DISPID_PROPERTYPUT}, DISP_E_NONAMEDARGS},
        {"another name on a put", 4, DISPATCH_PROPERTYPUT, 1, {0}, DISP_E_NONAMEDARGS},
        {"two names on a put", 20, DISPATCH_PROPERTYPUT, 2, {DISPID_PROPERTYPUT, 0}, DISP_E_NONAMEDARGS},
    };
    for (const row& r : rows) {
        call_args args;
        for (int i = 0; i < r.arguments; ++i) args.i4(0);
        args.named(r.named);
        EXPECT_EQ(invoke(r.id, r.flags, args), r.expected) << r.what;
        EXPECT_EQ(result->vt, VT_EMPTY) << r.what;
    }
    EXPECT_TRUE(target.calls.empty());
}

TEST_F(dispatch_test, a_failing_member_returns_its_own_code_and_describes_it) {
    target.result = E_FAIL;
    EXCEPINFO info{};
    call_args none;
    // A get that fails after making its string: the string is freed, not handed out.
    EXPECT_HR(E_FAIL, mailer_interface_invoke(&target, 11, get_call, none.params(), result.get(), &info, &arg_error));
    EXPECT_EQ(result->vt, VT_EMPTY);
    EXPECT_HR(E_FAIL, info.scode);
    EXPECT_NE(info.bstrDescription, nullptr);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    // Without a place for exception information the code alone comes back.
    EXPECT_HR(E_FAIL, mailer_interface_invoke(&target, 24, DISPATCH_METHOD, none.params(), nullptr, nullptr, nullptr));
}

TEST_F(dispatch_test, a_result_nobody_asked_for_is_freed) {
    call_args none;
    EXPECT_HR(S_OK, mailer_interface_invoke(&target, 10, get_call, none.params(), nullptr, nullptr, nullptr));
    EXPECT_EQ(target.calls, std::vector<std::string>{"get_ARMessage()"});
}

TEST_F(dispatch_test, missing_parameters_are_invalid) {
    EXPECT_HR(E_INVALIDARG, mailer_interface_invoke(&target, 24, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
    DISPPARAMS no_array{nullptr, nullptr, 1, 0};
    EXPECT_HR(E_INVALIDARG,
              mailer_interface_invoke(&target, 19, DISPATCH_METHOD, &no_array, nullptr, nullptr, nullptr));
    EXPECT_TRUE(target.calls.empty());
}

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
