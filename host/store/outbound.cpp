#include "store/outbound.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

struct spawn_setup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    spawn_setup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~spawn_setup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    spawn_setup(const spawn_setup&) = delete;
    spawn_setup& operator=(const spawn_setup&) = delete;
};

}  // namespace

bool names_envelope_sender(std::string_view command) {
    size_t at = 0;
    while ((at = command.find_first_not_of(" \t\n", at)) != std::string_view::npos) {
        size_t end = std::min(command.find_first_of(" \t\n", at), command.size());
        std::string_view word = command.substr(at, end - at);
        if (word.substr(0, 2) == "-f" || word.substr(0, 6) == "--from") return true;
        at = end;
    }
    return false;
}

bool send_with_command(const std::string& command, std::string_view message, std::string& error) {
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    spawn_setup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, pipe_ends[0], 0);
    posix_spawn_file_actions_adddup2(&setup.actions, 2, 1);
    // The command starts with ordinary signal handling, whatever this program has changed.
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    sigaddset(&reset, SIGPIPE);
    sigaddset(&reset, SIGINT);
    sigaddset(&reset, SIGTERM);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &reset);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t child = 0;
    const char* shell = "/bin/sh";
    // The arguments travel as the shell's positional parameters: no quoting of them into the
    // command text.
    bool null_sender = !names_envelope_sender(command);
    std::string script = null_sender ? command + " \"$@\"" : command;
    char* argv[] = {const_cast<char*>("sh"),
                    const_cast<char*>("-c"),
                    const_cast<char*>(script.c_str()),
                    const_cast<char*>("sh"),
                    null_sender ? const_cast<char*>("-f") : nullptr,
                    const_cast<char*>("<>"),
                    nullptr};
    int failure = ::posix_spawn(&child, shell, &setup.actions, &setup.attributes, argv, environ);
    ::close(pipe_ends[0]);
    if (failure != 0) {
        ::close(pipe_ends[1]);
        error = "cannot start " + command + ": " + std::strerror(failure);
        return false;
    }

    // SIGPIPE is ignored by the program, so a command that stops reading gives EPIPE here.
    std::string_view rest = message;
    int write_error = 0;
    while (!rest.empty()) {
        ssize_t n = ::write(pipe_ends[1], rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            write_error = errno;
            break;
        }
        rest.remove_prefix(static_cast<size_t>(n));
    }
    ::close(pipe_ends[1]);

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            error = command + ": " + std::strerror(errno);
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (write_error == 0) return true;
        error = command + " did not read the whole message: " + std::strerror(write_error);
        return false;
    }
    if (WIFEXITED(status)) error = command + " exited with status " + std::to_string(WEXITSTATUS(status));
    else if (WIFSIGNALED(status)) error = command + " was killed by signal " + std::to_string(WTERMSIG(status));
    else error = command + " failed";
    return false;
}
