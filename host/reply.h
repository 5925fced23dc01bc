// Automatic replies: when a message may be answered automatically at all (RFC 3834, RFC 5230),
// and the reply itself.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/mime.h"

// Why `original` must not be answered automatically, as a short phrase for the summary
// ("mailing-list mail (List-Id)"); none when it may be answered.
std::optional<std::string> reason_not_to_answer(const header_summary& original);

// True for addresses that belong to robots and lists: MAILER-DAEMON, postmaster, LISTSERV, majordomo,
// owner-*, *-request and the usual no-reply spellings (any letter case, "+detail" ignored).
bool is_robot_address(std::string_view address);

// A complete reply to `original` (LF line ends): From the original's receiver (its X-Original-To
// or Delivered-To when it has one, else its first To), To the one address of its Reply-To or else
// of its From, the given subject and UTF-8 body, In-Reply-To and References, Date, Message-ID,
// Auto-Submitted, Precedence and X-Auto-Response-Suppress. The original is never quoted. None, with `error` saying why, when
// the original names nobody to answer, several, or no address to answer from.
std::optional<std::string> compose_reply(const header_summary& original, std::string_view subject,
                                         std::string_view body, std::string& error);
