// A challenge answers a stranger's header block: whatever it holds, the reply's header block has
// only the fields the composer writes, each once, on lines of printable ASCII (no CR, no NUL,
// nothing a value of the original could use to add a header), and one recipient.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "host/mime.h"
#include "host/reply.h"

namespace {

// The same shape as the reply tests' message ids: <left@right> in printable ASCII.
bool well_formed_id(std::string_view id) {
    if (id.size() < 5 || id.front() != '<' || id.back() != '>') return false;
    std::string_view inner = id.substr(1, id.size() - 2);
    size_t at = inner.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == inner.size()) return false;
    for (char c : inner)
        if (c <= ' ' || c >= 0x7F || c == '<' || c == '>') return false;
    return true;
}

void check_reply(const std::string& reply) {
    static const std::set<std::string> always = {"from",         "to",           "subject",        "date",
                                                 "message-id",   "mime-version", "content-type",   "auto-submitted",
                                                 "precedence",   "x-auto-response-suppress"};
    const size_t end = reply.find("\n\n");
    FUZZ_CHECK(end != std::string::npos);
    const std::string_view head = std::string_view(reply).substr(0, end + 1);

    std::map<std::string, int> names;
    std::map<std::string, std::string> values;  // unfolded
    std::string last;
    size_t line_start = 0;
    while (line_start < head.size()) {
        const size_t line_end = head.find('\n', line_start);
        const std::string_view line = head.substr(line_start, line_end - line_start);
        line_start = line_end + 1;
        FUZZ_CHECK(line.size() <= 998);
        for (unsigned char c : line) FUZZ_CHECK(c >= 0x20 ? c < 0x7F : c == '\t');
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            FUZZ_CHECK(!last.empty());
            values[last] += std::string(line);
            continue;
        }
        const size_t colon = line.find(':');
        FUZZ_CHECK(colon != std::string_view::npos);
        last = ascii_lower(line.substr(0, colon));
        ++names[last];
        values[last] = std::string(line.substr(colon + 1));
    }

    std::set<std::string> expected = always;
    if (names.count("in-reply-to")) {
        expected.insert({"in-reply-to", "references"});
        const std::string& id = values["in-reply-to"];
        FUZZ_CHECK(well_formed_id(id.substr(id.find_first_not_of(" \t"))));
        const std::string& references = values["references"];
        for (size_t i = 0; i < references.size();) {
            const size_t start = references.find_first_not_of(" \t", i);
            if (start == std::string::npos) break;
            const size_t stop = references.find_first_of(" \t", start);
            FUZZ_CHECK(well_formed_id(references.substr(start, stop - start)));
            i = stop;
        }
    }
    if (names.count("content-transfer-encoding")) expected.insert("content-transfer-encoding");
    std::set<std::string> found;
    for (const auto& [name, count] : names) {
        FUZZ_CHECK(count == 1);
        found.insert(name);
    }
    FUZZ_CHECK(found == expected);
    FUZZ_CHECK(parse_mailboxes(values["to"]).size() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string subject = input.ConsumeRandomLengthString(200);
    const std::string body = input.ConsumeRandomLengthString(400);
    const std::string block = input.ConsumeRemainingBytesAsString();

    const header_summary original = parse_headers(block);
    (void)reason_not_to_answer(original);
    std::string error;
    const std::optional<std::string> reply = compose_reply(original, subject, body, error);
    if (!reply) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    check_reply(*reply);
    return 0;
}
