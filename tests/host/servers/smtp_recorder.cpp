#include "servers/smtp_recorder.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "servers/test_ca.h"

extern char** environ;

namespace {

std::vector<std::string> lines_in(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

smtp_recorder::smtp_recorder(const settings& how) {
    static const char* const modes[] = {"plain", "starttls", "tls"};
    std::vector<std::string> args{"/usr/bin/python3", TARNWICK_SMTP_RECORDER, dir_.path(), modes[how.tls]};
    if (how.tls != plain) {
        const test_ca& ca = the_test_ca();
        args.insert(args.end(), {"--cert", ca.server_cert, "--key", ca.server_key});
    }
    if (!how.user.empty()) args.insert(args.end(), {"--user", how.user, "--password", how.password});
    if (how.stall) args.push_back("--stall");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, dir_.file("server.log").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start the SMTP recorder");
    for (int waited = 0; waited < 1000; ++waited) {
        std::string port = read_text_file(dir_.file("port"));
        if (!port.empty()) {
            port_ = static_cast<std::uint16_t>(std::stoi(port));
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string log = read_text_file(dir_.file("server.log"));
    stop();
    throw std::runtime_error("the SMTP recorder did not start: " + log);
}

smtp_recorder::~smtp_recorder() { stop(); }

void smtp_recorder::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::vector<smtp_recorder::envelope> smtp_recorder::envelopes() const {
    std::vector<envelope> found;
    for (int n = 1; file_exists(dir_.file(std::to_string(n) + ".env")); ++n) {
        std::string base = dir_.file(std::to_string(n));
        found.push_back({lines_in(read_text_file(base + ".env")), read_text_file(base + ".data")});
    }
    return found;
}

std::vector<std::string> smtp_recorder::auth_attempts() const {
    return lines_in(read_text_file(dir_.file("auth.log")));
}
