#include "platform/fs.h"

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_io_detail.h"

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

bool rename_replacing(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

namespace {
constexpr std::string_view temporary_infix = ".tmp-";

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// "<file>.tmp-<process id>-<tick count>", as replace_file_atomically names them.
bool is_temporary_name(std::string_view name) {
    const std::size_t infix = name.rfind(temporary_infix);
    if (infix == std::string_view::npos || infix == 0) return false;
    std::string_view unique = name.substr(infix + temporary_infix.size());
    const std::size_t dash = unique.find('-');
    return dash != std::string_view::npos && all_digits(unique.substr(0, dash)) && all_digits(unique.substr(dash + 1));
}
}  // namespace

std::vector<std::string> remove_leftover_temporaries(const std::string& folder) {
    std::vector<std::string> removed;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(append_path_component(folder, "*.tmp-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return removed;
    do {
        std::string name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !is_temporary_name(name)) continue;
        if (DeleteFileA(append_path_component(folder, name).c_str())) removed.push_back(std::move(name));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return removed;
}

bool replace_file_atomically(const std::string& path, std::string_view bytes) {
    return replace_file_atomically(path, [bytes](const file_piece_writer& write) { return write(bytes); });
}

bool replace_file_atomically(const std::string& path, const std::function<bool(const file_piece_writer&)>& produce) {
    std::string temporary = path + std::string(temporary_infix) + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(GetTickCount64());
    HANDLE file = INVALID_HANDLE_VALUE;
    if (file_step_allowed(file_step::create_temporary, path))
        file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = false;
    try {
        ok = file_step_allowed(file_step::write, path) && produce([file](std::string_view bytes) {
                 bool written_all = true;
                 for (size_t done = 0; written_all && done < bytes.size();) {
                     DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
                     DWORD written = 0;
                     written_all = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written > 0;
                     done += written;
                 }
                 return written_all;
             });
    } catch (...) {
        // Whatever stopped the content leaves no temporary file behind.
        CloseHandle(file);
        DeleteFileA(temporary.c_str());
        throw;
    }
    ok = ok && file_step_allowed(file_step::flush, path) && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    ok = ok && file_step_allowed(file_step::rename, path) &&
         MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DeleteFileA(temporary.c_str());
    return ok;
}
