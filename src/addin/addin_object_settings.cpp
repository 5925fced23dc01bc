// The settings and configuration-session members of CMailerInterfaceTest.
#include "addin/addin_object.h"

#include <optional>
#include <string>
#include <string_view>

#include "addin/member_guard.h"
#include "config/configuration.h"
#include "diag/debug_log.h"
#include "platform/text.h"

using member_guard::engine;
using member_guard::exact_narrow;
using member_guard::guarded;
using member_guard::settings;

namespace {

// Booleans go to the client as 1 and 0: its dialogs compare with 1, not with the automation -1.
VARIANT_BOOL client_flag(bool on) { return on ? 1 : 0; }

// A missing (empty) value gives `fallback`; otherwise only the exact text "true" is on.
bool read_flag(const std::string& key, bool fallback) {
    std::string value = settings().get_value(key);
    if (value.empty()) return fallback;
    return value == "true";
}

std::string read_text(const std::string& key) { return setting_text(settings().get_value(key)); }

// The stored form of a text setting; none when ostrel.cfg could not give it back unchanged.
// Line breaks are kept as their stand-in in memory too, as the engine reads them. The two
// stand-in bytes themselves would read back as a line break and a ";", and the file trims
// blanks around a value.
std::optional<std::string> stored_text(BSTR text) {
    std::optional<std::string> value = exact_narrow(text);
    if (!value) return std::nullopt;
    if (value->find_first_of(std::string_view("\x01\x02", 2)) != std::string::npos) return std::nullopt;
    replace_char(*value, '\n', line_break_stand_in);
    constexpr std::string_view blanks = " \t\v\f\r";
    if (!value->empty() &&
        (blanks.find(value->front()) != std::string_view::npos || blanks.find(value->back()) != std::string_view::npos))
        return std::nullopt;
    return value;
}

// The common setter: in memory always; to the file unless a session holds it back.
HRESULT store_setting(const char* member, const std::string& key, const std::string& value) {
    a_configuration& store = settings();
    store.set_value(key, value);
    if (g_configuring && !g_forceSave) return S_OK;
    bool saved = store.save();
    g_forceSave = false;
    if (saved) return S_OK;
    // The value stays in effect for this process; the client must learn that it was not kept.
    debug_log() << "FAIL: " << member << ", unable to write ostrel.cfg" << std::endl;
    return E_FAIL;
}

std::string help_dialog_key(ULONG dlgId) { return "HelpDlg" + int_to_string(static_cast<int>(dlgId)) + "Enabled"; }

HRESULT get_flag(const char* member, const char* key, VARIANT_BOOL* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = 0;
    return guarded(member, [&] {
        *pVal = client_flag(read_flag(key, false));
        return S_OK;
    });
}

HRESULT put_flag(const char* member, const char* key, VARIANT_BOOL newVal) {
    return guarded(member, [&] { return store_setting(member, key, newVal ? "true" : "false"); });
}

HRESULT get_text(const char* member, const char* key, BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    return guarded(member, [&] {
        *pVal = bstr_from_narrow(read_text(key));
        return S_OK;
    });
}

HRESULT put_text(const char* member, const char* key, BSTR newVal) {
    return guarded(member, [&] {
        std::optional<std::string> value = stored_text(newVal);
        if (!value) {
            debug_log() << "FAIL: " << member << ", a text that ostrel.cfg cannot keep as it is" << std::endl;
            return E_INVALIDARG;
        }
        return store_setting(member, key, *value);
    });
}
}  // namespace

// --- Settings

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_LanguageId(USHORT* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = 1033;
    return guarded("get_LanguageId", [&] {
        auto id = static_cast<USHORT>(string_to_int(settings().get_value("LanguageId")));
        *pVal = id == 0 ? USHORT{1033} : id;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_LanguageId(USHORT newVal) {
    return guarded("put_LanguageId",
                   [&] { return store_setting("put_LanguageId", "LanguageId", int_to_string(newVal)); });
}

// Settings that are one key of their own name, read and written by the helpers above.
#define TARNWICK_KEYED_SETTING(Name, Type, kind)                              \
    HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_##Name(Type* pVal) {  \
        return get_##kind("get_" #Name, #Name, pVal);                         \
    }                                                                         \
    HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_##Name(Type newVal) { \
        return put_##kind("put_" #Name, #Name, newVal);                       \
    }
TARNWICK_KEYED_SETTING(MarkBlockedAsRead, VARIANT_BOOL, flag)
TARNWICK_KEYED_SETTING(AutoDeleteBlocked, VARIANT_BOOL, flag)
TARNWICK_KEYED_SETTING(AutoDeleteIgnored, VARIANT_BOOL, flag)
TARNWICK_KEYED_SETTING(EnableProtection, VARIANT_BOOL, flag)
TARNWICK_KEYED_SETTING(ARMessage, BSTR, text)
TARNWICK_KEYED_SETTING(ARSubject, BSTR, text)
TARNWICK_KEYED_SETTING(ARSubjectKey, BSTR, text)
TARNWICK_KEYED_SETTING(ARMessageKey, BSTR, text)
#undef TARNWICK_KEYED_SETTING

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_PendingToBlockedTimeo(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = 0;
    return guarded("get_PendingToBlockedTimeo", [&] {
        *pVal = static_cast<ULONG>(string_to_int(settings().get_value("PendingToBlockedTimeo")));
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_PendingToBlockedTimeo(ULONG newVal) {
    return guarded("put_PendingToBlockedTimeo", [&] {
        // Stored as the signed 32-bit text that the engine reads back with atoi rules.
        return store_setting("put_PendingToBlockedTimeo", "PendingToBlockedTimeo",
                             int_to_string(static_cast<int>(newVal)));
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_HelpDlgEnabled(ULONG dlgId, VARIANT_BOOL* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = client_flag(true);
    return guarded("get_HelpDlgEnabled", [&] {
        *pVal = client_flag(read_flag(help_dialog_key(dlgId), true));
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_HelpDlgEnabled(ULONG dlgId, VARIANT_BOOL newVal) {
    return guarded("put_HelpDlgEnabled", [&] {
        // Cleared on every way out, so that a failure cannot make later session puts save.
        struct force_save {
            force_save() { g_forceSave = true; }
            ~force_save() { g_forceSave = false; }
        } forced;
        return store_setting("put_HelpDlgEnabled", help_dialog_key(dlgId), newVal ? "true" : "false");
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_PendingFolderName(BSTR* pVal) {
    return get_text("get_PendingFolderName", "PENDING_FOLDER_NAME", pVal);
}

// --- Configuration session

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::BeginConfigure() {
    return guarded("BeginConfigure", [&] {
        engine();
        g_configuring = true;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::EndConfigure(VARIANT_BOOL saveChanges) {
    HRESULT result = guarded("EndConfigure", [&] {
        a_configuration& store = settings();
        // Any true value keeps the session: an automation client passes -1 for true.
        if (saveChanges == 0) {
            store.load();
            return S_OK;
        }
        if (store.save()) return S_OK;
        debug_log() << "FAIL: EndConfigure, unable to write ostrel.cfg" << std::endl;
        return E_FAIL;
    });
    g_configuring = false;
    return result;
}
