// `watch --imap`: the account's arrivals filtered as they come, by IDLE (imap_watch.cpp).
#pragma once

#include "cli/filter_pass.h"

// Filters what is new, then each batch of arrivals, until a signal asks to stop. A login or a
// certificate the server refuses ends it; a dropped connection is made again.
int watch_imap(const filter_options& options);
