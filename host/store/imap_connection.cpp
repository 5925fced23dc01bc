// Connecting, TLS and its certificate check, logging in, IDLE and the library's errors.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <cctype>
#include <utility>

#include "store/etpan_imap.h"
#include "store/tcp_connect.h"
#include "store/tls_check.h"

namespace {

// Lines and literals that are not a message body are held in memory whole by the library; none of
// them is near this in a sound answer (a FETCH of the flags of 100,000 messages is ~10 MB).
constexpr std::uint64_t most_held = 64ull << 20;

std::string printable(const char* text, std::size_t most = 200) {
    std::string out;
    for (const char* c = text; c != nullptr && *c != 0 && out.size() < most; ++c)
        out += (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) ? '?' : *c;
    return out;
}

void name_server(mailstream_ssl_context* context, void* host) {
    // SNI takes names only; an address literal is left out.
    const std::string& name = *static_cast<std::string*>(host);
    if (name.find_first_not_of("0123456789.") != std::string::npos && name.find(':') == std::string::npos)
        mailstream_ssl_set_server_name(context, const_cast<char*>(name.c_str()));
}

}  // namespace

etpan_imap::etpan_imap(const mail_url& url, const imap_options& options) : url_(url), options_(options) {}

etpan_imap::~etpan_imap() { close(); }

void etpan_imap::close() {
    if (session_ == nullptr) return;
    // mailimap_free would say LOGOUT first and wait for the answer, from a server that may have
    // stopped answering long ago.
    if (session_->imap_stream != nullptr) {
        mailstream_close(session_->imap_stream);
        session_->imap_stream = nullptr;
    }
    mailimap_free(session_);
    session_ = nullptr;
}

std::string etpan_imap::server_said() const {
    if (session_ == nullptr || session_->imap_response == nullptr || *session_->imap_response == 0) return "";
    return ": " + printable(session_->imap_response);
}

void etpan_imap::usable(const std::string& what) const {
    if (!connected())
        throw imap_error(imap_error::dropped, "the connection to " + url_.text() + " is closed (" + what + ")");
}

void etpan_imap::check(int code, const std::string& what) {
    if (code == MAILIMAP_NO_ERROR || code == MAILIMAP_NO_ERROR_AUTHENTICATED ||
        code == MAILIMAP_NO_ERROR_NON_AUTHENTICATED)
        return;
    const std::string server = url_.text();
    if (sink_failure_) {
        broken_ = true;
        std::rethrow_exception(std::exchange(sink_failure_, nullptr));
    }
    if (too_much_) {
        broken_ = true;
        throw imap_error(imap_error::protocol, server + " sent more than the answer to " + what + " can be");
    }
    switch (code) {
    case MAILIMAP_ERROR_STREAM:
        broken_ = true;
        throw imap_error(imap_error::dropped, "the connection to " + server + " broke or timed out during " + what);
    case MAILIMAP_ERROR_CONNECTION_REFUSED:
        broken_ = true;
        throw imap_error(imap_error::unreachable, "cannot connect to " + server);
    case MAILIMAP_ERROR_DONT_ACCEPT_CONNECTION:
        broken_ = true;
        throw imap_error(imap_error::unreachable, server + " does not accept the connection" + server_said());
    case MAILIMAP_ERROR_SSL:
    case MAILIMAP_ERROR_STARTTLS:
        broken_ = true;
        throw imap_error(imap_error::tls, "TLS with " + server + " failed during " + what);
    case MAILIMAP_ERROR_LOGIN:
        broken_ = true;
        throw imap_error(imap_error::login,
                         "the server " + server + " refused the login of user " + url_.user + server_said());
    case MAILIMAP_ERROR_PARSE:
    case MAILIMAP_ERROR_MEMORY:
    case MAILIMAP_ERROR_PROTOCOL:
    case MAILIMAP_ERROR_BAD_STATE:
    case MAILIMAP_ERROR_FATAL:
    case MAILIMAP_ERROR_NEEDS_MORE_DATA:
    case MAILIMAP_ERROR_INVAL:
        broken_ = true;
        throw imap_error(imap_error::protocol, server + " did not answer " + what + " in IMAP");
    default:
        // NO or BAD to one command: the conversation itself is intact.
        throw imap_error(imap_error::refused, server + " refused " + what + server_said());
    }
}

void etpan_imap::count_received(mailimap*, int log_type, const char*, std::size_t size, void* self) {
    auto& me = *static_cast<etpan_imap*>(self);
    if (log_type != MAILSTREAM_LOG_TYPE_DATA_RECEIVED || me.too_much_) return;
    me.held_ += size;
    if (me.held_ > most_held) {
        // Nothing can be returned from here to stop the library; a shut socket fails its next read.
        me.too_much_ = true;
        ::shutdown(mailimap_idle_get_fd(me.session_), SHUT_RDWR);
    }
}

bool etpan_imap::take_body(int, mailimap_msg_att_body_section*, const char* bytes, std::size_t size, void* self) {
    auto& me = *static_cast<etpan_imap*>(self);
    me.held_ -= std::min<std::uint64_t>(me.held_, size);
    if (!me.body_sink_) return true;
    try {
        me.body_sink_(std::string_view(bytes, size));
        return true;
    } catch (...) {
        // An exception must not cross the library's C frames: kept, and rethrown by check().
        me.sink_failure_ = std::current_exception();
        return false;
    }
}

void etpan_imap::read_capabilities() {
    mailimap_capability_data* data = nullptr;
    check(mailimap_capability(session_, &data), "CAPABILITY");
    capabilities_.clear();
    for (clistiter* it = clist_begin(data->cap_list); it != nullptr; it = clist_next(it)) {
        auto* cap = static_cast<struct mailimap_capability*>(clist_content(it));
        const char* text = cap->cap_type == MAILIMAP_CAPABILITY_NAME ? cap->cap_data.cap_name : nullptr;
        if (text == nullptr) continue;
        std::string name = text;
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
        capabilities_.push_back(std::move(name));
    }
    mailimap_capability_data_free(data);
}

bool etpan_imap::has(std::string_view capability) const {
    std::string wanted(capability);
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](unsigned char c) { return std::toupper(c); });
    return std::find(capabilities_.begin(), capabilities_.end(), wanted) != capabilities_.end();
}

void etpan_imap::open(const std::string& password) {
    session_ = mailimap_new(0, nullptr);
    if (session_ == nullptr) throw std::bad_alloc();
    mailimap_set_timeout(session_, options_.timeout_seconds);
    mailimap_set_logger(session_, &etpan_imap::count_received, this);
    mailimap_set_msg_body_handler(session_, &etpan_imap::take_body, this);
    const std::string server = url_.text();

    held_ = 0;
    // Connected here, with a timeout and a reason when it fails; the library takes the stream.
    std::string why;
    const int fd = connect_with_timeout(url_.host, url_.port, options_.timeout_seconds, why);
    if (fd < 0) {
        broken_ = true;
        throw imap_error(imap_error::unreachable, "cannot connect to " + server + ": " + why);
    }
    const bool implicit = url_.tls == mail_url::implicit_tls;
    mailstream* stream = implicit ? mailstream_ssl_open_with_callback_timeout(fd, options_.timeout_seconds, name_server,
                                                                              const_cast<std::string*>(&url_.host))
                                  : mailstream_socket_open_timeout(fd, options_.timeout_seconds);
    if (stream == nullptr) {
        ::close(fd);
        broken_ = true;
        throw imap_error(implicit ? imap_error::tls : imap_error::unreachable,
                         (implicit ? "the TLS handshake with " : "cannot connect to ") + server + " failed");
    }
    check(mailimap_connect(session_, stream), "the greeting");
    if (!implicit) {
        read_capabilities();
        if (has("STARTTLS")) {
            held_ = 0;
            check(mailimap_socket_starttls_with_callback(session_, name_server, const_cast<std::string*>(&url_.host)),
                  "STARTTLS");
        } else if (!plain_allowed(url_)) {
            broken_ = true;
            throw imap_error(imap_error::tls, server + " offers no STARTTLS; the password is not sent in the clear");
        }
    }
    if (implicit || has("STARTTLS")) {
        // The chain is checked before the password goes out.
        std::vector<std::string> chain;
        if (carray* der = mailstream_get_certificate_chain(session_->imap_stream); der != nullptr) {
            for (unsigned i = 0; i < carray_count(der); ++i) {
                auto* cert = static_cast<MMAPString*>(carray_get(der, i));
                chain.emplace_back(cert->str, cert->len);
                mmap_string_free(cert);
            }
            carray_free(der);
        }
        std::string untrusted;
        if (!check_certificate_chain(chain, url_.host, options_.ca_file, untrusted)) {
            broken_ = true;
            throw imap_error(imap_error::tls, server + ": " + untrusted);
        }
    }
    held_ = 0;
    check(mailimap_login(session_, url_.user.c_str(), password.c_str()), "LOGIN");
    // What a server offers can change with the login.
    held_ = 0;
    read_capabilities();
}

bool etpan_imap::idle(int seconds, int wake_fd) {
    usable("IDLE");
    held_ = 0;
    const int wait_ms = std::max(0, seconds) * 1000;
    auto changed = [this] {
        const mailimap_response_info* info = session_->imap_response_info;
        const mailimap_selection_info* selection = session_->imap_selection_info;
        const bool grew = selection != nullptr && (selection->sel_has_exists || selection->sel_has_recent);
        return grew ||
               (info != nullptr && (!clist_isempty(info->rsp_expunged) || !clist_isempty(info->rsp_fetch_list)));
    };
    if (!has("IDLE")) {
        pollfd wake{wake_fd, POLLIN, 0};
        if (wake_fd >= 0) ::poll(&wake, 1, wait_ms);
        else ::poll(nullptr, 0, wait_ms);
        if (session_->imap_selection_info != nullptr)
            session_->imap_selection_info->sel_has_exists = session_->imap_selection_info->sel_has_recent = 0;
        noop();
        return changed();
    }
    check(mailimap_idle(session_), "IDLE");
    // The server's first words may already sit in the library's buffer, where poll cannot see them.
    if (session_->imap_stream->read_buffer_len == 0) {
        pollfd fds[2] = {{mailimap_idle_get_fd(session_), POLLIN, 0}, {wake_fd, POLLIN, 0}};
        ::poll(fds, wake_fd >= 0 ? 2 : 1, wait_ms);
    }
    held_ = 0;
    check(mailimap_idle_done(session_), "IDLE (DONE)");
    return changed();
}

void etpan_imap::noop() {
    usable("NOOP");
    held_ = 0;
    check(mailimap_noop(session_), "NOOP");
}

void etpan_imap::logout() {
    if (session_ == nullptr) return;
    if (!broken_) {
        // A short wait: the answer changes nothing.
        if (session_->imap_stream != nullptr)
            mailstream_low_set_timeout(mailstream_get_low(session_->imap_stream),
                                       std::min(options_.timeout_seconds, 5));
        held_ = 0;
        mailimap_logout(session_);
    }
    close();
}

std::unique_ptr<imap_connection> open_imap_connection(const mail_url& url, const std::string& password,
                                                      const imap_options& options) {
    // The library writes to its socket without MSG_NOSIGNAL: a server that hangs up must be an
    // error to report, not the end of the process. The program ignores SIGPIPE anyway.
    static const bool pipes_quiet = [] {
        struct sigaction now {};
        if (::sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)pipes_quiet;
    auto connection = std::make_unique<etpan_imap>(url, options);
    connection->open(password);
    return connection;
}
