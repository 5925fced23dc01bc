// Automation values come from the host, a script or any client of the add-in: every conversion
// of any value to any type either fails cleanly or gives a value of that type, which frees
// without a leak; texts survive their trip between UTF-8 and UTF-16.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "com_types.h"
#include "fuzz_support.h"
#include "platform/text.h"

namespace {

constexpr VARTYPE types[] = {VT_EMPTY, VT_NULL,  VT_I2,   VT_I4,   VT_R4,       VT_R8,      VT_DATE,
                             VT_BSTR,  VT_ERROR, VT_BOOL, VT_I1,   VT_UI1,      VT_UI2,     VT_UI4,
                             VT_I8,    VT_UI8,   VT_INT,  VT_UINT, VT_DISPATCH, VT_UNKNOWN, VT_VARIANT};

// An object that counts its references, so that a conversion that keeps or drops one shows.
struct counted final : IDispatch {
    ULONG references = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch)) return E_NOINTERFACE;
        *object = static_cast<IDispatch*>(this);
        ++references;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

// What a byref value points to: lives as long as the round.
struct referents {
    LONG l = 0;
    SHORT i = 0;
    VARIANT_BOOL b = 0;
    BSTR s = nullptr;
    IUnknown* u = nullptr;
    VARIANT v{};
};

BSTR text_value(FuzzedDataProvider& input) {
    if (input.ConsumeBool()) return bstr_from_narrow(input.ConsumeRandomLengthString(64));
    std::vector<std::uint8_t> bytes = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 64) * 2);
    std::u16string wide(bytes.size() / 2, u'\0');
    if (!wide.empty()) std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// A value of any type the system meets, read from the input; an object is `object` itself.
void make_value(FuzzedDataProvider& input, VARIANT& v, counted& object, referents& r) {
    VariantInit(&v);
    const VARTYPE vt = input.PickValueInArray(types);
    const bool by_reference = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    if (vt == VT_BSTR) {
        BSTR text = input.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : text_value(input);
        if (by_reference) {
            r.s = text;
            v.vt = VT_BSTR | VT_BYREF;
            v.pbstrVal = &r.s;
        } else {
            v.vt = VT_BSTR;
            v.bstrVal = text;
        }
        return;
    }
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        IUnknown* target = input.ConsumeBool() ? static_cast<IDispatch*>(&object) : nullptr;
        if (by_reference) {
            r.u = target;
            v.vt = vt | VT_BYREF;
            v.ppunkVal = &r.u;
        } else {
            if (target) target->AddRef();
            v.vt = vt;
            v.punkVal = target;
        }
        return;
    }
    if (vt == VT_VARIANT) {
        // A reference to a variant holding a plain number, as script hosts pass arguments.
        VariantInit(&r.v);
        r.v.vt = VT_I4;
        r.v.lVal = input.ConsumeIntegral<LONG>();
        v.vt = VT_VARIANT | VT_BYREF;
        v.pvarVal = &r.v;
        return;
    }
    v.vt = vt;
    v.ullVal = input.ConsumeIntegral<ULONGLONG>();
    if (by_reference && (vt == VT_I4 || vt == VT_I2 || vt == VT_BOOL)) {
        r.l = v.lVal;
        r.i = v.iVal;
        r.b = v.boolVal;
        v.vt = vt | VT_BYREF;
        if (vt == VT_I4) v.plVal = &r.l;
        else if (vt == VT_I2) v.piVal = &r.i;
        else v.pboolVal = &r.b;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    counted object;
    {
        referents r;
        VARIANT source;
        make_value(input, source, object, r);
        const VARTYPE type = input.PickValueInArray(types);
        const USHORT flags = input.ConsumeBool() ? 0x2 : 0;

        VARIANT result;
        VariantInit(&result);
        const HRESULT hr = VariantChangeType(&result, &source, flags, type);
        if (SUCCEEDED(hr)) {
            FUZZ_CHECK(result.vt == type);
            // A number written as text reads back as the same number.
            if (type == VT_BSTR && (source.vt == VT_I4 || source.vt == VT_I8 || source.vt == VT_UI8)) {
                VARIANT back;
                VariantInit(&back);
                FUZZ_CHECK(SUCCEEDED(VariantChangeType(&back, &result, 0, source.vt)));
                FUZZ_CHECK(source.vt == VT_I4 ? back.lVal == source.lVal : back.ullVal == source.ullVal);
            }
        } else {
            FUZZ_CHECK(result.vt == VT_EMPTY);
        }

        // Converting in place, as callers that reuse their argument do.
        VARIANT copy;
        VariantInit(&copy);
        FUZZ_CHECK(SUCCEEDED(VariantCopy(&copy, &source)));
        (void)VariantChangeType(&copy, &copy, flags, input.PickValueInArray(types));
        VariantClear(&copy);
        VariantClear(&result);
        VariantClear(&source);
        SysFreeString(r.s);
    }
    // Every reference a conversion took was given back.
    FUZZ_CHECK(object.references == 1);

    // Text: valid UTF-8 survives UTF-16 unchanged, and any UTF-16 reads as valid UTF-8.
    const std::string narrow = input.ConsumeRandomLengthString(256);
    BSTR wide = bstr_from_narrow(narrow);
    const std::string back = narrow_from_bstr(wide);
    bool ascii = true;
    for (char c : narrow) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    FUZZ_CHECK(!ascii || back == narrow);
    BSTR again = bstr_from_narrow(back);
    FUZZ_CHECK(narrow_from_bstr(again) == back);
    FUZZ_CHECK(SysStringLen(again) == SysStringLen(wide));
    SysFreeString(again);
    SysFreeString(wide);
    return 0;
}
