// The Windows module: DllMain and the exported functions that COM and regsvr32 call.
// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <olectl.h>

#include <new>

#include "addin/class_factory.h"
#include "module/win32/module_win32.h"
#include "module/win32/registration.h"

namespace {
std::wstring module_path;

// Finds the module's own file; false when Windows cannot tell it.
bool initialise_module(HINSTANCE instance) {
    std::wstring path(MAX_PATH, wchar_t{});
    for (;;) {
        DWORD length = GetModuleFileNameW(instance, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return false;
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);  // truncated: a long path
    }
    module_path = std::move(path);
    return true;
}

std::wstring replace_extension(const std::wstring& path, const std::wstring& extension) {
    size_t folder_end = path.find_last_of(widen("\\/"));
    size_t dot = path.find_last_of(wchar_t{'.'});
    if (dot == std::wstring::npos || (folder_end != std::wstring::npos && dot < folder_end)) return path + extension;
    return path.substr(0, dot) + extension;
}
}  // namespace

const std::wstring& tarnwick_module_path() { return module_path; }

std::wstring tarnwick_module_folder() {
    size_t folder_end = module_path.find_last_of(widen("\\/"));
    return folder_end == std::wstring::npos ? std::wstring() : module_path.substr(0, folder_end);
}

HRESULT load_tarnwick_type_library(ITypeLib** library, std::wstring* loaded_from) {
    *library = nullptr;
    HRESULT hr = LoadTypeLibEx(module_path.c_str(), REGKIND_NONE, library);
    if (SUCCEEDED(hr)) {
        if (loaded_from) *loaded_from = module_path;
        return hr;
    }
    std::wstring beside = replace_extension(module_path, widen(".tlb"));
    if (FAILED(LoadTypeLibEx(beside.c_str(), REGKIND_NONE, library))) {
        *library = nullptr;
        return hr;
    }
    if (loaded_from) *loaded_from = beside;
    return S_OK;
}

std::wstring widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    DisableThreadLibraryCalls(instance);
    try {
        return initialise_module(instance) ? TRUE : FALSE;
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    return tarnwick_get_class_object(clsid, iid, object);
}

STDAPI DllCanUnloadNow() { return tarnwick_can_unload_now(); }

STDAPI DllRegisterServer() { return tarnwick_register_server(); }

STDAPI DllUnregisterServer() { return tarnwick_unregister_server(); }

// regsvr32 /n /i:user (with /u to remove) registers for the current user only, without an
// administrator; any other command line registers for the machine, as DllRegisterServer does.
STDAPI DllInstall(BOOL install, PCWSTR command_line) {
    registration_scope scope = tarnwick_install_scope(command_line);
    return install ? tarnwick_register_server(scope) : tarnwick_unregister_server(scope);
}
