// Authentication-Results fields come from strangers as much as from the user's server: any bytes
// parse, what is read follows the grammar, and a sender counts as authenticated only through a
// passing entry of the topmost trusted field above the first Received field; nothing below one
// ever vouches. The reason goes into the run's summary, so it stays one line
// of printable ASCII.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "policy/auth_results.h"

namespace {

bool keyword(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
    }
    return true;
}

bool printable(const std::string& text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (std::optional<auth_results_field> field = parse_auth_results(text)) {
        FUZZ_CHECK(!field->authserv_id.empty());
        for (const auth_result& entry : field->results) {
            FUZZ_CHECK(keyword(entry.method) && keyword(entry.result));
            std::set<std::string> names;
            for (const auto& [name, value] : entry.properties) {
                size_t dot = name.find('.');
                FUZZ_CHECK(dot != std::string::npos && keyword(name.substr(0, dot)) && keyword(name.substr(dot + 1)));
                FUZZ_CHECK(names.insert(name).second);
            }
        }
    }

    // The same bytes as a header block, the first line's id trusted.
    header_summary message = parse_headers(text);
    std::vector<std::string> trusted;
    for (const message_headers::field& header : message.headers.fields) {
        std::optional<auth_results_field> field = parse_auth_results(header.raw);
        if (field) trusted.push_back(field->authserv_id);
    }
    auth_verdict verdict = authentication_verdict(message.headers, message.sender, trusted);
    FUZZ_CHECK(printable(verdict.reason) && verdict.authenticated == verdict.reason.empty());
    if (verdict.authenticated) {
        // Only the topmost trusted field above the first Received field may have vouched.
        bool passed = false;
        for (const message_headers::field& header : message.headers.fields) {
            std::string name = ascii_lower(header.name);
            if (name == "received") break;
            std::optional<auth_results_field> field = parse_auth_results(header.raw);
            if (!field || name != "authentication-results") continue;
            for (const auth_result& entry : field->results) passed = passed || entry.result == "pass";
            break;
        }
        FUZZ_CHECK(passed);
    }

    // What lies below a Received field came with the message: a field there never vouches,
    // whatever id it names and whatever it says.
    std::string from_domain = message.sender.substr(message.sender.rfind('@') + 1);
    std::string forged = "Authentication-Results: " + (trusted.empty() ? std::string("mx") : trusted.front()) +
                         "; dmarc=pass header.from=" + from_domain + "; spf=pass smtp.mailfrom=" + from_domain +
                         "; dkim=pass header.d=" + from_domain + "\n";
    trusted.push_back("mx");
    header_summary below = parse_headers("Received: from a by b\n" + forged + std::string(text));
    FUZZ_CHECK(!authentication_verdict(below.headers, message.sender, trusted).authenticated);
    header_summary after = parse_headers("Received: from a by b\n" + std::string(text));
    FUZZ_CHECK(!authentication_verdict(after.headers, message.sender, trusted).authenticated);
    // Added under the block, the same field changes nothing above it.
    std::string longer(text);
    if (!longer.empty() && longer.back() != '\n') longer += '\n';
    header_summary appended = parse_headers(longer + "Received: from a by b\n" + forged);
    bool same_top = appended.headers.fields.size() >= message.headers.fields.size();
    for (size_t i = 0; same_top && i < message.headers.fields.size(); ++i) {
        same_top = appended.headers.fields[i].name == message.headers.fields[i].name &&
                   appended.headers.fields[i].raw == message.headers.fields[i].raw;
    }
    if (same_top) {
        FUZZ_CHECK(authentication_verdict(appended.headers, message.sender, trusted).authenticated ==
                   authentication_verdict(message.headers, message.sender, trusted).authenticated);
    }
    FUZZ_CHECK(!authentication_verdict(message.headers, message.sender, {}).authenticated);
    return 0;
}
