#include "engine/challenge_text.h"

#include "mail/email.h"

namespace engine_detail {

namespace {

constexpr std::string_view subject_placeholder = "%subject%";
constexpr std::string_view date_placeholder = "%date%";

// The first day after the year 9999, in days since 1970: later times are no dates.
constexpr std::int64_t days_limit = 2'932'897;
// 30 Dec 1899, the automation date's day 0, in days since 1970.
constexpr std::int64_t automation_epoch = -25'569;
constexpr std::int64_t automation_limit = days_limit - automation_epoch;

// The civil date of `days` since 1970 (the proleptic Gregorian calendar).
struct civil_date {
    std::int64_t year;
    int month;  // 1 to 12
    int day;    // 1 to 31
};
civil_date civil_from_days(std::int64_t days) {
    days += 719'468;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const std::int64_t of_era = days - era * 146'097;
    const std::int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36'524 - of_era / 146'096) / 365;
    const std::int64_t day_of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

std::string two_digits(std::int64_t value) {
    return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

// "Tue, 8 Dec 2026" for `days` since 1970.
std::string day_text(std::int64_t days) {
    static const char* const weekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};  // from 1 Jan 1970
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const civil_date date = civil_from_days(days);
    return std::string(weekdays[((days % 7) + 7) % 7]) + ", " + std::to_string(date.day) + " " +
           months[date.month - 1] + " " + std::to_string(date.year);
}

std::int64_t message_date(a_email& record) {
    std::int64_t date = record.get_time_value2();
    return date > 0 ? date : record.get_time_value();
}

}  // namespace

std::string one_line_text(std::string_view text, std::size_t limit) {
    std::string line;
    std::size_t characters = 0;
    bool blank = false;  // a blank is owed before the next character
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= ' ' || c == 0x7F) {
            blank = !line.empty();
            continue;
        }
        const bool starts_character = (c & 0xC0) != 0x80;
        if (starts_character && characters + (blank ? 1 : 0) >= limit) {
            line += "...";
            break;
        }
        if (blank) {
            line += ' ';
            ++characters;
            blank = false;
        }
        line += static_cast<char>(c);
        if (starts_character) ++characters;
    }
    return line;
}

std::string challenge_date_text(std::int64_t time) {
    if (time <= 0) return "";
    if (time < automation_limit) return day_text(time + automation_epoch);
    if (time / 86'400 >= days_limit) return "";
    const std::int64_t seconds = time % 86'400;
    return day_text(time / 86'400) + " " + two_digits(seconds / 3600) + ":" + two_digits(seconds / 60 % 60) + ":" +
           two_digits(seconds % 60) + " +0000";
}

std::string fill_challenge_placeholders(std::string_view body, std::string_view subject, std::int64_t date) {
    std::string filled;
    std::size_t from = 0;
    for (std::size_t at = body.find('%'); at != std::string_view::npos; at = body.find('%', at + 1)) {
        std::string_view rest = body.substr(at);
        std::string value;
        std::size_t length = 0;
        if (rest.starts_with(subject_placeholder)) {
            value = one_line_text(subject, challenge_subject_limit);
            length = subject_placeholder.size();
        } else if (rest.starts_with(date_placeholder)) {
            value = challenge_date_text(date);
            length = date_placeholder.size();
        } else {
            continue;
        }
        filled.append(body.substr(from, at - from)).append(value);
        from = at + length;
        at = from - 1;
    }
    return filled.append(body.substr(from));
}

std::string fill_challenge_placeholders(std::string_view body, a_email& record) {
    const bool names_subject = body.find(subject_placeholder) != std::string_view::npos;
    const bool names_date = body.find(date_placeholder) != std::string_view::npos;
    if (!names_subject && !names_date) return std::string(body);
    return fill_challenge_placeholders(body, names_subject ? record.get_subject() : "",
                                       names_date ? message_date(record) : 0);
}

}  // namespace engine_detail
