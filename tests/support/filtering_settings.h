// The settings that the engine tests and the benchmarks filter with: protection on, the usual
// list files, and a challenge whose subject carries the key: a key of the user's own, never the
// pristine copy's, which the configuration would replace at its next load.
#pragma once

#include <map>
#include <string>

inline std::map<std::string, std::string> filtering_settings() {
    return {{"EnableProtection", "true"},
            {"MarkBlockedAsRead", "true"},
            {"AutoDeleteBlocked", "true"},
            {"PendingToBlockedTimeo", "14"},
            {"ATHORIZED_LIST_FN", "authorized.lst"},
            {"IGNORE_LIST_FN", "ignore.lst"},
            {"PENDING_LIST_FN", "pending.lst"},
            {"REMOVE_LIST_FN", "remove.lst"},
            {"PENDING_FOLDER_NAME", "Pending"},
            {"ARSubjectKey", "[TWK-TESTKEY]"},
            {"ARSubject", "Please confirm [TWK-TESTKEY]"},
            {"ARMessage", "Hello,\x01Please reply.\x01Thanks"}};
}
