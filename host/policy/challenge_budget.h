// The challenge budget: at most so many challenges an hour across all senders and all runs, so
// that a flood of strangers costs at most the budget. The send times of the last hour live in a
// small file of the data folder, one time (seconds since 1970) a line, replaced whole each time.
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
    // Counts a challenge sent at `now` and rewrites the file. False, with `error` naming the file
    // and the system's reason, when it could not be written; the count in memory stays right.
    // With `durable` false the file is replaced without being flushed to disk, which save() then
    // does once for a whole pass.
    bool record(std::time_t now, std::string& error, bool durable = true);
    // Writes the file once more, flushed to disk, when a record was not; true when nothing was to
    // do. On failure as record().
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
    bool unflushed_ = false;  // the file was replaced without being flushed to disk
    std::string text_;        // text() for the first text_times_ times of sent_
    size_t text_times_ = 0;
};
