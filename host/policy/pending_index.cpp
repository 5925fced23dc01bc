#include "policy/pending_index.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "common/percent_codec.h"
#include "common/text.h"
#include "platform/file_io.h"

namespace {

// Longest values kept; longer ones are cut, never refused.
constexpr size_t unique_limit = 255;
constexpr size_t id_limit = 998;
constexpr size_t sender_limit = 320;
constexpr size_t subject_limit = 998;
constexpr size_t date_limit = 200;
constexpr size_t challenge_limit = 400;
constexpr size_t old_field_count = 8;  // an index written before the bytes were recorded
constexpr size_t field_count = 11;

constexpr const char* index_heading =
    "# tarnwick pending index: unique name, parked, arrived, Message-ID, sender, Date, challenge, subject, "
    "size, lines, SHA-256\n";

// At most `limit` bytes of `text`, never ending inside a UTF-8 sequence.
std::string bounded(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

// Tabs and line ends would break the line, and "%" starts an escape: those and every other
// control character are written as %XX.
bool plain_text_byte(unsigned char c) { return c >= 0x20 && c != 0x7F; }

std::string escaped(std::string_view text) { return percent_encode(text, plain_text_byte); }

// Bare control bytes were always read as they stood.
bool any_byte(unsigned char) { return true; }

std::optional<std::string> unescaped(std::string_view text, size_t limit) {
    std::optional<std::string> out = percent_decode(text, any_byte);
    if (!out || out->size() > limit) return std::nullopt;
    return out;
}

std::optional<long long> whole_number(std::string_view text) {
    if (text.empty() || text.size() > 15) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The size, lines and SHA-256 fields: all three empty for bytes not known.
std::optional<message_fingerprint> parse_fingerprint(std::string_view size, std::string_view lines,
                                                     std::string_view sha256) {
    if (size.empty() && lines.empty() && sha256.empty()) return message_fingerprint{};
    std::optional<long long> bytes = whole_number(size), count = whole_number(lines);
    if (!bytes || !count || *count > *bytes || sha256.size() != 64 ||
        sha256.find_first_not_of("0123456789abcdef") != std::string_view::npos)
        return std::nullopt;
    return message_fingerprint{*bytes, *count, std::string(sha256)};
}

std::optional<pending_entry> parse_line(std::string_view line) {
    std::vector<std::string_view> fields = split(line, '\t');
    if (fields.size() != field_count && fields.size() != old_field_count) return std::nullopt;
    std::optional<message_fingerprint> bytes =
        fields.size() == old_field_count ? message_fingerprint{} : parse_fingerprint(fields[8], fields[9], fields[10]);
    pending_entry entry;
    std::optional<std::string> unique = unescaped(fields[0], unique_limit);
    std::optional<long long> parked = whole_number(fields[1]);
    std::optional<long long> arrived = whole_number(fields[2]);
    std::optional<std::string> id = unescaped(fields[3], id_limit);
    std::optional<std::string> sender = unescaped(fields[4], sender_limit);
    std::optional<std::string> date = unescaped(fields[5], date_limit);
    std::optional<std::string> challenge = unescaped(fields[6], challenge_limit);
    std::optional<std::string> subject = unescaped(fields[7], subject_limit);
    if (!unique || unique->empty() || unique->find_first_of("/:") != std::string::npos || !parked || !arrived || !id ||
        !sender || !date || !challenge || challenge->empty() || !subject || !bytes)
        return std::nullopt;
    return pending_entry{*unique, *parked, *arrived, *id, *sender, *subject, *date, *challenge, *bytes};
}

// The length of the UTF-8 sequence starting at `text[i]`, or 0 when it is not a valid one.
size_t valid_sequence(std::string_view text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    unsigned char second = static_cast<unsigned char>(text[i + 1]);
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
        (c == 0xF4 && second > 0x8F))
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

// The code point of the valid UTF-8 sequence of `length` bytes at `text[i]`.
char32_t code_point(std::string_view text, size_t i, size_t length) {
    static constexpr unsigned char lead_bits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(text[i]) & lead_bits[length];
    for (size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return c;
}

// Characters that show nothing themselves but change how the text around them shows: the marks
// and overrides of bidirectional text can make an address or a subject read as another one, and
// the zero-width ones hide what stands between the letters.
bool is_invisible_formatting(char32_t c) {
    return c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

}  // namespace

pending_entry entry_of(const header_summary& headers, std::string unique, long long parked, long long arrived,
                       std::string challenge) {
    pending_entry entry;
    entry.unique = bounded(unique, unique_limit);
    entry.parked = parked;
    entry.arrived = arrived;
    entry.message_id = bounded(headers.headers.value("Message-ID").value_or(""), id_limit);
    entry.sender = bounded(ascii_lower(headers.sender), sender_limit);
    entry.subject = bounded(headers.subject, subject_limit);
    entry.date = bounded(headers.headers.value("Date").value_or(""), date_limit);
    entry.challenge = bounded(challenge.empty() ? "none" : challenge, challenge_limit);
    return entry;
}

bool same_message(const pending_entry& a, const pending_entry& b) {
    if (a.sender != b.sender || a.message_id != b.message_id) return false;
    return !a.message_id.empty() || (a.date == b.date && a.subject == b.subject);
}

std::string format_pending_index(const std::map<std::string, pending_entry>& entries) {
    std::string text = index_heading;
    for (const auto& [unique, e] : entries) {
        text += escaped(bounded(e.unique, unique_limit)) + '\t' + std::to_string(e.parked) + '\t' +
                std::to_string(e.arrived) + '\t' + escaped(bounded(e.message_id, id_limit)) + '\t' +
                escaped(bounded(e.sender, sender_limit)) + '\t' + escaped(bounded(e.date, date_limit)) + '\t' +
                escaped(bounded(e.challenge, challenge_limit)) + '\t' + escaped(bounded(e.subject, subject_limit)) +
                '\t';
        if (e.bytes.known())
            text += std::to_string(e.bytes.size) + '\t' + std::to_string(e.bytes.lines) + '\t' + e.bytes.sha256;
        else text += "\t\t";  // size, lines and SHA-256 all empty: not known
        text += '\n';
    }
    return text;
}

std::map<std::string, pending_entry> parse_pending_index(std::string_view text, int& bad_lines) {
    std::map<std::string, pending_entry> entries;
    bad_lines = 0;
    while (!text.empty()) {
        std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(text.size(), line.size() + 1));
        if (line.empty() || line.front() == '#') continue;
        std::optional<pending_entry> entry = parse_line(line);
        if (!entry || entries.count(entry->unique)) {
            ++bad_lines;
            continue;
        }
        std::string key = entry->unique;
        entries.emplace(std::move(key), std::move(*entry));
    }
    return entries;
}

std::map<std::string, pending_entry> load_pending_index(const std::string& data_directory, std::string& problem) {
    problem.clear();
    std::string path = data_directory + "/" + pending_index_file_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return {};
    std::optional<std::string> text = read_file(path);
    if (!text) {
        problem = "cannot read " + path + ": " + std::strerror(errno) + "; the pending mail is indexed anew";
        return {};
    }
    int bad_lines = 0;
    std::map<std::string, pending_entry> entries = parse_pending_index(*text, bad_lines);
    if (bad_lines)
        problem = path + ": " + std::to_string(bad_lines) + (bad_lines == 1 ? " line" : " lines") +
                  " could not be read; those messages are indexed anew";
    return entries;
}

bool save_pending_index(const std::string& data_directory, const std::map<std::string, pending_entry>& entries,
                        std::string& error) {
    std::string path = data_directory + "/" + pending_index_file_name;
    errno = 0;
    if (replace_file_atomically(path, format_pending_index(entries))) return true;
    error = "cannot write " + path + (errno ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
}

std::string shown_text(std::string_view text, size_t limit) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : valid_sequence(text, i);
        char32_t point = length == 0 ? 0xFFFD : code_point(text, i, length);
        std::string piece;
        if (length == 0) {
            piece = "\xEF\xBF\xBD";
        } else if (point < 0x20 || (point >= 0x7F && point < 0xA0)) {
            piece = " ";  // C0 and C1 control characters
        } else if (is_invisible_formatting(point)) {
            char name[16];
            std::snprintf(name, sizeof name, "<U+%04X>", static_cast<unsigned>(point));
            piece = name;
        } else {
            piece = text.substr(i, length);
        }
        i += length == 0 ? 1 : length;
        if (out.size() + piece.size() > limit) {
            out += "...";
            break;
        }
        out += piece;
    }
    return out;
}

std::string challenge_text(const std::string& challenge) {
    if (challenge.rfind("sent:", 0) == 0) return "sent to " + challenge.substr(5);
    if (challenge.rfind("withheld:", 0) == 0) return "withheld (" + challenge.substr(9) + ")";
    if (challenge.rfind("none:", 0) == 0) return challenge.substr(5);  // why none was sent
    return challenge;
}

std::vector<waiting_message> waiting_messages(mail_store& store, const std::string& folder,
                                              const std::map<std::string, pending_entry>& index) {
    if (!store.has_folder(folder)) return {};
    std::vector<mail_store::listed_message> listed = store.list(folder);
    std::set<std::string> present;
    for (const mail_store::listed_message& message : listed) present.insert(message.id);
    std::vector<waiting_message> found;
    for (mail_store::listed_message& message : listed) {
        auto known = index.find(message.id);
        if (known != index.end()) {
            found.push_back({known->second, std::move(message)});
            continue;
        }
        std::optional<std::string> block = store.header_block(folder, message.id, 256 * 1024);
        long long arrived = message.arrival.tv_sec;
        pending_entry entry = entry_of(parse_headers(block.value_or("")), message.id, arrived, arrived, "unknown");
        for (const auto& [gone, old] : index) {
            if (!present.count(gone) && same_message(old, entry)) {
                entry = old;
                entry.unique = message.id;
                break;
            }
        }
        found.push_back({std::move(entry), std::move(message)});
    }
    // Newest first; by name within one tick.
    std::sort(found.begin(), found.end(), [](const waiting_message& a, const waiting_message& b) {
        const timespec &x = a.message.arrival, &y = b.message.arrival;
        if (x.tv_sec != y.tv_sec) return x.tv_sec > y.tv_sec;
        if (x.tv_nsec != y.tv_nsec) return x.tv_nsec > y.tv_nsec;
        return a.message.name > b.message.name;
    });
    return found;
}
