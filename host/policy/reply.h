// Automatic replies: when a message may be answered automatically at all (RFC 3834, RFC 5230),
// and the reply itself.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mime.h"

// `text` on one line, as any outside value must be before it goes into a header or a note:
// line breaks and other control characters become blanks.
std::string one_line(std::string_view text);

// Why `original` must not be answered automatically, as a short phrase for the summary
// ("mailing-list mail (List-Id)"); none when it may be answered.
std::optional<std::string> reason_not_to_answer(const header_summary& original);

// True for addresses that belong to robots and lists: MAILER-DAEMON, postmaster, LISTSERV, majordomo,
// owner-*, *-request and the usual no-reply spellings (any letter case, "+detail" ignored).
bool is_robot_address(std::string_view address);

// What the host knows of the user's own addresses when it answers a message.
struct user_addresses {
    std::string recipient;         // the envelope recipient of this very delivery; "" when not known
    std::vector<std::string> own;  // the own-address setting, the first the default
};

// True when `address` is an addr-spec a reply can carry as it is: a dot-atom local part, '@',
// and a host name (international ones have an ASCII form).
bool writable_address(std::string_view address);

// True when `address` is one of `user`'s: its envelope recipient or one of its own addresses
// (any letter case).
bool is_user_address(std::string_view address, const user_addresses& user);

// The user's address that `original` came to, to answer from and to tell mail to oneself: the
// envelope recipient, else the topmost Delivered-To when it is one of the own addresses, else the
// first To or Cc address that is one, else the first own address. Only writable addresses count.
// None when the user has none: a field of the message alone never names him, since a stranger
// writes them all.
std::optional<std::string> user_address(const header_summary& original, const user_addresses& user);

// A complete reply to `original` (LF line ends): From the user's address (user_address, never a
// display name), To the one address of its From (never its Reply-To: the challenge goes to the
// sender it authorizes), the given subject and UTF-8 body, In-Reply-To and References (only the
// original's well-formed message ids), Date, Message-ID (in the domain of the From), Auto-Submitted,
// Precedence and X-Auto-Response-Suppress. The original is never quoted, and no value of it can
// add a header line. None, with `error` saying why, when the original names nobody to answer,
// several, an address that cannot be written back as it is, or the user has no address to answer
// from.
std::optional<std::string> compose_reply(const header_summary& original, std::string_view subject,
                                         std::string_view body, std::string& error, const user_addresses& user = {});
