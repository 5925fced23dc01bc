// The file operations of posix_files.h that change files, each step through the test seam.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>  // renameat2

#include "platform/file_io_detail.h"
#include "platform/posix_files.h"

namespace posix_files {

namespace {
// close(), whose errno survives the cleanup after it.
int close_keeping(int fd, int error) {
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}
}  // namespace

int create_file(const std::string& path, std::string_view bytes, unsigned mode, const timespec* mtime) {
    if (int refused = file_step_error(file_step::create, path)) return refused;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return errno;
    int error = file_step_error(file_step::write, path);
    if (error == 0 && !write_all(fd, bytes)) error = errno;
    if (error == 0 && mtime) {
        const timespec times[2] = {*mtime, *mtime};
        if (::futimens(fd, times) != 0) error = errno;
    }
    if (error == 0) error = file_step_error(file_step::flush, path);
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    error = close_keeping(fd, error);
    if (error != 0) remove_file(path);
    return error;
}

int rename_no_replace(const std::string& from, const std::string& to) {
    if (int refused = file_step_error(file_step::rename, to)) return refused;
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
}

int link_file(const std::string& from, const std::string& to) {
    if (int refused = file_step_error(file_step::link, to)) return refused;
    return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int remove_file(const std::string& path) {
    if (int refused = file_step_error(file_step::unlink, path)) return refused;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int sync_directory(const std::string& dir) {
    if (int refused = file_step_error(file_step::sync_folder, dir)) return refused;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    return close_keeping(fd, ::fsync(fd) == 0 ? 0 : errno);
}

int open_lock_file(const std::string& path) {
    if (int refused = file_step_error(file_step::create, path)) {
        errno = refused;
        return -1;
    }
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

int rewrite_file(int fd, const std::string& path, std::string_view bytes) {
    if (int refused = file_step_error(file_step::write, path)) return refused;
    if (::ftruncate(fd, 0) != 0) return errno;
    off_t offset = 0;
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        bytes.remove_prefix(static_cast<size_t>(n));
        offset += n;
    }
    return 0;
}

#ifndef TARNWICK_FAULT_INJECTION
// Without the plan there is nothing to count, nor to share.
file_fault_count file_fault_plan() { return nullptr; }
void share_file_fault_plan(file_fault_count) {}
#endif

}  // namespace posix_files
