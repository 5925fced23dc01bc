#include <gtest/gtest.h>

#include "platform/com.h"
#include "platform/text.h"
#include "support/hresult_checks.h"

namespace {
// A minimal counted object to check that variants take and drop references.
struct counted final : IUnknown {
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualGUID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};
}  // namespace

TEST(variant, copy_and_clear_balance_references) {
    counted object;
    {
        variant_holder a;
        a.get()->vt = VT_UNKNOWN;
        a.get()->punkVal = &object;
        object.AddRef();
        variant_holder b;
        ASSERT_HR(S_OK, VariantCopy(b.get(), a.get()));
        EXPECT_EQ(object.refs, 3u);
    }
    EXPECT_EQ(object.refs, 1u);
}

TEST(variant, copy_of_string_is_independent) {
    variant_holder a, b;
    a.get()->vt = VT_BSTR;
    a.get()->bstrVal = bstr_from_narrow("text");
    ASSERT_HR(S_OK, VariantCopy(b.get(), a.get()));
    EXPECT_NE(a->bstrVal, b->bstrVal);
    a.clear();
    EXPECT_EQ(narrow_from_bstr(b->bstrVal), "text");
}

TEST(variant, change_type_between_numbers_text_and_booleans) {
    struct row {
        VARTYPE from;
        const char* text;  // source when from == VT_BSTR
        LONG number;       // source otherwise
        VARTYPE to;
        HRESULT expected;
        LONG result;  // numeric view of the result
    };
    const row rows[] = {
        {VT_BSTR, "42", 0, VT_I4, S_OK, 42},
        {VT_BSTR, " -7 ", 0, VT_I4, S_OK, -7},
        {VT_BSTR, "abc", 0, VT_I4, DISP_E_TYPEMISMATCH, 0},
        {VT_BSTR, "", 0, VT_I4, DISP_E_TYPEMISMATCH, 0},
        {VT_BSTR, "true", 0, VT_BOOL, S_OK, VARIANT_TRUE},
        {VT_BSTR, "70000", 0, VT_UI2, DISP_E_OVERFLOW, 0},
        {VT_I4, nullptr, 5, VT_BOOL, S_OK, VARIANT_TRUE},
        {VT_I4, nullptr, 0, VT_BOOL, S_OK, VARIANT_FALSE},
        {VT_I4, nullptr, 70000, VT_I2, DISP_E_OVERFLOW, 0},
        {VT_I4, nullptr, 1033, VT_UI2, S_OK, 1033},
        {VT_BOOL, nullptr, VARIANT_TRUE, VT_I4, S_OK, -1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text ? r.text : std::to_string(r.number));
        variant_holder source, dest;
        source.get()->vt = r.from;
        if (r.from == VT_BSTR) source.get()->bstrVal = bstr_from_narrow(r.text);
        else if (r.from == VT_BOOL) source.get()->boolVal = static_cast<VARIANT_BOOL>(r.number);
        else source.get()->lVal = r.number;
        HRESULT hr = VariantChangeType(dest.get(), source.get(), 0, r.to);
        EXPECT_EQ(hr, r.expected);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(dest->vt, r.to);
            variant_holder as_long;
            ASSERT_HR(S_OK, VariantChangeType(as_long.get(), dest.get(), 0, VT_I4));
            EXPECT_EQ(as_long->lVal, r.result);
        }
    }
}

TEST(variant, number_to_text_and_in_place) {
    variant_holder v;
    v.get()->vt = VT_I4;
    v.get()->lVal = -15;
    ASSERT_HR(S_OK, VariantChangeType(v.get(), v.get(), 0, VT_BSTR));
    ASSERT_EQ(v->vt, VT_BSTR);
    EXPECT_EQ(narrow_from_bstr(v->bstrVal), "-15");
}
