// The challenge budget: at most so many challenges an hour across all senders and all runs, so
// that a flood of strangers costs at most the budget. The send times of the last hour live in a
// small file of the data folder, one time (seconds since 1970) a line, appended for each challenge
// and rewritten only now and then, to drop the times gone by.
#pragma once

#include <ctime>
#include <string>
#include <vector>

class challenge_budget {
public:
    // The budget of `limit` challenges an hour kept in the file `path`, read now. A file that
    // cannot be read, or lines that are not times, can only lower the budget: an unreadable
    // file counts as the whole budget spent now, and each bad line as a challenge sent when the
    // file last changed. problem() then says so.
    challenge_budget(std::string path, int limit, std::time_t now);

    // True when `limit` challenges went out in the hour before `now`.
    bool spent(std::time_t now);
    // Counts a challenge sent at `now` and appends it to the file. False, with `error` naming the file
    // and the system's reason, when it could not be written; the count in memory stays right.
    // With `durable` false the file is not flushed to disk, which save() then does once for a
    // whole pass.
    bool record(std::time_t now, std::string& error, bool durable = true);
    // Flushes the file to disk (rewrites it, when an append failed) after records that were not;
    // true when nothing was to do. On failure as record().
    bool save(std::string& error);

    // What was wrong with the file when it was read; empty when nothing was.
    const std::string& problem() const { return problem_; }
    const std::string& path() const { return path_; }
    int limit() const { return limit_; }

private:
    void forget_before(std::time_t now);
    // The file's text for sent_, kept up to date as times come and go rather than made anew for
    // each challenge (a generous limit makes it long).
    const std::string& text();

    std::string path_;
    int limit_;
    std::vector<std::time_t> sent_;  // send times within the last hour, oldest first
    std::string problem_;
    bool unflushed_ = false;      // the file was changed without being flushed to disk
    bool needs_rewrite_ = false;  // an append failed: the file is written whole next time
    size_t file_lines_ = 0;       // lines in the file, old times included
    std::string text_;            // text() for the first text_times_ times of sent_
    size_t text_times_ = 0;
};
