// Self-registration: the registry entries of the class, its ProgIDs and its application id,
// and the type library.
#pragma once

#include "platform/com.h"

// Whom a registration serves: every user of the machine (HKEY_LOCAL_MACHINE\Software\Classes,
// which takes an administrator), or only the user running it (HKEY_CURRENT_USER\Software\Classes,
// which Windows merges into that user's view of the classes). Each writes and removes under its
// own key alone, whatever the other holds.
enum class registration_scope { machine, user };

// The scope DllInstall's command line asks for: "user" in any case is the current user;
// anything else, or none, the machine, as DllRegisterServer does.
registration_scope tarnwick_install_scope(const wchar_t* command_line);

// Writes every entry and registers the type library, under the system default thread locale.
// S_OK, or the first failure met (the steps after it are not tried).
HRESULT tarnwick_register_server(registration_scope scope = registration_scope::machine);

// Removes the class and ProgID entries, unregisters the type library, then removes the
// application entries; the shared keys AppID and CLSID stay. Entries already gone are no
// failure. Every step is tried; the first failure met is returned, else S_OK.
HRESULT tarnwick_unregister_server(registration_scope scope = registration_scope::machine);
