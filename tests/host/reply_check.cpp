#include "reply_check.h"

#include <set>
#include <string_view>

#include "common/mime.h"

namespace {

// <left@right> in printable ASCII without blanks: deliberately simpler than the composer's own
// rule, so that a fault in that rule cannot hide here too.
bool well_formed_id(std::string_view id) {
    if (id.size() < 5 || id.front() != '<' || id.back() != '>') return false;
    std::string_view inner = id.substr(1, id.size() - 2);
    size_t at = inner.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == inner.size()) return false;
    for (char c : inner)
        if (c <= ' ' || c >= 0x7F || c == '<' || c == '>') return false;
    return true;
}

}  // namespace

reply_header_check check_reply_headers(const std::string& reply) {
    static const std::set<std::string> always = {
        "from",         "to",           "subject",        "date",       "message-id",
        "mime-version", "content-type", "auto-submitted", "precedence", "x-auto-response-suppress"};
    reply_header_check check;
    auto problem = [&](const std::string& text) { check.problems.push_back(text.substr(0, 300)); };
    const size_t end = reply.find("\n\n");
    if (end == std::string::npos) {
        problem("no empty line ends the header block");
        return check;
    }
    const std::string_view head = std::string_view(reply).substr(0, end + 1);

    std::map<std::string, int> names;
    std::string last;
    for (size_t line_start = 0; line_start < head.size();) {
        const size_t line_end = head.find('\n', line_start);
        const std::string_view line = head.substr(line_start, line_end - line_start);
        line_start = line_end + 1;
        if (line.size() > 998) problem("a line of " + std::to_string(line.size()) + " bytes");
        for (unsigned char c : line) {
            if (c >= 0x20 ? c >= 0x7F : c != '\t') problem("byte " + std::to_string(c) + " in " + std::string(line));
        }
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (last.empty()) problem("the header block starts with a continuation");
            else check.values[last] += std::string(line);
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            problem("not a header line: " + std::string(line));
            continue;
        }
        last = ascii_lower(line.substr(0, colon));
        ++names[last];
        check.values[last] = std::string(line.substr(colon + 1));
    }

    std::set<std::string> expected = always;
    if (names.count("in-reply-to")) {
        expected.insert({"in-reply-to", "references"});
        const std::string& id = check.values["in-reply-to"];
        const size_t first = id.find_first_not_of(" \t");
        if (first == std::string::npos || !well_formed_id(std::string_view(id).substr(first)))
            problem("In-Reply-To:" + id);
        const std::string& references = check.values["references"];
        for (size_t i = 0; i < references.size();) {
            const size_t start = references.find_first_not_of(" \t", i);
            if (start == std::string::npos) break;
            const size_t stop = references.find_first_of(" \t", start);
            const std::string token = references.substr(start, stop - start);
            if (!well_formed_id(token)) problem("References: " + token);
            i = stop;
        }
    }
    if (names.count("content-transfer-encoding")) expected.insert("content-transfer-encoding");
    std::set<std::string> found;
    for (const auto& [name, count] : names) {
        if (count != 1) problem(name + " written " + std::to_string(count) + " times");
        found.insert(name);
    }
    for (const std::string& name : found)
        if (!expected.count(name)) problem("a field the composer does not write: " + name);
    for (const std::string& name : expected)
        if (!found.count(name)) problem("missing field: " + name);
    if (parse_mailboxes(check.values["to"]).size() != 1) problem("To:" + check.values["to"]);
    return check;
}

std::string problems_text(const reply_header_check& check) {
    std::string text;
    for (const std::string& line : check.problems) text += line + "\n";
    return text;
}
