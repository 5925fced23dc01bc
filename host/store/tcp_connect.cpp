#include "store/tcp_connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Connects `fd` to `address`, waiting at most `timeout_seconds`; 0 or an errno value.
int connect_one(int fd, const addrinfo& address, int timeout_seconds) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    if (connect(fd, address.ai_addr, address.ai_addrlen) < 0) {
        if (errno != EINPROGRESS) return errno;
        pollfd wait{fd, POLLOUT, 0};
        int ready;
        do ready = poll(&wait, 1, timeout_seconds * 1000);
        while (ready < 0 && errno == EINTR);
        if (ready < 0) return errno;
        if (ready == 0) return ETIMEDOUT;
        int failure = 0;
        socklen_t size = sizeof failure;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) < 0) return errno;
        if (failure != 0) return failure;
    }
    return fcntl(fd, F_SETFL, flags) < 0 ? errno : 0;
}

}  // namespace

int connect_with_timeout(const std::string& host, std::uint16_t port, int timeout_seconds, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int failed = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); failed != 0) {
        error = failed == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(failed);
        return -1;
    }
    int last = 0;
    for (addrinfo* address = found; address; address = address->ai_next) {
        int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            last = errno;
            continue;
        }
        last = connect_one(fd, *address, timeout_seconds);
        if (last == 0) {
            freeaddrinfo(found);
            return fd;
        }
        close(fd);
    }
    freeaddrinfo(found);
    error = last == ETIMEDOUT ? "timed out after " + std::to_string(timeout_seconds) + " s" : std::strerror(last);
    return -1;
}
