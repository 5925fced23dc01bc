#include "servers/fake_imap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

bool send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Reads up to and without the next CRLF; false when the peer closed or `stop` became readable.
bool read_line(int fd, int stop, std::string& pending, std::string& line) {
    for (;;) {
        if (auto end = pending.find("\r\n"); end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 2);
            return true;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        if (::poll(fds, stop >= 0 ? 2 : 1, 10000) <= 0 || (fds[1].revents & POLLIN) != 0) return false;
        char buffer[4096];
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

fake_imap_server::fake_imap_server(std::string greeting, script answer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe(stop_) != 0)
        throw std::runtime_error("the fake IMAP server cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, greeting = std::move(greeting), answer = std::move(answer)]() mutable {
        serve(std::move(greeting), std::move(answer));
    });
}

fake_imap_server::~fake_imap_server() {
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    ::close(listener_);
    ::close(stop_[0]);
    ::close(stop_[1]);
}

void fake_imap_server::serve(std::string greeting, script answer) {
    pollfd ready[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(ready, 2, -1) <= 0 || (ready[1].revents & POLLIN) != 0) return;
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    const send_fn send = [fd](std::string_view bytes) { return send_all(fd, bytes); };
    std::string pending, line;
    bool answering = greeting.empty() || send(greeting);
    while (answering && read_line(fd, stop_[0], pending, line)) {
        const auto space = line.find(' ');
        answering = answer(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1), send);
    }
    // Stalled or done: quiet until the client closes or the test ends.
    pollfd wait[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    char buffer[4096];
    while (::poll(wait, 2, -1) > 0 && (wait[1].revents & POLLIN) == 0 && ::read(fd, buffer, sizeof buffer) > 0) {
    }
    ::close(fd);
}

fake_imap_server::script logged_in_then(fake_imap_server::script rest, std::string capabilities) {
    return [rest = std::move(rest), capabilities = std::move(capabilities)](
               const std::string& tag, const std::string& command, const fake_imap_server::send_fn& send) {
        if (command.rfind("LOGIN ", 0) == 0) return send(tag + " OK logged in\r\n");
        if (command == "CAPABILITY") return send("* CAPABILITY " + capabilities + "\r\n" + tag + " OK done\r\n");
        if (command.rfind("SELECT ", 0) == 0 || command.rfind("EXAMINE ", 0) == 0)
            return send("* 1 EXISTS\r\n* OK [UIDVALIDITY 1] ok\r\n* OK [UIDNEXT 8] ok\r\n" + tag +
                        " OK [READ-WRITE] selected\r\n");
        return rest(tag, command, send);
    };
}

std::string raw_imap(std::uint16_t port, const std::string& user, const std::string& password,
                     std::initializer_list<std::string> commands) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot reach the IMAP server");
    std::string said, pending, line;
    auto until_tagged = [&](const std::string& tag) {
        while (read_line(fd, -1, pending, line)) {
            said += line + "\n";
            if (line.rfind(tag + " ", 0) == 0) return;
        }
        throw std::runtime_error("the IMAP server stopped answering: " + said);
    };
    // The greeting is the line that says it is ready.
    while (read_line(fd, -1, pending, line) && line.find("ready") == std::string::npos) {
    }
    int n = 0;
    auto run = [&](const std::string& command) {
        const std::string tag = "r" + std::to_string(++n);
        send_all(fd, tag + " " + command + "\r\n");
        until_tagged(tag);
    };
    run("LOGIN " + user + " " + password);
    for (const std::string& command : commands) run(command);
    run("LOGOUT");
    ::close(fd);
    return said;
}
