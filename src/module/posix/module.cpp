// The add-in as a shared object. A Linux host loads it the way the mail client loads the DLL:
// it opens the module, asks DllGetClassObject for the class object and creates the instance.
// There is no registry here, so registration is refused instead of pretended.
#include <new>

#include "addin/addin_object.h"
#include "addin/class_factory.h"

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
