// The objects the memory host hands out (folders, messages, enumerators, created messages), each
// known to the store while alive so that arguments can be checked and references counted.
#include <cstdio>
#include <cstdlib>

#include "platform/com_enum.h"
#include "platform/com_object.h"
#include "platform/text.h"
#include "support/memory_host_store.h"

std::function<void(const std::string&)>& memory_host_failure_sink() {
    // Outside a test framework a misuse of the host must not pass unnoticed.
    static std::function<void(const std::string&)> sink = [](const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
        std::abort();
    };
    return sink;
}

namespace memory_host_parts {

namespace {

// Every object handed out: a kit object (`Base`) that is known to the store while alive, so that
// arguments can be checked and its references counted.
template <class Base>
class host_object : public Base {
public:
    template <class... BaseArgs>
    host_object(store_ptr owner, kind type, int id, std::string what, BaseArgs&&... base_args)
        : Base(std::forward<BaseArgs>(base_args)...), store_(std::move(owner)) {
        store_->live[static_cast<IUnknown*>(this)] = {type, id, [this] { return this->references(); }, std::move(what)};
    }
    ~host_object() override { store_->live.erase(static_cast<IUnknown*>(this)); }

protected:
    store_ptr store_;
};

// A folder or a message of the store.
class entry_object final : public host_object<com_object<implements<IUnknown>>> {
public:
    using host_object::host_object;
};

// A message made by create_message.
class created_object final : public host_object<com_object<implements<IDispatch>>> {
public:
    using host_object::host_object;

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return count ? S_OK : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

// The values of an enumerator; an object is handed out as a new object each time.
class store_values final : public enum_items<VARIANT> {
public:
    store_values(store_ptr owner, std::vector<enum_value> values)
        : store_(std::move(owner)), values_(std::move(values)) {}

    size_t size() const override { return values_.size(); }
    HRESULT copy(size_t index, VARIANT& out) const override {
        VariantInit(&out);
        try {
            fill(values_[index], out);
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    void clear(VARIANT& item) const override { VariantClear(&item); }

private:
    void fill(const enum_value& value, VARIANT& out) const {
        if (const auto* ref = std::get_if<object_ref>(&value)) {
            out.punkVal = new_entry(store_, ref->type, ref->id);
            out.vt = VT_UNKNOWN;
            return;
        }
        const host_item& item = std::get<host_item>(value);
        if (item.type == VT_BSTR) out.bstrVal = item.null ? nullptr : bstr_from_narrow(item.text);
        else if (item.type == VT_I4) out.lVal = item.integer;
        out.vt = item.type;
    }

    store_ptr store_;
    std::vector<enum_value> values_;
};

class enumerator final : public host_object<variant_enumerator> {
public:
    enumerator(const store_ptr& owner, std::vector<enum_value> values, const std::string& what)
        : enumerator(owner, std::make_shared<store_values>(owner, std::move(values)), what, 0) {}

private:
    enumerator(const store_ptr& owner, items_ptr values, const std::string& what, size_t position)
        : host_object(owner, kind::enumerator, 0, "enumerator of " + what, std::move(values), position), what_(what) {}

    IEnumVARIANT* clone_at(size_t position) const override { return new enumerator(store_, items(), what_, position); }

    std::string what_;
};

}  // namespace

IUnknown* new_entry(const store_ptr& owner, kind type, int id) {
    std::string what = type == kind::folder
                           ? "folder '" + owner->path_of(id) + "'"
                           : "message " + std::to_string(id) + " '" + owner->message(id).spec.subject + "'";
    return new entry_object(owner, type, id, what);
}

IEnumVARIANT* new_enumerator(const store_ptr& owner, std::vector<enum_value> values, const std::string& what) {
    return new enumerator(owner, std::move(values), what);
}

IDispatch* new_created(const store_ptr& owner, int id, const std::string& what) {
    return new created_object(owner, kind::created_message, id, what);
}

namespace {

constexpr struct {
    int slot;
    const char* name;
} slot_names[] = {
#define TARNWICK_NAME_M(number, name, params) {number, #name},
#define TARNWICK_NAME_R(number) {number, "reserved_" #number},
    TARNWICK_MAILER_HOST_SLOTS(TARNWICK_NAME_M, TARNWICK_NAME_R)
#undef TARNWICK_NAME_M
#undef TARNWICK_NAME_R
};

}  // namespace

std::string name_of_slot(int slot) {
    for (const auto& row : slot_names)
        if (row.slot == slot) return row.name;
    throw std::invalid_argument("IMailerHost has no slot " + std::to_string(slot));
}

int slot_of_name(std::string_view name) {
    for (const auto& row : slot_names)
        if (name == row.name) return row.slot;
    throw std::invalid_argument("IMailerHost has no operation " + std::string(name));
}

}  // namespace memory_host_parts
