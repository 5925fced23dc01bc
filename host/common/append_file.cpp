#include "common/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"
#include "platform/posix_files.h"

namespace {

// Closes the descriptor it holds.
struct closing {
    int fd;
    ~closing() {
        if (fd >= 0) ::close(fd);
    }
};

int flushed(int fd, const std::string& path) {
    if (int error = file_step_error(file_step::flush, path)) return error;
    return ::fsync(fd) == 0 ? 0 : errno;
}

}  // namespace

int append_to_file(const std::string& path, std::string_view bytes, bool flush) {
    if (int error = file_step_error(file_step::create, path)) return error;
    closing file{::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600)};
    if (file.fd < 0) return errno;
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return errno;
    std::string line;
    char last = '\n';
    if (st.st_size > 0 && ::pread(file.fd, &last, 1, st.st_size - 1) != 1) return errno ? errno : EIO;
    if (last != '\n') line = "\n";
    line += bytes;
    if (int error = file_step_error(file_step::write, path)) return error;
    if (!posix_files::write_all(file.fd, line)) return errno ? errno : EIO;
    return flush ? flushed(file.fd, path) : 0;
}

int flush_file(const std::string& path) {
    closing file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return errno;
    return flushed(file.fd, path);
}
