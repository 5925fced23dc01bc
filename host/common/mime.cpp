#include "common/mime.h"

#include <unistd.h>

#include <mutex>

#include "common/gmime_support.h"
#include "common/text.h"
#include "platform/posix_files.h"

namespace gmime_glue {

void ensure_gmime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

GMimeParserOptions* parser_options() {
    static GMimeParserOptions* options = [] {
        ensure_gmime();
        GMimeParserOptions* made = g_mime_parser_options_new();
        g_mime_parser_options_set_address_compliance_mode(made, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_rfc2047_compliance_mode(made, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_parameter_compliance_mode(made, GMIME_RFC_COMPLIANCE_LOOSE);
        const char* charsets[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(made, charsets);
        return made;
    }();
    return options;
}

std::string to_utf8(std::string_view bytes) {
    if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr)) return std::string(bytes);
    gsize written = 0;
    gchar_ptr converted(g_convert_with_fallback(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                                "windows-1252", "?", nullptr, &written, nullptr));
    if (converted) return std::string(converted.get(), written);
    // Windows-1252 leaves five bytes undefined; read everything as Latin-1 then.
    std::string result;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

namespace {

gobject_ptr<GMimeMessage> parse_stream(GMimeStream* stream) {
    gobject_ptr<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    return gobject_ptr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), parser_options()));
}

}  // namespace

gobject_ptr<GMimeMessage> parse_message_bytes(std::string_view bytes) {
    ensure_gmime();
    gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    return parse_stream(stream.get());
}

}  // namespace gmime_glue

using namespace gmime_glue;

namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

void collect_mailboxes(InternetAddressList* list, std::vector<mailbox>& out) {
    if (!list) return;
    int count = internet_address_list_length(list);
    for (int i = 0; i < count; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            const char* name = internet_address_get_name(address);
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            if (addr && *addr) out.push_back({name ? to_utf8(name) : "", to_utf8(addr)});
        } else if (INTERNET_ADDRESS_IS_GROUP(address)) {
            collect_mailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out);
        }
    }
}

// The addr-spec of the first mailbox of a field, or the field's text when it names none.
std::string first_address(const message_headers& headers, std::string_view name) {
    const message_headers::field* field = headers.find(name);
    if (!field) return "";
    std::vector<mailbox> boxes = parse_mailboxes(field->raw);
    return boxes.empty() ? field->value : boxes.front().address;
}

// Collects what the engine reads of a message while walking its MIME tree.
struct content_walk {
    std::optional<std::string> plain;
    std::optional<std::string> html;
    std::optional<std::string> status;
    std::optional<std::string> returned;  // the header block of the message a report returns
    std::vector<std::string> names;
};

std::string decoded_content(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return "";
    gobject_ptr<GMimeStream> sink(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, sink.get());
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.get()));
    return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

std::string text_of(GMimePart* part) {
    if (GMIME_IS_TEXT_PART(part)) {
        gchar_ptr text(g_mime_text_part_get_text(GMIME_TEXT_PART(part)));
        if (text) return to_utf8(text.get());
        return "";
    }
    return to_utf8(decoded_content(part));
}

std::string header_block_of(GMimeMessage* message) {
    if (!message) return "";
    gchar_ptr headers(g_mime_object_get_headers(GMIME_OBJECT(message), nullptr));
    return headers ? to_utf8(headers.get()) : "";
}

// `in_report`: the object is a part of a delivery report (multipart/report).
void walk(GMimeObject* object, content_walk& found, bool in_report) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (GMIME_IS_MULTIPART(object)) {
        bool report = type && g_mime_content_type_is_type(type, "multipart", "report");
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        int count = g_mime_multipart_get_count(multipart);
        for (int i = 0; i < count; ++i) walk(g_mime_multipart_get_part(multipart, i), found, report);
        return;
    }
    if (GMIME_IS_MESSAGE_PART(object)) {
        // An attached message is an attachment, not part of this message's text; the one a
        // report returns tells, by its headers, which message bounced.
        const char* name = g_mime_object_get_content_disposition_parameter(object, "filename");
        if (!name) name = g_mime_object_get_content_type_parameter(object, "name");
        if (name && *name) found.names.push_back(to_utf8(name));
        if (in_report && !found.returned)
            found.returned = header_block_of(g_mime_message_part_get_message(GMIME_MESSAGE_PART(object)));
        return;
    }
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    const char* name = g_mime_part_get_filename(part);
    if (name && *name) found.names.push_back(to_utf8(name));
    if (!type) return;
    if (g_mime_content_type_is_type(type, "message", "delivery-status") ||
        g_mime_content_type_is_type(type, "message", "global-delivery-status")) {
        if (!found.status) found.status = text_of(part);
        return;
    }
    if (in_report && (g_mime_content_type_is_type(type, "text", "rfc822-headers") ||
                      g_mime_content_type_is_type(type, "message", "global-headers"))) {
        if (!found.returned) found.returned = text_of(part);
        return;
    }
    if (g_mime_part_is_attachment(part)) return;
    if (!found.plain && g_mime_content_type_is_type(type, "text", "plain")) found.plain = text_of(part);
    else if (!found.html && g_mime_content_type_is_type(type, "text", "html")) found.html = text_of(part);
}

void append_section(std::string& body, const std::optional<std::string>& section) {
    if (!section) return;
    if (!body.empty() && body.back() != '\n') body += '\n';
    body += *section;
}

message_content content_of(GMimeMessage* message) {
    message_content content;
    if (!message) return content;
    GMimeObject* top = g_mime_message_get_mime_part(message);
    if (!top) return content;
    content_walk found;
    walk(top, found, false);
    if (found.plain) content.body = std::move(*found.plain);
    else if (found.html) content.body = std::move(*found.html);
    append_section(content.body, found.status);
    append_section(content.body, found.returned);
    content.attachment_names = std::move(found.names);
    return content;
}

}  // namespace

const message_headers::field* message_headers::find(std::string_view name) const {
    for (const field& f : fields) {
        if (equal_ignoring_case(f.name, name)) return &f;
    }
    return nullptr;
}

std::optional<std::string> message_headers::value(std::string_view name) const {
    const field* f = find(name);
    if (!f) return std::nullopt;
    return f->value;
}

const message_headers::field* message_headers::find_prefix(std::string_view prefix) const {
    for (const field& f : fields) {
        if (f.name.size() >= prefix.size() &&
            equal_ignoring_case(std::string_view(f.name).substr(0, prefix.size()), prefix))
            return &f;
    }
    return nullptr;
}

header_summary parse_headers(std::string_view header_block) {
    header_summary summary;
    // A block without its closing empty line still parses: the parser sees an empty body.
    std::string bytes(header_block);
    if (bytes.empty() || bytes.back() != '\n') bytes += '\n';
    bytes += '\n';
    gobject_ptr<GMimeMessage> message = parse_message_bytes(bytes);
    if (!message) return summary;
    // GMime keeps the Content-* fields with the message's top part, not with the message.
    GMimeObject* top = g_mime_message_get_mime_part(message.get());
    for (GMimeObject* owner : {GMIME_OBJECT(message.get()), top}) {
        GMimeHeaderList* list = owner ? g_mime_object_get_header_list(owner) : nullptr;
        int count = list ? g_mime_header_list_get_count(list) : 0;
        for (int i = 0; i < count; ++i) {
            GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
            const char* name = g_mime_header_get_name(header);
            const char* value = g_mime_header_get_value(header);
            const char* raw = g_mime_header_get_raw_value(header);
            std::string field_name = name ? to_utf8(name) : "";
            if (owner == top && summary.headers.find(field_name)) continue;
            summary.headers.fields.push_back(
                {field_name, value ? trimmed(to_utf8(value)) : "", raw ? to_utf8(raw) : ""});
        }
    }
    summary.sender = first_address(summary.headers, "From");
    summary.receiver = first_address(summary.headers, "To");
    if (const char* subject = g_mime_message_get_subject(message.get())) summary.subject = to_utf8(subject);
    return summary;
}

std::vector<mailbox> parse_mailboxes(std::string_view field_value) {
    ensure_gmime();
    std::string text(field_value);
    std::vector<mailbox> boxes;
    gobject_ptr<InternetAddressList> list(internet_address_list_parse(parser_options(), text.c_str()));
    collect_mailboxes(list.get(), boxes);
    return boxes;
}

std::optional<message_content> parse_content_file(const std::string& path) {
    ensure_gmime();
    int fd = posix_files::open_regular_file(path);
    if (fd < 0) return std::nullopt;
    // The parser reads the file through its own descriptor, so a rename meanwhile does no harm;
    // content stays on disk instead of being copied into memory.
    gobject_ptr<GMimeStream> stream(g_mime_stream_fs_new(fd));
    gobject_ptr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    g_mime_parser_set_persist_stream(parser.get(), TRUE);
    gobject_ptr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), parser_options()));
    return content_of(message.get());
}

message_content parse_content(std::string_view message) {
    gobject_ptr<GMimeMessage> parsed = parse_message_bytes(message);
    return content_of(parsed.get());
}

std::optional<long long> parse_date(std::string_view value) {
    ensure_gmime();
    std::string text(value);
    GDateTime* date = g_mime_utils_header_decode_date(text.c_str());
    if (!date) return std::nullopt;
    long long seconds = g_date_time_to_unix(date);
    g_date_time_unref(date);
    return seconds;
}

std::string ascii_lower(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}
