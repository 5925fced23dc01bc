// CMailerInterfaceTest: the automation object that the mail client creates and calls. Its
// workflow members drive the engine; its settings, session and list members serve the client's
// settings dialogs. Every member catches what the engine raises, so no exception ever reaches
// the client. Its members are defined by job: addin_object.cpp (IUnknown, IDispatch, workflow),
// addin_object_settings.cpp (settings, configuration session), addin_object_lists.cpp (lists).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "contract/mailer_interface.h"
#include "diag/timers.h"
#include "mail/mailer_host.h"
#include "platform/lock.h"

// Process-wide state of the add-in, living until the module is unloaded.

// True between BeginConfigure and EndConfigure: puts then change only memory.
extern bool g_configuring;
// Set only while HelpDlgEnabled is written, so that it is saved at once even inside a session.
extern bool g_forceSave;
// Serialises RunWorkflow2 across threads; re-entrant, so a nested call on one thread passes.
extern recursive_lock g_workflowLock;
// The number of RunWorkflow2 calls in progress (more than 1 only when nested).
extern std::int32_t nested_call_counter;
// The number of RunWorkflow2 calls since load; never decreased.
extern std::int32_t iteration_counter;
// Lets the pending cleanup run at most once a minute; made by the first RunWorkflow2 that reaches it.
extern std::unique_ptr<interval_timer> cleanup_gate;
// The host's say on when the pending cleanup runs, in place of cleanup_gate; null for none.
extern int (*host_expiry_gate)();

// Test seam: puts the counters at 0, removes both cleanup gates and clears both session flags.
void reset_addin_state_for_tests();

// One instance per creation by the client. The constructor gives the instance one reference,
// owned by the creator (the class factory queries the interface it was asked for, then calls
// Release once); the last Release deletes it. While it lives it holds one module lock.
// The Windows module glue derives from this class to add type information and its further
// interfaces, so the IUnknown members and the type-information members are overridable.
class CMailerInterfaceTest : public IMailerInterfaceTest {
public:
    CMailerInterfaceTest();
    virtual ~CMailerInterfaceTest();
    CMailerInterfaceTest(const CMailerInterfaceTest&) = delete;
    CMailerInterfaceTest& operator=(const CMailerInterfaceTest&) = delete;

    // IUnknown: answers IUnknown, IDispatch and IMailerInterfaceTest (all this one interface);
    // E_NOINTERFACE otherwise, E_POINTER for a null `object`.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    // The new count.
    ULONG STDMETHODCALLTYPE AddRef() override;
    // The new count; deletes the instance when it reaches 0.
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch. No type information here: the count is 0 and every index is DISP_E_BADINDEX.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    // Names and calls by dispatch id through the fixed member table; DISP_E_UNKNOWNINTERFACE
    // unless `riid` is IID_NULL.
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excepinfo, UINT* arg_error) override;

    // Workflow entry points. Each adopts `pMailer` (a null one or one without IMailerHost leaves
    // no current mailer) and publishes it as g_mailer.

    // Contact import. S_OK; STG_E_CANTSAVE (logged) when a list file could not be written; on a
    // failure raised inside: one log line, then E_OUTOFMEMORY, the com_error's code or E_FAIL.
    HRESULT STDMETHODCALLTYPE RunWorkflow(IDispatch* pMailer) override;
    // Also remembers the mailer as g_savedMailer, makes sure of the pending folder and runs
    // RunWorkflow. S_OK unless RunWorkflow answers STG_E_CANTSAVE, which is passed on; a failure
    // code (logged) when the pending-folder check raises.
    HRESULT STDMETHODCALLTYPE SetMailer(IDispatch* pMailer) override;
    // One new message under the workflow lock. S_OK: a failure inside is logged. The one
    // exception: STG_E_CANTSAVE (logged) when a list file could not be written meanwhile.
    HRESULT STDMETHODCALLTYPE RunWorkflow2(IDispatch* pMailer, IUnknown* pNewMsg) override;
    // Empties g_mailer and discards the account collection. S_OK; E_FAIL when either raises.
    HRESULT STDMETHODCALLTYPE Unload() override;

    // Settings. Gets: E_POINTER for a null out pointer; texts are new BSTRs owned by the caller;
    // true is answered as 1. Puts: E_FAIL (logged) when the configuration file cannot be
    // written; the value then stays in memory. A text put is refused with E_INVALIDARG (logged),
    // and nothing changes, when the text would not read back as it was put: one holding a NUL,
    // a lone surrogate or (on Windows) a character outside the code page, one holding the bytes
    // 0x01 or 0x02, or one starting or ending with a blank other than a line feed. A text of only
    // ";" is the stored form of an empty text and reads back empty. All: on a failure raised
    // inside, one log line and E_OUTOFMEMORY, the com_error's code or E_FAIL.
#define TARNWICK_DECLARE_SETTING(Name, Type)                   \
    HRESULT STDMETHODCALLTYPE get_##Name(Type* pVal) override; \
    HRESULT STDMETHODCALLTYPE put_##Name(Type newVal) override;
    TARNWICK_DECLARE_SETTING(LanguageId, USHORT)
    TARNWICK_DECLARE_SETTING(MarkBlockedAsRead, VARIANT_BOOL)
    TARNWICK_DECLARE_SETTING(AutoDeleteBlocked, VARIANT_BOOL)
    TARNWICK_DECLARE_SETTING(AutoDeleteIgnored, VARIANT_BOOL)
    TARNWICK_DECLARE_SETTING(EnableProtection, VARIANT_BOOL)
    TARNWICK_DECLARE_SETTING(PendingToBlockedTimeo, ULONG)
    TARNWICK_DECLARE_SETTING(ARMessage, BSTR)
    TARNWICK_DECLARE_SETTING(ARSubject, BSTR)
    TARNWICK_DECLARE_SETTING(ARSubjectKey, BSTR)
    TARNWICK_DECLARE_SETTING(ARMessageKey, BSTR)
#undef TARNWICK_DECLARE_SETTING
    // Help-dialog flags: missing reads as true; a put is written to the file at once, together
    // with every change of an open session.
    HRESULT STDMETHODCALLTYPE get_HelpDlgEnabled(ULONG dlgId, VARIANT_BOOL* pVal) override;
    HRESULT STDMETHODCALLTYPE put_HelpDlgEnabled(ULONG dlgId, VARIANT_BOOL newVal) override;
    HRESULT STDMETHODCALLTYPE get_PendingFolderName(BSTR* pVal) override;

    // Configuration session: puts stay in memory until EndConfigure, which saves for any
    // non-zero `saveChanges` (E_FAIL, logged, when the file cannot be written) and re-reads the
    // file for 0. The session ends either way.
    HRESULT STDMETHODCALLTYPE BeginConfigure() override;
    HRESULT STDMETHODCALLTYPE EndConfigure(VARIANT_BOOL saveChanges) override;

    // Lists (0 authorized, 1 remove, 2 ignore, 3 pending). Changes are written to the list files
    // at once. On a failure raised inside: one log line and a failure code, as for the settings.
    // The address texts of AddToList, RemoveFromList and ModifyInList are refused with
    // E_INVALIDARG (logged), before anything changes, when they hold a NUL or a character that
    // cannot be kept, as for the text settings; so is a text that holds no address when it is to
    // be put on one of the four lists.

    // The entry count of `list`; `*pSize` is left as it was for any other number. Logged.
    HRESULT STDMETHODCALLTYPE GetListSize(LONG list, LONG* pSize) override;
    // Through the shared cursor: item 0 starts `list` afresh, any other item gives the entry after
    // the one returned last. "" past the end or for another list number.
    HRESULT STDMETHODCALLTYPE GetListItem(LONG list, LONG item, BSTR* pData) override;
    // Takes `address` off every list, then puts it on `list`; lists 0 and 1 also apply the user's
    // verdict through the mailer of the last SetMailer. Any other number only removes.
    // STG_E_CANTSAVE (logged) when a list file could not be written; the lists in memory are
    // then read again from their files.
    HRESULT STDMETHODCALLTYPE AddToList(LONG list, BSTR address) override;
    // Takes that exact entry off `list` (nothing for other numbers) and writes the list files;
    // STG_E_CANTSAVE as AddToList.
    HRESULT STDMETHODCALLTYPE RemoveFromList(LONG list, BSTR address) override;
    // RemoveFromList of `oldAddress`, then AddToList of `newAddress` unless the removal failed.
    // The first failure code of the two, else S_OK. Both texts are checked before the removal, so
    // that a new address AddToList would refuse leaves the old one in place.
    HRESULT STDMETHODCALLTYPE ModifyInList(LONG list, BSTR oldAddress, BSTR newAddress) override;
    // Passes the address to the engine, which does nothing with it. S_OK.
    HRESULT STDMETHODCALLTYPE ChallangeResponse(BSTR address) override;

protected:
    std::atomic<ULONG> m_refCount{1};

private:
    // Queries `pMailer` for IMailerHost into m_pMailer, releasing the previous reference.
    void adopt_mailer(IDispatch* pMailer);

    com_ptr<IMailerHost> m_pMailer;
};
