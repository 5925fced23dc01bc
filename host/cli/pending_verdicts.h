// `tarnwick pending approve|reject ID...`: the user's verdict on mail of the pending folder named
// by the number `tarnwick pending` shows or by its Message-ID, taken as moving the message to the
// inbox or the junk folder would be (policy/judging.h).
#pragma once

#include <cstddef>

#include "cli/options.h"

// The number `tarnwick pending` shows for the message at `position` (0 the newest) of the
// `count` waiting, newest first, and the commands take: 1 for the oldest, so that mail parked
// meanwhile does not change the numbers already shown.
inline std::size_t pending_number(std::size_t position, std::size_t count) { return count - position; }

// `pending approve ID...` or `pending reject ID...` (the action and the IDs are the positional
// words). Every ID is resolved before anything is written: an unknown one changes nothing and
// gives exit_failure. Throws usage_error for a wrong argument.
int judge_pending(const parsed_arguments& arguments);
