// Stopping a run, a watch or a delivery cleanly: a signal ends the pass after the message in hand.
#pragma once

#include <signal.h>

// Set by SIGINT and SIGTERM once install_signal_handlers ran; the pipe's read end becomes
// readable then too, for a loop that waits in poll().
extern volatile sig_atomic_t stop_requested;
extern int signal_pipe[2];
// SIGINT and SIGTERM end the pass after the message in hand, so that the add-in is always
// unloaded cleanly.
void install_signal_handlers();
