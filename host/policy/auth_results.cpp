#include "policy/auth_results.h"

#include <libpsl.h>

#include <algorithm>

#include "common/gmime_support.h"
#include "common/text.h"

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_keyword_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// A MIME token character; 8-bit bytes are let through for international service ids.
bool is_token_char(char c) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return true;
    return byte > 0x20 && byte < 0x7F && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// A property value written bare: an address, a domain, a base64 fragment, "256/256".
bool is_value_char(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || (byte > 0x20 && byte < 0x7F && c != ';' && c != '(' && c != ')' && c != '"' && c != '\\');
}

// Reads a field value left to right. An unclosed comment or quoted string makes it broken:
// where one ends is then unknown, and so is everything after it.
class field_reader {
public:
    explicit field_reader(std::string_view text) : text_(text) {}

    bool broken() const { return broken_; }
    bool at_end() const { return at_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[at_]; }
    bool take(char c) {
        if (at_end() || text_[at_] != c) return false;
        ++at_;
        return true;
    }

    // Skips blanks, line folding and comments (nested, with quoted pairs).
    void skip_cfws() {
        while (!at_end()) {
            if (is_space(peek())) ++at_;
            else if (peek() == '(') skip_comment();
            else break;
            if (broken_) return;
        }
    }
    // True at the end of an item: the end, ';', a blank or a comment.
    bool at_boundary() const { return at_end() || peek() == ';' || peek() == '(' || is_space(peek()); }

    std::string keyword() { return run_of(is_keyword_char); }

    // A token or a quoted string; none when neither starts here.
    std::optional<std::string> value() {
        if (peek() == '"') return quoted();
        std::string token = run_of(is_token_char);
        if (token.empty()) return std::nullopt;
        return token;
    }

    // A property value: a quoted string (a quoted local part may go on with "@domain") or a
    // bare run of value characters.
    std::optional<std::string> property_value() {
        std::string result;
        if (peek() == '"') {
            std::optional<std::string> inner = quoted();
            if (!inner) return std::nullopt;
            result = *inner;
            if (peek() != '@') return result;
        }
        result += run_of(is_value_char);
        if (result.empty()) return std::nullopt;
        return result;
    }

    // Passes over the rest of an entry that cannot be read, up to its ';'.
    void skip_entry() {
        while (!at_end() && !broken_ && peek() != ';') {
            if (peek() == '(') skip_comment();
            else if (peek() == '"') quoted();
            else ++at_;
        }
    }

private:
    template <class Pred>
    std::string run_of(Pred accepts) {
        size_t start = at_;
        while (!at_end() && accepts(text_[at_])) ++at_;
        return std::string(text_.substr(start, at_ - start));
    }

    std::optional<std::string> quoted() {
        ++at_;  // the opening quote
        std::string inner;
        while (!at_end()) {
            char c = text_[at_++];
            if (c == '"') return inner;
            if (c == '\\' && !at_end()) c = text_[at_++];
            inner += c;
        }
        broken_ = true;
        return std::nullopt;
    }

    void skip_comment() {
        int depth = 0;
        while (!at_end()) {
            char c = text_[at_++];
            if (c == '\\' && !at_end()) ++at_;
            else if (c == '(') ++depth;
            else if (c == ')' && --depth == 0) return;
        }
        broken_ = true;
    }

    std::string_view text_;
    size_t at_ = 0;
    bool broken_ = false;
};

// One "method[/version] = result *(reason / property)" entry, up to its ';' or the end. None
// when it does not follow the grammar.
std::optional<auth_result> read_entry(field_reader& in) {
    auth_result entry;
    entry.method = ascii_lower(in.keyword());
    if (entry.method.empty()) return std::nullopt;
    in.skip_cfws();
    if (in.take('/')) {
        in.skip_cfws();
        if (in.keyword().empty()) return std::nullopt;
        in.skip_cfws();
    }
    if (!in.take('=')) return std::nullopt;
    in.skip_cfws();
    entry.result = ascii_lower(in.keyword());
    if (entry.result.empty() || !in.at_boundary()) return std::nullopt;
    while (true) {
        in.skip_cfws();
        if (in.broken()) return std::nullopt;
        if (in.at_end() || in.peek() == ';') return entry;
        std::string name = ascii_lower(in.keyword());
        if (name.empty()) return std::nullopt;
        in.skip_cfws();
        bool typed = in.take('.');
        if (typed) {
            in.skip_cfws();
            std::string property = ascii_lower(in.keyword());
            if (property.empty()) return std::nullopt;
            name += "." + property;
            in.skip_cfws();
        }
        if (!in.take('=')) return std::nullopt;
        in.skip_cfws();
        std::optional<std::string> value = in.property_value();
        if (!value || !in.at_boundary()) return std::nullopt;
        if (!typed) continue;  // "reason=..." or an extension such as "action=none"
        // Two values for one property: which one the server meant is unknown.
        if (entry.property(name)) return std::nullopt;
        entry.properties.emplace_back(std::move(name), std::move(*value));
    }
}

// `domain` in lower case ASCII (an international name in its ASCII form) without a final dot;
// empty when it has an empty label or cannot be written in ASCII.
std::string normal_domain(std::string_view domain) {
    std::string name(domain);
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        gmime_glue::gchar_ptr ascii(g_hostname_to_ascii(name.c_str()));
        name = ascii ? ascii.get() : "";
    }
    name = ascii_lower(name);
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (name.empty() || name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos) return "";
    return name;
}

// The Public Suffix List: the newest of the one built into libpsl and the system's copy. When
// neither loads, no domain has an organisational domain and only equal names align.
const psl_ctx_t* suffix_list() {
    static const psl_ctx_t* const list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

// The organisational domain of a normal domain: its public suffix and one label more
// ("mail.bank.co.uk" gives "bank.co.uk", "attacker.duckdns.org" itself). Empty for a public
// suffix itself, and for anything but a host name.
std::string organisational_domain(const std::string& domain) {
    bool host_name = std::all_of(domain.begin(), domain.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    });
    // A top-level domain is never all digits: "10.0.0.1" is an address, not a name.
    std::string top = domain.substr(domain.rfind('.') + 1);
    if (!host_name || top.find_first_not_of("0123456789") == std::string::npos) return "";
    const psl_ctx_t* list = suffix_list();
    const char* found = list ? psl_registrable_domain(list, domain.c_str()) : nullptr;
    return found ? found : "";
}

// True when `entry` passes and vouches for `from_domain`.
bool vouches_for(const auth_result& entry, const std::string& from_domain) {
    if (entry.result != "pass" || from_domain.empty()) return false;
    if (entry.method == "dmarc") {
        // The server judged the From domain it saw; it must be the one the challenge answers.
        std::optional<std::string> judged = entry.property("header.from");
        return !judged || normal_domain(domain_of(*judged)) == from_domain;
    }
    if (entry.method == "spf") {
        std::optional<std::string> envelope = entry.property("smtp.mailfrom");
        return envelope && domains_aligned(domain_of(*envelope), from_domain);
    }
    if (entry.method == "dkim") {
        for (const char* name : {"header.d", "header.i"}) {
            std::optional<std::string> signer = entry.property(name);
            if (signer && domains_aligned(domain_of(*signer), from_domain)) return true;
        }
    }
    return false;
}

bool is_trusted(const std::string& id, const std::vector<std::string>& trusted_ids) {
    std::string lower = ascii_lower(id);
    return std::any_of(trusted_ids.begin(), trusted_ids.end(),
                       [&](const std::string& trusted) { return ascii_lower(trusted) == lower; });
}

}  // namespace

std::optional<std::string> auth_result::property(std::string_view name) const {
    for (const auto& [key, value] : properties) {
        if (key == name) return value;
    }
    return std::nullopt;
}

std::optional<auth_results_field> parse_auth_results(std::string_view raw) {
    field_reader in(raw);
    auth_results_field field;
    in.skip_cfws();
    std::optional<std::string> id = in.value();
    if (!id || id->empty() || !in.at_boundary()) return std::nullopt;
    field.authserv_id = std::move(*id);
    in.skip_cfws();
    if (in.peek() >= '0' && in.peek() <= '9') {
        std::string version = in.keyword();
        if (version != "1" || !in.at_boundary()) return std::nullopt;
        in.skip_cfws();
    }
    if (in.broken()) return std::nullopt;
    // A field that names its service and nothing else reports nothing.
    if (in.at_end()) return field;
    // Without a ';' here the first word was no service id (some servers write none).
    if (!in.take(';')) return std::nullopt;
    while (true) {
        in.skip_cfws();
        if (in.broken()) return std::nullopt;
        if (in.at_end()) break;
        if (in.take(';')) continue;
        std::optional<auth_result> entry = read_entry(in);
        if (in.broken()) return std::nullopt;
        // "none" (nothing was checked) has no result and is left out here too.
        if (entry) field.results.push_back(std::move(*entry));
        else in.skip_entry();
        if (in.broken()) return std::nullopt;
    }
    return field;
}

bool domains_aligned(std::string_view a, std::string_view b) {
    std::string first = normal_domain(a);
    std::string second = normal_domain(b);
    if (first.empty() || second.empty()) return false;
    if (first == second) return true;
    // Relaxed alignment: the same organisational domain. A public suffix has none, so a name
    // under it that anyone may register ("attacker.duckdns.org", "evil.co.uk") never vouches for
    // another one, nor for the suffix itself.
    std::string organisation = organisational_domain(first);
    return !organisation.empty() && organisation == organisational_domain(second);
}

auth_verdict authentication_verdict(const message_headers& headers, std::string_view from_address,
                                    const std::vector<std::string>& trusted_ids) {
    std::string from_domain =
        from_address.find('@') == std::string_view::npos ? std::string() : normal_domain(domain_of(from_address));
    // The user's server adds its fields above the Received field it writes; everything below
    // came with the message, from whoever sent it, whatever id it names.
    const auth_results_field* decisive = nullptr;
    std::optional<auth_results_field> field;
    bool received = false;
    bool trusted_below = false;
    for (const message_headers::field& header : headers.fields) {
        std::string name = ascii_lower(header.name);
        if (name == "received") received = true;
        if (name != "authentication-results") continue;
        field = parse_auth_results(header.raw);
        if (!field || !is_trusted(field->authserv_id, trusted_ids)) continue;
        if (received) {
            trusted_below = true;
            break;
        }
        // The topmost is the last one the server added: it alone decides.
        decisive = &*field;
        break;
    }
    if (!decisive) {
        return {false, trusted_below ? "no trusted Authentication-Results above the first Received field"
                                     : "no trusted Authentication-Results"};
    }
    std::string shown;
    for (const auth_result& entry : decisive->results) {
        if (entry.method != "spf" && entry.method != "dkim" && entry.method != "dmarc") continue;
        if (vouches_for(entry, from_domain)) return {true, ""};
        shown += " " + entry.method + "=" + entry.result + (entry.result == "pass" ? " (not aligned)" : "");
    }
    if (shown.empty()) shown = " no spf, dkim or dmarc result";
    return {false, "not authenticated:" + shown};
}
