#include "policy/sent_mail.h"

#include <algorithm>
#include <sstream>

#include "common/message_id.h"
#include "common/text.h"
#include "contract/sender_address.h"
#include "platform/file_io.h"

namespace {

constexpr std::string_view index_heading = "tarnwick sent mail index 2";
// Without the recipients of each message, which are read again.
constexpr std::string_view first_index_heading = "tarnwick sent mail index 1";

// A file name or id the index can hold on one line of its own.
bool fits_a_line(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return !text.empty();
}

// The valid address of `text` when the whole of it is one: nothing dropped around it.
std::string whole_address(std::string_view text) {
    std::string address = extract_email_address(text);
    return address == ascii_lower(text) ? address : "";
}

}  // namespace

std::vector<std::string> recipients_of(const header_summary& sent) {
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (const message_headers::field& field : sent.headers.fields) {
        std::string name = ascii_lower(field.name);
        if (name != "to" && name != "cc" && name != "bcc") continue;
        for (const mailbox& box : parse_mailboxes(field.raw)) {
            std::string address = whole_address(box.address);
            if (!address.empty() && seen.insert(address).second) found.push_back(address);
        }
    }
    return found;
}

sent_mail_index sent_mail_index::load(const std::string& path, mail_store& store, const std::string& folder,
                                      std::string& problem, const std::string& recorded_as) {
    sent_mail_index index(store);
    index.folder_ = folder;
    index.recorded_dir_ = recorded_as.empty() ? store.record_name(folder) : recorded_as;
    std::optional<std::string> text = read_file(path);
    if (!text) return index;
    std::istringstream lines(*text);
    std::string line;
    bool understood = std::getline(lines, line) && (line == index_heading || line == first_index_heading);
    bool ours = false;
    sent_mail_index read = index;
    while (understood && std::getline(lines, line)) {
        size_t blank = line.find(' ');
        std::string kind = line.substr(0, blank);
        std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (kind == "folder") {
            ours = value == index.recorded_dir_;
        } else if (kind == "own" && !value.empty()) {
            read.own_.insert(value);
        } else if (kind == "owed" && !value.empty()) {
            read.owed_.insert(value);
        } else if ((kind == "read" || kind == "sent") && !value.empty()) {
            // "read UNIQUE<tab>ID" of the first format; "sent UNIQUE<tab>ID<tab>RECIPIENT..." now.
            std::vector<std::string_view> parts = split(value, '\t');
            sent_message& message = read.messages_[std::string(parts[0])];
            message.id = parts.size() > 1 ? parts[1] : "";
            message.recipients.assign(parts.begin() + std::min<size_t>(parts.size(), 2), parts.end());
            message.recipients_known = kind == "sent" || message.id.empty();
            if (std::count(message.recipients.begin(), message.recipients.end(), "")) understood = false;
        } else {
            understood = false;
        }
    }
    if (!understood) {
        problem = path + " cannot be understood; the sent folder is read again";
        index.changed_ = true;
        return index;
    }
    if (!ours) {
        index.changed_ = true;
        return index;
    }
    read.index_ids();
    return read;
}

void sent_mail_index::index_ids() {
    ids_.clear();
    for (const auto& [unique, message] : messages_) {
        if (!message.id.empty()) ids_[message.id].insert(message.recipients.begin(), message.recipients.end());
    }
}

sent_mail_index::news sent_mail_index::update() {
    news found;
    std::set<std::string> present;
    std::set<std::string> recipients;
    std::vector<std::string> candidates;
    for (const mail_store::listed_message& listed : store_->list(folder_)) {
        const std::string& unique = listed.id;
        if (!fits_a_line(unique) || unique.find('\t') != std::string::npos) continue;
        present.insert(unique);
        auto known = messages_.find(unique);
        if (known != messages_.end() && known->second.recipients_known) continue;
        std::optional<std::string> block = store_->header_block(folder_, unique, 1 << 20);
        if (!block) continue;  // gone or unreadable: the next run tries again
        header_summary sent = parse_headers(*block);
        changed_ = true;
        if (known != messages_.end()) {
            // Read before recipients were kept: its friends were made then, and one the user
            // has since taken off the list stays off.
            known->second.recipients = recipients_of(sent);
            known->second.recipients_known = true;
            continue;
        }
        ++found.messages_read;
        for (const char* field : {"From", "Sender"}) {
            const message_headers::field* from = sent.headers.find(field);
            for (const mailbox& box : from ? parse_mailboxes(from->raw) : std::vector<mailbox>{}) {
                if (std::string address = whole_address(box.address); !address.empty()) own_.insert(address);
            }
        }
        sent_message& message = messages_[unique];
        if (const message_headers::field* field = sent.headers.find("Message-ID")) {
            std::vector<std::string> ids = message_ids_in(field->raw, message_id_reading::lenient);
            if (ids.size() == 1) message.id = ids.front();
        }
        message.recipients = recipients_of(sent);
        for (const std::string& address : message.recipients) {
            if (recipients.insert(address).second) candidates.push_back(address);
        }
        // Mail without a Message-ID cannot be answered: its recipients need no keeping.
        if (message.id.empty()) message.recipients.clear();
    }
    // A message that left the sent folder is no longer one the user's correspondents answer.
    size_t before = messages_.size();
    std::erase_if(messages_, [&](const auto& entry) { return !present.count(entry.first); });
    if (messages_.size() != before) changed_ = true;
    index_ids();
    for (std::string& address : candidates) {
        if (!own_.count(address)) found.recipients.push_back(std::move(address));
    }
    return found;
}

namespace {

// Calls `named` with each Message-ID that the In-Reply-To and References fields of `message`
// name, until it returns true; true then.
template <typename Predicate>
bool any_id_named(const header_summary& message, Predicate named) {
    for (const message_headers::field& field : message.headers.fields) {
        std::string name = ascii_lower(field.name);
        if (name != "in-reply-to" && name != "references") continue;
        for (const std::string& id : message_ids_in(field.raw, message_id_reading::lenient)) {
            if (named(id)) return true;
        }
    }
    return false;
}

}  // namespace

bool sent_mail_index::answers_user(const header_summary& message) const {
    return !ids_.empty() && any_id_named(message, [&](const std::string& id) { return ids_.count(id) > 0; });
}

bool sent_mail_index::answers_user(const header_summary& message, const std::string& address) const {
    std::string wanted = ascii_lower(address);
    if (ids_.empty() || wanted.empty()) return false;
    return any_id_named(message, [&](const std::string& id) {
        auto sent = ids_.find(id);
        return sent != ids_.end() && sent->second.count(wanted) > 0;
    });
}

void sent_mail_index::owe(const std::string& address) {
    if (fits_a_line(address) && owed_.insert(address).second) changed_ = true;
}

void sent_mail_index::settle(const std::string& address) {
    if (owed_.erase(address)) changed_ = true;
}

bool sent_mail_index::save(const std::string& path) {
    if (!changed_) return true;
    std::string text(index_heading);
    text += "\nfolder " + recorded_dir_ + "\n";
    for (const std::string& address : own_) {
        if (fits_a_line(address)) text += "own " + address + "\n";
    }
    for (const std::string& address : owed_) text += "owed " + address + "\n";
    for (const auto& [unique, message] : messages_) {
        text += (message.recipients_known ? "sent " : "read ") + unique + "\t" + message.id;
        if (message.recipients_known) {
            for (const std::string& address : message.recipients) {
                if (fits_a_line(address)) text += "\t" + address;
            }
        }
        text += "\n";
    }
    if (!replace_file_atomically(path, text)) return false;
    changed_ = false;
    return true;
}
