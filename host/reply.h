// Automatic replies: when a message may be answered automatically at all (RFC 3834, RFC 5230),
// and the reply itself.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/mime.h"

// `text` on one line, as any outside value must be before it goes into a header or a note:
// line breaks and other control characters become blanks.
std::string one_line(std::string_view text);

// Why `original` must not be answered automatically, as a short phrase for the summary
// ("mailing-list mail (List-Id)"); none when it may be answered.
std::optional<std::string> reason_not_to_answer(const header_summary& original);

// True for addresses that belong to robots and lists: MAILER-DAEMON, postmaster, LISTSERV, majordomo,
// owner-*, *-request and the usual no-reply spellings (any letter case, "+detail" ignored).
bool is_robot_address(std::string_view address);

// A complete reply to `original` (LF line ends): From the original's receiver (its X-Original-To
// or Delivered-To when it has one, else its first To), To the one address of its From (never its
// Reply-To: the challenge goes to the sender it authorizes), the given subject and UTF-8 body, In-Reply-To and
// References (only the original's well-formed message ids), Date, Message-ID, Auto-Submitted, Precedence and
// X-Auto-Response-Suppress. The original is never quoted, and no value of it can add a header
// line. None, with `error` saying why, when the original names nobody to answer, several, an
// address that cannot be written back as it is, or no address to answer from.
std::optional<std::string> compose_reply(const header_summary& original, std::string_view subject,
                                         std::string_view body, std::string& error);
