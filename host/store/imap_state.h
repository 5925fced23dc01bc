// What the IMAP store keeps between runs in its state folder: the moves by COPY it began (a
// dropped connection may cut one off between the copy and the expunge, leaving the message in
// both folders until the next run finishes it), and the inbox as last seen, so that mail the
// server numbered anew (a new UIDVALIDITY) is found again instead of taken for new mail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace imap_state {

// The record files in the state folder.
inline constexpr const char* moves_file = "imap-moves";
inline constexpr const char* inbox_file = "imap-inbox";

// A move about to be made: the message by its UID in the source, and how its copy is known in the
// target (a UID from the target's UIDNEXT before the copy on, with its size and Message-ID).
struct move_intent {
    std::string from, to;  // server folder names
    std::uint32_t validity = 0, uid = 0;
    std::uint32_t to_validity = 0, to_next = 0;
    std::uint64_t size = 0;
    std::string message_id;
    bool operator==(const move_intent&) const = default;
};

// The record's line that begins `intent` ("move ...\n"), and the one that says it is done.
std::string begun_line(const move_intent& intent);
std::string done_line(const move_intent& intent);
// The moves of the record `text` begun and not noted done, in their order. Broken lines (a crash
// in the middle of an append) are skipped.
std::vector<move_intent> unfinished_moves(std::string_view text);

// One message of the inbox as last seen.
struct inbox_message {
    std::uint32_t uid = 0;
    std::uint64_t size = 0;
    long long date = 0;      // the server's internal date
    std::string message_id;  // "" when it has none
    bool operator==(const inbox_message&) const = default;
};
struct inbox_record {
    std::uint32_t validity = 0;
    std::vector<inbox_message> messages;  // by UID
    bool operator==(const inbox_record&) const = default;
};
std::string inbox_text(const inbox_record& record);
// None when `text` is no such record.
std::optional<inbox_record> read_inbox(std::string_view text);

// The messages of `before` found again in `now`, (old UID, new UID): the same Message-ID, size and
// internal date, each message matched once, in UID order where several are alike.
std::vector<std::pair<std::uint32_t, std::uint32_t>> match_renumbered(const std::vector<inbox_message>& before,
                                                                      const std::vector<inbox_message>& now);

// The first Message-ID of a header block, as written; "" when it has none.
std::string message_id_of(std::string_view header_block);

}  // namespace imap_state
