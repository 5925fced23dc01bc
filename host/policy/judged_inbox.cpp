#include "policy/judged_inbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/percent_codec.h"
#include "platform/file_io.h"
#include "platform/posix_files.h"

namespace {

// A Maildir name may hold any byte but '/' and NUL: line feeds and other control bytes are escaped.
bool plain(unsigned char byte) { return byte > ' ' && byte != 0x7f; }

}  // namespace

judged_inbox::judged_inbox(const std::string& data_directory) : path_(data_directory + "/" + judged_inbox_file_name) {
    std::optional<std::string> text = read_file(path_);
    if (!text) return;
    exists_ = true;
    ends_line_ = text->empty() || text->back() == '\n';
    std::string_view rest = *text;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        ++lines_;
        if (std::optional<std::string> id = percent_decode(line, plain); id && !id->empty()) ids_.insert(*id);
    }
}

judged_inbox::~judged_inbox() {
    if (fd_ >= 0) ::close(fd_);
}

bool judged_inbox::fail(const std::string& what, int error) {
    if (problem_.empty())
        problem_ = path_ + ": cannot " + what + (error != 0 ? std::string(": ") + std::strerror(error) : "");
    return false;
}

bool judged_inbox::start(const std::vector<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) text += percent_encode(id, plain) + "\n";
    if (!replace_file_atomically(path_, text)) return fail("write it", 0);
    if (fd_ >= 0) {
        // Appends go to the new file from now on.
        ::close(fd_);
        fd_ = -1;
        unflushed_ = false;
    }
    exists_ = true;
    ends_line_ = true;
    lines_ = ids.size();
    ids_ = std::unordered_set<std::string>(ids.begin(), ids.end());
    return true;
}

bool judged_inbox::add(const std::string& id) {
    if (id.empty() || !ids_.insert(id).second) return true;
    if (fd_ < 0) {
        int refused = file_step_error(file_step::create, path_);
        fd_ = refused != 0 ? -1 : ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            ids_.erase(id);
            return fail("open it", refused != 0 ? refused : errno);
        }
    }
    // A line that a crash cut short is ended first, so that the name does not run into it.
    std::string line = (ends_line_ ? "" : "\n") + percent_encode(id, plain) + "\n";
    int refused = file_step_error(file_step::write, path_);
    if (refused != 0 || !posix_files::write_all(fd_, line)) {
        int error = refused != 0 ? refused : errno;
        ids_.erase(id);
        ends_line_ = false;  // part of it may be there
        return fail("add to it", error);
    }
    exists_ = true;
    ends_line_ = true;
    unflushed_ = true;
    ++lines_;
    return true;
}

bool judged_inbox::flush() {
    if (!unflushed_ || fd_ < 0) return true;
    unflushed_ = false;
    int refused = file_step_error(file_step::flush, path_);
    if (refused != 0 || ::fdatasync(fd_) != 0) return fail("flush it", refused != 0 ? refused : errno);
    return true;
}

bool judged_inbox::compact(const std::vector<std::string>& present) {
    // Rarely: a rewrite costs a rename and a flush, an append only a write.
    if (lines_ < 1000 || lines_ < 4 * present.size()) return true;
    std::vector<std::string> kept;
    for (const std::string& id : present)
        if (ids_.count(id)) kept.push_back(id);
    return start(kept);
}
