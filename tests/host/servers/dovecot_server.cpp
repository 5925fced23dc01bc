#include "servers/dovecot_server.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "servers/test_ca.h"

namespace {

std::uint16_t free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port on 127.0.0.1");
    ::close(fd);
    return ntohs(address.sin_port);
}

// True once the server on `port` says it is ready (Dovecot first says it waits for its
// authentication process).
bool greets(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool ready = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string said;
        pollfd wait{fd, POLLIN, 0};
        char buffer[512];
        while (!ready && ::poll(&wait, 1, 2000) == 1) {
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) break;
            said.append(buffer, static_cast<std::size_t>(got));
            ready = said.find("ready.") != std::string::npos;
        }
    }
    ::close(fd);
    return ready;
}

std::string user_name() {
    const passwd* me = ::getpwuid(::geteuid());
    if (me == nullptr) throw std::runtime_error("the test's user has no name");
    return me->pw_name;
}

}  // namespace

dovecot_server::dovecot_server(dovecot_options options) : options_(options) {
    namespace fs = std::filesystem;
    const bool root = ::geteuid() == 0;
    // Dovecot's helpers and the mail's owner must reach the scratch folder.
    ::chmod(dir_.path().c_str(), 0755);
    fs::create_directories(dir_.file("run"));
    fs::create_directories(dir_.file("mail"));
    const std::string mail_user = root ? "nobody" : user_name();
    const std::string mail_group = root ? "nogroup" : std::to_string(::getegid());
    if (root) {
        const passwd* nobody = ::getpwnam("nobody");
        const group* nogroup = ::getgrnam("nogroup");
        if (nobody == nullptr || nogroup == nullptr ||
            ::chown(dir_.file("mail").c_str(), nobody->pw_uid, nogroup->gr_gid) != 0)
            throw std::runtime_error("cannot give the test mail folder to nobody");
    }
    write_text_file(dir_.file("passwd"),
                    std::string(user) + ":{PLAIN}" + password + "\n" + other_user + ":{PLAIN}" + other_password + "\n");
    port_ = free_port();
    if (options_.tls) tls_port_ = free_port();

    std::string tls = "ssl = no\n";
    if (options_.tls) {
        const test_ca& ca = the_test_ca();
        tls = "ssl = yes\nssl_cert = <" + ca.server_cert + "\nssl_key = <" + ca.server_key + "\n";
    }
    const std::string internal_user = root ? "dovecot" : user_name();
    const std::string login_user = root ? "dovenull" : user_name();
    std::string config =
        "base_dir = " + dir_.file("run") + "\nstate_dir = " + dir_.file("state") +
        "\nlog_path = " + dir_.file("dovecot.log") + "\nprotocols = imap\nlisten = 127.0.0.1\n" + tls +
        "disable_plaintext_auth = no\nauth_mechanisms = plain login\nauth_failure_delay = 0\n"
        "default_internal_user = " +
        internal_user + "\ndefault_login_user = " + login_user +
        "\nfirst_valid_uid = 1\n"
        "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " +
        dir_.file("passwd") + "\n}\nuserdb {\n  driver = static\n  args = uid=" + mail_user + " gid=" + mail_group +
        " home=" + dir_.file("mail") + "/%u\n}\n" + "mail_location = maildir:" + dir_.file("mail") + "/%u/Maildir\n" +
        "namespace inbox {\n  inbox = yes\n  separator = /\n"
        "  mailbox Junk {\n    special_use = \\Junk\n    auto = create\n  }\n"
        "  mailbox Sent {\n    special_use = \\Sent\n    auto = create\n  }\n"
        "  mailbox Trash {\n    special_use = \\Trash\n    auto = create\n  }\n}\n" +
        (options_.idle_notify_seconds > 0
             ? "imap_idle_notify_interval = " + std::to_string(options_.idle_notify_seconds) + " secs\n"
             : std::string()) +
        (options_.capabilities.empty() ? std::string() : "imap_capability = " + options_.capabilities + "\n") +
        "service imap-login {\n  chroot =\n  inet_listener imap {\n    port = " + std::to_string(port_) +
        "\n  }\n  inet_listener imaps {\n    port = " + std::to_string(tls_port_) + "\n" +
        (options_.tls ? "    ssl = yes\n" : "") + "  }\n}\nservice anvil {\n  chroot =\n}\n";
    write_text_file(dir_.file("dovecot.conf"), config);
    start();
}

dovecot_server::~dovecot_server() { stop(); }

std::string dovecot_server::maildir(const std::string& user_name) const {
    return dir_.file("mail") + "/" + user_name + "/Maildir";
}

std::string dovecot_server::log() const { return read_text_file(dir_.file("dovecot.log")); }

void dovecot_server::start() {
    if (master_ > 0) return;
    std::filesystem::remove(dir_.file("run/master.pid"));
    const std::string config = dir_.file("dovecot.conf");
    master_ = ::fork();
    if (master_ < 0) throw std::runtime_error("cannot start dovecot");
    if (master_ == 0) {
        // Its own process group, so that a hard stop takes its helpers too.
        ::setpgid(0, 0);
        ::execl("/usr/sbin/dovecot", "dovecot", "-F", "-c", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(master_, master_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!greets(port_)) {
        int status = 0;
        if (::waitpid(master_, &status, WNOHANG) == master_) {
            master_ = -1;
            throw std::runtime_error("dovecot did not start:\n" + log());
        }
        if (std::chrono::steady_clock::now() > until) {
            stop(true);
            throw std::runtime_error("dovecot does not greet on 127.0.0.1:" + std::to_string(port_) + "\n" + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void dovecot_server::stop(bool hard) {
    if (master_ <= 0) return;
    ::kill(hard ? -master_ : master_, hard ? SIGKILL : SIGTERM);
    int status = 0;
    ::waitpid(master_, &status, 0);
    // Whatever of its group is left (a login process finishing) goes too.
    ::kill(-master_, SIGKILL);
    master_ = -1;
}
