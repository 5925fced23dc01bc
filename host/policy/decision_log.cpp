#include "policy/decision_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/mime.h"
#include "common/text.h"
#include "platform/file_io.h"
#include "platform/posix_files.h"
#include "policy/pending_index.h"

namespace {

constexpr size_t field_count = 8;
// Each field's bound in bytes: enough for any honest value, short enough for a line of a few KiB.
constexpr size_t field_limits[field_count] = {32, 255, 300, 320, 300, 32, 600, 600};

std::string field(std::string_view value, size_t limit) {
    std::string safe = shown_text(value, limit);
    return safe.empty() ? "-" : safe;
}

std::string without_brackets(std::string_view id) {
    std::string text = trimmed(id);
    if (text.size() >= 2 && text.front() == '<' && text.back() == '>') text = text.substr(1, text.size() - 2);
    return text;
}

}  // namespace

std::string decision_time_now() { return utc_time(std::time(nullptr), "%Y-%m-%dT%H:%M:%SZ"); }

std::string format_decision(const decision& entry) {
    const std::string* values[field_count] = {&entry.time,    &entry.unique, &entry.message_id, &entry.sender,
                                              &entry.subject, &entry.action, &entry.reason,     &entry.challenge};
    std::string line;
    for (size_t i = 0; i < field_count; ++i) {
        if (i) line += '\t';
        line += field(*values[i], field_limits[i]);
    }
    return line + "\n";
}

std::optional<decision> parse_decision(std::string_view line) {
    std::vector<std::string_view> fields = split(line, '\t');
    // Fields a later version adds are ignored.
    if (fields.size() < field_count || fields[0].size() != 20 || fields[0].back() != 'Z') return std::nullopt;
    decision entry;
    std::string* values[field_count] = {&entry.time,    &entry.unique, &entry.message_id, &entry.sender,
                                        &entry.subject, &entry.action, &entry.reason,     &entry.challenge};
    for (size_t i = 0; i < field_count; ++i) *values[i] = fields[i] == "-" ? "" : std::string(fields[i]);
    return entry;
}

bool decision_matches(const decision& entry, std::string_view query) {
    std::string wanted = trimmed(query);
    if (wanted.empty()) return false;
    if (!entry.sender.empty() && ascii_lower(entry.sender) == ascii_lower(wanted)) return true;
    std::string id = without_brackets(wanted);
    return !id.empty() && without_brackets(entry.message_id) == id;
}

decision_log::decision_log(std::string data_directory, std::uint64_t bound)
    : path_(std::move(data_directory) + "/" + decision_log_name), bound_(bound), file_(path_) {}

void decision_log::fail(const std::string& what, int error) {
    if (problem_.empty()) problem_ = "cannot " + what + " " + path_ + ": " + std::strerror(error);
}

bool decision_log::write(const decision& entry) {
    std::string line = format_decision(entry);
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && st.st_size > 0 &&
        static_cast<std::uint64_t>(st.st_size) + line.size() > bound_) {
        // Full: it becomes the one rotation, and the older one goes.
        file_.close();
        int error = file_step_error(file_step::rename, path_);
        if (error == 0 && ::rename(path_.c_str(), (path_ + ".1").c_str()) != 0) error = errno;
        if (error != 0) {
            fail("rotate", error);
            return false;
        }
    }
    if (int error = file_.append(line)) {
        fail("write", error);
        return false;
    }
    return true;
}

std::vector<decision> read_decisions(const std::string& data_directory, std::string& error) {
    std::vector<decision> entries;
    std::string path = data_directory + "/" + decision_log_name;
    for (const std::string& file : {path + ".1", path}) {
        std::string text;
        int failure = posix_files::read_regular_file(file, text);
        if (failure == ENOENT) continue;
        if (failure != 0) {
            if (error.empty()) error = "cannot read " + file + ": " + posix_files::reading_error_text(failure);
            continue;
        }
        for (std::string_view line : split(text, '\n')) {
            if (std::optional<decision> entry = parse_decision(line)) entries.push_back(std::move(*entry));
        }
    }
    return entries;
}
