// The decision log's line for one message of a pass (policy/decision_log.h): what the filter did
// with it, why, and what became of its challenge, as far as the host can tell.
#pragma once

#include <optional>
#include <string>

#include "common/mime.h"
#include "policy/activity.h"
#include "policy/decision_log.h"

// Where a pass writes its messages' lines: the log (null for none) and the pending folder's name.
struct judged_log {
    decision_log* log = nullptr;
    std::string pending;
};

class message_story {
public:
    // The story of the inbox message `name`, written to `where`.
    message_story(const judged_log& where, const std::string& name);

    // Its header fields, read before the filter acts.
    void read(const header_summary& headers);
    // Not judged this time: it stays new, for the next pass, because of `why`.
    void left(const std::string& why);
    // After the filter: `folder` is where it is now (none when gone, "" the inbox), `notes` the size
    // of the activity's notes before the filter acted on it.
    void judged(const mailer_activity& activity, const std::string& id, size_t notes,
                const std::optional<std::string>& folder, bool usable, bool move_failed);

private:
    void write(const char* action, std::string reason, std::string challenge = "none");

    const judged_log& where_;
    decision entry_;
};
