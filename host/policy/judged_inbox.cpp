#include "policy/judged_inbox.h"

#include <cstring>
#include <optional>
#include <string_view>

#include "common/percent_codec.h"
#include "platform/file_io.h"

namespace {

// A Maildir name may hold any byte but '/' and NUL: line feeds and other control bytes are escaped.
bool plain(unsigned char byte) { return byte > ' ' && byte != 0x7f; }

}  // namespace

judged_inbox::judged_inbox(const std::string& data_directory)
    : path_(data_directory + "/" + judged_inbox_file_name), file_(path_) {
    std::optional<std::string> text = read_file(path_);
    if (!text) return;
    exists_ = true;
    std::string_view rest = *text;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        ++lines_;
        if (std::optional<std::string> id = percent_decode(line, plain); id && !id->empty()) ids_.insert(*id);
    }
}

bool judged_inbox::fail(const std::string& what, int error) {
    if (problem_.empty())
        problem_ = path_ + ": cannot " + what + (error != 0 ? std::string(": ") + std::strerror(error) : "");
    return false;
}

bool judged_inbox::start(const std::vector<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) text += percent_encode(id, plain) + "\n";
    // Appends go to the new file from now on.
    file_.close();
    if (!replace_file_atomically(path_, text)) return fail("write it", 0);
    exists_ = true;
    lines_ = ids.size();
    ids_ = std::unordered_set<std::string>(ids.begin(), ids.end());
    return true;
}

bool judged_inbox::add(const std::string& id) {
    if (id.empty() || !ids_.insert(id).second) return true;
    if (int error = file_.append(percent_encode(id, plain) + "\n")) {
        ids_.erase(id);
        return fail("add to it", error);
    }
    exists_ = true;
    ++lines_;
    return true;
}

bool judged_inbox::flush() {
    if (int error = file_.flush()) return fail("flush it", error);
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
