#include "store/maildir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "platform/file_io.h"
#include "platform/posix_files.h"

namespace maildir {

namespace {

struct dir_closer {
    void operator()(DIR* d) const { ::closedir(d); }
};

struct fd_holder {
    int fd = -1;
    explicit fd_holder(int f) : fd(f) {}
    fd_holder(const fd_holder&) = delete;
    fd_holder& operator=(const fd_holder&) = delete;
    ~fd_holder() {
        if (fd >= 0) ::close(fd);
    }
};

using posix_files::create_file;
using posix_files::is_directory;
using posix_files::link_file;
using posix_files::parent_of;
using posix_files::remove_file;
using posix_files::rename_no_replace;
using posix_files::sync_directory;

// Copies `from` into the tmp/ folder beside the target's new/ or cur/ and moves it into place,
// so that no reader ever sees half a message; the source goes only once the copy is in place,
// and when it cannot go, the copy goes again: one message, one file.
int copy_across_file_systems(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::stat(from.c_str(), &st) != 0) return errno;
    errno = 0;
    std::optional<std::string> content = read_file(from);
    if (!content) return errno != 0 ? errno : EIO;
    std::string temporary = parent_of(parent_of(to)) + "/tmp/" + temporary_name(new_unique_name());
    // The arrival time travels along.
    int error = create_file(temporary, *content, st.st_mode & 07777, &st.st_mtim);
    if (error != 0) return error;
    if ((error = move_no_replace(temporary, to)) != 0) {
        remove_file(temporary);
        return error;
    }
    if ((error = remove_file(from)) != 0) remove_file(to);
    return error;
}
}  // namespace

std::string folder_directory(const std::string& root, const std::string& folder) {
    return folder.empty() ? root : root + "/." + folder;
}

std::string_view unique_part(std::string_view file_name) { return file_name.substr(0, file_name.find(':')); }

std::string flags_of(std::string_view file_name) {
    auto colon = file_name.find(':');
    if (colon == std::string_view::npos || file_name.substr(colon + 1, 2) != "2,") return "";
    return std::string(file_name.substr(colon + 3));
}

std::string with_flags(std::string_view file_name, std::string_view flags) {
    std::set<char> sorted(flags.begin(), flags.end());
    std::string result(unique_part(file_name));
    result += ":2,";
    result.append(sorted.begin(), sorted.end());
    return result;
}

bool arrived_before(const message_file& a, const message_file& b) {
    if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec < b.mtime.tv_sec;
    if (a.mtime.tv_nsec != b.mtime.tv_nsec) return a.mtime.tv_nsec < b.mtime.tv_nsec;
    return a.name < b.name;
}

std::vector<message_file> list_messages(const std::string& folder_dir, const char* subdir) {
    std::vector<message_file> files;
    std::string dir = folder_dir + "/" + subdir;
    std::unique_ptr<DIR, dir_closer> handle(::opendir(dir.c_str()));
    if (!handle) return files;
    while (dirent* entry = ::readdir(handle.get())) {
        if (entry->d_name[0] == '.') continue;
        struct stat st {};
        if (::fstatat(::dirfd(handle.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
        if (!S_ISREG(st.st_mode)) continue;
        files.push_back({subdir, entry->d_name, st.st_mtim, static_cast<long long>(st.st_size)});
    }
    return files;
}

std::vector<message_file> list_all_messages(const std::string& folder_dir) {
    std::vector<message_file> files = list_messages(folder_dir, "new");
    std::vector<message_file> seen = list_messages(folder_dir, "cur");
    files.insert(files.end(), seen.begin(), seen.end());
    std::sort(files.begin(), files.end(), arrived_before);
    return files;
}

std::optional<message_file> find_by_unique(const std::string& folder_dir, std::string_view unique) {
    for (const char* subdir : {"new", "cur"}) {
        for (message_file& file : list_messages(folder_dir, subdir)) {
            if (unique_part(file.name) == unique) return std::move(file);
        }
    }
    return std::nullopt;
}

int move_no_replace(const std::string& from, const std::string& to) {
    int error = rename_no_replace(from, to);
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        // No atomic no-replace rename on this file system: link() refuses an existing target too.
        error = link_file(from, to);
        if (error == 0) {
            if ((error = remove_file(from)) != 0) remove_file(to);  // keep exactly one name for the message
            return error;
        }
    }
    if (error == EXDEV) return copy_across_file_systems(from, to);
    return error;
}

std::string new_unique_name() {
    static std::atomic<unsigned long> counter{0};
    timeval now{};
    ::gettimeofday(&now, nullptr);
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    host[sizeof host - 1] = '\0';
    // '/' and ':' cannot stand in the unique part; the usual octal escapes replace them.
    std::string safe_host;
    for (const char* c = host; *c; ++c) {
        if (*c == '/') safe_host += "\\057";
        else if (*c == ':') safe_host += "\\072";
        else safe_host += *c;
    }
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%lld.M%ldP%ldQ%lu.", static_cast<long long>(now.tv_sec),
                  static_cast<long>(now.tv_usec), static_cast<long>(::getpid()), ++counter);
    return buffer + safe_host;
}

namespace {
// Other programs name their files in tmp/ as they will be named in new/, which starts with the
// time: this prefix is ours alone.
constexpr std::string_view temporary_prefix = "tarnwick-part.";
}  // namespace

std::string temporary_name(std::string_view name) { return std::string(temporary_prefix) + std::string(name); }

std::string_view name_of_temporary(std::string_view temporary) {
    return temporary.starts_with(temporary_prefix) ? temporary.substr(temporary_prefix.size()) : temporary;
}

std::vector<std::string> remove_own_temporaries(const std::string& folder_dir, std::vector<std::string>& not_removed,
                                                std::string_view except) {
    std::vector<std::string> removed;
    std::string tmp = folder_dir + "/tmp";
    std::unique_ptr<DIR, dir_closer> dir(::opendir(tmp.c_str()));
    if (!dir) return removed;
    std::vector<std::string> ours;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string_view name = entry->d_name;
        if (name.starts_with(temporary_prefix) && name != except) ours.emplace_back(name);
    }
    for (const std::string& name : ours) {
        struct stat st {};
        std::string path = tmp + "/" + name;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (int failure = remove_file(path); failure == 0) removed.push_back(name);
        else if (failure != ENOENT) not_removed.push_back(path + ": " + std::strerror(failure));
    }
    return removed;
}

bool valid_folder_name(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.back() == '.') return false;
    if (name.find("..") != std::string_view::npos) return false;
    for (char c : name) {
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

int create_folder(const std::string& root, const std::string& folder, std::string* failed_path) {
    std::string dir = folder_directory(root, folder);
    bool made = false;
    auto failed = [&](const std::string& path, int error) {
        if (failed_path) *failed_path = path;
        return error;
    };
    for (const std::string& path : {dir, dir + "/tmp", dir + "/new", dir + "/cur"}) {
        if (::mkdir(path.c_str(), 0700) == 0) made = true;
        else if (!(errno == EEXIST && is_directory(path))) return failed(path, errno);
    }
    std::string marker = dir + "/maildirfolder";
    struct stat st {};
    if (!folder.empty() && ::lstat(marker.c_str(), &st) != 0) {
        if (int error = create_file(marker, "", 0600); error != 0 && error != EEXIST) return failed(marker, error);
        made = true;
    }
    // Only what was made needs flushing; a folder that cannot be flushed exists all the same.
    if (made) sync_directory(root);
    return 0;
}

bool is_maildir(const std::string& folder_dir) {
    for (const char* subdir : {"/new", "/cur"}) {
        std::string path = folder_dir + subdir;
        if (!is_directory(path) || ::access(path.c_str(), R_OK | X_OK) != 0) return false;
    }
    return true;
}

std::vector<std::string> folder_entries(const std::string& root) {
    std::vector<std::string> entries;
    std::unique_ptr<DIR, dir_closer> handle(::opendir(root.c_str()));
    if (!handle) return entries;
    while (dirent* entry = ::readdir(handle.get())) {
        std::string_view name = entry->d_name;
        if (name.size() < 2 || name[0] != '.' || name == "..") continue;
        // The type from the directory entry where the file system gives it; links are followed.
        if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) continue;
        if (entry->d_type != DT_DIR && !is_directory(root + "/" + std::string(name))) continue;
        entries.emplace_back(name.substr(1));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::vector<std::string> children_among(const std::vector<std::string>& entries, const std::string& folder) {
    std::set<std::string> children;
    std::string prefix = folder.empty() ? "" : folder + ".";
    for (std::string_view name : entries) {
        if (name.substr(0, prefix.size()) != prefix) continue;
        std::string_view rest = name.substr(prefix.size());
        if (rest.empty()) continue;
        std::string child = prefix + std::string(rest.substr(0, rest.find('.')));
        if (valid_folder_name(child)) children.insert(child);
    }
    return {children.begin(), children.end()};
}

std::vector<std::string> subfolders(const std::string& root, const std::string& folder) {
    return children_among(folder_entries(root), folder);
}

namespace {
std::optional<std::string> deliver_as(const std::string& folder_dir, std::string name, std::string_view bytes,
                                      std::string& error, const std::optional<std::string>& cur_flags) {
    std::string temporary = folder_dir + "/tmp/" + temporary_name(name);
    if (int failure = create_file(temporary, bytes, 0600); failure != 0) {
        error = temporary + ": " + std::strerror(failure);
        return std::nullopt;
    }
    const char* subdir = cur_flags ? "/cur/" : "/new/";
    if (cur_flags) name = with_flags(name, *cur_flags);
    std::string target = folder_dir + subdir + name;
    if (int failure = move_no_replace(temporary, target); failure != 0) {
        error = target + ": " + std::strerror(failure);
        remove_file(temporary);
        return std::nullopt;
    }
    // Delivered whether or not the folder can be flushed: every reader sees the file.
    sync_directory(folder_dir + subdir);
    return target;
}
}  // namespace

std::optional<std::string> deliver(const std::string& folder_dir, std::string_view bytes, std::string& error,
                                   const std::optional<std::string>& cur_flags) {
    return deliver_as(folder_dir, new_unique_name(), bytes, error, cur_flags);
}

std::optional<std::string> deliver_named(const std::string& folder_dir, const std::string& name, std::string_view bytes,
                                         std::string& error) {
    return deliver_as(folder_dir, name, bytes, error, std::nullopt);
}

bool starts_with_header_field(std::string_view start) {
    // A field name is printable ASCII but for ':', then the colon (RFC 5322; blanks before the
    // colon are the obsolete syntax, still read).
    size_t at = 0;
    while (at < start.size() && start[at] > ' ' && start[at] < 127 && start[at] != ':') ++at;
    if (at == 0) return false;
    while (at < start.size() && (start[at] == ' ' || start[at] == '\t')) ++at;
    return at < start.size() && start[at] == ':';
}

bool starts_with_header_field(const std::string& path) {
    fd_holder in(posix_files::open_regular_file(path));
    if (in.fd < 0) return false;
    char buffer[1024];
    ssize_t n;
    do n = ::read(in.fd, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    return n > 0 && starts_with_header_field(std::string_view(buffer, static_cast<size_t>(n)));
}

namespace {
// Where the header block of `text` ends (one past its empty line), searching the first `limit`
// bytes; npos when it does not end there.
size_t header_block_end(std::string_view text, size_t from, size_t limit) {
    // The block ends at the first empty line, with LF or CR LF line ends.
    for (size_t i = from; i < text.size() && i < limit; ++i) {
        if (text[i] != '\n') continue;
        if (i == 0 || text[i - 1] == '\n') return i + 1;
        if (text[i - 1] == '\r' && (i == 1 || text[i - 2] == '\n')) return i + 1;
    }
    return std::string_view::npos;
}
}  // namespace

std::optional<std::string> read_header_block(const std::string& path, size_t limit) {
    fd_holder in(posix_files::open_regular_file(path));
    if (in.fd < 0) return std::nullopt;
    std::string block;
    char buffer[8192];
    while (block.size() < limit) {
        ssize_t n = ::read(in.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        size_t searched_from = block.size() < 3 ? 0 : block.size() - 3;
        block.append(buffer, static_cast<size_t>(n));
        size_t end = header_block_end(block, searched_from, block.size());
        if (end != std::string::npos) return block.substr(0, end);
    }
    if (block.size() > limit) block.resize(limit);
    return block;
}

std::string header_block_of(std::string_view message, size_t limit) {
    size_t end = header_block_end(message, 0, limit);
    return std::string(message.substr(0, end != std::string_view::npos ? end : limit));
}

}  // namespace maildir
