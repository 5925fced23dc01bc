// The class object of CMailerInterfaceTest and the module-level answers built on it, shared by
// the exported functions of every platform's module.
#pragma once

#include <new>

#include "platform/com.h"

// Gives the cached class factory's interface `iid` in *object (an added reference, which the
// caller releases). E_POINTER for a null `object`; CLASS_E_CLASSNOTAVAILABLE for any class but
// CLSID_CMailerInterfaceTest; E_NOINTERFACE for an interface the factory lacks (*object null).
HRESULT tarnwick_get_class_object(REFCLSID clsid, REFIID iid, void** object);

// S_OK when no instance lives and no server lock is held, so the module may be unloaded;
// otherwise S_FALSE.
HRESULT tarnwick_can_unload_now();

// Made by each platform's module glue: a new instance of the platform's instance class, whose
// interface `iid` goes to *object (one reference, owned by the caller). `object` is not null.
// E_NOINTERFACE (then no instance is left over) or E_OUTOFMEMORY on failure, with *object null.
HRESULT tarnwick_create_instance(REFIID iid, void** object);

// The body of tarnwick_create_instance for an instance class `T` whose new objects hold one
// creation reference: made, queried for `iid`, and the creation reference dropped.
template <class T>
HRESULT create_instance_of(REFIID iid, void** object) {
    T* instance = nullptr;
    try {
        instance = new T;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;  // nothing may be thrown across the COM boundary
    }
    // The creation reference goes on return: the caller holds the queried one.
    com_ptr<T> created = com_ptr<T>::attach(instance);
    return created->QueryInterface(iid, object);
}
