#include "mailer/maildir_message.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <utility>

#include "contract/sender_address.h"
#include "platform/posix_files.h"
#include "policy/auth_results.h"
#include "policy/reply.h"
#include "store/folder_sync.h"
#include "store/outbound.h"

namespace host_detail {

message_object::message_object(store_ptr owner, std::string folder, maildir::message_file file, bool in_hand,
                               std::optional<std::string> bytes)
    : com_object(&live_objects),
      owner_(std::move(owner)),
      folder_(std::move(folder)),
      file_(std::move(file)),
      unique_(maildir::unique_part(file_.name)),
      in_hand_(in_hand),
      bytes_(std::move(bytes)) {}

std::string message_object::path() const { return owner_->directory(folder_) + "/" + file_.subdir + "/" + file_.name; }

bool message_object::locate() {
    struct stat st {};
    if (::lstat(path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        file_.mtime = st.st_mtim;
        return true;
    }
    std::optional<maildir::message_file> found = maildir::find_by_unique(owner_->directory(folder_), unique_);
    if (!found) return false;
    file_ = std::move(*found);
    return true;
}

bool message_object::seen() const {
    if (wanted_seen_) return *wanted_seen_;
    return maildir::flags_of(file_.name).find('S') != std::string::npos;
}

HRESULT message_object::put_seen(bool want_seen) {
    std::string name = file_.name;
    HRESULT hr = [&] {
        if (!locate()) return E_MESSAGE_GONE;
        if (seen() == want_seen) return S_OK;
        std::optional<bool> before = std::exchange(wanted_seen_, want_seen);
        if (in_hand_ && file_.subdir == "new") return S_OK;
        HRESULT moved = move_to(folder_, "cur", [](const std::string& current) { return current; });
        if (FAILED(moved)) wanted_seen_ = before;
        return moved;
    }();
    if (FAILED(hr) && hr != E_MESSAGE_GONE) {
        // The add-in goes on without it; the run must say that a read state was not kept.
        host_activity& activity = owner_->activity;
        ++activity.flags_failed;
        activity.notes.push_back("cannot mark " + name + (want_seen ? " read: " : " unread: ") +
                                 (last_error_ != 0 ? std::strerror(last_error_) : "the file kept changing names"));
    }
    return hr;
}

HRESULT message_object::move_to(const std::string& folder, const char* subdir,
                                const std::function<std::string(const std::string&)>& name_for) {
    bool fresh_name = false;
    bool look = false;  // the file's last known name is tried first
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (look && !locate()) return E_MESSAGE_GONE;
        look = true;
        std::string name = name_for(with_wanted_state(file_.name));
        if (fresh_name) name = maildir::new_unique_name() + name.substr(maildir::unique_part(name).size());
        std::string from = path();
        std::string to = owner_->directory(folder) + "/" + subdir + "/" + name;
        if (from == to) return S_OK;
        int error = maildir::move_no_replace(from, to);
        if (error == 0) {
            if (folder.empty() && !folder_.empty()) {
                // A release: its move lasts before the release file forgets the sender.
                posix_files::sync_directory(posix_files::parent_of(from));
                posix_files::sync_directory(posix_files::parent_of(to));
            } else {
                folder_sync::note_mail_folder(posix_files::parent_of(from));
                folder_sync::note_mail_folder(posix_files::parent_of(to));
            }
            if (folder != folder_)
                owner_->activity.moves.push_back({folder_, folder, unique_, std::string(subdir) + "/" + name, headers_,
                                                  static_cast<long long>(file_.mtime.tv_sec)});
            folder_ = folder;
            file_.subdir = subdir;
            file_.name = name;
            unique_ = std::string(maildir::unique_part(name));
            wanted_seen_.reset();
            return S_OK;
        }
        if (error == EEXIST && folder != folder_) {
            fresh_name = true;
            continue;
        }
        if (error == ENOENT) {
            // Renamed under us, or gone, or the target folder is missing: look again.
            std::string last_seen = from;
            if (!locate()) return E_MESSAGE_GONE;
            if (path() != last_seen) {
                look = false;
                continue;
            }
        }
        last_error_ = error;
        return error == ENOENT ? E_FAIL : hresult_from_errno(error);
    }
    return E_FAIL;
}

HRESULT message_object::move_into(const std::string& folder) {
    if (folder_ == folder) return locate() ? S_OK : E_MESSAGE_GONE;
    std::string name = file_.name;
    // What an answer to a challenge wrote down (the sender's release, his authorization) must
    // last before the answer leaves the inbox for Trash.
    if (folder == trash_folder) folder_sync::flush_data_folders_written_for_message();
    std::string not_made;
    bool known = owner_->folders_made.count(folder) > 0;
    auto make = [&] {
        owner_->listing.valid = false;
        int made = maildir::create_folder(owner_->options.root, folder, &not_made);
        if (made == 0) owner_->folders_made.insert(folder);
        return made;
    };
    // A folder is made only for a message that is there.
    if (!known && !locate()) return E_MESSAGE_GONE;
    int error = known ? 0 : make();
    HRESULT hr = error != 0 ? hresult_from_errno(error) : move_to(folder, "cur", seen_name);
    if (FAILED(hr) && known && last_error_ == ENOENT) {
        // The folder was removed meanwhile: made again, and the move tried once more.
        owner_->folders_made.erase(folder);
        last_error_ = 0;
        error = make();
        hr = error != 0 ? hresult_from_errno(error) : move_to(folder, "cur", seen_name);
    }

    if (FAILED(hr) && hr != E_MESSAGE_GONE) {
        std::string why = error != 0         ? "cannot make " + not_made + ": " + std::strerror(error)
                          : last_error_ != 0 ? std::strerror(last_error_)
                                             : "the file kept changing names";
        move_failed_ = true;
        host_activity& activity = owner_->activity;
        ++activity.moves_failed;
        activity.notes.push_back("cannot move " + name + " to " + (folder.empty() ? inbox_name : folder) + ": " + why);
    }
    return hr;
}

const header_summary* message_object::headers() {
    if (!headers_) {
        // The first question finds out whether the file is still there; the answer comes from
        // what was read at the start when it was.
        if (!locate()) return nullptr;
        if (bytes_) {
            headers_ = std::make_shared<const header_summary>(parse_headers(maildir::header_block_of(*bytes_)));
        } else {
            std::optional<std::string> block = maildir::read_header_block(path());
            if (!block) return nullptr;
            headers_ = std::make_shared<const header_summary>(parse_headers(*block));
        }
    }
    return headers_.get();
}

std::optional<std::uint64_t> message_object::size() {
    if (bytes_) return bytes_->size();
    struct stat st {};
    if (::stat(path().c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool message_object::beyond_size_limit() {
    std::uint64_t limit = owner_->options.max_message_size;
    std::optional<std::uint64_t> bytes = size();
    return limit > 0 && bytes && *bytes > limit;
}

const message_content* message_object::content() {
    if (!content_) {
        // Read at the start, and found there since: the file's content is in hand.
        if (!(bytes_ && headers_) && !locate()) return nullptr;
        if (beyond_size_limit()) {
            // Larger than the user lets the filter read: only its header counts, which is read
            // apart, and the body is never held in memory.
            content_.emplace();
        } else if (bytes_) {
            content_ = parse_content(*bytes_);
        } else {
            content_ = parse_content_file(path());
            if (!content_) return nullptr;
        }
    }
    return &*content_;
}

std::optional<std::string> message_object::take_body() {
    // Taken once already: read again.
    if (body_taken_) content_.reset();
    if (!content()) return std::nullopt;
    body_taken_ = true;
    return std::move(content_->body);
}

user_addresses message_object::user() const {
    const maildir_host_options& options = owner_->options;
    user_addresses user{"", options.own_addresses};
    if (!options.delivered_file.empty() && maildir::unique_part(options.delivered_file) == unique_)
        user.recipient = options.delivered_to;
    return user;
}

std::string message_object::receiver(const header_summary& headers) const {
    user_addresses mine = user();
    // The add-in takes mail whose sender is its receiver for mail to oneself, by their bytes.
    if (is_user_address(headers.sender, mine)) return headers.sender;
    if (std::optional<std::string> address = user_address(headers, mine)) return *address;
    return headers.receiver;
}

std::optional<double> message_object::arrival_time() {
    if (!locate()) return std::nullopt;
    return static_cast<double>(file_.mtime.tv_sec) + static_cast<double>(file_.mtime.tv_nsec) / 1e9;
}

HRESULT message_object::reply(const std::string& subject, const std::string& body) {
    host_activity& activity = owner_->activity;
    const header_summary* original = headers();
    if (!original) {
        ++activity.replies_failed;
        activity.notes.push_back("challenge not sent: the message vanished");
        return E_MESSAGE_GONE;
    }
    std::string who = original->sender.empty() ? "(no sender)" : one_line(original->sender);
    // The message stays where the add-in put it (the pending folder); only the challenge is not
    // sent.
    auto withhold = [&](const std::string& kind, const std::string& reason) {
        ++activity.replies_withheld;
        ++activity.withheld_by[kind];
        activity.challenges[unique_] = "withheld:" + kind;
        activity.notes.push_back("challenge to " + who + " withheld: " + reason);
        return E_ABORT;
    };
    const maildir_host_options& options = owner_->options;
    if (beyond_size_limit())
        return withhold("too large", "the message has " + std::to_string(size().value_or(0)) + " bytes, more than " +
                                         std::to_string(options.max_message_size));
    // The first kilobyte, as from the file.
    if (!(bytes_ ? maildir::starts_with_header_field(std::string_view(*bytes_).substr(0, 1024))
                 : maildir::starts_with_header_field(path())))
        return withhold("not mail", "the message has no header fields");
    if (std::optional<std::string> reason = reason_not_to_answer(*original)) return withhold("automatic mail", *reason);
    if (!options.trusted_authserv.empty()) {
        auth_verdict verdict = authentication_verdict(original->headers, original->sender, options.trusted_authserv);
        if (!verdict.authenticated)
            return withhold(verdict.reason.rfind("no trusted", 0) == 0 ? verdict.reason : "not authenticated",
                            verdict.reason);
    }
    user_addresses mine = user();
    if (!user_address(*original, mine))
        return withhold("no own address", "no address of the user's to send it from (set own-address)");
    std::time_t now = std::time(nullptr);
    challenge_budget* budget = owner_->budget.get();
    if (budget && budget->spent(now)) return withhold("challenge budget spent", "challenge budget spent");
    // A run that ended before the add-in noted the sender as pending challenged him already.
    std::string address = extract_email_address(original->sender);
    challenge_record* under_way = address.empty() ? nullptr : owner_->under_way.get();
    if (const challenge_intent* earlier = under_way ? under_way->find_address(address) : nullptr)
        return withhold("already challenged", earlier->message == unique_
                                                  ? "a run that ended early challenged this message already"
                                                  : "a run that ended early challenged this sender already");
    std::string error;
    std::optional<std::string> answer = compose_reply(*original, subject, body, error, mine);
    // Written down before it is stored or sent, so that the next run knows of it whatever ends
    // this one; a challenge that cannot be written down is not sent.
    std::string challenge_name = options.sendmail_command.empty() ? maildir::new_unique_name() : "";
    if (answer && under_way && !under_way->add({unique_, address, now, challenge_name}, error)) answer.reset();
    bool sent = false;
    if (answer && !options.sendmail_command.empty()) {
        sent = send_with_command(options.sendmail_command, *answer, error);
    } else if (answer) {
        std::string not_made;
        bool known = owner_->folders_made.count(outbox_folder) > 0;
        int made = known ? 0 : maildir::create_folder(options.root, outbox_folder, &not_made);
        if (made != 0) {
            error = not_made + ": " + std::strerror(made);
        } else {
            if (!known) owner_->listing.valid = false;
            owner_->folders_made.insert(outbox_folder);
            // Stored as delivered mail is: the return path of a challenge is the null sender.
            sent = maildir::deliver_named(owner_->directory(outbox_folder), challenge_name,
                                          "Return-Path: <>\n" + *answer, error)
                       .has_value();
            // A folder removed meanwhile is made again by the next challenge.
            if (!sent) owner_->folders_made.erase(outbox_folder);
        }
    }
    if (answer && under_way) {
        // One that failed is not tried again: the add-in parks the message all the same.
        if (sent) owner_->challenges_begun.push_back(unique_);
        else if (std::string not_forgotten; !under_way->forget({unique_}, not_forgotten))
            activity.notes.push_back(not_forgotten);
    }
    if (!sent) {
        ++activity.replies_failed;
        activity.challenges[unique_] = "failed";
        activity.notes.push_back("challenge to " + who + " failed: " + error);
        return E_FAIL;
    }
    ++activity.replies_sent;
    activity.challenges[unique_] = "sent:" + who;
    // In a pass the file is flushed to disk once, at its end (maildir_host::save_budget): until
    // then the challenges sent are counted for every reader, and a crash could lose at most
    // this pass's count.
    if (budget && !budget->record(now, error, !folder_sync::deferring())) {
        // Sent all the same; the budget of later runs is short of this one.
        ++activity.budget_not_saved;
        activity.notes.push_back(error);
    }
    return S_OK;
}

std::string message_object::with_wanted_state(const std::string& name) const {
    if (!wanted_seen_) return name;
    std::string flags = maildir::flags_of(name);
    std::erase(flags, 'S');
    if (*wanted_seen_) flags += 'S';
    return maildir::with_flags(name, flags);
}

com_ptr<message_object> message_from(IUnknown* object, const store_ptr& owner) {
    com_ptr<IUnknown> found = com_ptr<IUnknown>(object).query<IUnknown>(IID_maildir_message);
    if (!found) return {};
    auto message = com_ptr<message_object>::attach(static_cast<message_object*>(found.detach()));
    if (message->owner() != owner) return {};
    return message;
}

com_ptr<message_object> message_from(const VARIANT& value, const store_ptr& owner) {
    if (value.vt != VT_UNKNOWN && value.vt != VT_DISPATCH) return {};
    return message_from(value.punkVal, owner);
}

std::string seen_name(const std::string& name) { return maildir::with_flags(name, maildir::flags_of(name)); }

}  // namespace host_detail
