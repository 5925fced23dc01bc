#include "addin/dispatch.h"

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "platform/error_info.h"

namespace {

enum class call_kind { method, property_get, property_put };

// The out value of a member, whichever type it has; only the field of the member's type is used.
struct out_storage {
    LONG l = 0;
    USHORT us = 0;
    ULONG ul = 0;
    VARIANT_BOOL b = VARIANT_FALSE;
    BSTR s = nullptr;
};

// Parameter types of the interface: their variant type and how to read a converted argument.
template <class T>
struct in_param;
template <>
struct in_param<LONG> {
    static constexpr VARTYPE type = VT_I4;
    static LONG read(const VARIANT& v) { return v.lVal; }
};
template <>
struct in_param<ULONG> {
    static constexpr VARTYPE type = VT_UI4;
    static ULONG read(const VARIANT& v) { return v.ulVal; }
};
template <>
struct in_param<USHORT> {
    static constexpr VARTYPE type = VT_UI2;
    static USHORT read(const VARIANT& v) { return v.uiVal; }
};
template <>
struct in_param<VARIANT_BOOL> {
    static constexpr VARTYPE type = VT_BOOL;
    static VARIANT_BOOL read(const VARIANT& v) { return v.boolVal; }
};
template <>
struct in_param<BSTR> {
    static constexpr VARTYPE type = VT_BSTR;
    static BSTR read(const VARIANT& v) { return v.bstrVal; }
};
template <>
struct in_param<IDispatch*> {
    static constexpr VARTYPE type = VT_DISPATCH;
    static IDispatch* read(const VARIANT& v) { return v.pdispVal; }
};
template <>
struct in_param<IUnknown*> {
    static constexpr VARTYPE type = VT_UNKNOWN;
    static IUnknown* read(const VARIANT& v) { return v.punkVal; }
};

template <class T>
struct out_param;
template <>
struct out_param<LONG*> {
    static constexpr VARTYPE type = VT_I4;
    static LONG* slot(out_storage& out) { return &out.l; }
};
template <>
struct out_param<ULONG*> {
    static constexpr VARTYPE type = VT_UI4;
    static ULONG* slot(out_storage& out) { return &out.ul; }
};
template <>
struct out_param<USHORT*> {
    static constexpr VARTYPE type = VT_UI2;
    static USHORT* slot(out_storage& out) { return &out.us; }
};
template <>
struct out_param<VARIANT_BOOL*> {
    static constexpr VARTYPE type = VT_BOOL;
    static VARIANT_BOOL* slot(out_storage& out) { return &out.b; }
};
template <>
struct out_param<BSTR*> {
    static constexpr VARTYPE type = VT_BSTR;
    static BSTR* slot(out_storage& out) { return &out.s; }
};

template <class T>
concept out_parameter = requires {
    out_param<T>::type;
};

using member_call = HRESULT (*)(IMailerInterfaceTest* target, const VARIANT* args, out_storage& out);

constexpr size_t max_arguments = 3;

// One row of the interface: what the dispatcher needs to check and forward a call.
struct member_row {
    DISPID id;
    std::string_view name;  // the property's name without "get_"/"put_" for properties
    call_kind kind;
    unsigned in_count;
    std::array<VARTYPE, max_arguments> in_types;
    VARTYPE out_type;  // VT_EMPTY when the member has no out value
    member_call call;
};

constexpr std::string_view get_prefix = "get_";
constexpr std::string_view put_prefix = "put_";

// The arguments, in declaration order, with the out parameter (always last) pointing into `out`.
template <class T>
decltype(auto) argument(const VARIANT* args, size_t index, out_storage& out) {
    if constexpr (out_parameter<T>) return out_param<T>::slot(out);
    else return in_param<T>::read(args[index]);
}

template <class... A, size_t... I>
HRESULT call_with(HRESULT (STDMETHODCALLTYPE IMailerInterfaceTest::*member)(A...), IMailerInterfaceTest* target,
                  [[maybe_unused]] const VARIANT* args, [[maybe_unused]] out_storage& out, std::index_sequence<I...>) {
    return (target->*member)(argument<A>(args, I, out)...);
}

template <class... A>
HRESULT call_member(HRESULT (STDMETHODCALLTYPE IMailerInterfaceTest::*member)(A...), IMailerInterfaceTest* target,
                    const VARIANT* args, out_storage& out) {
    return call_with(member, target, args, out, std::index_sequence_for<A...>{});
}

template <class... A>
constexpr member_row make_row(DISPID id, std::string_view name,
                              HRESULT (STDMETHODCALLTYPE IMailerInterfaceTest::*)(A...), member_call call) {
    member_row row{id, name, call_kind::method, 0, {}, VT_EMPTY, call};
    if (name.starts_with(get_prefix)) row.kind = call_kind::property_get;
    if (name.starts_with(put_prefix)) row.kind = call_kind::property_put;
    if (row.kind != call_kind::method) row.name.remove_prefix(get_prefix.size());
    [[maybe_unused]] auto add = [&row]<class T>() {
        if constexpr (out_parameter<T>) row.out_type = out_param<T>::type;
        else row.in_types[row.in_count++] = in_param<T>::type;
    };
    (add.template operator()<A>(), ...);
    return row;
}

#define TARNWICK_DISPATCH_ROW(slot, dispid, name, params)                              \
    make_row(dispid, #name, &IMailerInterfaceTest::name,                               \
             [](IMailerInterfaceTest* target, const VARIANT* args, out_storage& out) { \
                 return call_member(&IMailerInterfaceTest::name, target, args, out);   \
             }),
constexpr member_row rows[] = {TARNWICK_MAILER_INTERFACE_METHODS(TARNWICK_DISPATCH_ROW)};
#undef TARNWICK_DISPATCH_ROW

constexpr bool rows_are_sound() {
    for (const member_row& row : rows) {
        if (row.in_count > max_arguments) return false;
        if (row.kind == call_kind::property_put && row.out_type != VT_EMPTY) return false;
        if (row.kind == call_kind::property_get && row.out_type == VT_EMPTY) return false;
    }
    return true;
}
static_assert(rows_are_sound(), "a member does not have the shape of a method, property get or property put");

char16_t lower_ascii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Compares an automation name with an ASCII table name, ignoring case; `name` may run on.
bool starts_with_ignoring_case(const OLECHAR* name, std::string_view prefix, size_t& matched) {
    size_t i = 0;
    for (; i < prefix.size(); ++i) {
        char16_t c = static_cast<char16_t>(name[i]);
        if (c == 0 || lower_ascii(c) != lower_ascii(static_cast<char16_t>(prefix[i]))) return false;
    }
    matched = i;
    return true;
}

bool equals_ignoring_case(const OLECHAR* name, std::string_view table_name) {
    size_t matched = 0;
    return starts_with_ignoring_case(name, table_name, matched) && name[matched] == 0;
}

DISPID id_of_name(const OLECHAR* name) {
    if (!name) return DISPID_UNKNOWN;
    size_t prefix = 0;
    bool has_prefix =
        starts_with_ignoring_case(name, get_prefix, prefix) || starts_with_ignoring_case(name, put_prefix, prefix);
    for (const member_row& row : rows) {
        if (equals_ignoring_case(name, row.name)) return row.id;
        if (has_prefix && row.kind != call_kind::method && equals_ignoring_case(name + prefix, row.name)) return row.id;
    }
    return DISPID_UNKNOWN;
}

// The row of `id` that answers a call of this kind; null when the member exists but cannot be
// called so (a put of a read-only property, a method called as a property).
const member_row* find_row(DISPID id, WORD flags, bool& member_exists) {
    member_exists = false;
    for (const member_row& row : rows) {
        if (row.id != id) continue;
        member_exists = true;
        bool wanted = false;
        switch (row.kind) {
        case call_kind::method: wanted = (flags & DISPATCH_METHOD) && !(flags & DISPATCH_PROPERTYPUT); break;
        case call_kind::property_get: wanted = (flags & DISPATCH_PROPERTYGET) && !(flags & DISPATCH_PROPERTYPUT); break;
        case call_kind::property_put: wanted = (flags & DISPATCH_PROPERTYPUT) != 0; break;
        }
        if (wanted) return &row;
    }
    return nullptr;
}

// Moves the member's out value into `result`, which takes over a string.
void store_result(const member_row& row, out_storage& out, VARIANT& result) {
    switch (row.out_type) {
    case VT_I4: result.lVal = out.l; break;
    case VT_UI4: result.ulVal = out.ul; break;
    case VT_UI2: result.uiVal = out.us; break;
    case VT_BOOL: result.boolVal = out.b; break;
    case VT_BSTR: result.bstrVal = std::exchange(out.s, nullptr); break;
    default: return;
    }
    result.vt = row.out_type;
}

bool is_object_type(VARTYPE type) { return type == VT_DISPATCH || type == VT_UNKNOWN; }

// Whether an argument holds a value that a parameter of type `wanted` may be converted from,
// looking through one reference to a variant (script engines pass their variables so). Not an
// array, not a reference to nothing, and an object only for an object parameter: converting an
// object to a plain value would call into it for its default value.
bool can_convert(const VARIANT& argument, VARTYPE wanted) {
    const VARIANT* value = &argument;
    if (value->vt == (VT_BYREF | VT_VARIANT)) value = value->pvarVal;
    if (!value || (value->vt & VT_ARRAY) != 0) return false;
    if ((value->vt & VT_BYREF) != 0 && !value->byref) return false;
    const VARTYPE type = static_cast<VARTYPE>(value->vt & ~VT_BYREF);
    return type != VT_VARIANT && is_object_type(type) == is_object_type(wanted);
}

bool is_conversion_failure(HRESULT hr) {
    return hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW || hr == DISP_E_BADVARTYPE ||
           hr == DISP_E_PARAMNOTFOUND || hr == E_INVALIDARG;
}

}  // namespace

HRESULT mailer_interface_get_ids_of_names(LPOLESTR* names, UINT count, DISPID* ids) {
    if (count > 0 && (!names || !ids)) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = id_of_name(names[i]);
        if (ids[i] == DISPID_UNKNOWN) {
            for (UINT rest = i + 1; rest < count; ++rest) ids[rest] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
    }
    return S_OK;
}

HRESULT mailer_interface_invoke(IMailerInterfaceTest* target, DISPID id, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error) {
    if (!target || !params) return E_INVALIDARG;
    if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
    if (params->cNamedArgs > 0 && !params->rgdispidNamedArgs) return E_INVALIDARG;
    if (params->cNamedArgs > params->cArgs) return DISP_E_BADPARAMCOUNT;

    bool member_exists = false;
    const member_row* row = find_row(id, flags, member_exists);
    // Only an id that names nothing is not found; a member called in a way it does not have (a
    // put of a read-only property, a method read as a property) has no argument list that fits.
    if (!row) return member_exists ? DISP_E_BADPARAMCOUNT : DISP_E_MEMBERNOTFOUND;
    if (params->cArgs > max_arguments) return DISP_E_BADPARAMCOUNT;
    // Only the value of a property put may come named, and only as itself.
    if (params->cNamedArgs > 0 && (row->kind != call_kind::property_put || params->cNamedArgs != 1 ||
                                   params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))
        return DISP_E_NONAMEDARGS;
    if (params->cArgs != row->in_count) return DISP_E_BADPARAMCOUNT;

    // rgvarg holds the arguments last first; `args` puts them in declaration order.
    std::array<variant_holder, max_arguments> args;
    for (UINT i = 0; i < row->in_count; ++i) {
        UINT position = row->in_count - 1 - i;
        if (!can_convert(params->rgvarg[position], row->in_types[i])) {
            if (arg_error) *arg_error = position;
            return DISP_E_TYPEMISMATCH;
        }
        HRESULT hr = VariantChangeType(args[i].get(), &params->rgvarg[position], 0, row->in_types[i]);
        if (FAILED(hr)) {
            if (!is_conversion_failure(hr)) return hr;
            if (arg_error) *arg_error = position;
            return DISP_E_TYPEMISMATCH;
        }
    }
    std::array<VARIANT, max_arguments> values{};
    for (UINT i = 0; i < row->in_count; ++i) values[i] = *args[i];

    if (result) VariantInit(result);
    out_storage out;
    clear_thread_error_info();
    HRESULT hr = row->call(target, values.data(), out);
    if (SUCCEEDED(hr)) {
        if (result) store_result(*row, out, *result);
    } else if (excepinfo) {
        fill_excepinfo_from_thread(excepinfo, hr);
    }
    SysFreeString(out.s);  // a string the caller did not take, or left by a failed member
    return hr;
}
