#include "store/maildir_message.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "platform/posix_files.h"
#include "store/folder_sync.h"

namespace {

// The name of a message file once it is in cur/: its info made "2,FLAGS".
std::string seen_name(const std::string& name) { return maildir::with_flags(name, maildir::flags_of(name)); }

}  // namespace

maildir_message::maildir_message(std::shared_ptr<maildir_store> store, std::string folder, maildir::message_file file,
                                 bool arrival, std::optional<std::string> bytes)
    : store_(std::move(store)),
      folder_(std::move(folder)),
      file_(std::move(file)),
      unique_(maildir::unique_part(maildir::name_of_temporary(file_.name))),
      arrival_(arrival),
      bytes_(std::move(bytes)) {}

std::string maildir_message::path() const { return store_->directory(folder_) + "/" + file_.subdir + "/" + file_.name; }

bool maildir_message::locate() {
    struct stat st {};
    if (::lstat(path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        file_.mtime = st.st_mtim;
        return true;
    }
    std::optional<maildir::message_file> found = maildir::find_by_unique(store_->directory(folder_), unique_);
    if (!found) return false;
    file_ = std::move(*found);
    return true;
}

bool maildir_message::seen() const {
    if (wanted_seen_) return *wanted_seen_;
    return maildir::flags_of(file_.name).find('S') != std::string::npos;
}

store_result maildir_message::set_seen(bool want_seen) {
    if (!locate()) return {store_result::gone};
    if (seen() == want_seen) return {};
    std::optional<bool> before = std::exchange(wanted_seen_, want_seen);
    // Flags live in the name, and a name with flags belongs in cur/: an arrival still in new/
    // (or a delivery in tmp/) keeps the state here for the move that takes it out of there. A second rename first would
    // leave it in the inbox's cur/, never to be filtered again, should the program die between.
    if (arrival_ && file_.subdir != "cur") return {};
    store_result moved = rename_to(folder_, "cur", [](const std::string& current) { return current; });
    if (!moved.ok()) wanted_seen_ = before;
    return moved;
}

store_result maildir_message::rename_to(const std::string& folder, const char* subdir,
                                        const std::function<std::string(const std::string&)>& name_for) {
    bool fresh_name = false;
    bool look = false;  // the file's last known name is tried first
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (look && !locate()) return {store_result::gone};
        look = true;
        std::string name = name_for(with_wanted_state(std::string(maildir::name_of_temporary(file_.name))));
        if (fresh_name) name = maildir::new_unique_name() + name.substr(maildir::unique_part(name).size());
        std::string from = path();
        std::string to = store_->directory(folder) + "/" + subdir + "/" + name;
        if (from == to) return {};
        int error = maildir::move_no_replace(from, to);
        if (error == 0) {
            if (folder.empty() && !folder_.empty()) {
                // A release: its move lasts before the release file forgets the sender.
                posix_files::sync_directory(posix_files::parent_of(from));
                posix_files::sync_directory(posix_files::parent_of(to));
            } else {
                // What leaves tmp/ may stay named there after a crash: nothing is lost by that.
                if (file_.subdir != "tmp") folder_sync::note_mail_folder(posix_files::parent_of(from));
                if (file_.subdir == "tmp") store_->note_delivery_placed();
                folder_sync::note_mail_folder(posix_files::parent_of(to));
            }
            if (folder.empty() && !folder_.empty())
                store_->note_moved_into_inbox(std::string(maildir::unique_part(name)));
            folder_ = folder;
            file_.subdir = subdir;
            file_.name = name;
            unique_ = std::string(maildir::unique_part(name));
            wanted_seen_.reset();
            store_->note_moved(folder_, unique_, place());
            return {};
        }
        if (error == EEXIST && folder != folder_) {
            fresh_name = true;
            continue;
        }
        if (error == ENOENT) {
            // Renamed under us, or gone, or the target folder is missing: look again.
            std::string last_seen = from;
            if (!locate()) return {store_result::gone};
            if (path() != last_seen) {
                look = false;
                continue;
            }
        }
        return {store_result::failed, error};
    }
    return {store_result::failed, 0};
}

store_result maildir_message::move_into(const std::string& folder) {
    std::string not_made;
    bool known = store_->made(folder);
    // A folder is made only for a message that is there.
    if (!known && !locate()) return {store_result::gone};
    auto make_then_move = [&]() -> store_result {
        int error = store_->make_folder(folder, not_made);
        // The whole Maildir vanished, and the message with it.
        if (error == ENOENT) return {store_result::gone};
        if (error != 0) return {store_result::failed, error, not_made};
        return rename_to(folder, "cur", seen_name);
    };
    store_result moved = known ? rename_to(folder, "cur", seen_name) : make_then_move();
    if (known && moved.what == store_result::failed && moved.error == ENOENT) {
        // The folder was removed meanwhile: made again, and the move tried once more.
        store_->forget_made(folder);
        moved = make_then_move();
    }
    return moved;
}

store_result maildir_message::move_to(const std::string& folder) {
    if (folder_ == folder) return locate() ? store_result{} : store_result{store_result::gone};
    store_result moved = move_into(folder);
    if (moved.what == store_result::failed) move_failed_ = true;
    return moved;
}

bool maildir_message::leave_arrivals() {
    if (!folder_.empty()) return true;
    bool marked_seen = wanted_seen_.value_or(false);
    if (file_.subdir == "cur" || (file_.subdir == "new" && !marked_seen)) return true;
    // The rename goes ahead from where the file was last seen; a file gone meanwhile has nothing
    // left to mark. Unread, a delivery keeps its plain name in new/.
    store_result moved =
        marked_seen
            ? rename_to("", "cur", seen_name)
            : rename_to("", "new", [](const std::string& name) { return std::string(maildir::unique_part(name)); });
    return moved.what != store_result::failed;
}

const header_summary* maildir_message::headers() {
    if (!headers_) {
        // The first question finds out whether the file is still there; the answer comes from
        // what was read at the start when it was.
        if (!locate()) return nullptr;
        if (bytes_) {
            headers_ = std::make_shared<const header_summary>(parse_headers(maildir::header_block_of(*bytes_)));
        } else {
            std::optional<std::string> block = maildir::read_header_block(path());
            if (!block) return nullptr;
            headers_ = std::make_shared<const header_summary>(parse_headers(*block));
        }
    }
    return headers_.get();
}

std::optional<std::uint64_t> maildir_message::size() {
    if (bytes_) return bytes_->size();
    struct stat st {};
    if (!locate() || ::stat(path().c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::optional<message_content> maildir_message::read_content() {
    // Read at the start, and found there since: the file's content is in hand.
    if (!(bytes_ && headers_) && !locate()) return std::nullopt;
    if (bytes_) return parse_content(*bytes_);
    return parse_content_file(path());
}

bool maildir_message::starts_with_header_field() {
    // The first kilobyte, as from the file.
    return bytes_ ? maildir::starts_with_header_field(std::string_view(*bytes_).substr(0, 1024))
                  : maildir::starts_with_header_field(path());
}

std::string maildir_message::with_wanted_state(const std::string& name) const {
    if (!wanted_seen_) return name;
    std::string flags = maildir::flags_of(name);
    std::erase(flags, 'S');
    if (*wanted_seen_) flags += 'S';
    return maildir::with_flags(name, flags);
}
