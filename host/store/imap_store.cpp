#include "store/imap_store.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "common/mime.h"
#include "common/text.h"
#include "store/imap_message.h"
#include "store/maildir.h"

namespace {

bool same_name(std::string_view a, std::string_view b) { return ascii_lower(a) == ascii_lower(b); }

std::optional<std::pair<std::uint32_t, std::uint32_t>> parse_id(std::string_view id) {
    std::size_t dot = id.find('.');
    std::uint32_t validity = 0, uid = 0;
    if (dot == std::string_view::npos) return std::nullopt;
    auto read = [](std::string_view text, std::uint32_t& value) {
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return error == std::errc() && end == text.data() + text.size() && !text.empty();
    };
    if (!read(id.substr(0, dot), validity) || !read(id.substr(dot + 1), uid)) return std::nullopt;
    return std::pair{validity, uid};
}

bool has_flag(const imap_connection::folder_info& folder, std::string_view flag) {
    return std::any_of(folder.flags.begin(), folder.flags.end(),
                       [&](const std::string& f) { return same_name(f, flag); });
}

}  // namespace

std::string imap_id(std::uint32_t validity, std::uint32_t uid) {
    return std::to_string(validity) + "." + std::to_string(uid);
}

int errno_of(const imap_error& error) {
    switch (error.code()) {
    case imap_error::dropped: return ECONNRESET;
    case imap_error::unreachable: return ECONNREFUSED;
    case imap_error::login: return EACCES;
    case imap_error::refused: return EIO;
    case imap_error::tls:
    case imap_error::protocol: return EPROTO;
    }
    return EIO;
}

imap_store::imap_store(std::unique_ptr<imap_connection> connection, std::string state_directory,
                       imap_store_options options)
    : connection_(std::move(connection)), state_directory_(std::move(state_directory)), options_(std::move(options)) {}

store_result imap_store::failure(const imap_error& error) {
    int code = errno_of(error);
    if (!connection_->connected() && broken_ == 0) broken_ = code;
    return {store_result::failed, code};
}

std::optional<std::string> imap_store::server_name(std::string_view folder) const {
    if (folder.empty()) return "INBOX";
    std::string name;
    for (std::string_view level : split(folder, '.')) {
        if (level.empty()) return std::nullopt;
        for (char c : level) {
            // Mailbox names are 7-bit (modified UTF-7); wildcards and quoting characters are no names.
            if (c < 0x20 || c >= 0x7f || c == '*' || c == '%' || c == '"' || c == '\\') return std::nullopt;
            if (delimiter_ != 0 && c == delimiter_) return std::nullopt;
        }
        if (!name.empty()) name += delimiter_ != 0 ? delimiter_ : '.';
        name += level;
    }
    if (same_name(name, "INBOX")) return std::nullopt;
    return name;
}

std::optional<std::string> imap_store::seam_name(std::string_view name) const {
    if (same_name(name, "INBOX")) return "";
    std::string folder(name);
    if (delimiter_ != 0 && delimiter_ != '.') {
        if (folder.find('.') != std::string::npos) return std::nullopt;
        std::replace(folder.begin(), folder.end(), delimiter_, '.');
    }
    if (server_name(folder) != std::optional<std::string>(name)) return std::nullopt;
    return folder;
}

std::string imap_store::place_of(const std::string& folder) const { return server_name(folder).value_or(folder); }

const std::vector<imap_connection::folder_info>& imap_store::server_folders(bool fresh) {
    if (!server_folders_ || fresh) {
        if (!connection_->connected()) throw imap_error(imap_error::dropped, "the connection to the server is lost");
        server_folders_ = connection_->list_folders();
        for (const std::string& made : pretend_made_) server_folders_->push_back({made, {}});
    }
    return *server_folders_;
}

bool imap_store::on_server(const std::string& name) {
    if (name == "INBOX") return true;
    if (pretend_made_.count(name)) return false;
    for (const imap_connection::folder_info& folder : server_folders())
        if (folder.name == name) return !has_flag(folder, "\\Noselect") && !has_flag(folder, "\\NonExistent");
    return false;
}

const std::vector<std::string>& imap_store::folders() { return folder_names(true); }

const std::vector<std::string>& imap_store::folder_names(bool fresh) {
    try {
        server_folders(fresh);
    } catch (const imap_error& error) {
        failure(error);
        folders_.clear();
        return folders_;
    }
    folders_.clear();
    for (const imap_connection::folder_info& folder : *server_folders_) {
        std::optional<std::string> name = seam_name(folder.name);
        if (name && !name->empty()) folders_.push_back(std::move(*name));
    }
    std::sort(folders_.begin(), folders_.end());
    folders_.erase(std::unique(folders_.begin(), folders_.end()), folders_.end());
    return folders_;
}

std::vector<std::string> imap_store::children(const std::string& folder) {
    std::string prefix = folder.empty() ? "" : folder + ".";
    std::vector<std::string> found;
    // A walk of the tree begins at its top: the server is asked once a walk, not once a level.
    for (const std::string& name : folder_names(folder.empty())) {
        if (!name.starts_with(prefix) || name.size() == prefix.size()) continue;
        std::string child = name.substr(0, name.find('.', prefix.size()));
        if (found.empty() || found.back() != child) found.push_back(std::move(child));
    }
    return found;
}

void imap_store::make(const std::string& name) {
    if (on_server(name) || pretend_made_.count(name)) return;
    if (options_.dry_run) {
        pretend_made_.insert(name);
    } else {
        connection_->create_folder(name);
    }
    server_folders_->push_back({name, {}});
}

store_result imap_store::create_folder(const std::string& folder) {
    std::optional<std::string> name = server_name(folder);
    if (!name) return {store_result::failed, EINVAL, folder};
    try {
        make(*name);
        return {};
    } catch (const imap_error& error) {
        store_result result = failure(error);
        result.not_made = folder;
        return result;
    }
}

const imap_connection::mailbox_state& imap_store::select(const std::string& name, bool fresh) {
    if (!connection_->connected()) throw imap_error(imap_error::dropped, "the connection to the server is lost");
    auto known = states_.find(name);
    if (!fresh && known != states_.end() && connection_->selected() == name) return known->second;
    return states_[name] = connection_->select(name, options_.dry_run);
}

std::optional<std::uint32_t> imap_store::located(const std::string& folder, const std::string& id) {
    std::optional<std::string> name = server_name(folder);
    std::optional<std::pair<std::uint32_t, std::uint32_t>> parsed = parse_id(id);
    if (!name || !parsed || !on_server(*name)) return std::nullopt;
    if (select(*name).uidvalidity != parsed->first) return std::nullopt;
    return parsed->second;
}

std::optional<imap_connection::message_info> imap_store::info_of(std::uint32_t uid, bool deleted_too) {
    for (const imap_connection::message_info& info : connection_->messages(uid, uid)) {
        if (info.uid == uid && (deleted_too || !info.deleted)) return info;
    }
    return std::nullopt;
}

imap_store::shadow* imap_store::shadow_of(const std::string& id) {
    std::optional<std::pair<std::uint32_t, std::uint32_t>> parsed = parse_id(id);
    if (!parsed || parsed->first != 0 || parsed->second == 0 || parsed->second > shadows_.size()) return nullptr;
    return &shadows_[parsed->second - 1];
}

std::optional<imap_store::entry> imap_store::find(const std::string& folder, const std::string& id) {
    if (shadow* s = shadow_of(id)) return s->folder == folder ? std::optional<entry>(s->listed) : std::nullopt;
    if (hidden_.count({folder, id})) return std::nullopt;
    std::optional<std::uint32_t> uid = located(folder, id);
    std::optional<imap_connection::message_info> info = uid ? info_of(*uid) : std::nullopt;
    if (!info) return std::nullopt;
    entry found{id, info->size, info->internal_date, info->seen};
    if (auto set = seen_.find({folder, id}); set != seen_.end()) found.seen = set->second;
    return found;
}

std::vector<imap_store::entry> imap_store::listing(const std::string& folder) {
    std::vector<entry> found;
    std::optional<std::string> name = server_name(folder);
    if (name && on_server(*name)) {
        std::uint32_t validity = select(*name).uidvalidity;
        for (const imap_connection::message_info& info : connection_->messages(1)) {
            std::string id = imap_id(validity, info.uid);
            if (info.deleted || hidden_.count({folder, id})) continue;
            auto set = seen_.find({folder, id});
            found.push_back({id, info.size, info.internal_date, set != seen_.end() ? set->second : info.seen});
        }
    }
    for (const shadow& s : shadows_)
        if (s.folder == folder) found.push_back(s.listed);
    return found;
}

bool imap_store::read_body(const std::string& folder, const std::string& id,
                           const std::function<void(std::string_view)>& sink) {
    if (shadow* s = shadow_of(id)) {
        if (s->folder != folder) return false;
        if (s->origin_id.empty()) sink(s->bytes);
        if (s->origin_id.empty()) return true;
        std::optional<std::uint32_t> uid = located(s->origin_folder, s->origin_id);
        return uid && connection_->body(*uid, sink);
    }
    if (hidden_.count({folder, id})) return false;
    std::optional<std::uint32_t> uid = located(folder, id);
    return uid && connection_->body(*uid, sink);
}

std::optional<std::string> imap_store::read_header(const std::string& folder, const std::string& id,
                                                   std::size_t limit) {
    if (shadow* s = shadow_of(id)) {
        if (s->folder != folder) return std::nullopt;
        if (s->origin_id.empty()) return maildir::header_block_of(s->bytes, limit);
        std::optional<std::uint32_t> uid = located(s->origin_folder, s->origin_id);
        return uid ? connection_->header(*uid, limit) : std::nullopt;
    }
    if (hidden_.count({folder, id})) return std::nullopt;
    std::optional<std::uint32_t> uid = located(folder, id);
    return uid ? connection_->header(*uid, limit) : std::nullopt;
}

store_result imap_store::set_seen(const std::string& folder, const std::string& id, bool seen) {
    if (options_.dry_run) {
        if (!find(folder, id)) return {store_result::gone};
        if (shadow* s = shadow_of(id)) s->listed.seen = seen;
        else seen_[{folder, id}] = seen;
        return {};
    }
    std::optional<std::uint32_t> uid = located(folder, id);
    std::optional<imap_connection::message_info> info = uid ? info_of(*uid) : std::nullopt;
    if (!info) return {store_result::gone};
    if (info->seen != seen) connection_->set_seen(*uid, seen);
    return {};
}

std::vector<message_ref> imap_store::messages(const std::string& folder) {
    std::vector<message_ref> found;
    try {
        for (entry& e : listing(folder))
            found.push_back(std::make_shared<imap_message>(shared_from_this(), folder, std::move(e)));
    } catch (const imap_error& error) {
        failure(error);
    }
    return found;
}

size_t imap_store::message_count(const std::string& folder) {
    try {
        return listing(folder).size();
    } catch (const imap_error& error) {
        failure(error);
        return 0;
    }
}

bool imap_store::holds(const std::string& folder, const std::string& id) {
    if (auto stored = stored_.find(id); stored != stored_.end()) {
        // Stored by this store; a server that did not tell its UID holds it all the same.
        if (stored->second.empty()) return true;
        return holds(folder, stored->second);
    }
    // Stored under an id of new_id() by an earlier process, which may have ended before the server
    // told the UID: whether the APPEND got there cannot be told, and what asks (a challenge left
    // under way) must rather take it as stored than store it twice.
    if (id.rfind("new.", 0) == 0) return true;
    try {
        return find(folder, id).has_value();
    } catch (const imap_error& error) {
        failure(error);
        return false;
    }
}

std::vector<mail_store::inbox_entry> imap_store::inbox() {
    std::vector<inbox_entry> entries;
    try {
        for (entry& e : listing("")) entries.push_back({e.id, e.id, e.seen});
    } catch (const imap_error& error) {
        failure(error);
    }
    return entries;
}

std::vector<mail_store::listed_message> imap_store::list(const std::string& folder) {
    std::vector<listed_message> listed;
    try {
        for (entry& e : listing(folder)) listed.push_back({e.id, e.id, e.size, timespec{e.date, 0}, e.seen});
    } catch (const imap_error& error) {
        failure(error);
    }
    return listed;
}

bool imap_store::has_folder(const std::string& folder) {
    std::optional<std::string> name = server_name(folder);
    try {
        return name && (on_server(*name) || pretend_made_.count(*name));
    } catch (const imap_error& error) {
        failure(error);
        return false;
    }
}

std::string imap_store::special_folder(special_use use) {
    static const std::vector<const char*> junk{"Junk", "Spam"}, sent{"Sent", "Sent Messages", "Sent Items"},
        trash{"Trash", "Deleted Messages"};
    const char* flag = use == special_use::junk ? "\\Junk" : use == special_use::sent ? "\\Sent" : "\\Trash";
    try {
        const std::vector<imap_connection::folder_info>& listed = server_folders();
        for (const imap_connection::folder_info& folder : listed) {
            std::optional<std::string> name = seam_name(folder.name);
            if (name && !name->empty() && has_flag(folder, flag)) return *name;
        }
        for (const char* usual : use == special_use::junk ? junk : use == special_use::sent ? sent : trash) {
            for (const imap_connection::folder_info& folder : listed) {
                std::optional<std::string> name = seam_name(folder.name);
                if (name && same_name(*name, usual) && !has_flag(folder, "\\Noselect")) return *name;
            }
        }
    } catch (const imap_error& error) {
        failure(error);
    }
    return "";
}

std::optional<std::string> imap_store::header_block(const std::string& folder, const std::string& id,
                                                    std::size_t limit) {
    try {
        return read_header(folder, id, limit);
    } catch (const imap_error& error) {
        failure(error);
        return std::nullopt;
    }
}

std::optional<message_fingerprint> imap_store::fingerprint(const std::string& folder, const std::string& id) {
    fingerprint_maker maker;
    try {
        if (!read_body(folder, id, [&](std::string_view piece) { maker.add(piece); })) return std::nullopt;
    } catch (const imap_error& error) {
        failure(error);
        return std::nullopt;
    }
    return maker.finish();
}

store_result imap_store::settle_appended(const std::string& id) {
    // Unseen mail of INBOX is no new mail here but by the host's record: nothing to change.
    try {
        return find("", id) ? store_result{} : store_result{store_result::gone};
    } catch (const imap_error& error) {
        return failure(error);
    }
}
