#include "cli/dry_run.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "contract/addin_data.h"
#include "policy/pending_index.h"
#include "store/maildir.h"

namespace fs = std::filesystem;

namespace {

bool is_message_folder(const fs::path& dir) {
    std::string name = dir.filename().string();
    return name == "new" || name == "cur" || name == "tmp";
}

// Copies the file `from` to `to` with its permissions and modification time: the arrival order
// of mail is read from the time.
bool copy_one(const fs::path& from, const fs::path& to, std::error_code& error) {
    if (!fs::copy_file(from, to, fs::copy_options::none, error)) return false;
    fs::file_time_type time = fs::last_write_time(from, error);
    if (error) return false;
    fs::last_write_time(to, time, error);
    return !error;
}

// Copies the tree `from` into the new folder `to`; files of the Maildir's message folders are
// linked when `link_messages`. `skip` (a folder or a file) is left out, so that a scratch folder
// that lies within the tree is not copied into itself.
bool copy_tree(const fs::path& from, const fs::path& to, bool link_messages, const fs::path& skip,
               std::string& failure) {
    std::error_code error;
    if (!fs::create_directory(to, error) || error) {
        failure = "cannot make " + to.string() + ": " + error.message();
        return false;
    }
    fs::directory_iterator entries(from, error);
    if (error) {
        failure = "cannot read " + from.string() + ": " + error.message();
        return false;
    }
    for (const fs::directory_entry& entry : entries) {
        fs::path target = to / entry.path().filename();
        fs::file_status status = entry.symlink_status(error);
        if (error) {
            failure = "cannot read " + entry.path().string() + ": " + error.message();
            return false;
        }
        if (fs::is_directory(status)) {
            if (fs::equivalent(entry.path(), skip, error)) continue;
            if (!copy_tree(entry.path(), target, link_messages, skip, failure)) return false;
        } else if (fs::is_regular_file(status)) {
            if (entry.path() == skip) continue;
            bool linked = false;
            if (link_messages && is_message_folder(from)) {
                fs::create_hard_link(entry.path(), target, error);
                linked = !error;
            }
            if (!linked && !copy_one(entry.path(), target, error)) {
                failure = "cannot copy " + entry.path().string() + ": " + error.message();
                return false;
            }
        }
    }
    return true;
}

std::string temp_base() {
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir && *tmpdir == '/' ? tmpdir : "/tmp";
}

}  // namespace

std::optional<scratch_copy> scratch_copy::of_data_folder(const std::string& data_directory, std::string& error) {
    std::string pattern = temp_base() + "/tarnwick-copy.XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a scratch folder in " + temp_base() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    scratch_copy copy(pattern);
    std::error_code made;
    if (!fs::create_directory(copy.data_home(), made)) {
        error = "cannot make " + copy.data_home() + ": " + made.message();
        return std::nullopt;
    }
    if (!copy_tree(data_directory, copy.data_home() + "/" + data_folder_name, false,
                   fs::path(data_directory) / debug_log_file_name, error))
        return std::nullopt;
    return copy;
}

std::optional<scratch_copy> scratch_copy::make(const std::string& maildir, const std::string& data_directory,
                                               std::string& error) {
    std::string pattern = temp_base() + "/tarnwick-dry-run.XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a scratch folder in " + temp_base() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    scratch_copy copy(pattern);
    if (!copy_tree(maildir, copy.maildir(), true, pattern, error)) return std::nullopt;
    std::error_code made;
    if (!fs::create_directory(copy.data_home(), made)) {
        error = "cannot make " + copy.data_home() + ": " + made.message();
        return std::nullopt;
    }
    std::error_code exists_error;
    if (!data_directory.empty() && fs::is_directory(data_directory, exists_error) &&
        !copy_tree(data_directory, copy.data_home() + "/" + data_folder_name, false, pattern, error))
        return std::nullopt;
    return copy;
}

scratch_copy::scratch_copy(scratch_copy&& other) noexcept : base_(std::move(other.base_)) { other.base_.clear(); }

scratch_copy& scratch_copy::operator=(scratch_copy&& other) noexcept {
    if (this != &other) {
        remove();
        base_ = std::move(other.base_);
        other.base_.clear();
    }
    return *this;
}

scratch_copy::~scratch_copy() { remove(); }

void scratch_copy::remove() noexcept {
    if (base_.empty()) return;
    std::error_code ignored;
    fs::remove_all(base_, ignored);
    base_.clear();
}

std::string fate_in(const std::string& root, std::string_view unique) {
    if (maildir::find_by_unique(root, unique)) return "kept in the inbox";
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, error)) {
        std::string name = entry.path().filename().string();
        if (name.size() < 2 || name[0] != '.' || !maildir::is_maildir(entry.path().string())) continue;
        if (!maildir::find_by_unique(entry.path().string(), unique)) continue;
        name.erase(0, 1);
        return name == "Trash" ? "deleted (moved to Trash)" : "moved to " + name;
    }
    return "gone";
}

namespace {

// What became of a message whose handle followed it.
std::string fate_of(const message_ref& message) {
    if (!message || !message->locate()) return "gone";
    const std::string& folder = message->folder();
    if (folder.empty()) return "kept in the inbox";
    return folder == "Trash" ? "deleted (moved to Trash)" : "moved to " + shown_text(folder, 200);
}

}  // namespace

void print_dry_run_fates(const std::string& copy_root, const std::vector<handled_message>& handled, bool sending) {
    std::cout << "tarnwick: dry run: nothing was changed; a run would do this:\n";
    for (const handled_message& message : handled) {
        std::cout << "  " << shown_text(message.name, 400) << ": "
                  << (copy_root.empty() ? fate_of(message.message)
                                        : fate_in(copy_root, maildir::unique_part(message.name)));
        if (message.challenge == "withheld") std::cout << "; its challenge would be withheld";
        else if (!message.challenge.empty())
            std::cout << "; a challenge would be " << (sending ? "sent to " : "stored for ")
                      << shown_text(message.challenge, 400);
        // Both come from the sender: one line each, cut where a terminal line would end.
        std::cout << "\n    from " << (message.sender.empty() ? "(no sender)" : shown_text(message.sender, 100)) << ": "
                  << shown_text(message.subject, 100) << "\n";
    }
}
