#include "platform/fs.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_io_detail.h"
#include "platform/posix_files.h"

namespace {
using posix_files::is_directory;
using posix_files::parent_of;
using posix_files::write_all;

bool make_directories(const std::string& path, mode_t mode) {
    if (path.empty() || is_directory(path)) return true;
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !make_directories(path.substr(0, slash), mode)) return false;
    return ::mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}
}  // namespace

namespace posix_files {

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string parent_of(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace posix_files

std::optional<std::string> user_app_data_folder() {
    std::string folder;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        folder = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
        folder = std::string(home) + "/.local/share";
    } else {
        return std::nullopt;
    }
    if (!make_directories(folder, 0700)) return std::nullopt;
    return folder;
}

std::string append_path_component(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string module_folder() {
    Dl_info info{};
    link_map* map = nullptr;
    void* code = reinterpret_cast<void*>(&module_folder);
    if (::dladdr1(code, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || !info.dli_fname) return {};
    std::string file = info.dli_fname;
    if ((map && map->l_name[0] == '\0') || file.find('/') == std::string::npos) {
        // In a program the name reported is its argv[0] (a bare name when started through PATH,
        // or whatever its caller chose); its own link knows the path.
        char buffer[4096];
        ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) return {};
        file.assign(buffer, static_cast<size_t>(n));
    } else if (file.front() != '/') {
        // A relative name stops being right when the working directory changes: fix it now.
        if (char* absolute = ::realpath(file.c_str(), nullptr)) {
            file = absolute;
            std::free(absolute);
        }
    }
    return parent_of(file);
}

bool create_private_directory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    return errno == EEXIST && is_directory(path);
}

bool copy_file_if_absent(const std::string& from, const std::string& to) {
    // Present already: nothing to write, so nothing that could fail.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return false;
    std::optional<std::string> content = read_file(from);
    // O_EXCL makes "unless present" one atomic step.
    return content && posix_files::create_file(to, *content, 0600) == 0;
}

bool rename_replacing(const std::string& from, const std::string& to) {
    return file_step_allowed(file_step::rename, to) && ::rename(from.c_str(), to.c_str()) == 0;
}

namespace {
constexpr std::string_view temporary_infix = ".tmp-";
constexpr std::size_t temporary_unique_length = 6;  // the XXXXXX that mkstemp fills

// "<file>.tmp-" followed by the six letters or digits of mkstemp.
bool is_temporary_name(std::string_view name) {
    const std::size_t tail = temporary_infix.size() + temporary_unique_length;
    if (name.size() <= tail || name.substr(name.size() - tail, temporary_infix.size()) != temporary_infix) return false;
    for (char c : name.substr(name.size() - temporary_unique_length))
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    return true;
}
}  // namespace

std::vector<std::string> remove_leftover_temporaries(const std::string& folder) {
    std::vector<std::string> removed;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return removed;
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (!is_temporary_name(name)) continue;
        std::string path = append_path_component(folder, name);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (posix_files::remove_file(path) == 0) removed.push_back(std::move(name));
    }
    ::closedir(dir);
    return removed;
}

namespace {
std::atomic<posix_files::folder_sync_hook> the_folder_sync_hook{nullptr};
}  // namespace

namespace posix_files {
void set_folder_sync_hook(folder_sync_hook hook) { the_folder_sync_hook = hook; }

int defer_folder_sync(const char* folder) {
    folder_sync_hook hook = the_folder_sync_hook;
    return hook && folder ? hook(folder) : 0;
}

std::optional<std::string> app_data_folder(const std::string& chosen) {
    if (chosen.empty()) return user_app_data_folder();
    if (!make_directories(chosen, 0700)) return std::nullopt;
    return chosen;
}
}  // namespace posix_files

namespace {

// The replacement of file_io.h; without `flush` the new content is not forced to disk first.
bool replace_file(const std::string& path, const std::function<bool(const file_piece_writer&)>& produce, bool flush) {
    std::string temporary = path + std::string(temporary_infix) + std::string(temporary_unique_length, 'X');
    int fd = file_step_allowed(file_step::create_temporary, path) ? ::mkstemp(temporary.data()) : -1;
    if (fd < 0) return false;
    struct stat old {};
    // Keep the permissions of the file being replaced; new files are private to the user.
    ::fchmod(fd, ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0600);
    bool ok = false;
    try {
        ok = file_step_allowed(file_step::write, path) &&
             produce([fd](std::string_view piece) { return write_all(fd, piece); });
    } catch (...) {
        // Whatever stopped the content leaves no temporary file behind.
        ::close(fd);
        posix_files::remove_file(temporary);
        throw;
    }
    ok = ok && (!flush || (file_step_allowed(file_step::flush, path) && ::fsync(fd) == 0));
    ok = (::close(fd) == 0) && ok;
    ok = ok && file_step_allowed(file_step::rename, path) && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        posix_files::remove_file(temporary);
        return false;
    }
    return true;
}

std::function<bool(const file_piece_writer&)> whole(std::string_view bytes) {
    return [bytes](const file_piece_writer& write) { return write(bytes); };
}
}  // namespace

bool replace_file_atomically(const std::string& path, std::string_view bytes) {
    return replace_file_atomically(path, whole(bytes));
}

bool replace_file_atomically(const std::string& path, const std::function<bool(const file_piece_writer&)>& produce) {
    if (!replace_file(path, produce, true)) return false;
    // The rename reaches the disk only when the folder is synced. When that fails the new file
    // is in place all the same, for every reader; only a crash could still bring the old one
    // back, which is whole too. So it is not a failure to report.
    std::string folder = parent_of(path);
    if (posix_files::defer_folder_sync(folder.c_str()) == 0) posix_files::sync_directory(folder);
    return true;
}

namespace posix_files {
bool replace_file_unflushed(const std::string& path, std::string_view bytes) {
    return replace_file(path, whole(bytes), false);
}
}  // namespace posix_files
