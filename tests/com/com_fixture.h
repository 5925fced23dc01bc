// Tarnwick.dll as a COM client meets it: the loaded module and the registered class its test files
// share.
#pragma once

#include <gtest/gtest.h>

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>
#include <shlobj.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "contract/mailer_interface.h"
#include "platform/text.h"
#include "support/client_story.h"
#include "support/hresult_checks.h"
#include "support/memory_host.h"

namespace com_testing {

using get_class_object_fn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using module_fn = HRESULT(STDAPICALLTYPE*)();

// The DLL beside this program, as the build puts it.
inline std::wstring dll_path() {
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring path(program, length);
    std::string name = "Tarnwick.dll";
    return path.substr(0, path.find_last_of(wchar_t{'\\'}) + 1) + std::wstring(name.begin(), name.end());
}

// One LoadLibrary reference on the module for the life of a test, with its four exports.
class loaded_module {
public:
    loaded_module() : module_(LoadLibraryW(dll_path().c_str())) {
        if (!module_) return;
        get_class_object = exported<get_class_object_fn>("DllGetClassObject");
        can_unload_now = exported<module_fn>("DllCanUnloadNow");
        register_server = exported<module_fn>("DllRegisterServer");
        unregister_server = exported<module_fn>("DllUnregisterServer");
    }
    ~loaded_module() { release(); }
    loaded_module(const loaded_module&) = delete;
    loaded_module& operator=(const loaded_module&) = delete;

    bool complete() const {
        return module_ && get_class_object && can_unload_now && register_server && unregister_server;
    }
    void release() {
        if (module_) FreeLibrary(module_);
        module_ = nullptr;
    }

    get_class_object_fn get_class_object = nullptr;
    module_fn can_unload_now = nullptr;
    module_fn register_server = nullptr;
    module_fn unregister_server = nullptr;

private:
    template <class Function>
    Function exported(const char* name) {
        // Through the generic function type, which any function pointer type may be cast to.
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }

    HMODULE module_;
};

inline bool module_is_loaded() { return GetModuleHandleW(dll_path().c_str()) != nullptr; }

class com_server_test : public testing::Test {
protected:
    // CoCreateInstance finds the class through the registry of this test's wine prefix.
    static void SetUpTestSuite() {
        // The module keeps its data in the user's data directory: each run starts afresh.
        wchar_t app_data[MAX_PATH];
        if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, app_data))) {
            std::error_code ignored;
            std::filesystem::remove_all(std::filesystem::path(app_data) / "OstrelAntiSpam", ignored);
        }
        CoInitialize(nullptr);
        loaded_module module;
        ASSERT_TRUE(module.complete());
        ASSERT_HR(S_OK, module.register_server());
    }
    static void TearDownTestSuite() {
        {
            loaded_module module;
            if (module.complete()) {
                EXPECT_HR(S_OK, module.unregister_server());
            }
        }
        CoUninitialize();
    }
    void SetUp() override { ASSERT_TRUE(module.complete()); }

    com_ptr<IClassFactory> factory() {
        com_ptr<IClassFactory> result;
        EXPECT_HR(S_OK, module.get_class_object(CLSID_CMailerInterfaceTest, IID_IClassFactory,
                                                reinterpret_cast<void**>(result.put())));
        return result;
    }
    template <class T>
    com_ptr<T> co_create(REFIID iid) {
        com_ptr<T> result;
        EXPECT_HR(S_OK, CoCreateInstance(CLSID_CMailerInterfaceTest, nullptr, CLSCTX_INPROC_SERVER, iid,
                                         reinterpret_cast<void**>(result.put())));
        return result;
    }

    loaded_module module;
};

}  // namespace com_testing
