#include "engine/ostrel.h"

#include <memory>
#include <ostream>
#include <utility>

#include "config/configuration.h"
#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "diag/unwritten_files.h"
#include "lists/list_cursor.h"
#include "mail/accounts.h"
#include "mail/email.h"

namespace {

std::unique_ptr<ostrel>& engine_instance() {
    static std::unique_ptr<ostrel> engine;
    return engine;
}

// One cursor for all four lists, as the automation interface reads them.
list_cursor& shared_cursor() {
    static list_cursor cursor;
    return cursor;
}

}  // namespace

ostrel::ostrel(std::string user_name)
    : user_name_(std::move(user_name)), configuration_(get_configuration(user_name_)) {
    load_all_lists();
    load_senders_to_release();
}

ostrel* get_ostrel_Object() {
    std::unique_ptr<ostrel>& engine = engine_instance();
    if (!engine) engine = std::make_unique<ostrel>("ostrel_user");
    return engine.get();
}

void reset_ostrel_object_for_tests() {
    engine_instance().reset();
    shared_cursor() = list_cursor();
}

// --- Address lists -----------------------------------------------------------------------------

bool ostrel::is_in_list(const address_set& list, std::string_view text) const { return ::is_in_list(list, text); }
bool ostrel::is_authorized(std::string_view text) const { return ::is_authorized(authorized_list_, text); }
bool ostrel::is_authorized(a_email& record) const { return is_authorized(record.get_sender()); }
bool ostrel::is_in_ignore_list(std::string_view text) const { return ::is_in_list(ignore_list_, text); }
bool ostrel::is_in_ignore_list(a_email& record) const { return is_in_ignore_list(record.get_sender()); }
bool ostrel::is_in_remove_list(std::string_view text) const { return ::is_in_list(remove_list_, text); }
bool ostrel::is_in_remove_list(a_email& record) const { return is_in_remove_list(record.get_sender()); }
bool ostrel::is_in_pending_list(std::string_view text) const { return ::is_in_list(pending_list_, text); }
bool ostrel::is_in_pending_list(a_email& record) const { return is_in_pending_list(record.get_sender()); }

bool ostrel::is_in_any_list(std::string_view text) const {
    return is_authorized(text) || is_in_remove_list(text) || is_in_ignore_list(text) || is_in_pending_list(text);
}

void ostrel::add_to_list(std::string_view text, address_set& list) { ::add_to_list(text, list); }

void ostrel::add_to_list_and_save(std::string_view text, const std::string& path, address_set& list) {
    add_to_list(text, list);
    save_list(path, list);
}

void ostrel::add_to_authorized_list(std::string_view text) {
    add_to_list_and_save(text, list_file_path("ATHORIZED_LIST_FN"), authorized_list_);
}
void ostrel::add_to_authorized_list(a_email& record) { add_to_authorized_list(record.get_sender()); }

void ostrel::add_to_ignore_list(std::string_view text) {
    add_to_list_and_save(text, list_file_path("IGNORE_LIST_FN"), ignore_list_);
}

void ostrel::add_to_remove_list(std::string_view text) {
    add_to_list_and_save(text, list_file_path("REMOVE_LIST_FN"), remove_list_);
}

void ostrel::add_to_pending_list(std::string_view text) {
    add_to_list_and_save(text, list_file_path("PENDING_LIST_FN"), pending_list_);
}
void ostrel::add_to_pending_list(a_email& record) { add_to_pending_list(record.get_sender()); }

void ostrel::remove_from_list(address_set& list, std::string_view text) { ::remove_from_list(list, text); }

std::string ostrel::get_list_item(int list, long index) {
    const list_table lists = {&authorized_list_, &remove_list_, &ignore_list_, &pending_list_};
    return shared_cursor().next(list, index, lists);
}

address_set* ostrel::list_by_number(int list) {
    switch (list) {
    case authorized_list_number: return &authorized_list_;
    case remove_list_number: return &remove_list_;
    case ignore_list_number: return &ignore_list_;
    case pending_list_number: return &pending_list_;
    default: return nullptr;
    }
}

void ostrel::load_list(const std::string& path, address_set& list) { ::load_list(path, list); }
void ostrel::load_list_full_line(const std::string& path, address_set& list) { ::load_list_full_line(path, list); }
bool ostrel::save_list(const std::string& path, const address_set& list) {
    if (::save_list(path, list)) {
        unsaved_lists_.erase(&list);
        return true;
    }
    unsaved_lists_.insert(&list);
    ++save_failures_;
    debug_log() << "FAIL: unable to write " << path << std::endl;
    note_unwritten_file(path);
    return false;
}

void ostrel::load_all_lists() {
    reload_address_lists();
    load_list_full_line(get_data_file_path("MAILERDAEMON_subject.cfg"), bounce_subject_patterns_);
}

bool ostrel::save_all_lists() {
    // Every file is tried, so that one full file does not hold back the others.
    bool saved = save_list(list_file_path("ATHORIZED_LIST_FN"), authorized_list_);
    saved = save_list(list_file_path("PENDING_LIST_FN"), pending_list_) && saved;
    saved = save_list(list_file_path("IGNORE_LIST_FN"), ignore_list_) && saved;
    return save_list(list_file_path("REMOVE_LIST_FN"), remove_list_) && saved;
}

void ostrel::save_unsaved_lists() {
    const std::pair<address_set*, const char*> lists[] = {{&authorized_list_, "ATHORIZED_LIST_FN"},
                                                          {&pending_list_, "PENDING_LIST_FN"},
                                                          {&ignore_list_, "IGNORE_LIST_FN"},
                                                          {&remove_list_, "REMOVE_LIST_FN"}};
    for (const auto& [list, key] : lists)
        if (unsaved_lists_.count(list)) save_list(list_file_path(key), *list);
}

void ostrel::reload_address_lists() {
    for (address_set* list : {&authorized_list_, &pending_list_, &ignore_list_, &remove_list_}) list->clear();
    unsaved_lists_.clear();  // memory is the files again
    load_list(list_file_path("ATHORIZED_LIST_FN"), authorized_list_);
    load_list(list_file_path("PENDING_LIST_FN"), pending_list_);
    load_list(list_file_path("IGNORE_LIST_FN"), ignore_list_);
    load_list(list_file_path("REMOVE_LIST_FN"), remove_list_);
}

void ostrel::insert_already_read(const std::string& text) { already_read_.insert(text); }

bool ostrel::contains_already_read(const std::string& text) const { return already_read_.count(text) > 0; }

std::string ostrel::list_file_path(const char* key) { return get_data_file_path(configuration_->get_value(key)); }

// --- Shared message actions ----------------------------------------------------------------------

std::string ostrel::pending_folder_name() { return configuration_->get_value(pending_folder_key); }

std::string ostrel::pending_folder_path() { return incoming_path + "/" + pending_folder_name(); }

void ostrel::block_message(a_email& record) {
    if (is_on("MarkBlockedAsRead")) record.mark_as_read();
    record.delete_email();
}

void ostrel::move_to_pending(a_email& record) {
    if (is_on("MarkBlockedAsRead")) record.mark_as_read();
    std::string name = pending_folder_name();
    std::string path = incoming_path + "/" + name;
    if (a_email_folder* pending = get_folder_ex(path, name)) pending->move_email_here(record);
    else debug_log() << "FAIL: move_to_pending, pending_folder == NULL" << std::endl;
}

a_email_folder* ostrel::get_folder_ex(const std::string& path, const std::string& name) {
    if (!current_account_) {
        debug_log() << "FAILS: ostrel::get_folder_ex, _ea == NULL " << std::endl;
        return nullptr;
    }
    debug_log() << "ostrel::get_folder_ex " << path << " , " << name << std::endl;
    if (a_email_folder* found = current_account_->find_folder(path)) return found;
    a_email_folder* created = current_account_->create_folder(name);
    if (!created) debug_log() << "FAILS: ostrel::get_folder_ex " << path << " , " << name << std::endl;
    return created;
}

a_email_account* ostrel::load_accounts_and_emails() {
    debug_log() << "load_accounts_and_emails " << std::endl;
    // The old collection goes first: every account and folder pointer taken from it dies here.
    current_account_ = nullptr;
    reset_all_accounts();
    current_account_ = get_all_accounts()->get_account(0);
    return current_account_;
}

bool ostrel::is_on(const char* key) { return configuration_->get_value(key) == "true"; }

std::string ostrel::subject_key() { return setting_text(configuration_->get_value("ARSubjectKey")); }
