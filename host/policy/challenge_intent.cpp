#include "policy/challenge_intent.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "common/percent_codec.h"
#include "common/text.h"
#include "platform/file_io.h"
#include "platform/posix_files.h"
#include "store/folder_sync.h"

namespace {

// Printable ASCII but '%' stays; blanks, controls and bytes beyond ASCII become %XX. An empty
// field is "-", so "-" itself is encoded.
bool plain_field_byte(unsigned char c) { return c > 0x20 && c < 0x7F; }

std::string encode_field(const std::string& value) {
    if (value.empty()) return "-";
    if (value == "-") return "%2D";
    return percent_encode(value, plain_field_byte);
}

std::optional<std::string> decode_field(std::string_view encoded) {
    if (encoded == "-") return std::string();
    std::optional<std::string> value = percent_decode(encoded, plain_field_byte);
    if (!value || value->empty()) return std::nullopt;
    return value;
}

std::optional<challenge_intent> parse_line(std::string_view line) {
    std::vector<std::string_view> fields = split(line, '\t');
    if (fields.size() != 5) return std::nullopt;
    std::optional<std::string> message = decode_field(fields[0]);
    std::optional<std::string> address = decode_field(fields[1]);
    std::optional<std::string> challenge = decode_field(fields[3]);
    std::string_view time = fields[2];
    if (!message || message->empty() || !address || address->empty() || !challenge) return std::nullopt;
    if (time.empty() || time.size() > 15 || time.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    if (fields[4] != "begun" && fields[4] != "sent") return std::nullopt;
    return challenge_intent{*message, *address, std::stoll(std::string(time)), *challenge, fields[4] == "sent"};
}

}  // namespace

std::string format_challenge_record(const std::vector<challenge_intent>& entries) {
    std::string text;
    for (const challenge_intent& entry : entries) {
        text += encode_field(entry.message) + '\t' + encode_field(entry.address) + '\t' + std::to_string(entry.time) +
                '\t' + encode_field(entry.challenge) + '\t' + (entry.sent ? "sent" : "begun") + '\n';
    }
    return text;
}

std::vector<challenge_intent> parse_challenge_record(std::string_view text, int& bad_lines) {
    std::vector<challenge_intent> entries;
    bad_lines = 0;
    for (std::string_view line : split(text, '\n')) {
        if (line.empty()) continue;
        if (std::optional<challenge_intent> entry = parse_line(line)) entries.push_back(std::move(*entry));
        else ++bad_lines;
    }
    return entries;
}

challenge_record::challenge_record(std::string path) : path_(std::move(path)) {
    struct stat st {};
    int error = ::stat(path_.c_str(), &st) == 0 ? 0 : errno;
    if (error == ENOENT) return;
    std::optional<std::string> text;
    std::string why = error != 0 ? std::strerror(error) : "not a regular file";
    if (error == 0 && S_ISREG(st.st_mode)) {
        errno = 0;
        text = read_file(path_);
        why = errno != 0 ? std::strerror(errno) : "read failed";
    }
    if (!text) {
        readable_ = false;
        problem_ = "cannot read " + path_ + ": " + why + "; no challenge is sent until it can be read";
        return;
    }
    int bad_lines = 0;
    entries_ = parse_challenge_record(*text, bad_lines);
    if (bad_lines > 0)
        problem_ = path_ + " has " + std::to_string(bad_lines) + (bad_lines == 1 ? " line" : " lines") +
                   " that cannot be read; left out";
}

const challenge_intent* challenge_record::find_address(const std::string& address) const {
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const challenge_intent& entry) { return entry.address == address; });
    return found == entries_.end() ? nullptr : &*found;
}

bool challenge_record::write(bool durable, std::string& error) {
    std::string text = format_challenge_record(entries_);
    errno = 0;
    bool written = durable ? replace_file_atomically(path_, text) : posix_files::replace_file_unflushed(path_, text);
    if (!written) {
        error = "cannot write " + path_ + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
        return false;
    }
    // The challenge that follows must not outlast its record: the rename is flushed now, not at
    // the end of the pass.
    if (durable && folder_sync::deferring()) folder_sync::flush_data_folders();
    return true;
}

bool challenge_record::add(challenge_intent intent, std::string& error) {
    if (!readable_) {
        error = problem_;
        return false;
    }
    entries_.push_back(std::move(intent));
    if (write(true, error)) return true;
    entries_.pop_back();
    return false;
}

bool challenge_record::forget(const std::vector<std::string>& messages, std::string& error) {
    size_t before = entries_.size();
    std::erase_if(entries_, [&](const challenge_intent& entry) {
        return std::find(messages.begin(), messages.end(), entry.message) != messages.end();
    });
    return entries_.size() == before || write(false, error);
}

bool challenge_record::mark_sent(const std::vector<std::string>& messages, std::string& error) {
    bool changed = false;
    for (challenge_intent& entry : entries_) {
        if (!entry.sent && std::find(messages.begin(), messages.end(), entry.message) != messages.end())
            changed = entry.sent = true;
    }
    return !changed || write(false, error);
}
