#include "cli/pending_verdicts.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/account_store.h"
#include "cli/filter_pass.h"
#include "cli/session.h"
#include "common/text.h"
#include "contract/sender_address.h"
#include "mailer/store_mailer.h"
#include "policy/filter_settings.h"
#include "policy/judging.h"
#include "policy/pending_index.h"
#include "store/folder_sync.h"
#include "store/maildir_store.h"

namespace {

// A Message-ID as given or as written in a header: without blanks and its <>.
std::string bare_message_id(std::string_view id) {
    std::string bare = trimmed(id);
    if (bare.size() >= 2 && bare.front() == '<' && bare.back() == '>') bare = trimmed(bare.substr(1, bare.size() - 2));
    return bare;
}

// What an ID of the command names: the messages (one, or the copies sharing a Message-ID) and
// their sender.
struct named_mail {
    std::string id;  // as given
    std::vector<std::string> uniques;
    std::string sender;
    std::string subject;
};

// The messages `ids` name among `waiting` (newest first, as `pending` lists them) of the folder
// `folder` (as the user finds it). None, after saying on stderr why for each ID that names none, or whose sender cannot
// be judged.
std::optional<std::vector<named_mail>> resolve(const std::vector<std::string>& ids,
                                               const std::vector<waiting_message>& waiting, const std::string& folder) {
    std::vector<named_mail> named;
    bool all_found = true;
    for (const std::string& id : ids) {
        named_mail mail{id, {}, "", ""};
        std::string shown = shown_text(id, 100);
        bool number = !id.empty() && id.find_first_not_of("0123456789") == std::string::npos;
        bool ambiguous = false;
        for (size_t i = 0; i < waiting.size() && !ambiguous; ++i) {
            const pending_entry& entry = waiting[i].entry;
            bool match = number
                             ? id.size() <= 9 && std::stoul(id) == pending_number(i, waiting.size())
                             : !bare_message_id(id).empty() && bare_message_id(entry.message_id) == bare_message_id(id);
            if (!match) continue;
            ambiguous = !mail.uniques.empty() && entry.sender != mail.sender;
            mail.uniques.push_back(waiting[i].message.id);
            mail.sender = entry.sender;
            mail.subject = entry.subject;
        }
        if (ambiguous) {
            std::cerr << "tarnwick: messages of different senders have the Message-ID " << shown
                      << "; give the number `tarnwick pending` shows instead\n";
            all_found = false;
            continue;
        }
        if (mail.uniques.empty()) {
            std::cerr << "tarnwick: no message " << (number ? "numbered " : "with the Message-ID ") << shown
                      << " waits in " << folder << " (`tarnwick pending` lists them)\n";
            all_found = false;
            continue;
        }
        if (mail.sender.empty() || extract_email_address(mail.sender) != mail.sender) {
            std::cerr << "tarnwick: the message " << shown << " has no usable sender (" << shown_text(mail.sender, 100)
                      << "): no verdict can be taken on it\n";
            all_found = false;
            continue;
        }
        named.push_back(std::move(mail));
    }
    if (!all_found) return std::nullopt;
    return named;
}

// The messages `ids` name in the pending folder `folder` of `store`, read as `tarnwick pending`
// reads them, with the index of `data_directory`. None when a dropped connection cut the
// listing short.
std::optional<std::vector<named_mail>> resolve_in(mail_store& store, const std::string& data_directory,
                                                  const std::string& folder, const std::string& shown,
                                                  const std::vector<std::string>& ids) {
    std::string problem;
    std::map<std::string, pending_entry> index = load_pending_index(data_directory, problem);
    std::vector<waiting_message> waiting = waiting_messages(store, folder, index);
    if (connection_lost(store)) return std::nullopt;
    return resolve(ids, waiting, shown);
}

bool same_messages(const std::vector<named_mail>& a, const std::vector<named_mail>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].uniques != b[i].uniques) return false;
    }
    return true;
}

}  // namespace

int judge_pending(const parsed_arguments& arguments) {
    const std::vector<std::string>& words = arguments.positional;
    const std::string& action = words.front();
    if (action != "approve" && action != "reject")
        throw usage_error("unknown pending action " + action + " (use approve or reject)");
    if (words.size() < 2) throw usage_error("pending " + action + " needs the number or Message-ID of a message");
    if (arguments.has("--json")) throw usage_error("--json goes with the list of pending mail only");
    const bool authorize = action == "approve";
    const std::vector<std::string> ids(words.begin() + 1, words.end());
    filter_options filter = read_store_options(arguments, "pending " + action);
    session_settings& settings = filter.session;
    std::string data_directory = data_directory_of(settings.data_home);
    std::string folder = data_directory.empty() ? "" : pending_settings_of(read_filter_settings(data_directory)).folder;
    auto no_folder = [] {
        std::cerr << "tarnwick: the filter's settings name no pending folder (has the filter run with this "
                     "data folder?)\n";
        return exit_failure;
    };
    if (folder.empty()) return no_folder();

    // A Maildir's IDs are checked before the lock is taken and the add-in loaded, which write. An
    // account's store is opened only under the lock (it finishes there what a run left under way),
    // and its login made before it, so that a refused one changes nothing.
    std::shared_ptr<mail_store> store;
    std::string junk;
    std::optional<std::vector<named_mail>> named;
    int code = exit_ok;
    if (!filter.remote) {
        store = maildir_store::open(filter.root);
        if (!store->valid_folder_name(folder)) return no_folder();
        junk = junk_folder_setting(arguments, *store);
        named = resolve_in(*store, data_directory, folder, shown_folder(filter, *store, folder), ids);
        if (!named) return exit_failure;
    } else if (!connect_account(filter, code)) {
        return code;
    }
    std::optional<session> running = open_session(settings, code);
    if (!running) return code;
    addin_client& addin = *running->addin;
    if (filter.remote) {
        store = open_account_store(filter, running->data_directory);
        if (!store->valid_folder_name(folder)) return no_folder();
        junk = junk_folder_setting(arguments, *store);
    }
    // Under the lock, the IDs must still name the same messages: numbers shift when mail leaves.
    std::optional<std::vector<named_mail>> now =
        resolve_in(*store, running->data_directory, folder, shown_folder(filter, *store, folder), ids);
    if (!now || (named && !same_messages(*now, *named))) {
        if (now) std::cerr << "tarnwick: the pending folder changed meanwhile; nothing was judged: list it again\n";
        return exit_failure;
    }
    if (!named) named = std::move(now);
    folder_sync::begin();
    com_ptr<store_mailer> host = store_mailer::create(store, store_mailer_options{});
    HRESULT set = addin.object().SetMailer(static_cast<IMailerHost*>(host.get()));
    std::string refused;
    if (!flag_is_on(addin, "EnableProtection")) refused = "protection is off, so the filter would act on nothing";
    else if (text_property(addin, "PendingFolderName") != folder) refused = "the filter's pending folder changed";
    if (!refused.empty()) {
        std::cerr << "tarnwick: " << refused << ": nothing was judged\n";
        addin.object().Unload();
        folder_sync::end();
        return exit_failure;
    }
    pending_tracker tracker(running->data_directory, *store, folder, junk);
    // The user's copies of pending mail found in the inbox are no new mail for the next run.
    judged_inbox judged_mail(running->data_directory);
    tracker.record_copies_in(&judged_mail);
    // What the user judged by moving since the last pass comes first, as in every pass.
    verdict_report moved = tracker.judge_moved_messages(addin, *host.get());
    std::vector<std::string> senders;
    for (const named_mail& mail : *named) senders.push_back(mail.sender);
    verdict_report taken = tracker.judge_named(addin, *host.get(), senders, authorize);
    addin.object().Unload();
    // Released mail is judged already: unread in the inbox, it is no new mail for the next run.
    // (Before the filter's first run no record exists; that run takes the whole inbox as judged.)
    std::vector<std::string> released = store->take_moved_into_inbox();
    if (judged_mail.exists()) {
        for (const std::string& id : released) judged_mail.add(id);
        judged_mail.flush();
    }
    // The index forgets the messages moved only once their moves are on disk.
    folder_sync::flush_mail_folders();
    folder_sync::flush_data_folders();
    bool saved = tracker.save();
    folder_sync::end();
    running->addin.reset();

    const std::vector<std::string>& judged = authorize ? taken.authorized : taken.removed;
    bool failed = FAILED(set) || moved.failed() || taken.failed() || !saved;
    for (const named_mail& mail : *named) {
        bool done = std::find(judged.begin(), judged.end(), mail.sender) != judged.end();
        std::cout << shown_text(mail.id, 100) << ": " << shown_text(mail.sender, 100)
                  << (!done       ? " not judged"
                      : authorize ? " authorized"
                                  : " put on the remove list")
                  << " (\"" << shown_text(mail.subject, 100) << "\")\n";
        failed = failed || !done;
    }
    const mailer_activity& activity = host->activity();
    if (activity.released) std::cout << "released to the inbox: " << activity.released << "\n";
    if (activity.deleted) std::cout << "deleted (moved to Trash): " << activity.deleted << "\n";
    for (const std::string& note : activity.notes) std::cout << note << "\n";
    for (const std::string& line : moved.summary_lines()) std::cout << line << "\n";
    for (const std::string& note : taken.notes) std::cout << note << "\n";
    for (const std::string& failure : taken.failures) std::cerr << "tarnwick: " << failure << "\n";
    if (!saved) std::cerr << "tarnwick: " << tracker.report().failures.back() << "\n";
    if (!judged_mail.problem().empty()) {
        std::cerr << "tarnwick: " << judged_mail.problem() << "\n";
        failed = true;
    }
    if (FAILED(set)) std::cerr << "tarnwick: the filter could not take the mail store (see the debug log)\n";
    if (!running->files_not_written().empty()) {
        std::cerr << "tarnwick: the filter could not write " << running->files_not_written_text("")
                  << " (see the debug log)\n";
        failed = true;
    }
    if (activity.moves_failed || activity.folders_failed || activity.flags_failed) failed = true;
    if (connection_lost(*store)) failed = true;
    return failed ? exit_failure : exit_ok;
}
