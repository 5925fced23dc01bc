#include "cli/signals.h"

#include <fcntl.h>
#include <unistd.h>

volatile sig_atomic_t stop_requested = 0;
int signal_pipe[2] = {-1, -1};

namespace {
void on_signal(int) {
    stop_requested = 1;
    if (signal_pipe[1] >= 0) {
        ssize_t n = ::write(signal_pipe[1], "x", 1);
        (void)n;
    }
}
}  // namespace

void install_signal_handlers() {
    if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) signal_pipe[0] = signal_pipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}
