#include "module/win32/registration.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "contract/mailer_interface.h"
#include "module/win32/module_win32.h"
#include "platform/win32/com_holders.h"

namespace {

const char* const prog_id = "Tarnwick.MailerInterfaceTest.1";
const char* const version_independent_prog_id = "Tarnwick.MailerInterfaceTest";
const char* const friendly_name = "CMailerInterfaceTest Object";

// Type libraries are registered under the system default locale, whatever the thread's
// locale is; the caller's locale comes back however the registration ends.
class system_locale_scope {
public:
    system_locale_scope() : previous_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~system_locale_scope() { SetThreadLocale(previous_); }
    system_locale_scope(const system_locale_scope&) = delete;
    system_locale_scope& operator=(const system_locale_scope&) = delete;

private:
    LCID previous_;
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in capitals, the form the registry keeps.
std::string guid_text(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string class_key() { return "CLSID\\" + guid_text(CLSID_CMailerInterfaceTest); }

// One value under the root of a registration; an empty name is the key's default value.
struct registry_value {
    std::string key;
    std::string name;
    std::wstring value;
};

HRESULT from_win32(LONG error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

// Opens `key`, made when missing, into `handle`; a failed call leaves no handle to close.
HRESULT create_key(HKEY root, const std::string& key, registry_key& handle) {
    HKEY made = nullptr;
    LONG error = RegCreateKeyExW(root, widen(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                 &made, nullptr);
    if (error == ERROR_SUCCESS) handle = registry_key(made);
    return from_win32(error);
}

HRESULT write(HKEY root, const registry_value& entry) {
    registry_key key;
    HRESULT hr = create_key(root, entry.key, key);
    if (FAILED(hr)) return hr;
    std::wstring name = widen(entry.name);
    return from_win32(RegSetValueExW(key.get(), entry.name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(entry.value.c_str()),
                                     static_cast<DWORD>((entry.value.size() + 1) * sizeof(wchar_t))));
}

HRESULT write_all(HKEY root, const std::vector<registry_value>& entries) {
    for (const registry_value& entry : entries)
        if (HRESULT hr = write(root, entry); FAILED(hr)) return hr;
    return S_OK;
}

HRESULT write_key(HKEY root, const std::string& key) {
    registry_key handle;
    return create_key(root, key, handle);
}

// Deletes `key` with everything below it; a key that is not there is no failure.
HRESULT delete_tree(HKEY root, const std::string& key) {
    LONG error = RegDeleteTreeW(root, widen(key).c_str());
    return error == ERROR_FILE_NOT_FOUND ? S_OK : from_win32(error);
}

// Deletes `key` when it holds neither subkeys nor values; a key that is not there is no failure.
HRESULT delete_if_empty(HKEY root, const std::string& key) {
    std::wstring name = widen(key);
    HKEY opened = nullptr;
    LONG error = RegOpenKeyExW(root, name.c_str(), 0, KEY_READ, &opened);
    if (error == ERROR_FILE_NOT_FOUND) return S_OK;
    if (error != ERROR_SUCCESS) return from_win32(error);
    registry_key held(opened);
    DWORD subkeys = 0, values = 0;
    error = RegQueryInfoKeyW(held.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS) return from_win32(error);
    if (subkeys || values) return S_OK;
    held.reset();
    error = RegDeleteKeyW(root, name.c_str());
    return error == ERROR_FILE_NOT_FOUND ? S_OK : from_win32(error);
}

// Under the shared key AppID, which is never removed.
const std::string application_keys[] = {"AppID\\" + guid_text(LIBID_Tarnwick), "AppID\\Tarnwick.DLL"};

HRESULT write_application_entries(HKEY root) {
    return write_all(root, {
                               {application_keys[0], "", widen("Tarnwick")},
                               {application_keys[1], "AppID", widen(guid_text(LIBID_Tarnwick))},
                           });
}

HRESULT write_class_entries(HKEY root) {
    std::wstring clsid = widen(guid_text(CLSID_CMailerInterfaceTest));
    HRESULT hr = write_all(root, {
                                     {prog_id, "", widen(friendly_name)},
                                     {std::string(prog_id) + "\\CLSID", "", clsid},
                                     {version_independent_prog_id, "", widen(friendly_name)},
                                     {std::string(version_independent_prog_id) + "\\CLSID", "", clsid},
                                     {std::string(version_independent_prog_id) + "\\CurVer", "", widen(prog_id)},
                                 });
    if (FAILED(hr)) return hr;
    // The class key is made anew, so that nothing of an earlier installation stays under it;
    // its parent CLSID is shared and stays.
    std::string key = class_key();
    if (hr = delete_tree(root, key); FAILED(hr)) return hr;
    hr = write_all(root, {
                             {key, "", widen(friendly_name)},
                             {key, "AppID", widen(guid_text(LIBID_Tarnwick))},
                             {key + "\\ProgID", "", widen(prog_id)},
                             {key + "\\VersionIndependentProgID", "", widen(version_independent_prog_id)},
                         });
    if (SUCCEEDED(hr)) hr = write_key(root, key + "\\Programmable");
    if (SUCCEEDED(hr))
        hr = write_all(root, {
                                 {key + "\\InprocServer32", "", tarnwick_module_path()},
                                 {key + "\\InprocServer32", "ThreadingModel", widen("apartment")},
                                 {key + "\\TypeLib", "", widen(guid_text(LIBID_Tarnwick))},
                             });
    return hr;
}

// What names the type library in the registry, as the module's library tells it; the ids the
// module was built with when the library cannot be read, so that removal still finds them.
struct library_identity {
    GUID id = LIBID_Tarnwick;
    WORD major = 1, minor = 0;
    LCID lcid = LANG_NEUTRAL;
    SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    WORD flags = 0;

    explicit library_identity(ITypeLib* library) {
        if (type_library_attributes attributes(library); attributes) {
            id = attributes->guid;
            major = attributes->wMajorVerNum;
            minor = attributes->wMinorVerNum;
            lcid = attributes->lcid;
            kind = attributes->syskind;
            flags = attributes->wLibFlags;
        }
    }
    std::string version() const {
        char text[24];
        std::snprintf(text, sizeof text, "%x.%x", major, minor);
        return text;
    }
    std::string library_key() const { return "TypeLib\\" + guid_text(id); }
    std::string version_key() const { return library_key() + "\\" + version(); }
};

// An interface that clients marshal through the type library, with the proxy class that does it.
struct automation_interface {
    GUID iid;
    std::wstring name;
    const char* proxy;
};

// The interfaces RegisterTypeLib enters: dual and oleautomation ones go through the type-library
// marshaler, dispinterfaces through the IDispatch marshaler; other interfaces are not entered.
HRESULT automation_interfaces(ITypeLib* library, std::vector<automation_interface>& found) {
    for (UINT index = 0, count = library->GetTypeInfoCount(); index < count; ++index) {
        com_ptr<ITypeInfo> info;
        if (HRESULT hr = library->GetTypeInfo(index, info.put()); FAILED(hr)) return hr;
        TYPEATTR* attributes = nullptr;
        if (HRESULT hr = info->GetTypeAttr(&attributes); FAILED(hr)) return hr;
        const GUID iid = attributes->guid;
        const TYPEKIND kind = attributes->typekind;
        const WORD flags = attributes->wTypeFlags;
        info->ReleaseTypeAttr(attributes);
        const bool dual = (flags & TYPEFLAG_FDUAL) != 0;
        const bool dispatch_only = kind == TKIND_DISPATCH && !dual;
        const bool by_library = dual || (kind == TKIND_INTERFACE && (flags & TYPEFLAG_FOLEAUTOMATION) != 0);
        if (!dispatch_only && !by_library) continue;
        BSTR name = nullptr;
        if (HRESULT hr = library->GetDocumentation(static_cast<INT>(index), &name, nullptr, nullptr, nullptr);
            FAILED(hr))
            return hr;
        bstr_holder held(name);
        found.push_back(
            {iid, std::wstring(name ? name : L"", SysStringLen(name)),
             by_library ? "{00020424-0000-0000-C000-000000000046}" : "{00020420-0000-0000-C000-000000000046}"});
    }
    return S_OK;
}

// The module enters its type library itself, with the keys and values that RegisterTypeLib
// writes, under the root it is given: RegisterTypeLib writes through HKEY_CLASSES_ROOT, which is
// the user's own key where the user has registered too, and wine's RegisterTypeLibForUser
// registers for the whole machine.
// The machine's FLAGS value is the library's flags as RegisterTypeLib has always written them
// (8: the library is in a file), as the installer package writes them too; the user's, the
// public flags alone.
HRESULT register_type_library(HKEY root, registration_scope scope) {
    com_ptr<ITypeLib> library;
    std::wstring path;
    HRESULT hr = load_tarnwick_type_library(library.put(), &path);
    if (FAILED(hr)) return hr;
    library_identity identity(library.get());
    BSTR name = nullptr, help = nullptr;
    if (hr = library->GetDocumentation(-1, &name, &help, nullptr, nullptr); FAILED(hr)) return hr;
    bstr_holder held_name(name), held_help(help);
    std::vector<automation_interface> interfaces;
    if (hr = automation_interfaces(library.get(), interfaces); FAILED(hr)) return hr;

    std::string key = identity.version_key();
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%lx", static_cast<unsigned long>(identity.lcid));
    const WORD flags = scope == registration_scope::machine
                           ? identity.flags
                           : identity.flags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN);
    BSTR title = SysStringLen(help) ? help : name;
    std::vector<registry_value> entries{
        {key, "", std::wstring(title ? title : L"", SysStringLen(title))},
        {key + "\\FLAGS", "", widen(std::to_string(flags))},
        {key + "\\" + lcid + (identity.kind == SYS_WIN64 ? "\\win64" : "\\win32"), "", path},
        {key + "\\HELPDIR", "", tarnwick_module_folder()},
    };
    for (const automation_interface& entry : interfaces) {
        std::string interface_key = "Interface\\" + guid_text(entry.iid);
        entries.insert(entries.end(), {
                                          {interface_key, "", entry.name},
                                          {interface_key + "\\ProxyStubClsid", "", widen(entry.proxy)},
                                          {interface_key + "\\ProxyStubClsid32", "", widen(entry.proxy)},
                                          {interface_key + "\\TypeLib", "", widen(guid_text(identity.id))},
                                          {interface_key + "\\TypeLib", "Version", widen(identity.version())},
                                      });
    }
    return write_all(root, entries);
}

// Removes what register_type_library wrote; the library's own key goes once no other version
// stays under it.
HRESULT unregister_type_library(HKEY root) {
    com_ptr<ITypeLib> library;
    std::vector<automation_interface> interfaces;
    if (FAILED(load_tarnwick_type_library(library.put())) || FAILED(automation_interfaces(library.get(), interfaces))) {
        interfaces = {{IID_IMailerInterfaceTest, {}, nullptr}, {DIID__IMailerInterfaceTestEvents, {}, nullptr}};
    }
    library_identity identity(library.get());
    HRESULT first = S_OK;
    auto note = [&first](HRESULT hr) {
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    };
    for (const automation_interface& entry : interfaces) note(delete_tree(root, "Interface\\" + guid_text(entry.iid)));
    note(delete_tree(root, identity.version_key()));
    note(delete_if_empty(root, identity.library_key()));
    return first;
}

HRESULT remove_class_entries(HKEY root) {
    HRESULT first = S_OK;
    for (const std::string& key : {class_key(), std::string(prog_id), std::string(version_independent_prog_id)})
        if (HRESULT hr = delete_tree(root, key); FAILED(hr) && SUCCEEDED(first)) first = hr;
    return first;
}

HRESULT remove_application_entries(HKEY root) {
    HRESULT first = S_OK;
    for (const std::string& key : application_keys)
        if (HRESULT hr = delete_tree(root, key); FAILED(hr) && SUCCEEDED(first)) first = hr;
    return first;
}

// The key a registration writes under: the machine's Software\Classes, or the user's own for one
// user. Never HKEY_CLASSES_ROOT: it shows the user's entries over the machine's, so that an
// administrator who has also registered for himself would change or remove his own entries
// instead of the machine's. Empty, with the failure in `status`, when it cannot be opened;
// `made` false opens only a key that is there (removal has nothing to do without it).
class registration_root {
public:
    registration_root(registration_scope scope, bool made) {
        HKEY base = scope == registration_scope::machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        HKEY opened = nullptr;
        LONG error = made ? RegCreateKeyExW(base, classes, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                            nullptr, &opened, nullptr)
                          : RegOpenKeyExW(base, classes, 0, KEY_READ | KEY_WRITE, &opened);
        if (error != ERROR_SUCCESS) {
            missing = error == ERROR_FILE_NOT_FOUND;
            status = from_win32(error);
            return;
        }
        held_ = registry_key(opened);
        root_ = opened;
    }
    HKEY get() const { return root_; }

    HRESULT status = S_OK;
    bool missing = false;

private:
    static constexpr const wchar_t* classes = L"Software\\Classes";
    registry_key held_;
    HKEY root_ = nullptr;
};

}  // namespace

registration_scope tarnwick_install_scope(const wchar_t* command_line) {
    if (!command_line) return registration_scope::machine;
    std::wstring_view given(command_line);
    constexpr std::string_view user = "user";
    if (given.size() != user.size()) return registration_scope::machine;
    for (size_t i = 0; i < user.size(); ++i) {
        wchar_t c = given[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != static_cast<wchar_t>(user[i])) return registration_scope::machine;
    }
    return registration_scope::user;
}

HRESULT tarnwick_register_server(registration_scope scope) {
    try {
        system_locale_scope locale;
        registration_root root(scope, true);
        if (FAILED(root.status)) return root.status;
        HRESULT hr = write_application_entries(root.get());
        if (SUCCEEDED(hr)) hr = write_class_entries(root.get());
        if (SUCCEEDED(hr)) hr = register_type_library(root.get(), scope);
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT tarnwick_unregister_server(registration_scope scope) {
    try {
        system_locale_scope locale;
        registration_root root(scope, false);
        if (root.missing) return S_OK;
        if (FAILED(root.status)) return root.status;
        HRESULT first = S_OK;
        for (HRESULT hr : {remove_class_entries(root.get()), unregister_type_library(root.get()),
                           remove_application_entries(root.get())})
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        return first;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
