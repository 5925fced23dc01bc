// A real SMTP receiver for the tests (Python's aiosmtpd, smtp_recorder.py) on 127.0.0.1 and a port
// of its own, recording what it accepts; started by the constructor, stopped by the destructor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"

class smtp_recorder {
public:
    enum security { plain, starttls, implicit_tls };  // TLS with the_test_ca()'s server certificate
    struct settings {
        security tls = plain;
        std::string user{};      // with a user, AUTH (PLAIN, LOGIN) is required before MAIL
        std::string password{};  // the one password it accepts
        bool stall = false;      // never answers the end of DATA
    };
    struct envelope {
        std::vector<std::string> commands;  // "MAIL FROM:<>", "RCPT TO:<a@b.c>", "AUTH ann"
        std::string data;                   // as received after DATA, dots unstuffed, CRLF line ends
    };

    // Throws when it does not listen within ten seconds.
    explicit smtp_recorder(const settings& how);
    ~smtp_recorder();
    smtp_recorder(const smtp_recorder&) = delete;
    smtp_recorder& operator=(const smtp_recorder&) = delete;

    std::uint16_t port() const { return port_; }
    // The messages accepted so far, in order.
    std::vector<envelope> envelopes() const;
    // One line for each AUTH attempt: "PLAIN ann ok", "LOGIN ann refused".
    std::vector<std::string> auth_attempts() const;

private:
    void stop();

    temp_dir dir_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};
