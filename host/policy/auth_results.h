// Sender authentication as the user's own mail server recorded it in Authentication-Results
// fields (RFC 8601), and the verdict drawn from them: a challenge goes only to a sender whose
// From domain the trusted server saw authenticated, since most spam carries a forged sender and a
// challenge to it lands on an innocent third party.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/mime.h"

// One "method=result" entry with its properties.
struct auth_result {
    std::string method;  // lower case, without a version ("dkim/1" gives "dkim")
    std::string result;  // lower case
    // "ptype.property" in lower case ("smtp.mailfrom", "header.d") to its value, unquoted.
    std::vector<std::pair<std::string, std::string>> properties;

    // The value of the property `name`; none when the entry has none.
    std::optional<std::string> property(std::string_view name) const;
};

// One Authentication-Results field.
struct auth_results_field {
    std::string authserv_id;           // as written, unquoted
    std::vector<auth_result> results;  // empty for "none"
};

// The field of raw value `raw` (folding kept, comments anywhere). None when its service id or
// version cannot be read for certain, an unknown version is given, or a comment or quoted
// string is never closed: nothing of such a field is trusted. An entry that does not follow
// the grammar, or names a property twice, is left out; a "name=value" without a property type
// (as "action=none" of some servers) is read and ignored.
std::optional<auth_results_field> parse_auth_results(std::string_view raw);

// True when `a` and `b` are the same domain or have the same organisational domain (relaxed
// alignment of DMARC: the public suffix from the Public Suffix List and one label more), in any
// letter case, international names in either form, a final dot ignored. Empty names and empty
// labels never align; a public suffix aligns only with itself.
bool domains_aligned(std::string_view a, std::string_view b);

struct auth_verdict {
    bool authenticated = false;
    std::string reason;  // why not, for the run's summary; empty when authenticated
};

// Whether a message whose From address is `from_address` may be challenged. Only the fields of
// `headers` above the first Received field count (the user's own server adds them last; any
// below came with the message), and of those the topmost Authentication-Results field from one
// of `trusted_ids` (any letter case) decides: it shows dmarc=pass for the From domain, or
// spf=pass with the smtp.mailfrom domain aligned with it, or dkim=pass with header.d (or
// header.i) aligned with it. Fields of other ids are ignored: anyone can write one. The reason
// lists the spf, dkim and dmarc results of the deciding field, in their order ("not
// authenticated: spf=fail dmarc=fail"), or says that there was no trusted field (above the
// first Received field, when one of a trusted id lay below).
auth_verdict authentication_verdict(const message_headers& headers, std::string_view from_address,
                                    const std::vector<std::string>& trusted_ids);
