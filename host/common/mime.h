// Reading mail with GMime 3: the header fields the host reports to the add-in, the body text and
// the attachment names. Everything comes out as UTF-8; broken mail never fails, it only reads
// as empty values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One mailbox of an address field.
struct mailbox {
    std::string name;     // display name, decoded; may be empty
    std::string address;  // addr-spec as written
};

// The header fields of a message, in their order.
class message_headers {
public:
    struct field {
        std::string name;
        std::string value;  // unfolded, encoded words decoded, trimmed
        std::string raw;    // as in the file (folding kept), for address parsing
    };

    // The first field named `name` (any letter case); none when absent.
    const field* find(std::string_view name) const;
    // The decoded value of the first field named `name`; none when absent.
    std::optional<std::string> value(std::string_view name) const;
    // The first field whose name starts with `prefix` (any letter case); none when absent.
    const field* find_prefix(std::string_view prefix) const;

    std::vector<field> fields;
};

// What the host reads of a message without looking at its body.
struct header_summary {
    std::string sender;    // addr-spec of the first From mailbox; the decoded field when it has none
    std::string receiver;  // the same for the first To mailbox
    std::string subject;   // decoded
    message_headers headers;
};

// The fields of a header block (see maildir::read_header_block). Never fails.
header_summary parse_headers(std::string_view header_block);

// The mailboxes of an address field's raw value, groups flattened; empty when it holds none.
std::vector<mailbox> parse_mailboxes(std::string_view field_value);

// What the host reads of a message's body.
struct message_content {
    // The first text/plain part that is not an attachment, transfer-decoded, as UTF-8; else the
    // first such text/html part. A delivery report adds its status part and the header block
    // of the message it returns, which is where a bounce names the message that bounced.
    std::string body;
    // The file names of the parts that carry one, in the message's order.
    std::vector<std::string> attachment_names;
};

// The content of the message file at `path`; none when the file cannot be opened.
std::optional<message_content> parse_content_file(const std::string& path);
// The content of a message given as bytes.
message_content parse_content(std::string_view message);

// Seconds since 1970 of a Date field's value; none when it cannot be read.
std::optional<long long> parse_date(std::string_view value);

// `text` with A-Z turned to a-z.
std::string ascii_lower(std::string_view text);
