#include "mailer/maildir_folder.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <utility>

#include "common/mime.h"

namespace host_detail {

const std::vector<std::string>& maildir_store::all_folders() {
    struct stat st {};
    if (::stat(options.root.c_str(), &st) != 0) {
        listing = {};
        return listing.folders;
    }
    if (listing.valid && listing.device == st.st_dev && listing.inode == st.st_ino && listing.links == st.st_nlink &&
        listing.changed.tv_sec == st.st_mtim.tv_sec && listing.changed.tv_nsec == st.st_mtim.tv_nsec)
        return listing.folders;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    listing.folders = maildir::folder_entries(options.root);
    listing.device = st.st_dev;
    listing.inode = st.st_ino;
    listing.links = st.st_nlink;
    listing.changed = st.st_mtim;
    // A folder made in the same tick of the file system's clock as the root's last change would
    // leave its time as it was: a listing is trusted only once the root's last change is more
    // than a tick before it. A tick is at most 10 ms where times have nanoseconds; a file system
    // that keeps whole seconds (or two) shows none.
    long long age_ns =
        (static_cast<long long>(now.tv_sec) - st.st_mtim.tv_sec) * 1000000000LL + (now.tv_nsec - st.st_mtim.tv_nsec);
    listing.valid = age_ns > (st.st_mtim.tv_nsec != 0 ? 20000000LL : 3000000000LL);
    return listing.folders;
}

folder_object::folder_object(store_ptr owner, bool is_root, std::string name)
    : com_object(&live_objects), owner_(std::move(owner)), is_root_(is_root), name_(std::move(name)) {}

std::string folder_object::display_name() const {
    if (is_root_) return "";
    if (name_.empty()) return inbox_name;
    return name_.substr(name_.rfind('.') + 1);
}

std::vector<com_ptr<folder_object>> folder_object::children() const {
    std::vector<com_ptr<folder_object>> found;
    if (is_root_) {
        found.push_back(com_ptr<folder_object>::attach(new folder_object(owner_, false, "")));
    } else {
        for (const std::string& child : maildir::children_among(owner_->all_folders(), name_))
            found.push_back(com_ptr<folder_object>::attach(new folder_object(owner_, false, child)));
    }
    return found;
}

HRESULT folder_object::make_child(const std::string& level, com_ptr<folder_object>& made) const {
    // One level at a time, and never a name that could leave the Maildir.
    if (!maildir::valid_folder_name(level) || level.find('.') != std::string::npos) return E_INVALIDARG;
    std::string full = name_.empty() ? level : name_ + "." + level;
    std::string not_made;
    owner_->listing.valid = false;
    if (int error = maildir::create_folder(owner_->options.root, full, &not_made); error != 0) {
        // The add-in only logs it; the run must say so.
        ++owner_->activity.folders_failed;
        owner_->activity.notes.push_back("cannot make the folder " + full + ": " + not_made + ": " +
                                         std::strerror(error));
        return hresult_from_errno(error);
    }
    owner_->folders_made.insert(full);
    made = com_ptr<folder_object>::attach(new folder_object(owner_, false, full));
    return S_OK;
}

std::vector<com_ptr<message_object>> folder_object::messages_from(const std::string& text) const {
    std::vector<com_ptr<message_object>> found;
    std::vector<mailbox> boxes = parse_mailboxes(text);
    std::string wanted = ascii_lower(boxes.empty() ? text : boxes.front().address);
    if (wanted.empty()) return found;
    std::string directory = owner_->directory(name_);
    for (maildir::message_file& file : maildir::list_all_messages(directory)) {
        std::optional<std::string> block = maildir::read_header_block(directory + "/" + file.subdir + "/" + file.name);
        if (!block || ascii_lower(parse_headers(*block).sender) != wanted) continue;
        found.push_back(com_ptr<message_object>::attach(new message_object(owner_, name_, std::move(file))));
    }
    return found;
}

size_t folder_object::message_count() const {
    return is_root_ ? 0 : maildir::list_all_messages(owner_->directory(name_)).size();
}

HRESULT folder_object::expire_oldest(long days, std::string& sender, double& age_seconds) const {
    if (days < 0 || name_ == trash_folder) return S_FALSE;
    double limit = static_cast<double>(days) * 86400.0;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // Oldest first: the first that is young enough ends the search. A file that vanishes
    // before it is moved lets the next one take its place.
    for (maildir::message_file& file : maildir::list_all_messages(owner_->directory(name_))) {
        double age = static_cast<double>(now.tv_sec - file.mtime.tv_sec) +
                     static_cast<double>(now.tv_nsec - file.mtime.tv_nsec) / 1e9;
        if (age <= limit) break;
        auto message = com_ptr<message_object>::attach(new message_object(owner_, name_, std::move(file)));
        const header_summary* headers = message->headers();
        if (!headers) continue;
        // Lower case, as the add-in keeps its address lists.
        std::string from = ascii_lower(headers->sender);
        if (FAILED(message->move_into(trash_folder))) continue;
        ++owner_->activity.expired;
        sender = std::move(from);
        age_seconds = age;
        return S_OK;
    }
    return S_FALSE;
}

com_ptr<folder_object> folder_from(IUnknown* object, const store_ptr& owner) {
    com_ptr<IUnknown> found = com_ptr<IUnknown>(object).query<IUnknown>(IID_maildir_folder);
    if (!found) return {};
    auto folder = com_ptr<folder_object>::attach(static_cast<folder_object*>(found.detach()));
    if (folder->owner() != owner) return {};
    return folder;
}

com_ptr<folder_object> folder_from(const VARIANT& value, const store_ptr& owner) {
    if (value.vt != VT_UNKNOWN && value.vt != VT_DISPATCH) return {};
    return folder_from(value.punkVal, owner);
}

}  // namespace host_detail
