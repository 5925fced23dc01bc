// The class object of CMailerInterfaceTest and the module-level answers built on it, shared by
// the exported functions of every platform's module.
#pragma once

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
