// A real Dovecot IMAP server for the tests: Debian's dovecot-imapd with a private configuration in a
// scratch folder, listening on 127.0.0.1 at free ports, two users with known passwords, their mail
// as Maildir++ below the scratch folder (so a test can see the raw files), Junk/Sent/Trash with
// their SPECIAL-USE attributes. Run as root, the mail belongs to "nobody" and Dovecot's own users
// run its helpers; otherwise everything runs as the caller.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <string>

#include "support/temp_dir.h"

struct dovecot_options {
    bool tls = false;             // STARTTLS on port() and implicit TLS on tls_port(), the test CA's
    int idle_notify_seconds = 0;  // imap_idle_notify_interval; 0 for Dovecot's own
    std::string capabilities{};   // imap_capability, what it announces after login; "" for its own
};

class dovecot_server {
public:
    static constexpr const char* user = "ann";
    static constexpr const char* password = "ann-secret";
    static constexpr const char* other_user = "bob";
    static constexpr const char* other_password = "bob-secret";

    explicit dovecot_server(dovecot_options options = {});
    ~dovecot_server();
    dovecot_server(const dovecot_server&) = delete;
    dovecot_server& operator=(const dovecot_server&) = delete;

    std::uint16_t port() const { return port_; }          // IMAP (with STARTTLS when tls)
    std::uint16_t tls_port() const { return tls_port_; }  // IMAPS; 0 without tls
    // The Maildir++ root of `user`.
    std::string maildir(const std::string& user_name = user) const;
    // Dovecot's log, for a failing test's message.
    std::string log() const;

    // Starts it and waits until it greets (throws when it does not within seconds).
    void start();
    // Stops it and waits until it is gone; `hard`: SIGKILL to every process of it, as a crash.
    void stop(bool hard = false);

private:
    temp_dir dir_;
    dovecot_options options_;
    std::uint16_t port_ = 0;
    std::uint16_t tls_port_ = 0;
    pid_t master_ = -1;
};
