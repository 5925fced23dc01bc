#include "addin/class_factory.h"

#include <atomic>

#include "addin/addin_log.h"
#include "addin/module.h"
#include "contract/mailer_interface.h"
#include "platform/com_object.h"

namespace {

// One factory for the life of the module: references to it do not keep the module loaded
// (only instances and LockServer do), so its reference count has nothing to guard.
class class_factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return interface_table<implements<IClassFactory, IID_IClassFactory>>::query(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return tarnwick_create_instance(iid, object);
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++server_locks_;
            tarnwick_module().lock();
            return S_OK;
        }
        // An unlock without a lock would otherwise take away the count of a live instance,
        // and the module could be unloaded under it.
        LONG held = server_locks_.load();
        do {
            if (held <= 0) return E_UNEXPECTED;
        } while (!server_locks_.compare_exchange_weak(held, held - 1));
        tarnwick_module().unlock();
        return S_OK;
    }

private:
    std::atomic<LONG> server_locks_{0};
};

}  // namespace

HRESULT tarnwick_get_class_object(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_CMailerInterfaceTest)) return CLASS_E_CLASSNOTAVAILABLE;
    // The client is loading the add-in: from here on its steps are logged.
    open_addin_log();
    // Constant-initialised: there is no first-call race to guard.
    static constinit class_factory factory;
    return factory.QueryInterface(iid, object);
}

HRESULT tarnwick_can_unload_now() { return tarnwick_module().lock_count() == 0 ? S_OK : S_FALSE; }
