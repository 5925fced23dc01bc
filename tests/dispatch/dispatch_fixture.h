// The hand-written IDispatch of IMailerInterfaceTest: the recording fake, the argument builder and
// the fixture its test files share.
#pragma once

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

namespace dispatch_testing {

inline std::string text_of(BSTR text) { return narrow_from_bstr(text); }

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

inline constexpr WORD get_call = DISPATCH_METHOD | DISPATCH_PROPERTYGET;  // as script engines call

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

inline DISPID id_of(const char* name) {
    bstr_holder text(bstr_from_narrow(name));
    LPOLESTR names[] = {text.get()};
    DISPID id = 12345;
    HRESULT hr = mailer_interface_get_ids_of_names(names, 1, &id);
    return hr == S_OK ? id : hr == DISP_E_UNKNOWNNAME && id == DISPID_UNKNOWN ? DISPID_UNKNOWN : -12345;
}

}  // namespace dispatch_testing
