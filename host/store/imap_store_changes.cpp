// The IMAP store's changes to the server and its records: moves, stored mail, the arrivals read
// whole, and what open() finishes of earlier runs.
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>

#include "common/append_file.h"
#include "platform/file_io.h"
#include "store/imap_message.h"
#include "store/imap_store.h"

namespace {

// Enough of a header block for its Message-ID.
constexpr std::size_t id_header_limit = 64 * 1024;

}  // namespace

std::shared_ptr<imap_store> imap_store::open(std::unique_ptr<imap_connection> connection, std::string state_directory,
                                             imap_store_options options) {
    std::shared_ptr<imap_store> store(
        new imap_store(std::move(connection), std::move(state_directory), std::move(options)));
    try {
        store->delimiter_ = store->connection_->delimiter();
        // A dry run changes nothing: what an earlier run left half done waits for a real one.
        if (!store->options_.dry_run) store->finish_moves();
        store->check_inbox();
    } catch (const imap_error& error) {
        store->failure(error);
        store->failures_.push_back(store->options_.account + ": " + error.what());
    }
    return store;
}

void imap_store::finish_moves() {
    std::string path = state_directory_ + "/" + imap_state::moves_file;
    std::optional<std::string> text = read_file(path);
    if (!text || text->empty()) return;
    std::string kept;
    for (const imap_state::move_intent& intent : imap_state::unfinished_moves(*text)) {
        try {
            if (broken_ == 0) {
                finish_move(intent);
                continue;
            }
        } catch (const imap_error& error) {
            failure(error);
            failures_.push_back("the move of UID " + std::to_string(intent.uid) + " from " + intent.from + " to " +
                                intent.to + " (" + error.what() + "), left for the next run");
        }
        kept += imap_state::begun_line(intent);
    }
    if (!replace_file_atomically(path, kept)) failures_.push_back(path + " (cannot be rewritten)");
}

void imap_store::finish_move(const imap_state::move_intent& intent) {
    // A folder removed meanwhile took the message, or its copy, with it.
    auto selected = [&](const std::string& name, std::uint32_t validity) {
        try {
            return select(name, true).uidvalidity == validity;
        } catch (const imap_error& error) {
            if (error.code() != imap_error::refused) throw;
            return false;
        }
    };
    // Gone from the source: moved, or deleted by the user. Either way nothing is left to do.
    if (!selected(intent.from, intent.validity) || !info_of(intent.uid, true)) return;
    // Not copied yet: it stays where it is, to be judged again.
    if (!selected(intent.to, intent.to_validity) || !find_copy(intent.to_next, intent.size, intent.message_id)) return;
    select(intent.from);
    connection_->expunge(intent.uid);
}

std::uint32_t imap_store::find_copy(std::uint32_t first, std::uint64_t size, const std::string& message_id) {
    std::vector<imap_connection::message_info> listed = connection_->messages(first);
    for (auto it = listed.rbegin(); it != listed.rend(); ++it) {
        if (it->uid < first || it->size != size || it->deleted) continue;
        std::optional<std::string> header = connection_->header(it->uid, id_header_limit);
        if (header && imap_state::message_id_of(*header) == message_id) return it->uid;
    }
    return 0;
}

imap_state::inbox_message imap_store::inbox_message_of(const imap_connection::message_info& info) {
    std::optional<std::string> header = connection_->header(info.uid, id_header_limit);
    return {info.uid, info.size, info.internal_date, header ? imap_state::message_id_of(*header) : ""};
}

void imap_store::check_inbox() {
    std::string path = state_directory_ + "/" + imap_state::inbox_file;
    std::optional<imap_state::inbox_record> before;
    if (std::optional<std::string> text = read_file(path)) before = imap_state::read_inbox(*text);
    std::uint32_t validity = select("INBOX", true).uidvalidity;
    std::map<std::uint32_t, const imap_state::inbox_message*> known;
    if (before && before->validity == validity)
        for (const imap_state::inbox_message& m : before->messages) known[m.uid] = &m;
    // Each message's Message-ID is read once, when it is first seen.
    imap_state::inbox_record now{validity, {}};
    for (const imap_connection::message_info& info : connection_->messages(1)) {
        if (info.deleted) continue;
        auto found = known.find(info.uid);
        now.messages.push_back(found != known.end() ? *found->second : inbox_message_of(info));
    }
    if (before && before->validity != validity) {
        for (auto [old_uid, new_uid] : imap_state::match_renumbered(before->messages, now.messages))
            renumbered_.emplace_back(imap_id(before->validity, old_uid), imap_id(validity, new_uid));
        renumbered_record_ = std::move(now);
        return;
    }
    if (options_.dry_run || (before && *before == now)) return;
    if (!replace_file_atomically(path, imap_state::inbox_text(now))) failures_.push_back(path + " (cannot be written)");
}

int imap_store::forget_renumbered() {
    if (!renumbered_record_ || options_.dry_run) return 0;
    if (!replace_file_atomically(state_directory_ + "/" + imap_state::inbox_file,
                                 imap_state::inbox_text(*renumbered_record_)))
        return errno != 0 ? errno : EIO;
    renumbered_.clear();
    renumbered_record_.reset();
    return 0;
}

store_result imap_store::move(const std::string& from, const std::string& id, const std::string& to,
                              std::string& moved_id) {
    std::optional<std::string> target = server_name(to);
    if (!target) return {store_result::failed, EINVAL, to};
    try {
        if (options_.dry_run && !find(from, id)) return {store_result::gone};
        make(*target);
    } catch (const imap_error& error) {
        store_result result = failure(error);
        result.not_made = to;
        return result;
    }
    try {
        if (!options_.dry_run) return move_on_server(from, id, to, moved_id);
        if (shadow* s = shadow_of(id)) {
            s->folder = to;
            moved_id = id;
        } else {
            shadows_.push_back({to, *find(from, id), from, id, ""});
            hidden_.insert({from, id});
            moved_id = shadows_.back().listed.id = imap_id(0, static_cast<std::uint32_t>(shadows_.size()));
        }
        if (to.empty() && !from.empty()) moved_into_inbox_.push_back(moved_id);
        return {};
    } catch (const imap_error& error) {
        return failure(error);
    }
}

store_result imap_store::move_on_server(const std::string& from, const std::string& id, const std::string& to,
                                        std::string& moved_id) {
    std::string source = *server_name(from), target = *server_name(to);
    std::string moves = state_directory_ + "/" + imap_state::moves_file;
    // Without COPYUID the copy is found again by its size and Message-ID, from the target's next
    // UID on. The move is written down first, so that the next run can finish it: a server killed
    // in a UID MOVE may leave the message in both folders as well (Dovecot's Maildir copies, then
    // expunges), and moving it again would double it.
    std::optional<imap_state::move_intent> intent;
    {
        const imap_connection::mailbox_state& there = select(target, true);
        intent = imap_state::move_intent{source, target, 0, 0, there.uidvalidity, there.uidnext, 0, ""};
        std::optional<std::uint32_t> uid = located(from, id);
        std::optional<imap_connection::message_info> info = uid ? info_of(*uid) : std::nullopt;
        if (!info) return {store_result::gone};
        std::optional<std::string> header = connection_->header(*uid, id_header_limit);
        intent->validity = select(source).uidvalidity;
        intent->uid = *uid;
        intent->size = info->size;
        intent->message_id = header ? imap_state::message_id_of(*header) : "";
        if (int error = append_to_file(moves, imap_state::begun_line(*intent), true))
            return {store_result::failed, error};
    }
    std::optional<std::uint32_t> uid = located(from, id);
    std::optional<std::uint32_t> moved = uid ? connection_->move(*uid, target) : std::nullopt;
    // Written down as done without waiting for the disk: the next run finds it done all the same.
    append_to_file(moves, imap_state::done_line(*intent), false);
    if (!moved) return {store_result::gone};
    std::uint32_t new_uid = *moved;
    if (new_uid == 0) {
        select(target, true);
        new_uid = find_copy(intent->to_next, intent->size, intent->message_id);
    }
    auto known = states_.find(target);
    std::uint32_t validity = known != states_.end() ? known->second.uidvalidity : select(target).uidvalidity;
    // Moved, but not to be found again there: the handle counts it as gone from where it was.
    moved_id = new_uid != 0 ? imap_id(validity, new_uid) : "";
    if (to.empty() && !from.empty() && new_uid != 0) moved_into_inbox_.push_back(moved_id);
    return {};
}

message_ref imap_store::open_arrival(const std::string& name, int* read_error) {
    if (read_error) *read_error = 0;
    try {
        std::optional<entry> found = find("", name);
        // Gone, or read by another client meanwhile: left alone.
        if (!found || found->seen) return {};
        std::optional<std::string> bytes;
        if (found->size <= options_.whole_message_limit) {
            bytes.emplace();
            bytes->reserve(found->size);
            bool too_large = false;
            // A server that sends more than it said is not believed: only the header is kept then.
            if (!read_body("", name, [&](std::string_view piece) {
                    too_large = too_large || bytes->size() + piece.size() > options_.whole_message_limit;
                    if (!too_large) bytes->append(piece);
                }))
                return {};
            if (too_large) bytes.reset();
        }
        std::optional<std::string> header;
        if (!bytes && !(header = read_header("", name, 1 << 20))) return {};
        return std::make_shared<imap_message>(shared_from_this(), "", std::move(*found), true, std::move(bytes),
                                              std::move(header));
    } catch (const imap_error& error) {
        store_result result = failure(error);
        if (read_error) *read_error = result.error;
        return {};
    }
}

std::string imap_store::new_id() {
    return "new." + std::to_string(std::time(nullptr)) + "." + std::to_string(::getpid()) + "." +
           std::to_string(++counter_);
}

bool imap_store::store(const std::string& folder, const std::string& id, std::string_view bytes, std::string& error) {
    std::optional<std::string> name = server_name(folder);
    if (!name) {
        error = folder + ": the server cannot hold a folder of that name";
        return false;
    }
    try {
        make(*name);
        if (options_.dry_run) {
            entry listed{"", bytes.size(), static_cast<long long>(std::time(nullptr)), false};
            shadows_.push_back({folder, listed, "", "", std::string(bytes)});
            stored_[id] = shadows_.back().listed.id = imap_id(0, static_cast<std::uint32_t>(shadows_.size()));
            return true;
        }
        std::uint32_t uid = connection_->append(*name, bytes, false);
        stored_[id] = uid != 0 ? imap_id(select(*name).uidvalidity, uid) : "";
        return true;
    } catch (const imap_error& e) {
        failure(e);
        error = *name + " on " + options_.account + ": " + e.what();
        return false;
    }
}
