#include "addin/addin_object.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "addin/dispatch.h"
#include "addin/module.h"
#include "config/configuration.h"
#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "engine/ostrel.h"
#include "lists/address.h"
#include "mail/accounts.h"
#include "platform/text.h"

bool g_configuring = false;
bool g_forceSave = false;
recursive_lock g_workflowLock;
std::int32_t nested_call_counter = 0;
std::int32_t iteration_counter = 0;
std::unique_ptr<interval_timer> cleanup_gate;

void reset_addin_state_for_tests() {
    g_configuring = false;
    g_forceSave = false;
    nested_call_counter = 0;
    iteration_counter = 0;
    cleanup_gate.reset();
}

namespace {

constexpr std::int64_t cleanup_interval_seconds = 60;

// Called from a catch handler: logs "<member>: exception <what>" and gives the code the client
// sees. Never throws, so that nothing escapes an automation call from here.
HRESULT report_failure(const char* member) noexcept {
    HRESULT code = E_FAIL;
    const char* what = "unknown";
    try {
        throw;
    } catch (const std::bad_alloc&) {
        code = E_OUTOFMEMORY;
        what = "out of memory";
    } catch (const com_error& error) {
        if (FAILED(error.code())) code = error.code();
        what = error.what();
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
    }
    try {
        debug_log() << member << ": exception " << what << std::endl;
    } catch (...) {
    }
    return code;
}

// Runs `body` (which returns an HRESULT); a failure raised inside becomes a log line and a code.
template <class Body>
HRESULT guarded(const char* member, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return report_failure(member);
    }
}

// Counts one RunWorkflow2 in progress for as long as it lives, also when the call unwinds.
class nesting_guard {
public:
    nesting_guard() { ++nested_call_counter; }
    ~nesting_guard() { --nested_call_counter; }
    nesting_guard(const nesting_guard&) = delete;
    nesting_guard& operator=(const nesting_guard&) = delete;
};

ostrel& engine() {
    ostrel* object = get_ostrel_Object();
    if (!object) throw com_error(E_UNEXPECTED);
    return *object;
}

a_configuration& settings() {
    a_configuration* store = engine().configuration();
    if (!store) throw com_error(E_UNEXPECTED);
    return *store;
}

// Booleans go to the client as 1 and 0: its dialogs compare with 1, not with the automation -1.
VARIANT_BOOL client_flag(bool on) { return on ? 1 : 0; }

// A missing (empty) value gives `fallback`; otherwise only the exact text "true" is on.
bool read_flag(const std::string& key, bool fallback) {
    std::string value = settings().get_value(key);
    if (value.empty()) return fallback;
    return value == "true";
}

std::string read_text(const std::string& key) { return setting_text(settings().get_value(key)); }

// The narrow text of a client's string, when it is exactly that string: none when it holds a NUL
// (readers that stop there would see another text than the one kept) or a character that narrow
// text cannot hold (a lone surrogate; on Windows, one outside the code page), which would be kept
// as a replacement character.
std::optional<std::string> exact_narrow(BSTR text) {
    if (!text) return std::string();
    using wide_view = std::basic_string_view<OLECHAR>;
    const wide_view wide(text, SysStringLen(text));
    if (wide.find(OLECHAR{0}) != wide_view::npos) return std::nullopt;
    std::string narrow = narrow_from_bstr(text);
    bstr_holder back(bstr_from_narrow(narrow));
    if (wide_view(back.get(), SysStringLen(back.get())) != wide) return std::nullopt;
    return narrow;
}

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
    if (!value->empty() && (blanks.find(value->front()) != std::string_view::npos ||
                            blanks.find(value->back()) != std::string_view::npos))
        return std::nullopt;
    return value;
}

// A list member's address text; throws com_error(E_INVALIDARG), before anything changes, for one
// that exact_narrow refuses.
std::string address_text(const char* member, BSTR address) {
    std::optional<std::string> text = exact_narrow(address);
    if (text) return *text;
    debug_log() << "FAIL: " << member << ", the address holds a NUL or a character that cannot be kept" << std::endl;
    throw com_error(E_INVALIDARG);
}

// Whether `text` may be put on list `list`: a text without an address would take the sender off
// every list and put nothing on. Another list number only removes, so any text will do there.
bool may_go_on(ostrel& filter, LONG list, const std::string& text) {
    return !filter.list_by_number(list) || !extract_email_address(text).empty();
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

// The entries one list member took off or put on the lists in memory, so that a change whose
// files could not be written can be taken back.
class list_edit {
public:
    void removed(address_set& list, const std::string& entry) { removed_.emplace_back(&list, entry); }
    void added(address_set& list, const std::string& entry) { added_.emplace_back(&list, entry); }
    void undo() {
        for (auto& [list, entry] : added_) list->erase(entry);
        for (auto& [list, entry] : removed_) list->insert(entry);
    }

private:
    std::vector<std::pair<address_set*, std::string>> removed_;
    std::vector<std::pair<address_set*, std::string>> added_;
};

// Takes `text` off all four lists, in memory. The normalised form goes too: the lists hold
// normalised entries, and a sender typed differently by the user must not stay on another
// list (an authorized sender left on the remove list would still lose its mail).
void remove_from_every_list(ostrel& filter, const std::string& text, list_edit& edit) {
    std::string normalised = extract_email_address(text);
    for (int number : {authorized_list_number, remove_list_number, ignore_list_number, pending_list_number}) {
        address_set* list = filter.list_by_number(number);
        if (!list) continue;
        for (const std::string& entry : {text, normalised}) {
            if (!entry.empty() && list->erase(entry) > 0) edit.removed(*list, entry);
        }
    }
}

// Writes the lists after a list member changed them. When a file cannot be written, the change
// is taken back and written again, so that memory and files agree; should that fail too, memory
// is read again from the files. STG_E_CANTSAVE (logged) then.
HRESULT save_list_change(ostrel& filter, list_edit& edit, const char* member) {
    if (filter.save_all_lists()) return S_OK;
    edit.undo();
    if (!filter.save_all_lists()) filter.reload_address_lists();
    debug_log() << "FAIL: " << member << ", unable to write the list files" << std::endl;
    return STG_E_CANTSAVE;
}

}  // namespace

// --- IUnknown and IDispatch

CMailerInterfaceTest::CMailerInterfaceTest() { tarnwick_module().lock(); }

CMailerInterfaceTest::~CMailerInterfaceTest() {
    m_pMailer.reset();
    tarnwick_module().unlock();
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IMailerInterfaceTest)) {
        *object = static_cast<IMailerInterfaceTest*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CMailerInterfaceTest::AddRef() { return ++m_refCount; }

ULONG STDMETHODCALLTYPE CMailerInterfaceTest::Release() {
    ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                                              DISPID* ids) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return mailer_interface_get_ids_of_names(names, count, ids);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                                       VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return mailer_interface_invoke(this, id, flags, params, result, excepinfo, arg_error);
}

// --- Workflow entry points

void CMailerInterfaceTest::adopt_mailer(IDispatch* pMailer) {
    IMailerHost* adopted = nullptr;
    // The result code is not examined: no mailer simply means no current mailer. Only a
    // successful query hands over a reference.
    if (pMailer && SUCCEEDED(pMailer->QueryInterface(IID_IMailerHost, reinterpret_cast<void**>(&adopted))))
        m_pMailer = com_ptr<IMailerHost>::attach(adopted);
    else
        m_pMailer.reset();
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::SetMailer(IDispatch* pMailer) {
    return guarded("SetMailer", [&] {
        debug_log() << "=====> Enter SetMailer ... " << time_text() << std::endl;
        adopt_mailer(pMailer);
        g_savedMailer = m_pMailer;
        g_mailer = g_savedMailer;
        pre_condition_test();
        // Through the interface, as the client would call it: the contact import runs. Its
        // other failures are logged there; a list that was not saved is the client's to know.
        HRESULT imported = static_cast<IMailerInterfaceTest*>(this)->RunWorkflow(pMailer);
        return imported == STG_E_CANTSAVE ? imported : S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::RunWorkflow(IDispatch* pMailer) {
    return guarded("\n\nExit RunWorkflow", [&] {
        adopt_mailer(pMailer);
        debug_log() << "Enter RunWorkflow ...  " << time_text() << std::endl;
        std::string data_dir = get_data_dir();  // creates and seeds the data directory
        scope_timer timer("Timer for CMailerInterfaceTest::RunWorkflow ");
        g_mailer = m_pMailer;
        ostrel& filter = engine();
        const std::uint64_t failures_before = filter.save_failures();
        filter.run_workflow();
        reset_all_accounts();
        timer.stop();
        timer.write_elapsed(debug_log());
        debug_log() << "\n\nExit RunWorkflow " << time_text() << std::endl;
        return filter.save_failures() == failures_before ? S_OK : STG_E_CANTSAVE;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::RunWorkflow2(IDispatch* pMailer, IUnknown* pNewMsg) {
    // A call from another thread waits here; a nested call on this thread passes.
    std::unique_lock<recursive_lock> lock(g_workflowLock);
    clock_timer processor_timer;
    HRESULT result = S_OK;
    try {
        ++iteration_counter;
        nesting_guard nesting;
        debug_log() << "\n\nEnter RunWorkflow2 , before lock " << iteration_counter << std::endl;
        if (nested_call_counter != 1) debug_log() << "error - nested_call_counter = " << nested_call_counter << std::endl;
        adopt_mailer(pMailer);
        debug_log() << "RunWorkflow2 ...  before get_data_dir" << time_text() << std::endl;
        std::string data_dir = get_data_dir();  // creates and seeds the data directory
        scope_timer timer("Timer for CMailerInterfaceTest::RunWorkflow2 ");
        g_mailer = m_pMailer;
        debug_log() << "RunWorkflow2 ...  before get_ostrel_Object" << time_text() << std::endl;
        ostrel& filter = engine();
        const std::uint64_t failures_before = filter.save_failures();
        {
            variant_holder message;
            message.get()->vt = VT_UNKNOWN;
            message.get()->punkVal = pNewMsg;
            if (pNewMsg) pNewMsg->AddRef();
            filter.run_workflow2(*message);
        }
        debug_log() << "before clean pending and run move pending " << std::endl;
        if (!cleanup_gate) cleanup_gate = std::make_unique<interval_timer>(cleanup_interval_seconds);
        if (cleanup_gate->expired()) filter.clean_pending_messages();
        filter.run_move_email_from_pending_to_incomming();
        // A list this call could not write is tried once more before the call ends: its last
        // change would otherwise wait for another one, which may never come in this process.
        filter.save_unsaved_lists();
        // A nested call runs inside an outer one whose account and folder pointers must stay
        // valid: only the outermost call discards the collection.
        if (nested_call_counter == 1) reset_all_accounts();
        // The message was handled all the same; the client must learn that a list was not kept.
        if (filter.save_failures() != failures_before) {
            debug_log() << "FAIL: RunWorkflow2, unable to write the list files" << std::endl;
            result = STG_E_CANTSAVE;
        }
        timer.stop();
        timer.write_elapsed(debug_log());
        debug_log() << "\n\nExit RunWorkflow2: itration : " << iteration_counter << " time: " << time_text()
                    << std::endl;
    } catch (...) {
        // The client never sees a failure from here; the nesting count is already restored.
        try {
            debug_log() << "\n\nExit RunWorkflow2: exception " << std::endl;
        } catch (...) {
        }
    }
    lock.unlock();
    processor_timer.end();
    return result;
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::Unload() {
    try {
        g_mailer.reset();
        reset_all_accounts();
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

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
    return guarded("put_LanguageId", [&] { return store_setting("put_LanguageId", "LanguageId", int_to_string(newVal)); });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_MarkBlockedAsRead(VARIANT_BOOL* pVal) {
    return get_flag("get_MarkBlockedAsRead", "MarkBlockedAsRead", pVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_MarkBlockedAsRead(VARIANT_BOOL newVal) {
    return put_flag("put_MarkBlockedAsRead", "MarkBlockedAsRead", newVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_AutoDeleteBlocked(VARIANT_BOOL* pVal) {
    return get_flag("get_AutoDeleteBlocked", "AutoDeleteBlocked", pVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_AutoDeleteBlocked(VARIANT_BOOL newVal) {
    return put_flag("put_AutoDeleteBlocked", "AutoDeleteBlocked", newVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_AutoDeleteIgnored(VARIANT_BOOL* pVal) {
    return get_flag("get_AutoDeleteIgnored", "AutoDeleteIgnored", pVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_AutoDeleteIgnored(VARIANT_BOOL newVal) {
    return put_flag("put_AutoDeleteIgnored", "AutoDeleteIgnored", newVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_EnableProtection(VARIANT_BOOL* pVal) {
    return get_flag("get_EnableProtection", "EnableProtection", pVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_EnableProtection(VARIANT_BOOL newVal) {
    return put_flag("put_EnableProtection", "EnableProtection", newVal);
}

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

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_ARMessage(BSTR* pVal) { return get_text("get_ARMessage", "ARMessage", pVal); }

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_ARMessage(BSTR newVal) { return put_text("put_ARMessage", "ARMessage", newVal); }

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_ARSubject(BSTR* pVal) { return get_text("get_ARSubject", "ARSubject", pVal); }

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_ARSubject(BSTR newVal) { return put_text("put_ARSubject", "ARSubject", newVal); }

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_ARSubjectKey(BSTR* pVal) {
    return get_text("get_ARSubjectKey", "ARSubjectKey", pVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_ARSubjectKey(BSTR newVal) {
    return put_text("put_ARSubjectKey", "ARSubjectKey", newVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::get_ARMessageKey(BSTR* pVal) {
    return get_text("get_ARMessageKey", "ARMessageKey", pVal);
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::put_ARMessageKey(BSTR newVal) {
    return put_text("put_ARMessageKey", "ARMessageKey", newVal);
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

// --- Lists

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::GetListSize(LONG list, LONG* pSize) {
    if (!pSize) return E_POINTER;
    return guarded("GetListSize", [&] {
        if (const address_set* entries = engine().list_by_number(list)) {
            *pSize = static_cast<LONG>(
                std::min<std::size_t>(entries->size(), static_cast<std::size_t>(std::numeric_limits<LONG>::max())));
        }
        debug_log() << "GetListSize " << list << " = " << *pSize << std::endl;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::GetListItem(LONG list, LONG item, BSTR* pData) {
    if (!pData) return E_POINTER;
    *pData = nullptr;
    return guarded("GetListItem", [&] {
        *pData = bstr_from_narrow(engine().get_list_item(list, item));
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::AddToList(LONG list, BSTR address) {
    return guarded("AddToList", [&] {
        std::string text = address_text("AddToList", address);
        ostrel& filter = engine();
        if (!may_go_on(filter, list, text)) {
            debug_log() << "FAIL: AddToList, the text holds no address" << std::endl;
            return E_INVALIDARG;
        }
        list_edit edit;
        remove_from_every_list(filter, text, edit);
        if (address_set* target = filter.list_by_number(list)) {
            const std::size_t size_before = target->size();
            filter.add_to_list(text, *target);
            if (target->size() != size_before) edit.added(*target, extract_email_address(text));
        }
        // The verdict acts on mail only once the list that justifies it is kept.
        if (HRESULT saved = save_list_change(filter, edit, "AddToList"); FAILED(saved)) return saved;
        if (list == authorized_list_number || list == remove_list_number) {
            // The verdict must reach the client's store even after Unload or a workflow call
            // with another mailer.
            g_mailer = g_savedMailer;
            if (list == authorized_list_number) filter.marked_as_not_spam_by_user(text);
            else filter.marked_as_spam_by_user(text);
            reset_all_accounts();
        }
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::RemoveFromList(LONG list, BSTR address) {
    return guarded("RemoveFromList", [&] {
        std::string text = address_text("RemoveFromList", address);
        ostrel& filter = engine();
        list_edit edit;
        if (address_set* entries = filter.list_by_number(list); entries && entries->erase(text) > 0)
            edit.removed(*entries, text);
        return save_list_change(filter, edit, "RemoveFromList");
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::ModifyInList(LONG list, BSTR oldAddress, BSTR newAddress) {
    // Through the interface, with every effect of both calls, the verdict included.
    auto* self = static_cast<IMailerInterfaceTest*>(this);
    // Both texts are checked first: a new address that cannot be added must not cost the old one.
    HRESULT checked = guarded("ModifyInList", [&] {
        address_text("ModifyInList", oldAddress);
        std::string text = address_text("ModifyInList", newAddress);
        if (!may_go_on(engine(), list, text)) {
            debug_log() << "FAIL: ModifyInList, the new text holds no address" << std::endl;
            return E_INVALIDARG;
        }
        return S_OK;
    });
    if (FAILED(checked)) return checked;
    // A removal that was not kept ends the change: the new address must not stand beside the old.
    HRESULT removed = self->RemoveFromList(list, oldAddress);
    if (FAILED(removed)) return removed;
    HRESULT added = self->AddToList(list, newAddress);
    return FAILED(added) ? added : S_OK;
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::ChallangeResponse(BSTR address) {
    return guarded("ChallangeResponse", [&] {
        engine().challange_response(narrow_from_bstr(address));
        return S_OK;
    });
}
