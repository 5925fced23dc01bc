#include "policy/challenge_budget.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>

#include "common/append_file.h"
#include "platform/file_io.h"
#include "platform/posix_files.h"

namespace {

constexpr std::time_t hour = 3600;

// A line's time: decimal digits only, of a sane length.
std::optional<std::time_t> time_of(const std::string& line) {
    if (line.empty() || line.size() > 12 ||
        !std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return static_cast<std::time_t>(std::stoll(line));
}

}  // namespace

challenge_budget::challenge_budget(std::string path, int limit, std::time_t now)
    : path_(std::move(path)), limit_(limit) {
    struct stat st {};
    int error = ::stat(path_.c_str(), &st) == 0 ? 0 : errno;
    if (error == ENOENT) return;
    std::optional<std::string> text = error == 0 ? read_file(path_) : std::nullopt;
    if (!text) {
        problem_ = "cannot read " + path_ + (error != 0 ? std::string(" (") + std::strerror(error) + ")" : "") +
                   ": the challenge budget counts as spent for this hour";
        sent_.assign(static_cast<size_t>(std::max(limit_, 0)), now);
        return;
    }
    std::time_t changed = st.st_mtime;
    int bad = 0;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        ++file_lines_;
        std::optional<std::time_t> sent = time_of(line);
        if (!sent) ++bad;
        // A time ahead of the clock (the clock was set back) counts as now.
        sent_.push_back(std::min(sent.value_or(changed), now));
    }
    if (bad > 0)
        problem_ = path_ + " has " + std::to_string(bad) + (bad == 1 ? " line" : " lines") +
                   " that are not times; each counts as a challenge sent when the file last changed";
    std::sort(sent_.begin(), sent_.end());
    forget_before(now);
}

void challenge_budget::forget_before(std::time_t now) {
    auto old = [&](std::time_t sent) { return sent <= now - hour; };
    // Oldest first, unless the clock was set back: the times to forget are then at the front.
    auto kept = std::find_if_not(sent_.begin(), sent_.end(), old);
    if (std::any_of(kept, sent_.end(), old)) {
        std::erase_if(sent_, old);
        text_.clear();
        text_times_ = 0;
        return;
    }
    size_t forgotten = static_cast<size_t>(kept - sent_.begin());
    if (forgotten == 0) return;
    sent_.erase(sent_.begin(), kept);
    // Their lines go from the front of the text too.
    size_t cut = 0;
    for (size_t i = 0; i < std::min(forgotten, text_times_); ++i) cut = text_.find('\n', cut) + 1;
    text_.erase(0, cut);
    text_times_ -= std::min(forgotten, text_times_);
}

const std::string& challenge_budget::text() {
    for (; text_times_ < sent_.size(); ++text_times_)
        text_ += std::to_string(static_cast<long long>(sent_[text_times_])) + "\n";
    return text_;
}

bool challenge_budget::spent(std::time_t now) {
    forget_before(now);
    return static_cast<long>(sent_.size()) >= limit_;
}

bool challenge_budget::record(std::time_t now, std::string& error, bool durable) {
    forget_before(now);
    sent_.push_back(now);
    // Appended; rewritten only when the file holds many times gone by, or an append failed.
    bool rewrite = needs_rewrite_ || file_lines_ >= std::max<size_t>(4 * static_cast<size_t>(std::max(limit_, 0)), 64);
    errno = 0;
    int failure = 0;
    if (rewrite) {
        bool written =
            durable ? replace_file_atomically(path_, text()) : posix_files::replace_file_unflushed(path_, text());
        failure = written ? 0 : (errno != 0 ? errno : EIO);
        if (written) file_lines_ = sent_.size();
    } else {
        failure = append_to_file(path_, std::to_string(static_cast<long long>(now)) + "\n", durable);
        if (failure == 0) ++file_lines_;
    }
    needs_rewrite_ = failure != 0;
    unflushed_ = !durable;  // save() flushes it, or tries again
    if (failure == 0) return true;
    error = "cannot record the challenge in " + path_ + ": " + std::strerror(failure);
    return false;
}

bool challenge_budget::save(std::string& error) {
    if (!unflushed_) return true;
    errno = 0;
    int failure = 0;
    if (needs_rewrite_) failure = replace_file_atomically(path_, text()) ? 0 : (errno != 0 ? errno : EIO);
    else failure = flush_file(path_);
    if (failure == 0) {
        unflushed_ = needs_rewrite_ = false;
        file_lines_ = std::max(file_lines_, sent_.size());
        return true;
    }
    error = "cannot record the challenges in " + path_ + ": " + std::strerror(failure);
    return false;
}
