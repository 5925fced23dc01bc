#include "host/friends.h"

#include <algorithm>

#include "contract/addin_data.h"
#include "contract/sender_address.h"
#include "host/folder_sync.h"
#include "host/maildir.h"
#include "host/reply.h"
#include "platform/text.h"

std::optional<std::vector<std::string>> list_entries(addin_client& addin, LONG number) {
    dispatch_arguments size_arguments;
    size_arguments.add_long(number);
    variant_holder size, count;
    HRESULT hr = addin.invoke("GetListSize", DISPATCH_METHOD, size_arguments, size.put());
    if (SUCCEEDED(hr)) hr = VariantChangeType(count.put(), size.get(), 0, VT_I4);
    if (FAILED(hr)) return std::nullopt;
    std::vector<std::string> entries;
    for (LONG i = 0; i < count->lVal; ++i) {
        dispatch_arguments item_arguments;
        item_arguments.add_long(number).add_long(i);
        variant_holder item;
        if (FAILED(addin.invoke("GetListItem", DISPATCH_METHOD, item_arguments, item.put())) || item->vt != VT_BSTR)
            return std::nullopt;
        entries.push_back(narrow_from_bstr(item->bstrVal));
    }
    return entries;
}

namespace {

// True when `entries` hold `address` or its whole domain (".@example.org").
bool listed(const std::set<std::string>& entries, const std::string& address) {
    return entries.count(address) || entries.count(".@" + address.substr(address.rfind('@') + 1));
}

}  // namespace

friend_finder::friend_finder(addin_client& addin, const std::string& data_directory, const std::string& root,
                             std::string sent_folder)
    : addin_(addin),
      index_path_(data_directory + "/" + sent_index_file_name),
      sent_folder_(std::move(sent_folder)),
      sent_dir_(sent_folder_.empty() ? "" : maildir::folder_directory(root, sent_folder_)) {}

void friend_finder::note_once(const std::string& note) {
    // `watch` tries again after each arrival: one note is enough.
    if (std::find(notes_.begin(), notes_.end(), note) == notes_.end()) notes_.push_back(note);
}

bool friend_finder::read_lists() {
    if (authorized_) return true;
    std::optional<std::vector<std::string>> authorized = list_entries(addin_, authorized_list_number);
    std::optional<std::vector<std::string>> removed = list_entries(addin_, remove_list_number);
    std::optional<std::vector<std::string>> ignored = list_entries(addin_, ignore_list_number);
    if (!authorized || !removed || !ignored) {
        failed_ = true;
        note_once("friends not added: the filter's lists cannot be read");
        return false;
    }
    authorized_.emplace(authorized->begin(), authorized->end());
    refused_.insert(removed->begin(), removed->end());
    refused_.insert(ignored->begin(), ignored->end());
    return true;
}

bool friend_finder::authorize(const std::string& address) {
    if (!read_lists()) return false;
    if (listed(*authorized_, address) || listed(refused_, address)) return true;
    dispatch_arguments arguments;
    arguments.add_long(authorized_list_number).add_text(address);
    variant_holder ignored;
    HRESULT hr = addin_.invoke("AddToList", DISPATCH_METHOD, arguments, ignored.put());
    if (FAILED(hr)) {
        failed_ = true;
        note_once("friend " + one_line(address) + " not added: " + describe_hresult(hr));
        return false;
    }
    authorized_->insert(address);
    ++added_;
    return true;
}

void friend_finder::learn_from_sent_mail() {
    if (sent_dir_.empty()) return;
    if (!index_ || reread_) {
        reread_ = false;
        std::string problem;
        index_ = sent_mail_index::load(index_path_, sent_dir_, problem);
        if (!problem.empty()) note_once(problem);
    }
    sent_mail_index::news found = index_->update();
    sent_read_ += found.messages_read;
    bool all_taken = true;
    for (const std::string& address : found.recipients) all_taken = authorize(address) && all_taken;
    if (!all_taken) {
        // The file stays as it was, so that these messages are read again; this run still
        // knows their ids.
        reread_ = true;
        return;
    }
    // The index forgets these messages: the friends they gave must be on disk first.
    if (!found.recipients.empty()) folder_sync::flush_data_folders();
    if (!index_->save(index_path_)) {
        failed_ = true;
        note_once("the index of sent mail " + index_path_ + " could not be written");
    }
}

void friend_finder::before_filtering(const header_summary& message) {
    if (!index_ || !index_->answers_user(message)) return;
    std::string sender = extract_email_address(message.sender);
    // A robot's answer (a bounce quoting the user's message) makes nobody a friend.
    if (sender.empty() || index_->is_own(sender) || is_robot_address(sender)) return;
    authorize(sender);
}
