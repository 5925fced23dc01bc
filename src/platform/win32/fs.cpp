#include "platform/fs.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <string>

#include "platform/file_io_internal.h"

std::optional<std::string> user_app_data_folder() {
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::nullopt;
    return std::string(path);
}

std::string append_path_component(const std::string& folder, const std::string& name) {
    char path[MAX_PATH] = {};
    if (folder.size() >= MAX_PATH) return folder + "\\" + name;
    folder.copy(path, folder.size());
    if (!PathAppendA(path, name.c_str())) return folder + "\\" + name;
    return path;
}

std::string module_folder() {
    HMODULE module = nullptr;
    // The module that holds this very function: the DLL when we are a DLL, else the program.
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&module_folder), &module))
        return {};
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    PathRemoveFileSpecA(path);
    return path;
}

bool create_private_directory(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool copy_file_if_absent(const std::string& from, const std::string& to) {
    return CopyFileA(from.c_str(), to.c_str(), TRUE) != FALSE;
}

bool replace_file_atomically(const std::string& path, std::string_view bytes) {
    std::string temporary = path + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(GetTickCount64());
    HANDLE file = INVALID_HANDLE_VALUE;
    if (file_step_allowed(file_step::create_temporary, path))
        file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = file_step_allowed(file_step::write, path);
    for (size_t done = 0; ok && done < bytes.size();) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = ok && file_step_allowed(file_step::flush, path) && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    ok = ok && file_step_allowed(file_step::rename, path) &&
         MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DeleteFileA(temporary.c_str());
    return ok;
}
