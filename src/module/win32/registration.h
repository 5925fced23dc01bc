// Self-registration: the registry entries of the class, its ProgIDs and its application id,
// and the type library.
#pragma once

#include "platform/com.h"

// Writes every entry and registers the type library, under the system default thread locale.
// S_OK, or the first failure met (the steps after it are not tried).
HRESULT tarnwick_register_server();

// Removes the class and ProgID entries, unregisters the type library, then removes the
// application entries; the shared keys AppID and CLSID stay. Entries already gone are no
// failure. Every step is tried; the first failure met is returned, else S_OK.
HRESULT tarnwick_unregister_server();
