#include "policy/history.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iostream>

#include "common/append_file.h"
#include "common/percent_codec.h"
#include "common/text.h"
#include "platform/file_io.h"
#include "platform/posix_files.h"
#include "policy/activity.h"

namespace {

bool plain_name_byte(unsigned char c) { return std::isalnum(c) || c == '-' || c == '_' || c == '.'; }

std::string encode_name(const std::string& name) { return percent_encode(name, plain_name_byte); }

std::optional<std::string> decode_name(const std::string& encoded) {
    std::optional<std::string> name = percent_decode(encoded, plain_name_byte);
    if (!name || name->empty()) return std::nullopt;
    return name;
}

// "YYYY-MM-DDTHH:MM:SSZ", digits where digits belong.
bool is_history_time(const std::string& text) {
    constexpr const char* shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != std::strlen(shape)) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
    }
    return true;
}

}  // namespace

std::string history_time_now() { return utc_time(std::time(nullptr), "%Y-%m-%dT%H:%M:%SZ"); }

std::string format_history_line(const history_entry& entry) {
    std::string line = entry.time;
    for (const auto& [name, count] : entry.counts) {
        line += '\t';
        line += encode_name(name);
        line += '=';
        line += std::to_string(count);
    }
    return line + "\n";
}

std::optional<history_entry> parse_history_line(const std::string& line) {
    std::vector<std::string_view> fields = split(line, '\t');
    history_entry entry;
    entry.time = fields.front();
    if (!is_history_time(entry.time)) return std::nullopt;
    for (size_t i = 1; i < fields.size(); ++i) {
        size_t equals = fields[i].find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        std::optional<std::string> name = decode_name(std::string(fields[i].substr(0, equals)));
        std::string digits(fields[i].substr(equals + 1));
        if (!name || digits.empty() || digits.size() > 15) return std::nullopt;
        for (char c : digits) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        }
        if (!entry.counts.emplace(*name, std::stol(digits)).second) return std::nullopt;
    }
    return entry;
}

history_content parse_history(const std::string& text) {
    history_content content;
    for (std::string_view piece : split(text, '\n')) {
        std::string line(piece);
        if (line.empty()) continue;
        if (std::optional<history_entry> entry = parse_history_line(line)) content.entries.push_back(std::move(*entry));
        else content.bad_lines.push_back(line);
    }
    return content;
}

namespace {

// Past this size the history sheds its oldest lines, down to half of it: far more than the
// days `stats` shows, for mail delivered one message at a time.
constexpr std::uint64_t history_bound = std::uint64_t{4} << 20;

// The rare rewrite: the file read and checked, its lines that do not parse set aside whole,
// the oldest lines dropped when it is past its bound, `entry` added, and the file replaced
// atomically.
bool rewrite_history(const std::string& path, const history_entry& entry, std::string& error, std::string& set_aside) {
    std::optional<std::string> old = read_file(path);
    if (!old) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    history_content content = parse_history(*old);
    if (!content.bad_lines.empty()) {
        std::string stamp;
        for (char c : entry.time) {
            if (c != '-' && c != ':') stamp += c;
        }
        std::string aside = path + ".corrupt-" + stamp;
        if (int failed = posix_files::rename_no_replace(path, aside)) {
            error = "cannot set " + path + " aside as " + aside +
                    " (it has lines that cannot be read): " + std::strerror(failed);
            return false;
        }
        set_aside = aside;
    }
    std::vector<std::string> lines;
    std::uint64_t size = format_history_line(entry).size();
    for (auto at = content.entries.rbegin(); at != content.entries.rend(); ++at) {
        std::string line = format_history_line(*at);
        if ((size += line.size()) > history_bound / 2) break;
        lines.push_back(std::move(line));
    }
    std::string text;
    for (auto at = lines.rbegin(); at != lines.rend(); ++at) text += *at;
    text += format_history_line(entry);
    errno = 0;
    if (!replace_file_atomically(path, text)) {
        error = "cannot write " + path + (errno ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    return true;
}

}  // namespace

// A run's line is appended and flushed, never the file rewritten: a delivery costs one write and
// one flush. A file that ends in a cut line (a crash in an append) or has grown past its bound is
// rewritten instead, which is rare.
bool append_history(const std::string& path, const history_entry& entry, std::string& error, std::string& set_aside) {
    struct stat st {};
    bool rewrite = false;
    if (::stat(path.c_str(), &st) == 0) {
        char last = '\n';
        int fd = st.st_size > 0 ? posix_files::open_regular_file(path) : -1;
        if (fd >= 0) {
            if (::pread(fd, &last, 1, st.st_size - 1) != 1) last = 0;
            ::close(fd);
        }
        rewrite = last != '\n' || static_cast<std::uint64_t>(st.st_size) > history_bound;
    } else if (errno != ENOENT) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (rewrite) return rewrite_history(path, entry, error, set_aside);
    if (int failed = append_to_file(path, format_history_line(entry), true)) {
        error = "cannot write " + path + ": " + std::strerror(failed);
        return false;
    }
    return true;
}

history_entry history_entry_of(const mailer_activity& activity, int filtered, int kept, const std::string& pending) {
    namespace f = history_field;
    history_entry entry{history_time_now(), {}};
    auto moved = activity.moved_into.find(pending);
    entry.counts = {{f::filtered, filtered},
                    {f::kept, kept},
                    {f::pending, moved == activity.moved_into.end() ? 0 : moved->second},
                    {f::deleted, activity.deleted},
                    {f::expired, activity.expired},
                    {f::released, activity.released},
                    {f::sent, activity.replies_sent},
                    {f::failed, activity.replies_failed},
                    {f::withheld, activity.replies_withheld}};
    for (const auto& [reason, count] : activity.withheld_by) entry.counts[f::withheld_prefix + reason] = count;
    return entry;
}

bool record_history(const std::string& data_directory, const history_entry& entry) {
    std::string path = data_directory + "/" + history_file_name;
    std::string error;
    std::string set_aside;
    bool saved = append_history(path, entry, error, set_aside);
    if (!set_aside.empty())
        std::cerr << "tarnwick: " << path << " had lines that cannot be read; set aside as " << set_aside
                  << ", the readable lines kept\n";
    if (!saved) std::cerr << "tarnwick: this run's figures were not saved to the history: " << error << "\n";
    return saved;
}
