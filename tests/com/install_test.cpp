// DllInstall as regsvr32 /i calls it: "user" in any case registers for the current user alone,
// under HKEY_CURRENT_USER\Software\Classes; any other command line registers for the machine,
// exactly as DllRegisterServer does.
#include <gtest/gtest.h>

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <string>

#include "contract/mailer_interface.h"
#include "support/hresult_checks.h"

namespace {

using install_fn = HRESULT(STDAPICALLTYPE*)(BOOL, PCWSTR);

const wchar_t* const server_key = L"CLSID\\{E77ED5AA-6ADB-4BE2-B83F-C50D0F499AD9}\\InprocServer32";

std::wstring module_path() {
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring path(program, length);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"Tarnwick.dll";
}

// The default value of `root`\Software\Classes\`key`; empty when there is none.
std::wstring class_value(HKEY root, const wchar_t* key) {
    std::wstring path = std::wstring(L"Software\\Classes\\") + key;
    wchar_t value[MAX_PATH * 2] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) return {};
    return value;
}

// The server path registered under `root`\Software\Classes; empty when there is none.
std::wstring registered_server(HKEY root) { return class_value(root, server_key); }

// For this process, HKEY_CLASSES_ROOT shows the user's Software\Classes, as Windows' merged view
// does for every key the user has registered himself; the usual view comes back with the guard.
class classes_root_shows_the_user {
public:
    classes_root_shows_the_user() {
        HKEY user = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_ALL_ACCESS, &user), ERROR_SUCCESS);
        EXPECT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, user), ERROR_SUCCESS);
        RegCloseKey(user);
    }
    ~classes_root_shows_the_user() { RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr); }
    classes_root_shows_the_user(const classes_root_shows_the_user&) = delete;
    classes_root_shows_the_user& operator=(const classes_root_shows_the_user&) = delete;
};

class install_test : public testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        ASSERT_NE(module_, nullptr);
        ASSERT_NE(install, nullptr);
        // Neither registration is left from an earlier run.
        ASSERT_HR(S_OK, install(FALSE, L"user"));
        ASSERT_HR(S_OK, install(FALSE, nullptr));
    }
    void TearDown() override {
        if (install) {
            EXPECT_HR(S_OK, install(FALSE, L"user"));
            EXPECT_HR(S_OK, install(FALSE, nullptr));
        }
        CoUninitialize();
    }
    ~install_test() override {
        if (module_) FreeLibrary(module_);
    }

    HMODULE module_ = LoadLibraryW(module_path().c_str());
    install_fn install =
        module_ ? reinterpret_cast<install_fn>(reinterpret_cast<void (*)()>(GetProcAddress(module_, "DllInstall")))
                : nullptr;
};

TEST_F(install_test, only_user_in_any_case_registers_for_the_user_alone) {
    const std::wstring path = module_path();
    struct row {
        const char* what;
        const wchar_t* command_line;
        bool for_user;
    };
    const row rows[] = {
        {"user", L"user", true},  {"User", L"User", true},        {"USER", L"USER", true},
        {"none", nullptr, false}, {"empty", L"", false},          {"users", L"users", false},
        {"use", L"use", false},   {"machine", L"machine", false}, {"user with a space", L"user ", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        HKEY written = r.for_user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        HKEY spared = r.for_user ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        ASSERT_HR(S_OK, install(TRUE, r.command_line));
        EXPECT_EQ(_wcsicmp(registered_server(written).c_str(), path.c_str()), 0);
        EXPECT_EQ(registered_server(spared), L"");
        if (!r.for_user) {
            // What DllRegisterServer gives: the class is created through the registry.
            com_ptr<IUnknown> created;
            EXPECT_HR(S_OK, CoCreateInstance(CLSID_CMailerInterfaceTest, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                             reinterpret_cast<void**>(created.put())));
        }
        ASSERT_HR(S_OK, install(FALSE, r.command_line));
        EXPECT_EQ(registered_server(written), L"");
        // Nothing left to remove is no failure.
        EXPECT_HR(S_OK, install(FALSE, r.command_line));
    }
}

// An administrator who has registered for himself as well registers and unregisters the
// machine's entries, never his own, whatever his view of the classes shows.
TEST_F(install_test, the_machine_registration_never_touches_the_users) {
    const std::wstring path = module_path();
    const wchar_t* const library_key = L"TypeLib\\{15D70401-BCED-4B0A-A522-EC8D1AF7ABFA}\\1.0";
    ASSERT_HR(S_OK, install(TRUE, L"user"));
    const std::wstring users_library = class_value(HKEY_CURRENT_USER, library_key);
    ASSERT_NE(users_library, L"");
    // The user's own copy of the module, somewhere else.
    const std::wstring users_copy = L"C:\\Users\\me\\Tarnwick\\Tarnwick.dll";
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Classes\\") + server_key).c_str(), nullptr, REG_SZ,
                        users_copy.c_str(), static_cast<DWORD>((users_copy.size() + 1) * sizeof(wchar_t))),
        ERROR_SUCCESS);

    classes_root_shows_the_user merged;
    ASSERT_HR(S_OK, install(TRUE, nullptr));
    EXPECT_EQ(_wcsicmp(registered_server(HKEY_LOCAL_MACHINE).c_str(), path.c_str()), 0);
    EXPECT_NE(class_value(HKEY_LOCAL_MACHINE, library_key), L"");
    EXPECT_EQ(registered_server(HKEY_CURRENT_USER), users_copy);

    ASSERT_HR(S_OK, install(FALSE, nullptr));
    EXPECT_EQ(registered_server(HKEY_LOCAL_MACHINE), L"");
    EXPECT_EQ(class_value(HKEY_LOCAL_MACHINE, library_key), L"");
    EXPECT_EQ(registered_server(HKEY_CURRENT_USER), users_copy);
    EXPECT_EQ(class_value(HKEY_CURRENT_USER, library_key), users_library);
}

}  // namespace
