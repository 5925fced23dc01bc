// Header blocks come from strangers: any bytes parse, encoded words included, and everything the
// host hands on is UTF-8, as its callers (and the add-in's BSTRs) expect.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/mime.h"
#include "fuzz_support.h"
#include "fuzz_utf8.h"

namespace {

bool trimmed(const std::string& text) {
    return text.empty() || (text.find_first_of(" \t\r\n") != 0 && text.find_last_of(" \t\r\n") != text.size() - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    header_summary summary = parse_headers(text);
    FUZZ_CHECK(fuzz::utf8(summary.sender) && fuzz::utf8(summary.receiver) && fuzz::utf8(summary.subject));
    for (const message_headers::field& field : summary.headers.fields) {
        FUZZ_CHECK(fuzz::utf8(field.name) && fuzz::utf8(field.value) && fuzz::utf8(field.raw));
        FUZZ_CHECK(trimmed(field.value));
        FUZZ_CHECK(summary.headers.find(field.name) != nullptr);
    }

    // The same bytes as one field's raw value: the address-list parser takes anything.
    for (const mailbox& box : parse_mailboxes(text)) {
        FUZZ_CHECK(!box.address.empty());
        FUZZ_CHECK(fuzz::utf8(box.name) && fuzz::utf8(box.address));
    }
    for (const message_headers::field& field : summary.headers.fields) (void)parse_mailboxes(field.raw);

    (void)parse_date(text);
    const std::string lower = ascii_lower(text);
    FUZZ_CHECK(lower.size() == text.size());
    return 0;
}
