// Sending automatic mail by SMTP submission: one message, one recipient, the null envelope sender
// (MAIL FROM:<>), so that nothing bounces back to a challenge. TLS as the URL says (mail_url.h),
// the certificate checked before AUTH (PLAIN or LOGIN) when a user is given.
#pragma once

#include <string>
#include <string_view>

#include "store/mail_url.h"

struct smtp_options {
    std::string ca_file;       // PEM authorities to trust instead of the system's; "" for those
    int timeout_seconds = 60;  // every read and write
};

// Submits `message` (LF or CRLF line ends; dot-stuffed and sent with CRLF) to `recipient`. True
// when the server accepted it after DATA; otherwise false with `error` saying what failed and
// what the server answered (a one-line, sanitized text).
bool submit_message(const mail_url& server, const std::string& password, const smtp_options& options,
                    const std::string& recipient, std::string_view message, std::string& error);
