// BSTR and VARIANT functions with the semantics of OLE Automation, for the types the system uses.
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "com_types.h"
#include "platform/text.h"

namespace {
using length_prefix = std::uint32_t;

length_prefix* prefix_of(BSTR text) { return reinterpret_cast<length_prefix*>(text) - 1; }
}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > (std::numeric_limits<length_prefix>::max() - sizeof(length_prefix) - 2) / 2) return nullptr;
    size_t bytes = sizeof(length_prefix) + (size_t{length} + 1) * sizeof(OLECHAR);
    auto* block = static_cast<length_prefix*>(std::malloc(bytes));
    if (!block) return nullptr;
    *block = static_cast<length_prefix>(length * sizeof(OLECHAR));
    BSTR result = reinterpret_cast<BSTR>(block + 1);
    if (text) std::memcpy(result, text, length * sizeof(OLECHAR));
    else std::memset(result, 0, length * sizeof(OLECHAR));
    result[length] = 0;
    return result;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    UINT length = 0;
    while (text[length]) ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    if (text) std::free(prefix_of(text));
}

UINT SysStringByteLen(BSTR text) { return text ? *prefix_of(text) : 0; }
UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

void VariantInit(VARIANTARG* v) {
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* v) {
    if (!v) return E_INVALIDARG;
    if (!(v->vt & VT_BYREF)) {
        switch (v->vt) {
        case VT_BSTR: SysFreeString(v->bstrVal); break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (v->punkVal) v->punkVal->Release();
            break;
        default: break;
        }
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* source) {
    if (!dest || !source) return E_INVALIDARG;
    if (dest == source) return S_OK;
    VARIANT copy = *source;
    if (!(source->vt & VT_BYREF)) {
        if (source->vt == VT_BSTR && source->bstrVal) {
            copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
            if (!copy.bstrVal) return E_OUTOFMEMORY;
        } else if ((source->vt == VT_UNKNOWN || source->vt == VT_DISPATCH) && source->punkVal) {
            source->punkVal->AddRef();
        }
    }
    VariantClear(dest);
    *dest = copy;
    return S_OK;
}

namespace {
enum class kind { signed_int, unsigned_int, real, boolean, text, object, empty, other };

kind kind_of(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT: return kind::signed_int;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT: return kind::unsigned_int;
    case VT_R4:
    case VT_R8:
    case VT_DATE: return kind::real;
    case VT_BOOL: return kind::boolean;
    case VT_BSTR: return kind::text;
    case VT_UNKNOWN:
    case VT_DISPATCH: return kind::object;
    case VT_EMPTY: return kind::empty;
    default: return kind::other;
    }
}

// A number read from any numeric, boolean or text value.
struct number {
    bool is_real = false;
    long double value = 0;
};

HRESULT read_number(const VARIANT& v, number& out) {
    switch (v.vt) {
    case VT_EMPTY: out.value = 0; return S_OK;
    case VT_I1: out.value = v.cVal; return S_OK;
    case VT_I2: out.value = v.iVal; return S_OK;
    case VT_I4: out.value = v.lVal; return S_OK;
    case VT_INT: out.value = v.intVal; return S_OK;
    case VT_I8: out.value = static_cast<long double>(v.llVal); return S_OK;
    case VT_UI1: out.value = v.bVal; return S_OK;
    case VT_UI2: out.value = v.uiVal; return S_OK;
    case VT_UI4: out.value = v.ulVal; return S_OK;
    case VT_UINT: out.value = v.uintVal; return S_OK;
    case VT_UI8: out.value = static_cast<long double>(v.ullVal); return S_OK;
    case VT_R4:
        out.value = v.fltVal;
        out.is_real = true;
        return S_OK;
    case VT_R8:
    case VT_DATE:
        out.value = v.dblVal;
        out.is_real = true;
        return S_OK;
    case VT_BOOL: out.value = v.boolVal ? -1 : 0; return S_OK;
    case VT_BSTR: {
        std::string text = narrow_from_bstr(v.bstrVal);
        size_t first = text.find_first_not_of(" \t");
        size_t last = text.find_last_not_of(" \t");
        if (first == std::string::npos) return DISP_E_TYPEMISMATCH;
        text = text.substr(first, last - first + 1);
        char* end = nullptr;
        long double value = std::strtold(text.c_str(), &end);
        if (end != text.c_str() + text.size() || !std::isfinite(value)) return DISP_E_TYPEMISMATCH;
        out.value = value;
        out.is_real = text.find_first_of(".eE") != std::string::npos;
        return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

template <class T>
HRESULT to_integer(long double value, T& out) {
    long double rounded = std::nearbyint(value);  // banker's rounding, as OLE does
    // No integer holds a NaN; the cast below would be undefined.
    if (std::isnan(rounded)) return DISP_E_OVERFLOW;
    if (rounded < static_cast<long double>(std::numeric_limits<T>::min()) ||
        rounded > static_cast<long double>(std::numeric_limits<T>::max()))
        return DISP_E_OVERFLOW;
    out = static_cast<T>(rounded);
    return S_OK;
}

std::string format_number(const number& n) {
    char buffer[64];
    if (n.is_real) std::snprintf(buffer, sizeof buffer, "%.15Lg", n.value);
    else std::snprintf(buffer, sizeof buffer, "%.0Lf", n.value);
    return buffer;
}

HRESULT convert(const VARIANT& source, VARTYPE type, VARIANT& out, USHORT flags) {
    constexpr USHORT alpha_bool = 0x2;  // VARIANT_ALPHABOOL
    VariantInit(&out);
    if (source.vt == type) return VariantCopy(&out, &source);
    kind target = kind_of(type);
    if (target == kind::object) {
        if (kind_of(source.vt) != kind::object) return DISP_E_TYPEMISMATCH;
        if (!source.punkVal) {
            out.vt = type;
            out.punkVal = nullptr;
            return S_OK;
        }
        IUnknown* converted = nullptr;
        HRESULT hr = source.punkVal->QueryInterface(type == VT_DISPATCH ? IID_IDispatch : IID_IUnknown,
                                                    reinterpret_cast<void**>(&converted));
        if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
        out.vt = type;
        out.punkVal = converted;
        return S_OK;
    }
    if (target == kind::empty) {
        return S_OK;
    }
    if (target == kind::text && source.vt == VT_EMPTY) {
        // An empty value is the empty text, as OLE gives it, not the text of the number 0.
        out.bstrVal = bstr_from_narrow("");
        out.vt = VT_BSTR;
        return S_OK;
    }
    if (target == kind::text && source.vt == VT_BOOL) {
        std::string text = (flags & alpha_bool) ? (source.boolVal ? "True" : "False") : (source.boolVal ? "-1" : "0");
        out.bstrVal = bstr_from_narrow(text);
        out.vt = VT_BSTR;
        return S_OK;
    }
    if (target == kind::boolean && source.vt == VT_BSTR) {
        std::string text = narrow_from_bstr(source.bstrVal);
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (text == "true" || text == "false") {
            out.vt = VT_BOOL;
            out.boolVal = text == "true" ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
    }
    number n;
    if (HRESULT hr = read_number(source, n); FAILED(hr)) return hr;
    HRESULT hr = S_OK;
    switch (type) {
    case VT_BOOL: out.boolVal = n.value != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_I1: hr = to_integer(n.value, out.cVal); break;
    case VT_I2: hr = to_integer(n.value, out.iVal); break;
    case VT_I4: hr = to_integer(n.value, out.lVal); break;
    case VT_INT: hr = to_integer(n.value, out.intVal); break;
    case VT_I8: hr = to_integer(n.value, out.llVal); break;
    case VT_UI1: hr = to_integer(n.value, out.bVal); break;
    case VT_UI2: hr = to_integer(n.value, out.uiVal); break;
    case VT_UI4: hr = to_integer(n.value, out.ulVal); break;
    case VT_UINT: hr = to_integer(n.value, out.uintVal); break;
    case VT_UI8: hr = to_integer(n.value, out.ullVal); break;
    case VT_R4: out.fltVal = static_cast<float>(n.value); break;
    case VT_R8:
    case VT_DATE: out.dblVal = static_cast<double>(n.value); break;
    case VT_BSTR: out.bstrVal = bstr_from_narrow(format_number(n)); break;
    default: return DISP_E_BADVARTYPE;
    }
    if (FAILED(hr)) return hr;
    out.vt = type;
    return S_OK;
}
}  // namespace

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* source, USHORT flags, VARTYPE type) {
    if (!dest || !source) return E_INVALIDARG;
    const VARIANT* value = source;
    if (source->vt == (VT_BYREF | VT_VARIANT)) value = source->pvarVal;
    if (!value) return E_INVALIDARG;
    VARIANT dereferenced;
    VariantInit(&dereferenced);
    if (value->vt & VT_BYREF) {
        if (!value->byref) return E_INVALIDARG;
        // Read through the reference without taking ownership of what it points to.
        dereferenced.vt = static_cast<VARTYPE>(value->vt & ~VT_BYREF);
        switch (dereferenced.vt) {
        case VT_I4: dereferenced.lVal = *value->plVal; break;
        case VT_I2: dereferenced.iVal = *value->piVal; break;
        case VT_BOOL: dereferenced.boolVal = *value->pboolVal; break;
        case VT_BSTR: dereferenced.bstrVal = *value->pbstrVal; break;
        case VT_UNKNOWN:
        case VT_DISPATCH: dereferenced.punkVal = *value->ppunkVal; break;
        default: return DISP_E_BADVARTYPE;
        }
        value = &dereferenced;
    }
    VARIANT converted;
    HRESULT hr = convert(*value, type, converted, flags);
    if (FAILED(hr)) return hr;
    VariantClear(dest);
    *dest = converted;
    return S_OK;
}
