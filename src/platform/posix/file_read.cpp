// Reading files by name on POSIX systems: only regular files, and never waiting on a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_io.h"
#include "platform/posix_files.h"

namespace {
// Closes the descriptor it holds at the end of the scope.
struct descriptor {
    int fd;
    ~descriptor() {
        if (fd >= 0) ::close(fd);
    }
};
}  // namespace

namespace posix_files {

int open_regular_file(const std::string& path) {
    // O_NONBLOCK lets the open of a FIFO return at once, so fstat can refuse it; a regular file
    // reads as ever with it.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    int error = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP;
    if (error == 0) return fd;
    ::close(fd);
    errno = error;
    return -1;
}

int read_regular_file(const std::string& path, std::string& content) {
    descriptor in{open_regular_file(path)};
    if (in.fd < 0) return errno;
    content.clear();
    // Room for the whole file at once: a large list file would otherwise be copied as the string
    // doubles, and held twice meanwhile.
    struct stat st {};
    if (::fstat(in.fd, &st) == 0 && st.st_size > 0 && static_cast<unsigned long long>(st.st_size) < content.max_size())
        content.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(in.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string reading_error_text(int error) {
    return error == ENOTSUP ? std::string("not a regular file") : std::string(std::strerror(error));
}

}  // namespace posix_files

std::optional<std::string> read_file(const std::string& path) {
    std::string content;
    if (posix_files::read_regular_file(path, content) != 0) return std::nullopt;
    return content;
}

bool read_file_in_pieces(const std::string& path, const std::function<void(std::string_view piece)>& consume) {
    descriptor in{posix_files::open_regular_file(path)};
    if (in.fd < 0) return false;
    // Big enough that a large file takes few reads, small enough to cost nothing for the many
    // small files.
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(in.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        consume(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
}
