#include "host/sent_mail.h"

#include <sstream>

#include "contract/sender_address.h"
#include "host/maildir.h"
#include "platform/file_io.h"

namespace {

constexpr std::string_view index_heading = "tarnwick sent mail index 1";

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

std::string sent_folder_name(std::string_view value) {
    if (!value.empty() && value.front() == '.') value.remove_prefix(1);
    return maildir::valid_folder_name(value) ? std::string(value) : "";
}

std::string find_sent_folder(const std::string& root) {
    for (const char* name : {"Sent", "Sent Messages", "Sent Items"}) {
        if (maildir::is_maildir(maildir::folder_directory(root, name))) return name;
    }
    return "";
}

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

std::vector<std::string> message_ids_named(std::string_view raw) {
    std::vector<std::string> ids;
    size_t open = raw.find('<');
    while (open != std::string_view::npos) {
        size_t close = raw.find_first_of("<>", open + 1);
        if (close == std::string_view::npos) break;
        if (raw[close] == '<') {
            open = close;
            continue;
        }
        std::string_view id = raw.substr(open, close - open + 1);
        if (id.size() > 2 && id.find_first_of(" \t\r\n") == std::string_view::npos && fits_a_line(id))
            ids.emplace_back(id);
        open = raw.find('<', close);
    }
    return ids;
}

sent_mail_index sent_mail_index::load(const std::string& path, const std::string& folder_dir, std::string& problem) {
    sent_mail_index index;
    index.folder_dir_ = folder_dir;
    std::optional<std::string> text = read_file(path);
    if (!text) return index;
    std::istringstream lines(*text);
    std::string line;
    bool understood = std::getline(lines, line) && line == index_heading;
    bool ours = false;
    sent_mail_index read = index;
    while (understood && std::getline(lines, line)) {
        size_t blank = line.find(' ');
        std::string kind = line.substr(0, blank);
        std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (kind == "folder") {
            ours = value == folder_dir;
        } else if (kind == "own" && !value.empty()) {
            read.own_.insert(value);
        } else if (kind == "read" && !value.empty()) {
            size_t tab = value.find('\t');
            std::string id = tab == std::string::npos ? "" : value.substr(tab + 1);
            read.messages_[value.substr(0, tab)] = id;
            if (!id.empty()) read.ids_.insert(id);
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
    return read;
}

sent_mail_index::news sent_mail_index::update() {
    news found;
    std::set<std::string> present;
    std::set<std::string> recipients;
    std::vector<std::string> candidates;
    for (const maildir::message_file& file : maildir::list_all_messages(folder_dir_)) {
        std::string unique(maildir::unique_part(file.name));
        if (!fits_a_line(unique) || unique.find('\t') != std::string::npos) continue;
        present.insert(unique);
        if (messages_.count(unique)) continue;
        std::optional<std::string> block =
            maildir::read_header_block(folder_dir_ + "/" + file.subdir + "/" + file.name);
        if (!block) continue;  // gone or unreadable: the next run tries again
        header_summary sent = parse_headers(*block);
        ++found.messages_read;
        for (const char* field : {"From", "Sender"}) {
            const message_headers::field* from = sent.headers.find(field);
            for (const mailbox& box : from ? parse_mailboxes(from->raw) : std::vector<mailbox>{}) {
                if (std::string address = whole_address(box.address); !address.empty()) own_.insert(address);
            }
        }
        std::string id;
        if (const message_headers::field* field = sent.headers.find("Message-ID")) {
            std::vector<std::string> ids = message_ids_named(field->raw);
            if (ids.size() == 1) id = ids.front();
        }
        messages_[unique] = id;
        if (!id.empty()) ids_.insert(id);
        for (std::string& address : recipients_of(sent)) {
            if (recipients.insert(address).second) candidates.push_back(std::move(address));
        }
        changed_ = true;
    }
    for (auto entry = messages_.begin(); entry != messages_.end();) {
        if (present.count(entry->first)) {
            ++entry;
            continue;
        }
        // A message that left the sent folder is no longer one the user's correspondents answer.
        if (!entry->second.empty()) ids_.erase(entry->second);
        entry = messages_.erase(entry);
        changed_ = true;
    }
    // Two sent messages may share an id (a copy); the one left keeps it.
    for (const auto& [unique, id] : messages_) {
        if (!id.empty()) ids_.insert(id);
    }
    for (std::string& address : candidates) {
        if (!own_.count(address)) found.recipients.push_back(std::move(address));
    }
    return found;
}

bool sent_mail_index::answers_user(const header_summary& message) const {
    if (ids_.empty()) return false;
    for (const message_headers::field& field : message.headers.fields) {
        std::string name = ascii_lower(field.name);
        if (name != "in-reply-to" && name != "references") continue;
        for (const std::string& id : message_ids_named(field.raw)) {
            if (ids_.count(id)) return true;
        }
    }
    return false;
}

bool sent_mail_index::save(const std::string& path) {
    if (!changed_) return true;
    std::string text(index_heading);
    text += "\nfolder " + folder_dir_ + "\n";
    for (const std::string& address : own_) {
        if (fits_a_line(address)) text += "own " + address + "\n";
    }
    for (const auto& [unique, id] : messages_) text += "read " + unique + "\t" + id + "\n";
    if (!replace_file_atomically(path, text)) return false;
    changed_ = false;
    return true;
}
