// A scripted IMAP server on 127.0.0.1 for the hostile cases a real server never shows (malformed
// greetings, huge literals, stalls), and a bare client for what the tests do beside the connection
// under test (another client's STORE).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>

class fake_imap_server {
public:
    // Called with each command line the client sends (without CRLF), split into tag and the rest;
    // says what to write back through `send` (false once the client has gone). Returning false
    // stalls: nothing more is read or said until the client closes.
    using send_fn = std::function<bool(std::string_view)>;
    using script = std::function<bool(const std::string& tag, const std::string& command, const send_fn& send)>;

    // `greeting` is written first as it is ("" for none).
    fake_imap_server(std::string greeting, script answer);
    ~fake_imap_server();
    fake_imap_server(const fake_imap_server&) = delete;
    fake_imap_server& operator=(const fake_imap_server&) = delete;

    std::uint16_t port() const { return port_; }

private:
    void serve(std::string greeting, script answer);

    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// A fake that logs in anyone, offers `capabilities`, selects any folder (one message, UIDVALIDITY 1)
// and hands every other command to `rest`.
fake_imap_server::script logged_in_then(fake_imap_server::script rest, std::string capabilities = "IMAP4rev1 UIDPLUS");

// Logs in to a real server on 127.0.0.1:`port` and sends `commands` one by one, each waited for.
// Returns all the server said.
std::string raw_imap(std::uint16_t port, const std::string& user, const std::string& password,
                     std::initializer_list<std::string> commands);
