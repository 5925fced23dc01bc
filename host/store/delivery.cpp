#include "store/delivery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/file_io.h"
#include "platform/posix_files.h"
#include "store/maildir.h"

namespace {

// The most of a message held in memory: enough for the header block of real mail.
constexpr size_t head_limit = 64 * 1024;

// Reads from `in` into `head` until it holds the end of the header block, head_limit bytes, or
// all of the input (`ended`). 0 or the errno of a read error.
int read_head(int in, std::string& head, bool& ended) {
    char buffer[8192];
    ended = false;
    while (head.size() < head_limit && head.find("\n\n") == std::string::npos &&
           head.find("\n\r\n") == std::string::npos) {
        ssize_t n = ::read(in, buffer, std::min(sizeof buffer, head_limit - head.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) {
            ended = true;
            break;
        }
        head.append(buffer, static_cast<size_t>(n));
    }
    return 0;
}

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return true;
}

// True when `line` starts a field named `name` (blanks allowed before the colon).
bool starts_field(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || !same_letters(line.substr(0, name.size()), name)) return false;
    size_t colon = line.find_first_not_of(" \t", name.size());
    return colon != std::string_view::npos && line[colon] == ':';
}

// Writes `bytes` to `fd` (the file `path`) through the test seam's write step.
int write_step(int fd, const std::string& path, std::string_view bytes) {
    if (int refused = file_step_error(file_step::write, path)) return refused;
    return posix_files::write_all(fd, bytes) ? 0 : errno;
}

// True when the fields a delivery agent puts on top of `head` (Return-Path, X-Original-To,
// Delivered-To) hold "Delivered-To: `recipient`": Postfix's local delivery writes one before it
// runs the mailbox command.
bool delivered_to_on_top(std::string_view head, std::string_view recipient) {
    for (size_t at = 0; at < head.size();) {
        size_t end = head.find('\n', at);
        if (end == std::string_view::npos) return false;
        std::string_view line = head.substr(at, end + 1 - at);
        at = end + 1;
        if (line[0] == ' ' || line[0] == '\t') continue;
        if (starts_field(line, "Delivered-To")) {
            std::string_view value = line.substr(line.find(':') + 1);
            size_t first = value.find_first_not_of(" \t");
            size_t last = value.find_last_not_of(" \t\r\n");
            if (first != std::string_view::npos && same_letters(value.substr(first, last + 1 - first), recipient))
                return true;
        } else if (!starts_field(line, "Return-Path") && !starts_field(line, "X-Original-To")) {
            return false;
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> envelope_address(std::string_view text) {
    if (text.size() > 900) return std::nullopt;
    if (text.size() >= 2 && text.front() == '<' && text.back() == '>') text = text.substr(1, text.size() - 2);
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == 0x7f || c == '<' || c == '>') return std::nullopt;
    }
    // How mailbox files and the delivery agents that write them name the null sender.
    if (same_letters(text, "MAILER-DAEMON")) return std::string();
    return std::string(text);
}

std::string delivery_header_lines(const envelope& sent, std::string_view head) {
    size_t end = head.find('\n');
    std::string eol = end != std::string_view::npos && end > 0 && head[end - 1] == '\r' ? "\r\n" : "\n";
    std::string lines;
    if (sent.sender) lines += "Return-Path: <" + *sent.sender + ">" + eol;
    if (sent.recipient && !sent.recipient->empty() && !delivered_to_on_top(head, *sent.recipient))
        lines += "Delivered-To: " + *sent.recipient + eol;
    return lines;
}

std::string without_return_path(std::string_view head) {
    std::string kept;
    bool dropping = false;
    for (size_t at = 0; at < head.size();) {
        size_t end = head.find('\n', at);
        if (end == std::string_view::npos) {
            // A line cut off where reading stopped: whatever it continues, it stays.
            kept.append(head.substr(at));
            break;
        }
        std::string_view line = head.substr(at, end + 1 - at);
        if (line == "\n" || line == "\r\n") {
            kept.append(head.substr(at));
            break;
        }
        bool continued = line[0] == ' ' || line[0] == '\t';
        if (!continued) dropping = starts_field(line, "Return-Path");
        if (!dropping) kept.append(line);
        at = end + 1;
    }
    return kept;
}

std::optional<std::string> postmark_sender(std::string_view head) {
    if (head.substr(0, 5) != "From ") return std::nullopt;
    std::string_view rest = head.substr(5);
    std::string_view word = rest.substr(0, rest.find_first_of(" \t\r\n"));
    if (word.empty()) return std::nullopt;
    return std::string(word);
}

std::optional<stored_message> write_message(int in, const std::string& folder_dir, envelope sent, std::string& error) {
    std::string head;
    bool ended = false;
    if (int failure = read_head(in, head, ended); failure != 0) {
        error = std::string("cannot read the message: ") + std::strerror(failure);
        return std::nullopt;
    }
    if (std::optional<std::string> postmarked = postmark_sender(head)) {
        // A mailbox's separator line, not part of the message in a Maildir.
        size_t end = head.find('\n');
        head.erase(0, end == std::string::npos ? head.size() : end + 1);
        if (!sent.sender) sent.sender = envelope_address(*postmarked);
    }
    // The envelope sender decides whether this is a bounce: the message's own Return-Path,
    // written by whoever sent it, goes.
    if (sent.sender) head = without_return_path(head);
    std::string lines = delivery_header_lines(sent, head);

    stored_message stored;
    stored.name = maildir::new_unique_name();
    stored.temporary = folder_dir + "/tmp/" + maildir::temporary_name(stored.name);
    const std::string& temporary = stored.temporary;
    int failure = file_step_error(file_step::create, temporary);
    int fd = failure != 0 ? -1 : ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (failure == 0 && fd < 0) failure = errno;
    if (fd < 0) {
        error = temporary + ": " + std::strerror(failure);
        return std::nullopt;
    }
    bool input_failed = false;
    failure = write_step(fd, temporary, lines + head);
    stored.size = lines.size() + head.size();
    char buffer[65536];
    while (failure == 0 && !ended) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = errno;
            input_failed = true;
        } else if (n == 0) {
            ended = true;
        } else {
            failure = write_step(fd, temporary, std::string_view(buffer, static_cast<size_t>(n)));
            stored.size += static_cast<std::uint64_t>(n);
        }
    }
    if (failure == 0) failure = file_step_error(file_step::flush, temporary);
    if (failure == 0 && ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure != 0) {
        error = input_failed ? std::string("cannot read the message: ") + std::strerror(failure)
                             : temporary + ": " + std::strerror(failure);
        posix_files::remove_file(temporary);
        return std::nullopt;
    }
    return stored;
}

bool publish_message(const std::string& folder_dir, const stored_message& stored, std::string& error) {
    std::string target = folder_dir + "/new/" + stored.name;
    if (int failure = maildir::move_no_replace(stored.temporary, target); failure != 0) {
        error = target + ": " + std::strerror(failure);
        return false;
    }
    // Stored means it survives a crash: without the folder flushed the rename may not. The mail
    // system keeps a message it is told was not stored, so it must not stay here then.
    if (int failure = posix_files::sync_directory(folder_dir + "/new"); failure != 0) {
        if (posix_files::remove_file(target) == 0) {
            error = folder_dir + "/new: " + std::strerror(failure);
            return false;
        }
    }
    return true;
}

std::optional<stored_message> store_message(int in, const std::string& folder_dir, envelope sent, std::string& error) {
    std::optional<stored_message> stored = write_message(in, folder_dir, std::move(sent), error);
    if (!stored) return std::nullopt;
    if (!publish_message(folder_dir, *stored, error)) {
        posix_files::remove_file(stored->temporary);
        return std::nullopt;
    }
    return stored;
}
