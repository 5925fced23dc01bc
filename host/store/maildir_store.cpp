#include "store/maildir_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "store/folder_sync.h"
#include "store/maildir.h"
#include "store/maildir_message.h"

std::shared_ptr<maildir_store> maildir_store::open(std::string root) {
    return std::shared_ptr<maildir_store>(new maildir_store(std::move(root)));
}

std::string maildir_store::directory(const std::string& folder) const {
    return maildir::folder_directory(root_, folder);
}

std::string maildir_store::place_of(const std::string& folder) const { return directory(folder) + "/new"; }

const std::vector<std::string>& maildir_store::folders() {
    folder_listing& listing = listing_;
    struct stat st {};
    if (::stat(root_.c_str(), &st) != 0) {
        listing = {};
        return listing.folders;
    }
    if (listing.valid && listing.device == st.st_dev && listing.inode == st.st_ino && listing.links == st.st_nlink &&
        listing.changed.tv_sec == st.st_mtim.tv_sec && listing.changed.tv_nsec == st.st_mtim.tv_nsec)
        return listing.folders;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    listing.folders = maildir::folder_entries(root_);
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

std::vector<std::string> maildir_store::children(const std::string& folder) {
    return maildir::children_among(folders(), folder);
}

bool maildir_store::valid_folder_name(std::string_view name) const { return maildir::valid_folder_name(name); }

int maildir_store::make_folder(const std::string& folder, std::string& not_made) {
    listing_.valid = false;
    int error = maildir::create_folder(root_, folder, &not_made);
    if (error == 0) folders_made_.insert(folder);
    return error;
}

store_result maildir_store::create_folder(const std::string& folder) {
    std::string not_made;
    int error = make_folder(folder, not_made);
    if (error != 0) return {store_result::failed, error, not_made};
    return {};
}

std::vector<message_ref> maildir_store::messages(const std::string& folder) {
    std::vector<message_ref> found;
    for (maildir::message_file& file : maildir::list_all_messages(directory(folder)))
        found.push_back(std::make_shared<maildir_message>(shared_from_this(), folder, std::move(file)));
    return found;
}

size_t maildir_store::message_count(const std::string& folder) {
    return maildir::list_all_messages(directory(folder)).size();
}

bool maildir_store::holds(const std::string& folder, const std::string& id) {
    return maildir::find_by_unique(directory(folder), id).has_value();
}

std::vector<mail_store::inbox_entry> maildir_store::inbox() {
    std::vector<inbox_entry> entries;
    for (maildir::message_file& file : maildir::list_all_messages(root_)) {
        bool seen = file.subdir == "cur" && maildir::flags_of(file.name).find('S') != std::string::npos;
        std::string id(maildir::unique_part(file.name));
        entries.push_back({std::move(file.name), std::move(id), seen});
    }
    return entries;
}

std::string maildir_store::id_of_arrival(const std::string& name) const {
    return std::string(maildir::unique_part(name));
}

namespace {

// Files up to this size are kept in memory once read; larger ones are read from the file.
constexpr off_t kept_size_limit = 8 << 20;

// Reads the regular file `path` whole: 0 with its status in `st` (and its bytes in `bytes` when
// small enough), ENOENT when it is gone, ENOTSUP when it is no regular file (a link, a folder,
// a pipe), else the errno of the failure.
int read_message_file(const std::string& path, struct stat& st, std::optional<std::string>& bytes) {
    // Never follows a link, never waits on a pipe.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT) return ENOENT;
        if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? ENOENT : error;
        return S_ISREG(st.st_mode) ? error : ENOTSUP;
    }
    int error = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : ENOTSUP;
    std::string content;
    bool keep = error == 0 && st.st_size <= kept_size_limit;
    if (keep) content.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    while (error == 0) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        if (keep) content.append(buffer, static_cast<size_t>(n));
        // The size it had when opened is read: a file still growing is read to its end.
        if (keep && content.size() == static_cast<size_t>(st.st_size) && st.st_size > 0) break;
    }
    ::close(fd);
    if (error == 0 && keep) bytes = std::move(content);
    return error;
}

}  // namespace

message_ref maildir_store::open_arrival(const std::string& name, int* read_error) {
    if (read_error) *read_error = 0;
    // Where it was listed: new/, or cur/ for unread mail that an IMAP server moved there.
    bool flagged = name.find(':') != std::string::npos;
    maildir::message_file file{flagged ? "cur" : "new", name};
    auto read = [&](struct stat& st, std::optional<std::string>& bytes) {
        return read_message_file(root_ + "/" + file.subdir + "/" + file.name, st, bytes);
    };
    struct stat st {};
    std::optional<std::string> bytes;
    int error = read(st, bytes);
    if (error == ENOENT && !flagged) {
        // A delivery still in tmp/, judged before it is shown anywhere.
        file = maildir::message_file{"tmp", maildir::temporary_name(name)};
        error = read(st, bytes);
    }
    if (error == ENOENT) {
        // Renamed by another client since it was listed.
        std::optional<maildir::message_file> found = maildir::find_by_unique(root_, maildir::unique_part(name));
        if (!found) return {};
        file = std::move(*found);
        error = read(st, bytes);
    }
    if (error != 0) {
        // Vanished meanwhile is gone, not unreadable; what is no regular file is no message.
        if (error != ENOENT && error != ENOTSUP && read_error) *read_error = error;
        return {};
    }
    // Read by another client meanwhile: left alone.
    if (file.subdir == "cur" && maildir::flags_of(file.name).find('S') != std::string::npos) return {};
    file.mtime = st.st_mtim;
    return std::make_shared<maildir_message>(shared_from_this(), "", std::move(file), true, std::move(bytes));
}

std::string maildir_store::new_id() { return maildir::new_unique_name(); }

bool maildir_store::store(const std::string& folder, const std::string& id, std::string_view bytes,
                          std::string& error) {
    std::string not_made;
    int failure = made(folder) ? 0 : make_folder(folder, not_made);
    if (failure != 0) {
        error = not_made + ": " + std::strerror(failure);
        return false;
    }
    if (maildir::deliver_named(directory(folder), id, bytes, error)) return true;
    // A folder removed meanwhile is made again by the next message stored there.
    forget_made(folder);
    return false;
}

std::vector<std::string> maildir_store::remove_leftovers() {
    std::vector<std::string> folders = {""};
    for (const std::string& folder : this->folders()) folders.push_back(folder);
    std::vector<std::string> not_removed;
    for (const std::string& folder : folders)
        maildir::remove_own_temporaries(directory(folder), not_removed,
                                        folder.empty() && !delivery_.empty() ? maildir::temporary_name(delivery_) : "");
    return not_removed;
}

std::vector<mail_store::listed_message> maildir_store::list(const std::string& folder) {
    std::vector<listed_message> listed;
    std::map<std::string, std::string>& places = listed_[folder];
    places.clear();
    for (maildir::message_file& file : maildir::list_all_messages(directory(folder))) {
        std::string id(maildir::unique_part(file.name));
        bool seen = maildir::flags_of(file.name).find('S') != std::string::npos;
        places[id] = file.subdir + "/" + file.name;
        listed.push_back(
            {std::move(id), std::move(file.name), static_cast<std::uint64_t>(file.size), file.mtime, seen});
    }
    return listed;
}

bool maildir_store::has_folder(const std::string& folder) { return maildir::is_maildir(directory(folder)); }

std::string maildir_store::special_folder(special_use use) {
    static const std::vector<const char*> junk{"Junk", "Spam"}, sent{"Sent", "Sent Messages", "Sent Items"},
        trash{"Trash"};
    for (const char* name : use == special_use::junk ? junk : use == special_use::sent ? sent : trash) {
        if (has_folder(name)) return name;
    }
    return "";
}

std::optional<std::string> maildir_store::path_of(const std::string& folder, const std::string& id) {
    std::string dir = directory(folder);
    std::optional<maildir::message_file> file = maildir::find_by_unique(dir, id);
    if (!file) return std::nullopt;
    return dir + "/" + file->subdir + "/" + file->name;
}

void maildir_store::note_moved(const std::string& folder, const std::string& id, std::string place) {
    // A few are enough: each is read right after its move, if at all.
    if (moved_.size() >= 64) moved_.clear();
    moved_[{folder, id}] = std::move(place);
}

template <typename Result, typename Read>
std::optional<Result> maildir_store::read_listed(const std::string& folder, const std::string& id, Read read) {
    std::optional<std::string> listed_path;
    auto places = listed_.find(folder);
    if (auto moved = moved_.find({folder, id}); moved != moved_.end()) {
        listed_path = directory(folder) + "/" + moved->second;
    } else if (places != listed_.end()) {
        auto place = places->second.find(id);
        if (place != places->second.end()) listed_path = directory(folder) + "/" + place->second;
    }
    if (listed_path) {
        if (std::optional<Result> result = read(*listed_path)) return result;
    }
    std::optional<std::string> path = path_of(folder, id);
    if (!path || path == listed_path) return std::nullopt;
    return read(*path);
}

std::optional<std::string> maildir_store::header_block(const std::string& folder, const std::string& id,
                                                       std::size_t limit) {
    return read_listed<std::string>(folder, id,
                                    [&](const std::string& path) { return maildir::read_header_block(path, limit); });
}

std::optional<message_fingerprint> maildir_store::fingerprint(const std::string& folder, const std::string& id) {
    return read_listed<message_fingerprint>(folder, id,
                                            [](const std::string& path) { return fingerprint_of_file(path); });
}

store_result maildir_store::settle_appended(const std::string& id) {
    // In new/ it would pass for new mail: it goes to cur/ with its flags, unread as it was.
    std::string inbox = directory("");
    std::optional<maildir::message_file> file = maildir::find_by_unique(inbox, id);
    if (!file) return {store_result::gone};
    if (file->subdir != "new") return {};
    int error = maildir::move_no_replace(
        inbox + "/new/" + file->name, inbox + "/cur/" + maildir::with_flags(file->name, maildir::flags_of(file->name)));
    if (error == ENOENT) return {store_result::gone};
    if (error != 0) return {store_result::failed, error};
    folder_sync::note_mail_folder(inbox + "/new");
    folder_sync::note_mail_folder(inbox + "/cur");
    return {};
}
