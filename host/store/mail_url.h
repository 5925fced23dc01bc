// Where a mail server is, as the user names it: imaps://user@host[:port], imap://user@host[:port],
// smtps://[user@]host[:port], smtp://[user@]host[:port]. Plain connections are refused except to a
// loopback address; "imap://" and "smtp://" mean STARTTLS, which is then mandatory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct mail_url {
    enum protocol_kind { imap, smtp };
    enum security { implicit_tls, starttls, plain };
    protocol_kind protocol = imap;
    security tls = implicit_tls;
    std::string host;  // a name or an address; an IPv6 address without brackets
    std::uint16_t port = 0;
    std::string user;  // percent-decoded; may be empty for smtp

    // "imaps://ann@mail.example.org:993", for messages.
    std::string text() const;
};

// Parses `text` for `protocol` ("imap" or "smtp"). None, with `error` saying why, for anything
// else: another scheme, a path or query, a password in the URL, control characters, no user for
// IMAP, a port that is not 1..65535.
std::optional<mail_url> parse_mail_url(std::string_view text, mail_url::protocol_kind protocol, std::string& error);

// True when `host` is a loopback address or "localhost" (plain connections are allowed there).
bool is_loopback_host(std::string_view host);

// True when a connection to `url` may go on without TLS: only an "imap://" or "smtp://" URL of a
// loopback host, and only where that server offers no STARTTLS. Anywhere else STARTTLS is mandatory.
bool plain_allowed(const mail_url& url);
