// What both ways of watching share (a Maildir by inotify, an IMAP account by IDLE): a batch of
// arrivals filtered in a child process, which takes the locks, loads the add-in, filters and
// exits. The add-in reads its lists once per process, and an add-in kept loaded across batches
// would write back lists that another command changed meanwhile.
#pragma once

#include <chrono>
#include <set>
#include <string>

#include "cli/exit_status.h"
#include "cli/filter_pass.h"

// How long a batch waits for the locks unless told otherwise.
inline constexpr int default_lock_timeout = 60;
// Every batch expires pending mail; without arrivals one is started now and then for it.
inline constexpr auto upkeep_interval = std::chrono::hours(1);

struct batch_outcome {
    int code = exit_ok;
    std::set<std::string> handed;  // every arrival name the batch handed over or found judged
    int filtered = 0;              // of them, handed to the add-in
};

// Runs one batch in a child process and waits for it, a signal meanwhile included: the pending
// mail past its time expired, then the arrivals not in `handed`. `first`: the watch's first
// batch, which tells what the first pass over the store found. Its code is exit_locked when
// another process held the locks past the timeout.
batch_outcome run_batch(const filter_options& filter, const std::set<std::string>& handed, bool first);
