#include "store/mail_url.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool equals_lower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

bool percent_decode(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool is_ip_address(const std::string& host, int family) {
    unsigned char buffer[16];
    return inet_pton(family, host.c_str(), buffer) == 1;
}

// A DNS name: letters, digits, hyphens and dots, no empty label.
bool is_host_name(std::string_view host) {
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.find("..") != std::string_view::npos)
        return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            return false;
    return true;
}

}  // namespace

std::string mail_url::text() const {
    std::string out = protocol == imap ? "imap" : "smtp";
    if (tls == implicit_tls) out += 's';
    out += "://";
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned char c : user) {
        if (std::strchr("@:/%?#[]", c) || c <= 0x20 || c >= 0x7f) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (!user.empty()) out += '@';
    out += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    out += ':' + std::to_string(port);
    return out;
}

std::optional<mail_url> parse_mail_url(std::string_view text, mail_url::protocol_kind protocol, std::string& error) {
    const char* name = protocol == mail_url::imap ? "imap" : "smtp";
    for (unsigned char c : text) {
        if (is_control(c) || c == ' ') {
            error = "the server's URL has a space or control character";
            return std::nullopt;
        }
    }
    mail_url url;
    url.protocol = protocol;
    std::size_t scheme_end = text.find("://");
    std::string_view scheme = scheme_end == std::string_view::npos ? std::string_view{} : text.substr(0, scheme_end);
    if (equals_lower(scheme, std::string(name) + "s")) {
        url.tls = mail_url::implicit_tls;
        url.port = protocol == mail_url::imap ? 993 : 465;
    } else if (equals_lower(scheme, name)) {
        url.tls = mail_url::starttls;
        url.port = protocol == mail_url::imap ? 143 : 587;
    } else {
        error = std::string("the server's URL must start with ") + name + "s:// or " + name + "://";
        return std::nullopt;
    }
    std::string_view rest = text.substr(scheme_end + 3);
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.find_first_of("/?#") != std::string_view::npos) {
        error = "the server's URL has a path or query; give only [user@]host[:port]";
        return std::nullopt;
    }
    // Users that are mail addresses often keep their '@' unencoded: the host follows the last one.
    std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view user_info = rest.substr(0, at);
        rest = rest.substr(at + 1);
        if (user_info.find(':') != std::string_view::npos) {
            error = "the server's URL holds a password; it comes only from password-command";
            return std::nullopt;
        }
        if (!percent_decode(user_info, url.user)) {
            error = "the user name in the server's URL has a bad %-escape";
            return std::nullopt;
        }
        for (unsigned char c : url.user) {
            if (is_control(c)) {
                error = "the user name in the server's URL has a control character";
                return std::nullopt;
            }
        }
        if (url.user.empty()) {
            error = "the server's URL has an empty user name";
            return std::nullopt;
        }
    }
    if (protocol == mail_url::imap && url.user.empty()) {
        error = "the IMAP server's URL needs a user name (imaps://user@host)";
        return std::nullopt;
    }
    std::string_view port_text;
    if (rest.starts_with('[')) {
        std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            error = "the server's URL has an unclosed [";
            return std::nullopt;
        }
        url.host = std::string(rest.substr(1, close - 1));
        if (!is_ip_address(url.host, AF_INET6)) {
            error = "the server's URL has a bad IPv6 address";
            return std::nullopt;
        }
        rest = rest.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            error = "the server's URL has text after its address";
            return std::nullopt;
        }
        if (!rest.empty()) port_text = rest.substr(1);
        if (rest.size() == 1) port_text = ":";  // a colon without a number is refused below
    } else {
        std::size_t colon = rest.find(':');
        url.host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos) port_text = colon + 1 < rest.size() ? rest.substr(colon + 1) : ":";
        if (!is_host_name(url.host)) {
            error = "the server's URL has no valid host name";
            return std::nullopt;
        }
    }
    if (!port_text.empty()) {
        unsigned long port = 0;
        bool digits = port_text.size() <= 5;
        for (char c : port_text) digits = digits && c >= '0' && c <= '9';
        if (digits) port = std::stoul(std::string(port_text));
        if (!digits || port < 1 || port > 65535) {
            error = "the server's URL has a bad port (1 to 65535)";
            return std::nullopt;
        }
        url.port = static_cast<std::uint16_t>(port);
    }
    return url;
}

bool is_loopback_host(std::string_view host) {
    if (equals_lower(host, "localhost") || equals_lower(host, "localhost.")) return true;
    std::string text(host);
    unsigned char address[16];
    if (inet_pton(AF_INET, text.c_str(), address) == 1) return address[0] == 127;
    if (inet_pton(AF_INET6, text.c_str(), address) == 1) {
        static const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return std::memcmp(address, loopback, 16) == 0;
    }
    return false;
}

bool plain_allowed(const mail_url& url) { return url.tls != mail_url::implicit_tls && is_loopback_host(url.host); }
