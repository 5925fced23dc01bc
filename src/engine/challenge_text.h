// The held message named in a challenge's text: "%subject%" and "%date%" in the configured body
// are filled from the message being challenged. Internal to src/engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class a_email;

namespace engine_detail {

// The most characters of a subject that a challenge repeats.
inline constexpr std::size_t challenge_subject_limit = 200;

// `text` fit for one line: each C0 control character and DEL (CR, LF, tab, NUL...) becomes a
// blank, a run of blanks one, the ends are trimmed, and past `limit` characters it is cut before
// a character and ends in "...". Bytes from 0x80 up pass as they are: narrow text is UTF-8 or
// the host's code page, and in both a C0 or DEL byte is a character of its own.
std::string one_line_text(std::string_view text, std::size_t limit);

// A message time as a challenge shows it, in UTC: seconds since 1970 (the Linux host's unit) as
// "Tue, 8 Dec 2026 10:00:00 +0000"; a value below 2958466 is an automation date (whole days since
// 30 Dec 1899, the COM time type) shown as "Tue, 8 Dec 2026". "" for 0, a negative value or one
// past the year 9999.
std::string challenge_date_text(std::int64_t time);

// `body` with each "%subject%" replaced by the subject made one line (at most
// challenge_subject_limit characters) and each "%date%" by challenge_date_text(`date`), in one
// pass: what is put in is never searched for placeholders. A body without them is returned as
// it is.
std::string fill_challenge_placeholders(std::string_view body, std::string_view subject, std::int64_t date);

// The same for the message `record`, asking the host only for what the body names: the date is
// the host's second message time (the Linux host's Date field), else its first (the arrival).
std::string fill_challenge_placeholders(std::string_view body, a_email& record);

}  // namespace engine_detail
