#include "policy/reply.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/gmime_support.h"
#include "common/message_id.h"
#include "common/text.h"

using namespace gmime_glue;

namespace {

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A structured field's first token, lower case, without comments and parameters:
// "Auto-Replied (vacation); x=1" gives "auto-replied".
std::string first_token(std::string_view value) {
    std::string token;
    int depth = 0;
    for (char c : value) {
        if (c == '(') ++depth;
        else if (c == ')' && depth > 0) --depth;
        else if (depth == 0 && (c == ';' || c == ',')) break;
        else if (depth == 0 && c != ' ' && c != '\t' && c != '\r' && c != '\n') token += c;
    }
    return ascii_lower(token);
}

std::vector<std::string> comma_tokens(std::string_view value) {
    std::vector<std::string> tokens;
    while (true) {
        size_t comma = value.find(',');
        tokens.push_back(first_token(value.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return tokens;
}

std::vector<mailbox> mailboxes_of(const header_summary& message, std::string_view field) {
    const message_headers::field* found = message.headers.find(field);
    return found ? parse_mailboxes(found->raw) : std::vector<mailbox>{};
}

// Who the reply goes to: the From mailboxes, the sender the filter will authorize when it
// answers. Never Reply-To: whoever writes the message chooses it, so a stranger could be made to
// receive the challenge for somebody else's mail.
std::vector<mailbox> reply_recipients(const header_summary& original) { return mailboxes_of(original, "From"); }

// Why the message names no single address to answer: a challenge never goes to several, or one
// message listing a thousand would have the filter mail them all.
std::optional<std::string> several_recipients(const header_summary& original) {
    if (mailboxes_of(original, "From").size() > 1) return "more than one sender address";
    return std::nullopt;
}

bool ascii_host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// An addr-spec that GMime writes back as it is: local@domain with a dot-atom local part in ASCII
// and a host name (international ones are written in their ASCII form). Quoted local parts and
// domain literals would be written unquoted, where a blank, comma or line break inside them
// becomes another recipient or another header; such senders are not answered.
bool writable_address_text(std::string_view address) {
    if (address.empty() || address.size() > 254) return false;
    size_t at = address.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == address.size()) return false;
    for (char c : address.substr(0, at)) {
        if (!is_atext(c) && c != '.') return false;
    }
    bool international = false;
    for (char c : address.substr(at + 1)) {
        if (static_cast<unsigned char>(c) >= 0x80) international = true;
        else if (!ascii_host_char(c)) return false;
    }
    if (!international) return true;
    // GMime writes the ASCII form of the name when it has one, else the raw 8-bit bytes (for
    // control characters such as U+0085, symbols, bytes that are not UTF-8): ask it which.
    ensure_gmime();
    std::string text(address);
    gobject_ptr<InternetAddress> box(internet_address_mailbox_new(nullptr, text.c_str()));
    const char* written = internet_address_mailbox_get_idn_addr(INTERNET_ADDRESS_MAILBOX(box.get()));
    if (!written) return false;
    std::string_view written_domain(written);
    written_domain.remove_prefix(std::min(written_domain.size(), written_domain.rfind('@') + 1));
    if (written_domain.empty()) return false;
    for (char c : written_domain)
        if (!ascii_host_char(c)) return false;
    return true;
}

// The original's own id, when its Message-ID field holds exactly one well-formed id.
std::optional<std::string> original_message_id(const header_summary& original) {
    const message_headers::field* field = original.headers.find("Message-ID");
    if (!field) return std::nullopt;
    std::string id = trimmed(field->raw);
    if (!well_formed_message_id(id)) return std::nullopt;
    return id;
}

// The reply's References: the thread so far (the original's References, else its In-Reply-To)
// and the original. A long thread keeps its first and latest ids, so a stranger's list of
// thousands does not travel on.
std::string references_for(const header_summary& original, const std::string& original_id) {
    constexpr size_t most = 20;
    const message_headers::field* thread = original.headers.find("References");
    if (!thread) thread = original.headers.find("In-Reply-To");
    std::vector<std::string> ids =
        thread ? message_ids_in(thread->raw, message_id_reading::strict) : std::vector<std::string>{};
    ids.push_back(original_id);
    if (ids.size() > most) ids.erase(ids.begin() + 1, ids.end() - (most - 1));
    std::string references;
    // Appended piece by piece: no temporary "" + id, whose copy GCC 12 takes for an overlap.
    for (const std::string& id : ids) {
        if (!references.empty()) references += ' ';
        references += id;
    }
    return references;
}

// The host name for the reply's own Message-ID, in ASCII.
std::string id_host_name(std::string_view address) {
    std::string domain = domain_of(address);
    gchar_ptr ascii(g_hostname_to_ascii(domain.c_str()));
    return ascii && *ascii.get() ? std::string(ascii.get()) : "localhost";
}

void add_mailbox(InternetAddressList* list, const mailbox& box) {
    std::string name = one_line(box.name);
    gobject_ptr<InternetAddress> address(
        internet_address_mailbox_new(name.empty() ? nullptr : name.c_str(), box.address.c_str()));
    internet_address_list_add(list, address.get());
}

// The Subject field as written after its name, or nothing where GMime may write it. GMime's
// encoder can leave an encoded word unterminated, and the rest of the value on a line of its own,
// when the text holds what looks like the start of one ("=?x?q?") beside non-ASCII characters.
// So any text but plain printable ASCII goes out as UTF-8 encoded words of our own, one a line.
std::optional<std::string> subject_field_value(std::string_view text) {
    bool plain = text.find("=?") == std::string_view::npos;
    for (char c : text) plain = plain && c >= 0x20 && c < 0x7F;
    if (plain) return std::nullopt;
    // 39 bytes make 52 characters of base64: every line stays within 78 characters.
    constexpr size_t most = 39;
    std::string value;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.size(), start + most);
        // Never split a character: a continuation byte starts no word.
        while (end > start + 1 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        gchar_ptr encoded(g_base64_encode(reinterpret_cast<const guchar*>(text.data() + start), end - start));
        value += (start == 0 ? " " : "\n ");
        value += "=?UTF-8?B?";
        value += encoded.get();
        value += "?=";
        start = end;
    }
    return value + "\n";
}

}  // namespace

bool writable_address(std::string_view address) { return writable_address_text(address); }

bool is_user_address(std::string_view address, const user_addresses& user) {
    std::string wanted = ascii_lower(address);
    if (wanted.empty()) return false;
    if (ascii_lower(user.recipient) == wanted) return true;
    return std::any_of(user.own.begin(), user.own.end(),
                       [&](const std::string& own) { return ascii_lower(own) == wanted; });
}

std::optional<std::string> user_address(const header_summary& original, const user_addresses& user) {
    // Our own delivery knows whom it delivered to.
    if (writable_address(user.recipient)) return user.recipient;
    // Anyone can write Delivered-To, To and Cc fields: they only choose among the user's own
    // addresses, never add one.
    auto own = [&](std::string_view address) { return writable_address(address) && is_user_address(address, user); };
    std::vector<mailbox> delivered = mailboxes_of(original, "Delivered-To");
    if (!delivered.empty() && own(delivered.front().address)) return delivered.front().address;
    std::vector<mailbox> visible = mailboxes_of(original, "To");
    std::vector<mailbox> copied = mailboxes_of(original, "Cc");
    visible.insert(visible.end(), copied.begin(), copied.end());
    for (const mailbox& box : visible)
        if (own(box.address)) return box.address;
    for (const std::string& address : user.own)
        if (writable_address(address)) return address;
    return std::nullopt;
}

std::string one_line(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return line;
}

bool is_robot_address(std::string_view address) {
    std::string local = ascii_lower(address.substr(0, address.rfind('@')));
    if (local == "mailer-daemon" || local == "listserv" || local == "majordomo") return true;
    if (starts_with(local, "owner-") || ends_with(local, "-request")) return true;
    std::string base = local.substr(0, local.find('+'));
    if (base == "postmaster") return true;
    static const std::array<std::string_view, 8> no_reply = {
        "noreply", "no-reply", "no_reply", "no.reply", "donotreply", "do-not-reply", "do_not_reply", "do.not.reply"};
    for (std::string_view spelling : no_reply) {
        if (base == spelling) return true;
    }
    return false;
}

std::optional<std::string> reason_not_to_answer(const header_summary& original) {
    const message_headers& headers = original.headers;

    // An empty return path marks bounces and other automatic mail; without one, nobody vouches
    // for the sender at all.
    const message_headers::field* return_path = headers.find("Return-Path");
    if (!return_path) return "no return path";
    std::vector<mailbox> envelope = parse_mailboxes(return_path->raw);
    if (envelope.empty()) return "empty return path";

    if (auto value = headers.value("Auto-Submitted")) {
        if (first_token(*value) != "no") return "Auto-Submitted: " + one_line(*value);
    }
    if (auto value = headers.value("X-Auto-Response-Suppress")) {
        for (const std::string& token : comma_tokens(*value)) {
            if (token == "all" || token == "oof") return "X-Auto-Response-Suppress: " + one_line(*value);
        }
    }
    // Vacation programs mark their replies so; their presence is enough, whatever the value.
    for (std::string_view field : {"X-Autoreply", "X-Autorespond"}) {
        if (headers.find(field)) return "automatic reply (" + std::string(field) + ")";
    }
    if (const message_headers::field* list = headers.find_prefix("List-"))
        return "mailing-list mail (" + list->name + ")";
    if (auto value = headers.value("Precedence")) {
        std::string token = first_token(*value);
        if (token == "bulk" || token == "list" || token == "junk") return "Precedence: " + one_line(*value);
    }
    if (auto value = headers.value("Content-Type")) {
        std::string type = first_token(*value);
        if (type == "multipart/report" || type == "message/delivery-status" ||
            type == "message/global-delivery-status" || type == "message/disposition-notification")
            return "a delivery report";
    }

    // Which of several From fields a reader's program shows, and which one a server checked, is
    // anyone's guess: none of them is surely the sender.
    if (std::count_if(headers.fields.begin(), headers.fields.end(),
                      [](const message_headers::field& field) { return ascii_lower(field.name) == "from"; }) > 1)
        return "more than one From field";
    if (auto several = several_recipients(original)) return several;
    // A robot's Reply-To marks mail that no person will read an answer to, whoever sent it.
    std::vector<mailbox> to = reply_recipients(original);
    std::vector<mailbox> reply_to = mailboxes_of(original, "Reply-To");
    for (const std::vector<mailbox>* group : {&envelope, &to, &reply_to}) {
        for (const mailbox& box : *group) {
            if (is_robot_address(box.address)) return "robot or list address " + one_line(box.address);
        }
    }
    if (to.empty()) return "no address to answer";
    if (!writable_address(to.front().address)) return "an address a reply cannot be written to";
    return std::nullopt;
}

std::optional<std::string> compose_reply(const header_summary& original, std::string_view subject,
                                         std::string_view body, std::string& error, const user_addresses& user) {
    if (auto several = several_recipients(original)) {
        error = *several;
        return std::nullopt;
    }
    std::vector<mailbox> to = reply_recipients(original);
    if (to.empty()) {
        error = "the message names nobody to answer";
        return std::nullopt;
    }
    if (!writable_address(to.front().address)) {
        error = "the message names an address a reply cannot be written to";
        return std::nullopt;
    }
    std::optional<std::string> from_address = user_address(original, user);
    if (!from_address) {
        error = "no address of the user's to answer from (set own-address)";
        return std::nullopt;
    }
    mailbox from{"", *from_address};
    ensure_gmime();
    gobject_ptr<GMimeMessage> reply(g_mime_message_new(TRUE));
    add_mailbox(g_mime_message_get_from(reply.get()), from);
    add_mailbox(g_mime_message_get_to(reply.get()), to.front());
    std::string subject_line = one_line(to_utf8(subject));
    g_mime_message_set_subject(reply.get(), subject_line.c_str(), "utf-8");
    if (std::optional<std::string> value = subject_field_value(subject_line)) {
        GMimeHeader* field =
            g_mime_header_list_get_header(g_mime_object_get_header_list(GMIME_OBJECT(reply.get())), "Subject");
        if (field) g_mime_header_set_raw_value(field, value->c_str());
    }

    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(reply.get(), now);
    g_date_time_unref(now);
    gchar_ptr id(g_mime_utils_generate_message_id(id_host_name(from.address).c_str()));
    g_mime_message_set_message_id(reply.get(), id.get());

    GMimeObject* object = GMIME_OBJECT(reply.get());
    // Ids are copied only when well formed; decoding them first would let an encoded word bring
    // in a line break.
    if (std::optional<std::string> original_id = original_message_id(original)) {
        g_mime_object_set_header(object, "In-Reply-To", original_id->c_str(), nullptr);
        g_mime_object_set_header(object, "References", references_for(original, *original_id).c_str(), nullptr);
    }
    g_mime_object_set_header(object, "Auto-Submitted", "auto-replied", nullptr);
    g_mime_object_set_header(object, "Precedence", "bulk", nullptr);
    g_mime_object_set_header(object, "X-Auto-Response-Suppress", "All", nullptr);

    std::string text = to_utf8(body);
    if (text.empty() || text.back() != '\n') text += '\n';
    gobject_ptr<GMimeTextPart> part(g_mime_text_part_new_with_subtype("plain"));
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(part.get()), "charset", "utf-8");
    gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
    gobject_ptr<GMimeDataWrapper> content(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(GMIME_PART(part.get()), content.get());
    g_mime_part_set_content_encoding(
        GMIME_PART(part.get()),
        g_mime_part_get_best_content_encoding(GMIME_PART(part.get()), GMIME_ENCODING_CONSTRAINT_7BIT));
    g_mime_message_set_mime_part(reply.get(), GMIME_OBJECT(part.get()));

    gchar_ptr bytes(g_mime_object_to_string(object, nullptr));
    if (!bytes) {
        error = "the reply could not be written";
        return std::nullopt;
    }
    return std::string(bytes.get());
}
