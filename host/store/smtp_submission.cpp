#include "store/smtp_submission.h"

#include <arpa/inet.h>
#include <libetpan/libetpan.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "store/tcp_connect.h"
#include "store/tls_check.h"

namespace {

struct session_deleter {
    void operator()(mailsmtp* session) const { mailsmtp_free(session); }
};
using smtp_session = std::unique_ptr<mailsmtp, session_deleter>;

// What the server said, on one line of at most 200 characters, without the password should a
// server echo it.
std::string one_line_answer(std::string text, const std::string& password) {
    if (!password.empty()) {
        for (std::size_t at = text.find(password); at != std::string::npos; at = text.find(password, at))
            text.replace(at, password.size(), "***");
    }
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        bool blank = u < 0x20 || u == 0x7f;
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out += blank ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > 200) out = out.substr(0, 197) + "...";
    return out;
}

bool is_ip_literal(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Names the host for the TLS handshake (SNI), which RFC 6066 allows only for names.
void name_the_host(mailstream_ssl_context* context, void* host) {
    std::string& name = *static_cast<std::string*>(host);
    if (!is_ip_literal(name)) mailstream_ssl_set_server_name(context, name.data());
}

// An address fit for "RCPT TO:<...>": no controls, spaces or brackets that would end or break the
// command line.
bool is_plain_address(const std::string& address) {
    if (address.empty() || address.size() > 254) return false;
    for (unsigned char c : address)
        if (c <= 0x20 || c == 0x7f || c == '<' || c == '>') return false;
    return true;
}

class submission {
public:
    submission(const mail_url& server, const std::string& password, const smtp_options& options)
        : server_(server), password_(password), options_(options), where_(server.text()) {}

    bool failed(const std::string& step, int code, std::string& error) const {
        error = "SMTP server " + where_ + ": " + step + " failed: ";
        // Only these codes stand for an answer of the server; the others leave an older one.
        bool answered = code != MAILSMTP_ERROR_STREAM && code != MAILSMTP_ERROR_CONNECTION_REFUSED &&
                        code != MAILSMTP_ERROR_HOSTNAME && code != MAILSMTP_ERROR_SSL && code != MAILSMTP_ERROR_MEMORY;
        if (answered && session_ && session_->response_code != 0) {
            std::string said = session_->response ? session_->response : "";
            error += "the server answered " + std::to_string(session_->response_code) + " " +
                     one_line_answer(said, password_);
        } else {
            error += code == MAILSMTP_ERROR_STREAM ? "the connection broke or timed out" : mailsmtp_strerror(code);
        }
        return false;
    }

    bool connect(std::string& error) {
        session_.reset(mailsmtp_new(0, nullptr));
        if (!session_) return failed("connecting", MAILSMTP_ERROR_MEMORY, error);
        // Connected here, and the stream given its timeout before the greeting is read: libetpan's
        // own connect would wait minutes for a server that says nothing.
        mailsmtp_set_timeout(session_.get(), options_.timeout_seconds);
        std::string why;
        int fd = connect_with_timeout(host_, server_.port, options_.timeout_seconds, why);
        if (fd < 0) {
            error = "SMTP server " + where_ + ": cannot connect: " + why;
            return false;
        }
        bool tls = server_.tls == mail_url::implicit_tls;
        mailstream* stream =
            tls ? mailstream_ssl_open_with_callback_timeout(fd, options_.timeout_seconds, name_the_host, &host_)
                : mailstream_socket_open_timeout(fd, options_.timeout_seconds);
        if (!stream) {
            close(fd);
            return failed(tls ? "the TLS handshake" : "connecting", tls ? MAILSMTP_ERROR_SSL : MAILSMTP_ERROR_MEMORY,
                          error);
        }
        // Owns the stream from here, and closes it on failure.
        int result = mailsmtp_connect(session_.get(), stream);
        if (result != MAILSMTP_NO_ERROR) return failed("the greeting", result, error);
        if (server_.tls == mail_url::implicit_tls && !certificate_trusted(error)) return false;
        if (!hello(error)) return false;
        if (server_.tls == mail_url::implicit_tls) return true;
        if (!(session_->esmtp & MAILSMTP_ESMTP_STARTTLS)) {
            if (plain_allowed(server_)) return true;
            error = "SMTP server " + where_ + " offers no STARTTLS; mail and password are not sent in clear";
            return false;
        }
        // Sends STARTTLS itself, then makes the handshake.
        result = mailsmtp_socket_starttls_with_callback(session_.get(), name_the_host, &host_);
        if (result != MAILSMTP_NO_ERROR) return failed("STARTTLS", result, error);
        mailstream_low_set_timeout(mailstream_get_low(session_->stream), options_.timeout_seconds);
        // What the server offered before TLS may have been forged: asked again.
        return certificate_trusted(error) && hello(error);
    }

    bool log_in(std::string& error) {
        if (server_.user.empty()) return true;
        const char* mechanism = (session_->auth & MAILSMTP_AUTH_PLAIN)   ? "PLAIN"
                                : (session_->auth & MAILSMTP_AUTH_LOGIN) ? "LOGIN"
                                                                         : nullptr;
        if (!mechanism) {
            error = "SMTP server " + where_ + " offers neither AUTH PLAIN nor AUTH LOGIN";
            return false;
        }
        int result = mailesmtp_auth_sasl(session_.get(), mechanism, host_.c_str(), nullptr, nullptr,
                                         server_.user.c_str(), server_.user.c_str(), password_.c_str(), nullptr);
        if (result != MAILSMTP_NO_ERROR) return failed("login as " + one_line_answer(server_.user, ""), result, error);
        return true;
    }

    bool send(const std::string& recipient, std::string_view message, std::string& error) {
        int result = mailsmtp_mail(session_.get(), "");
        if (result != MAILSMTP_NO_ERROR) return failed("MAIL FROM:<>", result, error);
        if ((result = mailsmtp_rcpt(session_.get(), recipient.c_str())) != MAILSMTP_NO_ERROR)
            return failed("RCPT TO:<" + recipient + ">", result, error);
        if ((result = mailsmtp_data(session_.get())) != MAILSMTP_NO_ERROR) return failed("DATA", result, error);
        // libetpan ends each line with CRLF, doubles a leading dot and adds the final ".".
        result = mailsmtp_data_message(session_.get(), message.data(), message.size());
        if (result != MAILSMTP_NO_ERROR) return failed("sending the message", result, error);
        mailsmtp_quit(session_.get());  // accepted already: what QUIT meets changes nothing
        return true;
    }

private:
    bool hello(std::string& error) {
        int result = mailesmtp_ehlo(session_.get());
        // A loopback server without ESMTP is spoken to plainly, with neither TLS nor AUTH.
        if (result == MAILSMTP_ERROR_NOT_IMPLEMENTED && server_.tls != mail_url::implicit_tls && plain_allowed(server_))
            result = mailsmtp_helo(session_.get());
        return result == MAILSMTP_NO_ERROR || failed("EHLO", result, error);
    }

    bool certificate_trusted(std::string& error) {
        std::vector<std::string> chain;
        if (carray* certificates = mailstream_get_certificate_chain(session_->stream)) {
            for (unsigned i = 0; i < carray_count(certificates); ++i) {
                auto* der = static_cast<MMAPString*>(carray_get(certificates, i));
                chain.emplace_back(der->str, der->len);
            }
            mailstream_certificate_chain_free(certificates);
        }
        std::string why;
        if (check_certificate_chain(chain, server_.host, options_.ca_file, why)) return true;
        error = "SMTP server " + where_ + ": " + why;
        return false;
    }

    const mail_url& server_;
    const std::string& password_;
    const smtp_options& options_;
    std::string where_;
    std::string host_ = server_.host;
    smtp_session session_;
};

}  // namespace

bool submit_message(const mail_url& server, const std::string& password, const smtp_options& options,
                    const std::string& recipient, std::string_view message, std::string& error) {
    if (!is_plain_address(recipient)) {
        error = "no SMTP submission to the address " + one_line_answer(recipient, "") + ": not a plain address";
        return false;
    }
    submission attempt(server, password, options);
    return attempt.connect(error) && attempt.log_in(error) && attempt.send(recipient, message, error);
}
