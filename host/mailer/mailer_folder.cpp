#include "mailer/mailer_folder.h"

#include <cstring>
#include <ctime>
#include <utility>

#include "common/mime.h"

namespace mailer_detail {

folder_object::folder_object(state_ptr owner, bool is_root, std::string name)
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
        for (const std::string& child : owner_->store->children(name_))
            found.push_back(com_ptr<folder_object>::attach(new folder_object(owner_, false, child)));
    }
    return found;
}

HRESULT folder_object::make_child(const std::string& level, com_ptr<folder_object>& made) const {
    // One level at a time, and never a name that could leave the store.
    if (!owner_->store->valid_folder_name(level) || level.find('.') != std::string::npos) return E_INVALIDARG;
    std::string full = name_.empty() ? level : name_ + "." + level;
    if (store_result result = owner_->store->create_folder(full); !result.ok()) {
        // The add-in only logs it; the run must say so.
        ++owner_->activity.folders_failed;
        owner_->activity.notes.push_back("cannot make the folder " + full + ": " + result.not_made + ": " +
                                         std::strerror(result.error));
        return hresult_from_errno(result.error);
    }
    made = com_ptr<folder_object>::attach(new folder_object(owner_, false, full));
    return S_OK;
}

std::vector<com_ptr<message_object>> folder_object::messages_from(const std::string& text) const {
    std::vector<com_ptr<message_object>> found;
    std::vector<mailbox> boxes = parse_mailboxes(text);
    std::string wanted = ascii_lower(boxes.empty() ? text : boxes.front().address);
    if (wanted.empty()) return found;
    for (message_ref& message : owner_->store->messages(name_)) {
        const header_summary* headers = message->headers();
        if (!headers || ascii_lower(headers->sender) != wanted) continue;
        found.push_back(com_ptr<message_object>::attach(new message_object(owner_, std::move(message))));
    }
    return found;
}

size_t folder_object::message_count() const { return is_root_ ? 0 : owner_->store->message_count(name_); }

HRESULT folder_object::expire_oldest(long days, std::string& sender, double& age_seconds) const {
    if (days < 0 || name_ == trash_folder) return S_FALSE;
    double limit = static_cast<double>(days) * 86400.0;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // Oldest first: the first that is young enough ends the search. A message that vanishes
    // before it is moved lets the next one take its place.
    for (message_ref& found : owner_->store->messages(name_)) {
        timespec arrived = found->arrival();
        double age =
            static_cast<double>(now.tv_sec - arrived.tv_sec) + static_cast<double>(now.tv_nsec - arrived.tv_nsec) / 1e9;
        if (age <= limit) break;
        auto message = com_ptr<message_object>::attach(new message_object(owner_, std::move(found)));
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

}  // namespace mailer_detail
