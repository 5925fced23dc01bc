// The inbox messages the filter has judged, by their ids in the store (a Maildir's unique names,
// which a client's flag changes keep), in an append-only file of the data folder: one id a line,
// escaped. Where a message sits says nothing: kept mail stays new mail, and an IMAP server moves
// unread mail to a Maildir's cur/ whether the filter saw it or not.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/append_file.h"

// The record file in the data folder.
inline constexpr const char* judged_inbox_file_name = "judged-inbox.txt";

class judged_inbox {
public:
    // The record of the data folder `data_directory`, read. A line cut short by a crash is read
    // as what it holds; a line that does not decode is skipped.
    explicit judged_inbox(const std::string& data_directory);
    judged_inbox(const judged_inbox&) = delete;
    judged_inbox& operator=(const judged_inbox&) = delete;

    // False before the filter first ran over this store.
    bool exists() const { return exists_; }
    bool contains(const std::string& id) const { return ids_.count(id) > 0; }
    // Starts the record with `ids`, every message present, written whole and flushed at once;
    // what it held before is forgotten.
    bool start(const std::vector<std::string>& ids);
    // Appends `id` (nothing when known already); flushed only by flush().
    bool add(const std::string& id);
    // Flushes what was appended.
    bool flush();
    // Rewrites the record with only the names among `present` when it has grown to far more lines
    // than that (mail judged long ago and since removed). False only when a rewrite failed.
    bool compact(const std::vector<std::string>& present);

    // What failed to be written, for the summary; empty when nothing did.
    const std::string& problem() const { return problem_; }

private:
    bool fail(const std::string& what, int error);

    std::string path_;
    appending_file file_;
    bool exists_ = false;
    std::size_t lines_ = 0;
    std::unordered_set<std::string> ids_;
    std::string problem_;
};
