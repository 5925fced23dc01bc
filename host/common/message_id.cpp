#include "common/message_id.h"

#include "common/text.h"

namespace {

bool dot_atom_text(std::string_view text) {
    for (char c : text) {
        if (!is_atext(c) && c != '.') return false;
    }
    return true;
}

// Printable bytes without blanks: an id another program wrote can still be matched on one line.
bool lenient_message_id(std::string_view id) {
    if (id.size() <= 2) return false;
    for (char c : id) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return false;
    }
    return true;
}

}  // namespace

// GMime parses the ids it writes, and rewrites others: "<m@[x>" came out as "<m@[x>>". So
// anything else is left out, never repaired.
bool well_formed_message_id(std::string_view id) {
    if (id.size() < 5 || id.size() > 250 || id.front() != '<' || id.back() != '>') return false;
    std::string_view inner = id.substr(1, id.size() - 2);
    size_t at = inner.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == inner.size() ||
        inner.find('@', at + 1) != std::string_view::npos)
        return false;
    if (!dot_atom_text(inner.substr(0, at))) return false;
    std::string_view right = inner.substr(at + 1);
    if (right.front() != '[') return dot_atom_text(right);
    if (right.size() < 2 || right.back() != ']') return false;
    for (char c : right.substr(1, right.size() - 2)) {
        if (c <= ' ' || c >= 0x7F || c == '[' || c == ']' || c == '\\') return false;
    }
    return true;
}

std::vector<std::string> message_ids_in(std::string_view raw, message_id_reading reading) {
    std::vector<std::string> ids;
    size_t open = raw.find('<');
    while (open != std::string_view::npos) {
        // The '<' nearest to the '>' opens the id: "<<a@b>" names "<a@b>".
        size_t close = raw.find_first_of("<>", open + 1);
        if (close == std::string_view::npos) break;
        if (raw[close] == '<') {
            open = close;
            continue;
        }
        std::string_view id = raw.substr(open, close - open + 1);
        bool kept = reading == message_id_reading::strict ? well_formed_message_id(id) : lenient_message_id(id);
        if (kept) ids.emplace_back(id);
        open = raw.find('<', close);
    }
    return ids;
}
