#include "policy/friends.h"

#include <algorithm>

#include "contract/addin_data.h"
#include "contract/sender_address.h"
#include "platform/text.h"
#include "policy/auth_results.h"
#include "policy/reply.h"
#include "store/folder_sync.h"

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

friend_finder::friend_finder(addin_client& addin, const std::string& data_directory, mail_store& store,
                             std::string sent_folder, std::string recorded_sent,
                             std::vector<std::string> trusted_authserv)
    : addin_(addin),
      index_path_(data_directory + "/" + sent_index_file_name),
      store_(store),
      sent_folder_(std::move(sent_folder)),
      recorded_sent_(std::move(recorded_sent)),
      trusted_authserv_(std::move(trusted_authserv)) {}

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

bool friend_finder::authorize(const std::string& address, bool* refused) {
    if (refused) *refused = false;
    if (!read_lists()) return false;
    if (listed(*authorized_, address) || listed(refused_, address)) return true;
    dispatch_arguments arguments;
    arguments.add_long(authorized_list_number).add_text(address);
    variant_holder ignored;
    HRESULT hr = addin_.invoke("AddToList", DISPATCH_METHOD, arguments, ignored.put());
    if (FAILED(hr)) {
        failed_ = true;
        if (refused) *refused = hr == E_INVALIDARG;
        note_once("friend " + one_line(address) + " not added: " + describe_hresult(hr) +
                  (hr == E_INVALIDARG ? "" : "; the next run tries again"));
        return false;
    }
    authorized_->insert(address);
    ++added_;
    return true;
}

void friend_finder::save_index() {
    if (!index_->save(index_path_)) {
        failed_ = true;
        note_once("the index of sent mail " + index_path_ + " could not be written");
    }
}

void friend_finder::learn_from_sent_mail() {
    if (sent_folder_.empty()) return;
    if (!index_) {
        std::string problem;
        index_ = sent_mail_index::load(index_path_, store_, sent_folder_, problem, recorded_sent_);
        if (!problem.empty()) note_once(problem);
    }
    int added_before = added_;
    std::vector<std::string> owed(index_->owed().begin(), index_->owed().end());
    for (const std::string& address : owed) {
        bool refused = false;
        if (authorize(address, &refused) || refused) index_->settle(address);
    }
    sent_mail_index::news found = index_->update();
    sent_read_ += found.messages_read;
    for (const std::string& address : found.recipients) {
        bool refused = false;
        // The message is read: a friend it gives that cannot be added now is owed instead.
        if (!authorize(address, &refused) && !refused) index_->owe(address);
    }
    // The index marks these messages read and forgets what it owed: the friends must be on
    // disk first.
    if (added_ > added_before) folder_sync::flush_data_folders();
    save_index();
}

bool friend_finder::before_filtering(const header_summary& message) {
    if (!index_) return true;
    std::string sender = extract_email_address(message.sender);
    // A robot's answer (a bounce quoting the user's message) makes nobody a friend.
    if (sender.empty() || index_->is_own(sender) || is_robot_address(sender)) return true;
    // Only the one author of the answer, and only when the user wrote to him.
    const message_headers::field* from = message.headers.find("From");
    if (!from || parse_mailboxes(from->raw).size() != 1 || !index_->answers_user(message, sender)) return true;
    size_t from_fields =
        std::count_if(message.headers.fields.begin(), message.headers.fields.end(),
                      [](const message_headers::field& field) { return ascii_lower(field.name) == "from"; });
    if (from_fields != 1) return true;
    // A forged From would otherwise put back a friend the user took off the list.
    if (!trusted_authserv_.empty() &&
        !authentication_verdict(message.headers, message.sender, trusted_authserv_).authenticated)
        return true;
    bool refused = false;
    if (authorize(sender, &refused) || refused) return true;
    index_->owe(sender);
    return false;
}

void friend_finder::finish() {
    if (index_) save_index();
}
