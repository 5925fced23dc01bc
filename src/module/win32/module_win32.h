// What the parts of the Windows module share: the module's own file and its type library.
#pragma once

#include <string>
#include <string_view>

#include "platform/com.h"

// The full path of Tarnwick.dll, found when the module was loaded. Empty only before then.
const std::wstring& tarnwick_module_path();

// The module's folder, without a trailing separator.
std::wstring tarnwick_module_folder();

// Loads the type library embedded in the module, or else the file of the same name with the
// extension ".tlb"; *library gets a reference owned by the caller and, when `loaded_from` is
// given, it gets the file used. The first load's failure code when neither loads.
HRESULT load_tarnwick_type_library(ITypeLib** library, std::wstring* loaded_from = nullptr);

// ASCII text as a wide string (the module's names and keys are all ASCII).
std::wstring widen(std::string_view ascii);
