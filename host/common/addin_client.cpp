#include "common/addin_client.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "platform/posix_files.h"
#include "platform/text.h"

dispatch_arguments::~dispatch_arguments() {
    for (VARIANT& value : values_) VariantClear(&value);
}

dispatch_arguments& dispatch_arguments::add_long(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    values_.push_back(v);
    return *this;
}

dispatch_arguments& dispatch_arguments::add_bool(bool value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    values_.push_back(v);
    return *this;
}

dispatch_arguments& dispatch_arguments::add_text(const std::string& value) {
    bstr_holder text(bstr_from_narrow(value));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    values_.reserve(values_.size() + 1);  // so that push_back cannot throw once the string is handed over
    v.bstrVal = text.release();
    values_.push_back(v);
    return *this;
}

dispatch_arguments& dispatch_arguments::add(const VARIANT& value) {
    VARIANT v;
    VariantInit(&v);
    throw_if_failed(VariantCopy(&v, &value));
    values_.reserve(values_.size() + 1);
    values_.push_back(v);
    return *this;
}

namespace {
// A module's entry by name, typed.
template <typename Entry>
Entry entry_of(void* module, const char* name) {
    void* found = ::dlsym(module, name);
    Entry typed = nullptr;
    static_assert(sizeof typed == sizeof found);
    std::memcpy(&typed, &found, sizeof typed);
    return typed;
}
// Set only for the length of expire_oldest_pending's call: the module asks it at each call.
bool expiry_wanted = false;
int expiry_due() { return expiry_wanted ? 1 : 0; }

}  // namespace

std::unique_ptr<addin_client> addin_client::load(const std::string& module_path, const addin_links& links,
                                                 std::string& error) {
    std::unique_ptr<addin_client> client(new addin_client);
    client->module_ = ::dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!client->module_) {
        const char* why = ::dlerror();
        error = "cannot load the add-in module " + module_path + ": " + (why ? why : "unknown error");
        return nullptr;
    }
    using get_class_object_fn = HRESULT (*)(REFCLSID, REFIID, void**);
    auto get_class_object = entry_of<get_class_object_fn>(client->module_, "DllGetClassObject");
    client->can_unload_now_ = entry_of<HRESULT (*)()>(client->module_, "DllCanUnloadNow");
    auto link_host = entry_of<tarnwick_link_host_fn>(client->module_, link_host_entry);
    client->take_unwritten_files_ =
        entry_of<tarnwick_take_unwritten_files_fn>(client->module_, take_unwritten_files_entry);
    if (!get_class_object || !client->can_unload_now_ || !link_host || !client->take_unwritten_files_) {
        error = module_path + " is not the add-in module: it lacks DllGetClassObject, DllCanUnloadNow, " +
                link_host_entry + " or " + take_unwritten_files_entry;
        return nullptr;
    }
    // The module's copy of the platform layer flushes and counts through this process's copy.
    const tarnwick_host_links handed{links.app_data_folder.empty() ? nullptr : links.app_data_folder.c_str(),
                                     &posix_files::defer_folder_sync, posix_files::file_fault_plan(), &expiry_due};
    if (link_host(&handed) != 0) {
        error = "the add-in module had found its data folder already, so it cannot use " + links.app_data_folder;
        return nullptr;
    }
    HRESULT hr = get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory,
                                  reinterpret_cast<void**>(client->factory_.put()));
    if (FAILED(hr) || !client->factory_) {
        error = "the add-in module gives no class object for CMailerInterfaceTest (" + describe_hresult(hr) + ")";
        return nullptr;
    }
    hr = client->factory_->CreateInstance(nullptr, IID_IMailerInterfaceTest,
                                          reinterpret_cast<void**>(client->instance_.put()));
    if (FAILED(hr) || !client->instance_) {
        error = "the add-in module cannot create CMailerInterfaceTest (" + describe_hresult(hr) + ")";
        return nullptr;
    }
    return client;
}

addin_client::~addin_client() {
    instance_.reset();
    factory_.reset();
    // What the add-in could not write as it let go must be known after it is gone.
    try {
        gather_files_not_written();
    } catch (const std::bad_alloc&) {
        // Then only the debug log names them.
    }
    // A module that still counts live objects must stay mapped: their code lives in it.
    if (module_ && (!can_unload_now_ || can_unload_now_() == S_OK)) ::dlclose(module_);
}

HRESULT addin_client::expire_oldest_pending(IDispatch* mailer) {
    struct wanted_while_called {
        wanted_while_called() { expiry_wanted = true; }
        ~wanted_while_called() { expiry_wanted = false; }
    } wanted;
    return instance_->RunWorkflow2(mailer, nullptr);
}

HRESULT addin_client::invoke(const std::string& name, WORD flags, dispatch_arguments& arguments, VARIANT* result) {
    // A member's id never changes for an instance: asked once, not once per call, as reading a
    // long list item by item would.
    DISPID id = DISPID_UNKNOWN;
    auto known = std::find_if(ids_.begin(), ids_.end(), [&name](const auto& entry) { return entry.first == name; });
    if (known != ids_.end()) {
        id = known->second;
    } else {
        bstr_holder member(bstr_from_narrow(name));
        LPOLESTR names[] = {member.get()};
        HRESULT found = instance_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(found)) return found;
        ids_.emplace_back(name, id);
    }
    // IDispatch takes the arguments last first.
    std::vector<VARIANT> reversed(arguments.values().rbegin(), arguments.values().rend());
    DISPID named_put = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());
    if (flags & DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &named_put;
        params.cNamedArgs = 1;
    }
    EXCEPINFO exception{};
    UINT bad_argument = 0;
    HRESULT hr =
        instance_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception, &bad_argument);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return hr;
}

HRESULT addin_client::get(const std::string& name, VARIANT* result) {
    dispatch_arguments none;
    return invoke(name, DISPATCH_PROPERTYGET, none, result);
}

HRESULT addin_client::get(const std::string& name, LONG index, VARIANT* result) {
    dispatch_arguments arguments;
    arguments.add_long(index);
    return invoke(name, DISPATCH_PROPERTYGET, arguments, result);
}

HRESULT addin_client::put(const std::string& name, dispatch_arguments& arguments) {
    return invoke(name, DISPATCH_PROPERTYPUT, arguments, nullptr);
}

void addin_client::gather_files_not_written() {
    if (!take_unwritten_files_) return;
    take_unwritten_files_(
        [](void* context, const char* path) {
            auto& files = *static_cast<unwritten_files*>(context);
            if (path && std::find(files.begin(), files.end(), path) == files.end()) files.emplace_back(path);
        },
        unwritten_.get());
}

const unwritten_files& addin_client::files_not_written() {
    gather_files_not_written();
    return *unwritten_;
}

std::string describe_hresult(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    const char* name = nullptr;
    switch (hr) {
    case E_NOTIMPL: name = "E_NOTIMPL"; break;
    case E_NOINTERFACE: name = "E_NOINTERFACE"; break;
    case E_POINTER: name = "E_POINTER"; break;
    case E_FAIL: name = "E_FAIL"; break;
    case E_OUTOFMEMORY: name = "E_OUTOFMEMORY"; break;
    case E_INVALIDARG: name = "E_INVALIDARG"; break;
    case CLASS_E_CLASSNOTAVAILABLE: name = "CLASS_E_CLASSNOTAVAILABLE"; break;
    case DISP_E_UNKNOWNNAME: name = "DISP_E_UNKNOWNNAME"; break;
    case DISP_E_MEMBERNOTFOUND: name = "DISP_E_MEMBERNOTFOUND"; break;
    case DISP_E_BADPARAMCOUNT: name = "DISP_E_BADPARAMCOUNT"; break;
    case DISP_E_TYPEMISMATCH: name = "DISP_E_TYPEMISMATCH"; break;
    case STG_E_CANTSAVE: name = "STG_E_CANTSAVE"; break;
    default: break;
    }
    return name ? std::string(code) + " " + name : std::string(code);
}
