#include "store/imap_state.h"

#include <charconv>
#include <map>
#include <tuple>

#include "common/message_id.h"
#include "common/mime.h"
#include "common/percent_codec.h"
#include "common/text.h"

namespace imap_state {

namespace {

// A field holds no blank, no control byte and nothing beyond ASCII as it is.
bool plain(unsigned char c) { return c > ' ' && c < 0x7f; }

template <class T>
bool number(std::string_view text, T& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string fields_of(const move_intent& m) {
    return percent_encode(m.from, plain) + " " + std::to_string(m.validity) + " " + std::to_string(m.uid) + " " +
           percent_encode(m.to, plain) + " " + std::to_string(m.to_validity) + " " + std::to_string(m.to_next) + " " +
           std::to_string(m.size) + " " + (m.message_id.empty() ? "-" : percent_encode(m.message_id, plain));
}

std::optional<move_intent> parse_intent(const std::vector<std::string_view>& f) {
    move_intent m;
    std::optional<std::string> from = percent_decode(f[1], plain), to = percent_decode(f[4], plain);
    std::optional<std::string> id = f[8] == "-" ? std::string() : percent_decode(f[8], plain);
    if (!from || !to || !id || !number(f[2], m.validity) || !number(f[3], m.uid) || !number(f[5], m.to_validity) ||
        !number(f[6], m.to_next) || !number(f[7], m.size))
        return std::nullopt;
    m.from = std::move(*from);
    m.to = std::move(*to);
    m.message_id = std::move(*id);
    return m;
}

}  // namespace

std::string begun_line(const move_intent& intent) { return "move " + fields_of(intent) + "\n"; }
std::string done_line(const move_intent& intent) { return "done " + fields_of(intent) + "\n"; }

std::vector<move_intent> unfinished_moves(std::string_view text) {
    std::vector<move_intent> begun;
    for (std::string_view line : split(text, '\n')) {
        std::vector<std::string_view> f = split(line, ' ');
        if (f.size() != 9 || (f[0] != "move" && f[0] != "done")) continue;
        std::optional<move_intent> intent = parse_intent(f);
        if (!intent) continue;
        if (f[0] == "move") begun.push_back(std::move(*intent));
        else std::erase(begun, *intent);
    }
    return begun;
}

std::string inbox_text(const inbox_record& record) {
    std::string text = "uidvalidity " + std::to_string(record.validity) + "\n";
    for (const inbox_message& m : record.messages)
        text += std::to_string(m.uid) + " " + std::to_string(m.size) + " " + std::to_string(m.date) + " " +
                (m.message_id.empty() ? "-" : percent_encode(m.message_id, plain)) + "\n";
    return text;
}

std::optional<inbox_record> read_inbox(std::string_view text) {
    std::vector<std::string_view> lines = split(text, '\n');
    inbox_record record;
    if (lines.size() < 2 || !lines.back().empty() || !lines[0].starts_with("uidvalidity ") ||
        !number(lines[0].substr(12), record.validity))
        return std::nullopt;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        std::vector<std::string_view> f = split(lines[i], ' ');
        inbox_message m;
        std::optional<std::string> id = f.size() == 4 && f[3] != "-" ? percent_decode(f[3], plain) : std::string();
        if (f.size() != 4 || !id || !number(f[0], m.uid) || !number(f[1], m.size) || !number(f[2], m.date))
            return std::nullopt;
        m.message_id = std::move(*id);
        record.messages.push_back(std::move(m));
    }
    return record;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> match_renumbered(const std::vector<inbox_message>& before,
                                                                      const std::vector<inbox_message>& now) {
    using key = std::tuple<std::string, std::uint64_t, long long>;
    std::multimap<key, std::uint32_t> old;
    for (const inbox_message& m : before) old.emplace(key{m.message_id, m.size, m.date}, m.uid);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    for (const inbox_message& m : now) {
        auto found = old.find(key{m.message_id, m.size, m.date});
        if (found == old.end()) continue;
        pairs.emplace_back(found->second, m.uid);
        old.erase(found);
    }
    return pairs;
}

std::string message_id_of(std::string_view header_block) {
    header_summary headers = parse_headers(header_block);
    const message_headers::field* field = headers.headers.find("Message-ID");
    if (!field) return "";
    std::vector<std::string> ids = message_ids_in(field->raw, message_id_reading::lenient);
    return ids.empty() ? "" : ids.front();
}

}  // namespace imap_state
