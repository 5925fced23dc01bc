#include "cli/remote_options.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

mail_url read_url(const parsed_arguments& arguments, const std::string& option, mail_url::protocol_kind protocol) {
    std::string error;
    // The value is not repeated: a URL that holds a password must not show it again.
    std::optional<mail_url> url = parse_mail_url(arguments.value(option), protocol, error);
    if (!url) throw usage_error(arguments.origin(option) + ": " + error);
    return *url;
}

std::string absolute(const std::string& path) {
    if (path[0] == '/') return path;
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer)) throw usage_error("cannot tell the current folder");
    return std::string(buffer) + "/" + path;
}

// The certificate file, opened now so that a mistake is told before anything is written, not at
// the first connection.
std::string read_ca_file(const parsed_arguments& arguments) {
    std::string path = arguments.value("--tls-ca");
    std::string problem;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0) problem = std::strerror(errno);
    else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) problem = "not a regular file";
    if (fd >= 0) ::close(fd);
    if (!problem.empty())
        throw usage_error(arguments.origin("--tls-ca") + ": cannot read the certificate file " + path + ": " + problem);
    return absolute(path);
}

}  // namespace

std::optional<remote_account_options> read_remote_account_options(const parsed_arguments& arguments) {
    if (!arguments.has("--imap")) {
        for (const char* option : {"--smtp", "--password-command", "--tls-ca"})
            if (arguments.on_command_line(option)) throw usage_error(std::string(option) + " needs --imap");
        return std::nullopt;
    }
    remote_account_options account;
    account.imap = read_url(arguments, "--imap", mail_url::imap);
    if (arguments.has("--smtp")) {
        account.smtp = read_url(arguments, "--smtp", mail_url::smtp);
        if (account.smtp->user.empty()) account.smtp->user = account.imap.user;
    }
    if (!arguments.has("--password-command"))
        throw usage_error(arguments.origin("--imap") +
                          " needs --password-command CMD (or password-command in the settings file), a command "
                          "that prints the password, such as \"pass show mail\"");
    account.password_command = arguments.value("--password-command");
    if (arguments.has("--tls-ca")) account.tls_ca = read_ca_file(arguments);
    return account;
}
