#include "module/win32/registration.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <string>
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

// One value under HKEY_CLASSES_ROOT; an empty name is the key's default value.
struct registry_value {
    std::string key;
    std::string name;
    std::wstring value;
};

HRESULT from_win32(LONG error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

// Opens `key`, made when missing, into `handle`; a failed call leaves no handle to close.
HRESULT create_key(const std::string& key, registry_key& handle) {
    HKEY made = nullptr;
    LONG error = RegCreateKeyExW(HKEY_CLASSES_ROOT, widen(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_SET_VALUE, nullptr, &made, nullptr);
    if (error == ERROR_SUCCESS) handle = registry_key(made);
    return from_win32(error);
}

HRESULT write(const registry_value& entry) {
    registry_key key;
    HRESULT hr = create_key(entry.key, key);
    if (FAILED(hr)) return hr;
    std::wstring name = widen(entry.name);
    return from_win32(RegSetValueExW(key.get(), entry.name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(entry.value.c_str()),
                                     static_cast<DWORD>((entry.value.size() + 1) * sizeof(wchar_t))));
}

HRESULT write_all(const std::vector<registry_value>& entries) {
    for (const registry_value& entry : entries)
        if (HRESULT hr = write(entry); FAILED(hr)) return hr;
    return S_OK;
}

HRESULT write_key(const std::string& key) {
    registry_key handle;
    return create_key(key, handle);
}

// Deletes `key` with everything below it; a key that is not there is no failure.
HRESULT delete_tree(const std::string& key) {
    LONG error = RegDeleteTreeW(HKEY_CLASSES_ROOT, widen(key).c_str());
    return error == ERROR_FILE_NOT_FOUND ? S_OK : from_win32(error);
}

// Under the shared key AppID, which is never removed.
const std::string application_keys[] = {"AppID\\" + guid_text(LIBID_Tarnwick), "AppID\\Tarnwick.DLL"};

HRESULT write_application_entries() {
    return write_all({
        {application_keys[0], "", widen("Tarnwick")},
        {application_keys[1], "AppID", widen(guid_text(LIBID_Tarnwick))},
    });
}

HRESULT write_class_entries() {
    std::wstring clsid = widen(guid_text(CLSID_CMailerInterfaceTest));
    HRESULT hr = write_all({
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
    if (hr = delete_tree(key); FAILED(hr)) return hr;
    hr = write_all({
        {key, "", widen(friendly_name)},
        {key, "AppID", widen(guid_text(LIBID_Tarnwick))},
        {key + "\\ProgID", "", widen(prog_id)},
        {key + "\\VersionIndependentProgID", "", widen(version_independent_prog_id)},
    });
    if (SUCCEEDED(hr)) hr = write_key(key + "\\Programmable");
    if (SUCCEEDED(hr))
        hr = write_all({
            {key + "\\InprocServer32", "", tarnwick_module_path()},
            {key + "\\InprocServer32", "ThreadingModel", widen("apartment")},
            {key + "\\TypeLib", "", widen(guid_text(LIBID_Tarnwick))},
        });
    return hr;
}

HRESULT register_type_library() {
    com_ptr<ITypeLib> library;
    std::wstring path;
    HRESULT hr = load_tarnwick_type_library(library.put(), &path);
    if (FAILED(hr)) return hr;
    std::wstring help_folder = tarnwick_module_folder();
    return RegisterTypeLib(library.get(), path.data(), help_folder.data());
}

HRESULT unregister_type_library() {
    GUID id = LIBID_Tarnwick;
    WORD major = 1, minor = 0;
    LCID lcid = LANG_NEUTRAL;
    SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    com_ptr<ITypeLib> library;
    if (SUCCEEDED(load_tarnwick_type_library(library.put()))) {
        if (type_library_attributes attributes(library.get()); attributes) {
            id = attributes->guid;
            major = attributes->wMajorVerNum;
            minor = attributes->wMinorVerNum;
            lcid = attributes->lcid;
            kind = attributes->syskind;
        }
    }
    // A library that is not registered has nothing to remove (Windows and wine would each
    // answer that with a different failure).
    char version[24];
    std::snprintf(version, sizeof version, "%x.%x", major, minor);
    HKEY registered = nullptr;
    LONG error = RegOpenKeyExW(HKEY_CLASSES_ROOT, widen("TypeLib\\" + guid_text(id) + "\\" + version).c_str(), 0,
                               KEY_READ, &registered);
    if (error == ERROR_FILE_NOT_FOUND) return S_OK;
    registry_key{error == ERROR_SUCCESS ? registered : nullptr};  // only asked whether it is there: closed at once
    return UnRegisterTypeLib(id, major, minor, lcid, kind);
}

HRESULT remove_class_entries() {
    HRESULT first = S_OK;
    for (const std::string& key : {class_key(), std::string(prog_id), std::string(version_independent_prog_id)})
        if (HRESULT hr = delete_tree(key); FAILED(hr) && SUCCEEDED(first)) first = hr;
    return first;
}

HRESULT remove_application_entries() {
    HRESULT first = S_OK;
    for (const std::string& key : application_keys)
        if (HRESULT hr = delete_tree(key); FAILED(hr) && SUCCEEDED(first)) first = hr;
    return first;
}

}  // namespace

HRESULT tarnwick_register_server() {
    try {
        system_locale_scope locale;
        HRESULT hr = write_application_entries();
        if (SUCCEEDED(hr)) hr = write_class_entries();
        if (SUCCEEDED(hr)) hr = register_type_library();
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT tarnwick_unregister_server() {
    try {
        system_locale_scope locale;
        HRESULT first = S_OK;
        for (HRESULT hr : {remove_class_entries(), unregister_type_library(), remove_application_entries()})
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        return first;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
