// The filtering engine: one object per process that holds the address lists, reads its
// switches from the configuration and acts on the host's messages through the mail model.
// Failures travel as exceptions (com_error and std::exception); the engine catches none.
// Its members are defined by job in ostrel_*.cpp: new_message, challenges, bounces, upkeep,
// verdicts; ostrel.cpp holds the object itself and its lists.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "contract/addin_data.h"
#include "lists/address_list.h"
#include "platform/com.h"

class a_email;
class a_email_account;
class a_email_folder;
class a_configuration;

class ostrel {
public:
    // Takes the process-wide configuration for `user_name`, then loads every list.
    explicit ostrel(std::string user_name);
    ostrel(const ostrel&) = delete;
    ostrel& operator=(const ostrel&) = delete;

    // --- Address lists (text variants normalise their argument; record variants use the sender).
    bool is_in_list(const address_set& list, std::string_view text) const;
    bool is_authorized(std::string_view text) const;
    bool is_authorized(a_email& record) const;
    bool is_in_ignore_list(std::string_view text) const;
    bool is_in_ignore_list(a_email& record) const;
    bool is_in_remove_list(std::string_view text) const;
    bool is_in_remove_list(a_email& record) const;
    bool is_in_pending_list(std::string_view text) const;
    bool is_in_pending_list(a_email& record) const;
    bool is_in_any_list(std::string_view text) const;
    void add_to_list(std::string_view text, address_set& list);
    void add_to_list_and_save(std::string_view text, const std::string& path, address_set& list);
    void add_to_authorized_list(std::string_view text);
    void add_to_authorized_list(a_email& record);
    void add_to_ignore_list(std::string_view text);
    void add_to_remove_list(std::string_view text);
    void add_to_pending_list(std::string_view text);
    void add_to_pending_list(a_email& record);
    void remove_from_list(address_set& list, std::string_view text);
    // The shared enumeration cursor over lists 0 to 3; "" outside its limits.
    std::string get_list_item(int list, long index);
    // The list with that automation number, or null for any other number.
    address_set* list_by_number(int list);
    void load_list(const std::string& path, address_set& list);
    void load_list_full_line(const std::string& path, address_set& list);
    // Writes one list file; false, logged and counted, when it could not be written.
    bool save_list(const std::string& path, const address_set& list);
    void load_all_lists();
    // Writes the four list files; false when any of them could not be written.
    bool save_all_lists();
    // Writes again each list whose last save failed, so that a file lags behind memory only
    // while the disk keeps refusing.
    void save_unsaved_lists();
    // Empties the four address lists and reads them again from their files: after a failed
    // save, memory goes back to what is stored.
    void reload_address_lists();
    // The number of saves that have failed in this process. A call compares it before and after
    // to tell its caller that a change was not kept.
    std::uint64_t save_failures() const { return save_failures_; }
    void insert_already_read(const std::string& text);
    bool contains_already_read(const std::string& text) const;
    // The full path of the list file named by the configuration key (read at each use).
    std::string list_file_path(const char* key);

    address_set& authorized_list() { return authorized_list_; }
    address_set& ignore_list() { return ignore_list_; }
    address_set& pending_list() { return pending_list_; }
    address_set& remove_list() { return remove_list_; }
    const address_set& bounce_subject_patterns() const { return bounce_subject_patterns_; }

    // --- Shared message actions.
    std::string pending_folder_name();
    std::string pending_folder_path();
    void block_message(a_email& record);
    void move_to_pending(a_email& record);
    // A folder of the current account found by path, else created under the incoming folder
    // with `name`; null (logged) when there is no current account or the host refuses.
    a_email_folder* get_folder_ex(const std::string& path, const std::string& name);
    // Discards and rebuilds the account collection; account 0 becomes the current account.
    a_email_account* load_accounts_and_emails();

    // --- New message, challenges, bounces.
    void run_workflow2(const VARIANT& message);
    void handle_email(a_email& record);
    bool handle_authorization(a_email& record);
    void send_authorization_request(a_email& record);
    bool handle_add_to_list_request(a_email& record);
    bool is_MAILERDAEMON_subject(std::string subject);
    bool is_reply_for_chalange_request(a_email& record);

    // --- Contact import and pending upkeep.
    void run_workflow();
    void handle_contacts();
    void clean_pending_messages();
    void run_move_email_from_pending_to_incomming();

    // --- User verdicts.
    void marked_as_spam_by_user(const std::string& address);
    void marked_as_not_spam_by_user(const std::string& address);
    // Reserved for a challenge answered through the settings dialog; has no effect.
    void challange_response(const std::string& address);

    a_configuration* configuration() const { return configuration_; }
    std::int32_t run_count() const { return run_count_; }
    // Senders whose pending messages the next release moves back, in order, without repeats.
    // Kept in release_file_name as well, so that a release cut short by the end of the process
    // is finished by the next one.
    const std::vector<std::string>& senders_to_release() const { return senders_to_release_; }
    a_email_account* current_account() const { return current_account_; }

private:
    // True when the configuration value of `key` is exactly "true".
    bool is_on(const char* key);
    // The text that marks an answer to a challenge; empty (matching nothing) when unset or
    // emptied.
    std::string subject_key();
    // The start shared by run_workflow and run_workflow2 (`name`): counts and logs the call and
    // makes account 0 the current account. False, logged, when protection is off or there is no
    // account.
    bool start_workflow_call(const char* name);
    // Appends `sender` to the senders to release unless it is there already, and saves them.
    void remember_sender_to_release(const std::string& sender);
    // Reads the senders to release and the answers in progress from their files.
    void load_senders_to_release();
    bool save_senders_to_release();
    // Marks the answer of `sender` as being handled, or as handled, in answer_file_name.
    void set_answer_in_progress(const std::string& sender, bool in_progress);
    // Makes `sender`, whose answer was cut short, authorized and no longer pending, as a whole
    // answer would have. False when the user has blocked the sender since: he is not released.
    bool confirm_answered_sender(const std::string& sender);
    // True for a message carrying the key from a sender whose answer an earlier process began but
    // may not have finished: it is still the answer, though the sender is authorized by now.
    bool is_unfinished_answer(a_email& record);
    // Blocks every message of `address` in `folder`; nothing when `folder` is null.
    void block_messages_from(a_email_folder* folder, const std::string& address);
    // Moves every message of `sender` in `pending` back to the incoming folder.
    // Moves the sender's mail from `pending` to `incoming`. False when some of it is still there.
    bool release_messages_from(a_email_folder& pending, a_email_folder& incoming, const std::string& sender);

    a_email_account* current_account_ = nullptr;  // owned by the account collection
    address_set authorized_list_;
    address_set ignore_list_;
    address_set pending_list_;
    address_set remove_list_;
    address_set bounce_subject_patterns_;
    address_set already_read_;
    // One sender in the original design; a list so that several senders authorized before
    // the next release all get their mail back.
    std::vector<std::string> senders_to_release_;
    bool releasing_ = false;  // a release is under way; a nested one must not rebuild its folders
    // Senders whose answer was begun but not seen to its end, kept in answer_file_name: a process
    // that ends in between leaves the answer in the incoming folder, where the next one must still
    // take it for an answer though its sender is authorized by then.
    std::set<std::string> unfinished_answers_;
    std::int32_t run_count_ = 0;
    std::uint64_t save_failures_ = 0;
    // The lists whose last save failed: their files lag behind memory until a save succeeds.
    std::set<const address_set*> unsaved_lists_;
    std::string user_name_;
    a_configuration* configuration_;
};

// The data file of the senders whose pending mail awaits release: one sender text a line, each
// line ending in CR LF, in the order they were authorized.
inline constexpr const char* release_file_name = "release.lst";
// The data file of the senders whose answer to a challenge is being handled, in the same form.
inline constexpr const char* answer_file_name = "answering.lst";

// The process-wide engine, created with the user name "ostrel_user" on the first call.
ostrel* get_ostrel_Object();
// Test seam: destroys the process-wide engine, so the next get_ostrel_Object() makes a new one.
void reset_ostrel_object_for_tests();

// Makes sure the pending folder exists in account 0; creates the engine on first use.
void pre_condition_test();

// The first non-empty pattern, in set order, that occurs in `text`; "" when none does. Logs each
// try.
std::string contains_sub_string(const address_set& patterns, std::string text);
