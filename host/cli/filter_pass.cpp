// What run, watch and deliver share: see filter_pass.h.
#include "cli/filter_pass.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "cli/account_store.h"
#include "platform/text.h"
#include "policy/contacts.h"
#include "policy/pending_index.h"
#include "policy/reply.h"
#include "policy/unfinished_challenges.h"
#include "store/folder_sync.h"
#include "store/maildir.h"
#include "store/maildir_store.h"

bool flag_is_on(addin_client& addin, const std::string& name) {
    variant_holder value;
    return SUCCEEDED(addin.get(name, value.put())) && value->vt == VT_BOOL && value->boolVal != 0;
}

std::string text_property(addin_client& addin, const std::string& name) {
    variant_holder value;
    if (FAILED(addin.get(name, value.put())) || value->vt != VT_BSTR) return "";
    return narrow_from_bstr(value->bstrVal);
}

void handle_message(addin_client& addin, store_mailer& host, friend_finder& friends, const std::string& name,
                    judged_inbox* judged, run_counts& counts, const judged_log& log) {
    folder_sync::begin_message();
    message_story story(log, name);
    int read_error = 0;
    message_ref message = host.store().open_arrival(name, &read_error);
    if (!message && read_error != 0) {
        // The add-in would take it for mail without a sender and park it unseen: it stays
        // where the user's client shows it, and the run fails so that someone looks.
        ++counts.unreadable;
        counts.notes.push_back("message " + name + " cannot be read (" + std::strerror(read_error) + "); left in new/");
        story.left(std::string("it cannot be read (") + std::strerror(read_error) + ")");
        return;
    }
    if (!message) {
        ++counts.gone;
        return;
    }
    ++counts.seen;
    const header_summary* headers = message->headers();
    bool usable = headers && usable_sender(*headers);
    std::string sender;
    if (headers) {
        story.read(*headers);
        if (!friends.before_filtering(*headers)) {
            // A friend's answer must not be challenged for a list write that failed: it waits
            // in new/, where the user sees it, until a pass has added him.
            ++counts.friend_waits;
            counts.notes.push_back("message " + name + " stays in new/: its sender answers your mail but could not " +
                                   "be added to the authorized list; the next run tries again");
            story.left("its sender answers your mail but could not be added to the authorized list");
            return;
        }
        sender = headers->sender;
    }
    int sent = host.activity().replies_sent, withheld = host.activity().replies_withheld;
    size_t notes = host.activity().notes.size();
    com_ptr<IUnknown> handed = host.object_for(message);
    if (FAILED(addin.object().RunWorkflow2(static_cast<IMailerHost*>(&host), handed.get()))) ++counts.unsaved;
    if (counts.keep_handled)
        counts.handled.push_back({name, sender, headers ? headers->subject : "",
                                  host.activity().replies_sent > sent           ? sender
                                  : host.activity().replies_withheld > withheld ? "withheld"
                                                                                : "",
                                  message});
    std::optional<std::string> folder;
    if (message->locate()) folder = message->folder();
    if (!usable && folder) {
        counts.notes.push_back("message " + name + " has no usable sender; " +
                               (folder->empty() ? std::string("kept in the inbox") : "parked in " + *folder));
    }
    story.judged(host.activity(), message->id(), notes, folder, usable, message->move_failed());
    if (!folder) {
        ++counts.gone;
    } else if (folder->empty() && message->move_failed()) {
        // The filter put it elsewhere, but the move failed (the summary names it): in cur/ it
        // would pass for mail the filter kept and never be filtered again, so it stays new.
        ++counts.left_new;
        counts.notes.push_back("message " + name + " stays in new/, to be filtered again by the next run");
    } else if (folder->empty()) {
        ++counts.kept;
        // Recorded before it is shown: a later pass must not judge it again. It stays new mail
        // (a delivery becomes new mail only now); only mail marked read leaves new/.
        if (judged) judged->add(message->id());
        if (!message->leave_arrivals()) {
            ++counts.unmarked;
            std::cerr << "tarnwick: cannot move " << name << " to its place in the inbox\n";
        }
    }
}

filter_options read_filter_options(const parsed_arguments& arguments, const std::string& command) {
    filter_options filter;
    store_mailer_options& options = filter.host;
    filter.remote = read_remote_account_options(arguments);
    if (!filter.remote) filter.root = require_maildir(arguments, command);
    if (arguments.has("--contacts")) {
        std::string error;
        std::optional<std::vector<std::string>> contacts = read_contacts(arguments.value("--contacts"), error);
        if (!contacts) throw usage_error(arguments.origin("--contacts") + ": " + error);
        options.contacts = std::move(*contacts);
    }
    options.sendmail_command = arguments.value("--sendmail");
    if (filter.remote) {
        // The server's folder names; unnamed, the pass finds them by their special use.
        filter.sent_folder = arguments.value("--sent-folder");
        filter.junk_folder = arguments.value("--junk-folder");
    } else {
        std::shared_ptr<mail_store> store = maildir_store::open(filter.root);
        std::string sent_folder = folder_option_name(arguments.value("--sent-folder"), *store);
        // Optional folders: one that is missing is a warning, never mail deferred.
        if (arguments.has("--sent-folder") && (sent_folder.empty() || !store->has_folder(sent_folder))) {
            filter.warnings.push_back(arguments.origin("--sent-folder") + ": " + arguments.value("--sent-folder") +
                                      " is not a folder of " + store->account() +
                                      ", so no friends are found in sent mail");
            sent_folder.clear();
        }
        if (!arguments.has("--sent-folder")) sent_folder = store->special_folder(mail_store::special_use::sent);
        filter.sent_folder = sent_folder;
        std::string junk_warning;
        filter.junk_folder = junk_folder_setting(arguments, *store, &junk_warning);
        if (!junk_warning.empty()) filter.warnings.push_back(junk_warning);
    }
    for (const std::string& address : arguments.values("--own-address")) {
        if (!writable_address(address))
            throw usage_error(arguments.origin("--own-address") + ": \"" + address +
                              "\" is not a plain address such as me@home.example (no display name, no <>)");
        options.own_addresses.push_back(address);
    }
    if (arguments.has("--own-address") && options.own_addresses.empty())
        throw usage_error("--own-address needs an address");
    options.trusted_authserv = arguments.values("--trusted-authserv");
    if (arguments.has("--trusted-authserv") && options.trusted_authserv.empty())
        throw usage_error("--trusted-authserv needs a server id");
    if (arguments.has("--challenge-limit"))
        options.challenge_limit = whole_number(arguments.value("--challenge-limit"), "--challenge-limit");
    if (arguments.has("--max-message-size")) {
        std::optional<std::uint64_t> limit = parse_byte_size(arguments.value("--max-message-size"));
        if (!limit || *limit == 0)
            throw usage_error(arguments.origin("--max-message-size") +
                              " needs a byte count such as 67108864, 64M or 1G, not " +
                              arguments.value("--max-message-size"));
        options.max_message_size = *limit;
    }
    filter.session = read_session_settings(arguments);
    filter.session.maildir = filter.root;  // "" with an account on a server: only the data folder is locked
    filter.quiet = arguments.has("--quiet");
    if (arguments.has("--lock-timeout"))
        filter.session.lock_timeout = whole_number(arguments.value("--lock-timeout"), "--lock-timeout");
    return filter;
}

namespace {

// A server that numbered its inbox anew: the mail judged under the old ids stays judged under the
// new ones, written down before the store forgets the old ones.
void carry_over_renumbered(filter_pass& pass) {
    std::vector<std::pair<std::string, std::string>> renumbered = pass.store->renumbered();
    if (renumbered.empty()) return;
    for (const auto& [before, after] : renumbered)
        if (pass.judged->contains(before)) pass.judged->add(after);
    if (!pass.judged->flush()) return;
    if (int error = pass.store->forget_renumbered(); error != 0)
        pass.counts.notes.push_back(pass.store->account() + ": the new numbering of the inbox was not written down (" +
                                    std::strerror(error) + "); the next run finds it again");
}

// Records the mail this pass moved into the inbox from other folders (released): judged already.
void record_moved_into_inbox(filter_pass& pass) {
    for (const std::string& id : pass.host->store().take_moved_into_inbox()) pass.judged->add(id);
}

}  // namespace

filter_pass begin_pass(session& running, const filter_options& filter, bool learn_sent_mail, bool quiet) {
    // From here on the folders of renames are flushed where order matters and at the end.
    folder_sync::begin();
    filter_pass pass;
    store_mailer_options options = filter.host;
    options.budget_file = running.data_directory + "/" + budget_file_name;
    options.challenge_record_file = running.data_directory + "/" + challenge_record_file_name;
    if (filter.remote) {
        pass.store = open_account_store(filter, running.data_directory);
    } else {
        pass.maildir = maildir_store::open(filter.root);
        pass.store = pass.maildir;
        if (!filter.host.delivered_file.empty()) pass.maildir->hold_delivery(filter.host.delivered_file);
    }
    pass.host = store_mailer::create(pass.store, std::move(options));
    pass.judged = std::make_unique<judged_inbox>(running.data_directory);
    if (!pass.judged->exists()) {
        // The mail that was there before the filter is the user's as it is: never touched.
        std::vector<std::string> ids;
        for (mail_store::inbox_entry& entry : pass.host->store().inbox()) ids.push_back(std::move(entry.id));
        // A listing that a dropped connection cut short is no inbox: its missing mail would pass
        // for new at the next run.
        if (!pass.store->broken() && pass.judged->start(ids) && !quiet)
            std::cerr << "tarnwick: first run over "
                      << (!filter.recorded_root.empty() ? filter.recorded_root
                          : filter.remote               ? pass.store->account()
                                                        : filter.root)
                      << ": the " << ids.size() << (ids.size() == 1 ? " message" : " messages")
                      << " already in the inbox are left as they are; only mail arriving from now on is filtered\n";
    }
    if (!pass.host->budget_problem().empty()) std::cerr << "tarnwick: " << pass.host->budget_problem() << "\n";
    if (std::string problem = pass.host->challenge_record_problem(); !problem.empty())
        std::cerr << "tarnwick: " << problem << "\n";
    addin_client& addin = *running.addin;
    // SetMailer makes sure the pending folder exists and imports the contacts.
    if (FAILED(addin.object().SetMailer(static_cast<IMailerHost*>(pass.host.get())))) ++pass.counts.unsaved;
    finish_unfinished_challenges(addin, *pass.host.get());
    pass.counts.notes.insert(pass.counts.notes.end(), filter.warnings.begin(), filter.warnings.end());
    pass.pending = text_property(addin, "PendingFolderName");
    pass.protection = flag_is_on(addin, "EnableProtection");
    if (!pass.protection && !quiet)
        std::cerr << "tarnwick: protection is off, so the filter acts on nothing; new mail stays new\n";
    // A scratch copy's sent folder is named in the data folder's files as the real one.
    std::string recorded_sent = filter.recorded_root.empty() || filter.sent_folder.empty()
                                    ? ""
                                    : maildir_store::open(filter.recorded_root)->record_name(filter.sent_folder);
    // An account's folders left unnamed are those the server marks for their use, or that bear the
    // usual names: found only now, over the connection.
    std::string sent_folder = filter.sent_folder, junk_folder = filter.junk_folder;
    if (filter.remote && sent_folder.empty()) sent_folder = pass.store->special_folder(mail_store::special_use::sent);
    if (filter.remote && junk_folder.empty()) junk_folder = pass.store->special_folder(mail_store::special_use::junk);
    pass.friends = std::make_unique<friend_finder>(addin, running.data_directory, *pass.store, sent_folder,
                                                   recorded_sent, filter.host.trusted_authserv);
    pass.tracker = std::make_unique<pending_tracker>(running.data_directory, *pass.store, pass.pending, junk_folder);
    pass.log = std::make_unique<decision_log>(running.data_directory);
    pass.tracker->log_to(pass.log.get());
    pass.tracker->record_copies_in(pass.judged.get());
    if (pass.protection && learn_sent_mail) {
        pass.friends->learn_from_sent_mail();
        // The add-in releases a new friend's pending mail on its next new-message call.
        if (pass.friends->added() > 0 &&
            FAILED(addin.object().RunWorkflow2(static_cast<IMailerHost*>(pass.host.get()), nullptr)))
            ++pass.counts.unsaved;
    }
    return pass;
}

void before_new_mail(addin_client& addin, filter_pass& pass) {
    // Pending mail the user moved is judged before new mail, which its verdicts may concern.
    pass.tracker->judge_moved_messages(addin, *pass.host.get());
}

std::vector<std::string> unjudged_arrivals(filter_pass& pass, bool compact, std::vector<std::string>* judged) {
    // Without a record, nothing can tell new mail from the user's: none is filtered.
    if (!pass.judged->exists()) return {};
    record_moved_into_inbox(pass);
    carry_over_renumbered(pass);
    std::vector<mail_store::inbox_entry> inbox = pass.host->store().inbox();
    // A listing that a dropped connection cut short must neither shrink the record nor be filtered.
    if (pass.store->broken()) return {};
    if (compact) {
        std::vector<std::string> present;
        for (const mail_store::inbox_entry& entry : inbox) present.push_back(entry.id);
        pass.judged->compact(present);
    }
    std::vector<std::string> names;
    for (mail_store::inbox_entry& entry : inbox) {
        if (pass.judged->contains(entry.id)) {
            if (judged && !entry.seen) judged->push_back(std::move(entry.name));
        } else if (entry.seen) {
            // Read before the filter saw it: marked unread later, it must not be taken for new.
            pass.judged->add(entry.id);
        } else {
            names.push_back(std::move(entry.name));
        }
    }
    return names;
}

void filter_message(addin_client& addin, filter_pass& pass, const std::string& name) {
    int unsaved = pass.counts.unsaved;
    handle_message(addin, *pass.host.get(), *pass.friends, name, pass.protection ? pass.judged.get() : nullptr,
                   pass.counts, {pass.log.get(), pass.pending});
    pass.host->settle_challenges(pass.counts.unsaved == unsaved);
    pass.tracker->record(*pass.host.get());
    record_moved_into_inbox(pass);
}

void end_pass(filter_pass& pass) {
    // The index names messages parked in the pending folder and forgets those the lists now
    // judge: it is saved once both are on disk.
    folder_sync::flush_mail_folders();
    folder_sync::flush_data_folders();
    record_moved_into_inbox(pass);
    // A record lost to a crash costs only a second look at kept mail: a delivery does not wait
    // for it.
    if (!pass.delivering) pass.judged->flush();
    pass.friends->finish();
    pass.tracker->save();
    pass.host->save_budget();
    folder_sync::end();
    for (const std::string& line : pass.tracker->report().summary_lines()) pass.counts.notes.push_back(line);
    if (pass.log->failed()) pass.counts.notes.push_back(pass.log->problem());
    if (!pass.judged->problem().empty()) pass.counts.notes.push_back(pass.judged->problem());
    if (int error = pass.store->broken(); error != 0) {
        ++pass.counts.connection_lost;
        pass.counts.notes.push_back("the connection to " + pass.store->account() + " was lost (" +
                                    std::strerror(error) + "); what was left undone is done by the next run");
    }
}

int finish_code(const session& running, const filter_pass& pass, int code) {
    const run_counts& counts = pass.counts;
    const mailer_activity& activity = pass.host->activity();
    if (counts.unreadable)
        std::cerr << "tarnwick: " << counts.unreadable << (counts.unreadable == 1 ? " message" : " messages")
                  << " could not be read and stayed in new/\n";
    if (!counts.failed(activity) && !running.files_not_written().empty()) {
        // A write the add-in could not make without answering with a failure.
        std::cerr << "tarnwick: the filter could not write " << running.files_not_written_text("")
                  << " (see the debug log)\n";
        if (code == exit_ok) code = exit_failure;
    }
    if (counts.failed(activity) || pass.friends->failed() || pass.tracker->report().failed() || pass.log->failed() ||
        !pass.judged->problem().empty()) {
        std::cerr << "tarnwick: not everything was done or saved; the summary says what\n";
        if (code == exit_ok) code = exit_failure;
    }
    return code;
}
