// What a message's bytes are, whatever line ends the store keeps them with.
#pragma once

#include <glib.h>

#include <optional>
#include <string>
#include <string_view>

// What a message's bytes are, line ends counted as LF (a server or client that stores a copy may
// write CRLF where the original had LF, or the other way round): their length, their number of
// lines and their SHA-256. Anyone can send mail with the Message-ID, sender and subject of
// another, but not with its bytes: a copy in the inbox or the junk folder is the message the user
// moved only when these are the same.
struct message_fingerprint {
    long long size = -1;  // -1: not known
    long long lines = 0;
    std::string sha256;  // 64 lower-case hex digits; empty when not known

    // A copy on disk has `size` bytes with LF line ends, `size + lines` with CRLF.
    bool known() const { return !sha256.empty(); }
    bool operator==(const message_fingerprint&) const = default;
};

// The fingerprint of a message in memory, and of the regular file at `path` (read in pieces,
// never held whole; none when it is not a regular file or cannot be read to its end).
message_fingerprint fingerprint_of(std::string_view bytes);
std::optional<message_fingerprint> fingerprint_of_file(const std::string& path);

// Feeds a message to SHA-256 with each CRLF taken as LF, piece by piece, for bytes that arrive in
// pieces (a server's literal).
class fingerprint_maker {
public:
    fingerprint_maker() : sum_(g_checksum_new(G_CHECKSUM_SHA256)) {}
    ~fingerprint_maker() { g_checksum_free(sum_); }
    fingerprint_maker(const fingerprint_maker&) = delete;
    fingerprint_maker& operator=(const fingerprint_maker&) = delete;

    void add(std::string_view piece) {
        plain_.clear();
        for (char c : piece) {
            // A CR is held back until the next byte says whether it ends a line.
            if (held_cr_ && c != '\n') plain_ += '\r';
            held_cr_ = c == '\r';
            if (held_cr_) continue;
            plain_ += c;
            if (c == '\n') ++print_.lines;
        }
        g_checksum_update(sum_, reinterpret_cast<const guchar*>(plain_.data()), static_cast<gssize>(plain_.size()));
        print_.size += static_cast<long long>(plain_.size());
    }
    message_fingerprint finish() {
        if (held_cr_) {  // a CR at the very end ends no line
            g_checksum_update(sum_, reinterpret_cast<const guchar*>("\r"), 1);
            ++print_.size;
            held_cr_ = false;
        }
        print_.sha256 = g_checksum_get_string(sum_);
        return print_;
    }

private:
    GChecksum* sum_;
    std::string plain_;
    bool held_cr_ = false;
    message_fingerprint print_{0, 0, ""};
};
