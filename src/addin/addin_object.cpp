#include "addin/addin_object.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "addin/dispatch.h"
#include "addin/member_guard.h"
#include "addin/module.h"
#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "engine/ostrel.h"
#include "mail/accounts.h"
#include "platform/com_object.h"

using member_guard::engine;
using member_guard::guarded;

bool g_configuring = false;
bool g_forceSave = false;
recursive_lock g_workflowLock;
std::int32_t nested_call_counter = 0;
std::int32_t iteration_counter = 0;
std::unique_ptr<interval_timer> cleanup_gate;
int (*host_expiry_gate)() = nullptr;

void reset_addin_state_for_tests() {
    g_configuring = false;
    g_forceSave = false;
    nested_call_counter = 0;
    iteration_counter = 0;
    cleanup_gate.reset();
    host_expiry_gate = nullptr;
}

namespace {

constexpr std::int64_t cleanup_interval_seconds = 60;

// Counts one RunWorkflow2 in progress for as long as it lives, also when the call unwinds.
class nesting_guard {
public:
    nesting_guard() { ++nested_call_counter; }
    ~nesting_guard() { --nested_call_counter; }
    nesting_guard(const nesting_guard&) = delete;
    nesting_guard& operator=(const nesting_guard&) = delete;
};

}  // namespace

// --- IUnknown and IDispatch

CMailerInterfaceTest::CMailerInterfaceTest() { tarnwick_module().lock(); }

CMailerInterfaceTest::~CMailerInterfaceTest() {
    m_pMailer.reset();
    tarnwick_module().unlock();
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::QueryInterface(REFIID riid, void** object) {
    return interface_table<implements<IMailerInterfaceTest, IID_IMailerInterfaceTest>>::query(this, riid, object);
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
    else m_pMailer.reset();
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
        if (nested_call_counter != 1)
            debug_log() << "error - nested_call_counter = " << nested_call_counter << std::endl;
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
        if (host_expiry_gate) {
            if (host_expiry_gate() != 0) filter.clean_pending_messages();
        } else {
            if (!cleanup_gate) cleanup_gate = std::make_unique<interval_timer>(cleanup_interval_seconds);
            if (cleanup_gate->expired()) filter.clean_pending_messages();
        }
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
