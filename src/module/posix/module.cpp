// The add-in as a shared object. A Linux host loads it the way the mail client loads the DLL:
// it opens the module, asks DllGetClassObject for the class object and creates the instance.
// There is no registry here, so registration is refused instead of pretended.
#include <new>
#include <string>
#include <type_traits>

#include "addin/addin_object.h"
#include "addin/class_factory.h"
#include "config/data_dir.h"
#include "contract/module_entries.h"
#include "diag/unwritten_files.h"
#include "platform/posix_files.h"

#define TARNWICK_EXPORT extern "C" __attribute__((visibility("default")))

HRESULT tarnwick_create_instance(REFIID iid, void** object) {
    return create_instance_of<CMailerInterfaceTest>(iid, object);
}

TARNWICK_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return tarnwick_get_class_object(clsid, iid, object);
}

TARNWICK_EXPORT HRESULT DllCanUnloadNow() { return tarnwick_can_unload_now(); }

// Nothing is written anywhere: a host finds the module by its path, not through a registry.
TARNWICK_EXPORT HRESULT DllRegisterServer() { return E_NOTIMPL; }

TARNWICK_EXPORT HRESULT DllUnregisterServer() { return E_NOTIMPL; }

// The host's links of contract/module_entries.h. A host that never calls it leaves the module as
// a mail client would: its own data folder, its own flushes and fault count.
TARNWICK_EXPORT int tarnwick_link_host(const tarnwick_host_links* links) {
    if (!links) return 0;
    posix_files::set_folder_sync_hook(links->defer_folder_sync);
    posix_files::share_file_fault_plan(links->file_fault_count);
    host_expiry_gate = links->expiry_due;
    if (!links->app_data_folder) return 0;
    try {
        return choose_app_data_folder(links->app_data_folder) ? 0 : 1;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

TARNWICK_EXPORT void tarnwick_take_unwritten_files(void (*each)(void* context, const char* path), void* context) {
    if (!each) return;
    try {
        for (const std::string& path : take_unwritten_files()) each(context, path.c_str());
    } catch (const std::bad_alloc&) {
        // What was not handed over is still named by the debug log.
    }
}

// The entries' types are the contract's.
static_assert(std::is_same_v<decltype(&tarnwick_link_host), tarnwick_link_host_fn>);
static_assert(std::is_same_v<decltype(&tarnwick_take_unwritten_files), tarnwick_take_unwritten_files_fn>);
