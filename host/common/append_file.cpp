#include "common/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"
#include "platform/posix_files.h"

namespace {

int flushed(int fd, const std::string& path) {
    if (int error = file_step_error(file_step::flush, path)) return error;
    return ::fdatasync(fd) == 0 ? 0 : errno;
}

}  // namespace

int appending_file::open() {
    if (int error = file_step_error(file_step::create, path_)) return error;
    fd_ = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return errno;
    struct stat st {};
    char last = '\n';
    int error = 0;
    if (::fstat(fd_, &st) != 0) error = errno;
    else if (st.st_size > 0 && ::pread(fd_, &last, 1, st.st_size - 1) != 1) error = errno ? errno : EIO;
    else if (last != '\n' && !posix_files::write_all(fd_, "\n")) error = errno ? errno : EIO;
    if (error != 0) close();
    return error;
}

int appending_file::append(std::string_view bytes) {
    if (fd_ < 0)
        if (int error = open()) return error;
    int error = file_step_error(file_step::write, path_);
    if (error == 0 && !posix_files::write_all(fd_, bytes)) error = errno ? errno : EIO;
    if (error != 0) {
        close();
        return error;
    }
    unflushed_ = true;
    return 0;
}

int appending_file::flush() {
    if (!unflushed_ || fd_ < 0) return 0;
    unflushed_ = false;
    return flushed(fd_, path_);
}

void appending_file::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    unflushed_ = false;
}

int append_to_file(const std::string& path, std::string_view bytes, bool flush) {
    appending_file file(path);
    if (int error = file.append(bytes)) return error;
    return flush ? file.flush() : 0;
}

int flush_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = flushed(fd, path);
    ::close(fd);
    return error;
}
