// tarnwick pending: what waits in the pending folder, newest first. It reads the add-in's settings
// file and the pending index itself instead of loading the add-in, which would start a new debug
// log, and takes no lock, whose file it might have to make: it writes nothing at all. Its
// verdicts, `pending approve|reject`, are in pending_verdicts.cpp.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "cli/account_store.h"
#include "cli/commands.h"
#include "cli/json_text.h"
#include "cli/pending_verdicts.h"
#include "cli/session.h"
#include "common/text.h"
#include "policy/filter_settings.h"
#include "policy/pending_index.h"
#include "store/maildir_store.h"

const char pending_usage[] =
    "usage: tarnwick pending [--json] [--maildir DIR] [--data-dir DIR]\n"
    "       tarnwick pending approve|reject ID... [--maildir DIR] [--junk-folder NAME]\n"
    "                        [--data-dir DIR] [--module FILE] [--wait]\n"
    "       tarnwick pending [approve|reject ID...] --imap URL --password-command CMD\n"
    "                        [--tls-ca FILE] (and the options above but --maildir)\n"
    "\n"
    "Lists the mail waiting in the pending folder, newest first: its number, when it arrived,\n"
    "its sender and subject, the days until the filter moves it to Trash, and whether a\n"
    "challenge went out (or why not; \"unknown\" for mail parked before the filter kept its\n"
    "index). Changes nothing. Move a message to the inbox to authorize its sender, to the junk\n"
    "folder to put the sender on the remove list: the next run takes the verdict.\n"
    "\n"
    "approve and reject take the same verdicts at once, on the messages that each ID names: the\n"
    "number the list shows, or a Message-ID (with or without <>). approve authorizes the sender\n"
    "and moves his pending mail back to the inbox; reject puts him on the remove list, which\n"
    "moves his mail in the inbox and the pending folder to Trash. The numbers are counted the\n"
    "same way by the list and by the commands, from 1 for the oldest message, so mail that\n"
    "arrives meanwhile does not change them; one that leaves the folder does, and a command\n"
    "that finds the folder changed under its lock judges nothing. An ID that names no message\n"
    "changes nothing and fails the command.\n"
    "\n"
    "  --json            the list as JSON\n"
    "  --maildir DIR     the Maildir (or maildir in the settings file)\n"
    "  --imap URL        the IMAP account instead, with --password-command and --tls-ca\n"
    "                    as for run; the list only reads the server\n"
    "  --junk-folder NAME  the junk folder, for the verdicts by moving that every pass takes\n"
    "                    first (default: the first of .Junk and .Spam, on a server the\n"
    "                    folder marked as junk)\n"
    "  --data-dir DIR    the filter's files are in DIR/OstrelAntiSpam\n"
    "  --module FILE     the add-in module, for approve and reject\n"
    "  --wait            wait while another run holds the data folder or the Maildir\n";

namespace {

// Whole days until `expires`, counting a day begun; none for never.
std::optional<long long> days_left(std::optional<long long> expires, long long now) {
    if (!expires) return std::nullopt;
    long long left = *expires - now;
    return left <= 0 ? 0 : (left + 86399) / 86400;
}

// Valid UTF-8 without control characters, quoted for JSON.
std::string json_text(std::string_view text) { return json_string(shown_text(text, 4000)); }

std::string padded(const std::string& text, size_t width) {
    size_t shown = 0;  // characters, not bytes
    for (unsigned char c : text) shown += (c & 0xC0) != 0x80;
    return text + std::string(shown < width ? width - shown : 0, ' ');
}

// What `tarnwick pending` lists: the pending folder's messages, newest first, with their entries.
struct pending_listing {
    pending_settings settings;
    std::string folder;   // as the user finds it: ".Pending", or the server's name
    std::string account;  // the Maildir, or the account
    std::vector<waiting_message> waiting;
};

// Reads the listing of the store `arguments` name. None after saying why on standard error.
std::optional<pending_listing> read_listing(const parsed_arguments& arguments, int& code) {
    code = exit_failure;
    filter_options filter = read_store_options(arguments, "pending");
    std::string data_directory = data_directory_of(filter.session.data_home);
    if (data_directory.empty()) {
        std::cerr << "tarnwick: cannot find the filter's data folder: set HOME, or give --data-dir\n";
        return std::nullopt;
    }
    pending_listing listing;
    listing.settings = pending_settings_of(read_filter_settings(data_directory));
    const std::string& folder = listing.settings.folder;
    auto no_folder = [&] {
        std::cerr << "tarnwick: the filter's settings in " << data_directory
                  << " name no pending folder (has the filter run with this data folder?)\n";
        return std::nullopt;
    };
    if (folder.empty()) return no_folder();
    // An account's store is opened as for a dry run: it only reads the server, and writes nothing
    // in the data folder, whose lock the listing does not take.
    filter.dry_run = true;
    std::shared_ptr<mail_store> store =
        filter.remote ? (connect_account(filter, code) ? open_account_store(filter, data_directory) : nullptr)
                      : maildir_store::open(filter.root);
    if (!store) return std::nullopt;
    if (!store->valid_folder_name(folder)) return no_folder();
    std::string problem;
    std::map<std::string, pending_entry> index = load_pending_index(data_directory, problem);
    if (!problem.empty()) std::cerr << "tarnwick: " << problem << "\n";
    listing.waiting = waiting_messages(*store, folder, index);
    // A list cut short by a dropped connection would pass for the folder and shift the numbers.
    if (connection_lost(*store)) return std::nullopt;
    listing.folder = shown_folder(filter, *store, folder);
    listing.account = store->account();
    code = exit_ok;
    return listing;
}

void print_json(const pending_listing& listing, long long now) {
    const pending_settings& settings = listing.settings;
    const std::vector<waiting_message>& waiting = listing.waiting;
    std::cout << "{\"folder\": " << json_text(listing.folder) << ", \"expiry_days\": "
              << (settings.expiry_days < 0 ? std::string("null") : std::to_string(settings.expiry_days))
              << ", \"messages\": [";
    for (size_t i = 0; i < waiting.size(); ++i) {
        const pending_entry& e = waiting[i].entry;
        long long arrived = waiting[i].message.arrival.tv_sec;
        std::optional<long long> expires = expiry_time(settings, arrived);
        std::optional<long long> left = days_left(expires, now);
        std::string kind = e.challenge.substr(0, e.challenge.find(':'));
        std::string detail = kind.size() < e.challenge.size() ? e.challenge.substr(kind.size() + 1) : "";
        std::cout << (i ? ",\n  " : "\n  ") << "{\"file\": " << json_text(waiting[i].message.name)
                  << ", \"number\": " << pending_number(i, waiting.size())
                  << ", \"arrived\": " << json_text(utc_time(arrived, "%Y-%m-%dT%H:%M:%SZ"))
                  << ", \"sender\": " << json_text(e.sender) << ", \"subject\": " << json_text(e.subject)
                  << ", \"date\": " << json_text(e.date) << ", \"message_id\": " << json_text(e.message_id)
                  << ", \"expires\": "
                  << (expires ? json_text(utc_time(*expires, "%Y-%m-%dT%H:%M:%SZ")) : std::string("null"))
                  << ", \"expires_in_days\": " << (left ? std::to_string(*left) : std::string("null"))
                  << ", \"challenge\": " << json_text(kind) << ", \"challenge_detail\": " << json_text(detail) << "}";
    }
    std::cout << (waiting.empty() ? "]}\n" : "\n]}\n");
}

void print_table(const pending_listing& listing) {
    const pending_settings& settings = listing.settings;
    const std::vector<waiting_message>& waiting = listing.waiting;
    std::cout << waiting.size() << (waiting.size() == 1 ? " message waits" : " messages wait") << " in "
              << listing.folder << " of " << listing.account;
    if (settings.expiry_days >= 0) std::cout << " (moved to Trash " << settings.expiry_days << " days after arrival)";
    std::cout << "\n";
    if (waiting.empty()) return;
    std::vector<std::string> senders, challenges;
    size_t sender_width = 6, challenge_width = 9;
    for (const waiting_message& w : waiting) {
        senders.push_back(w.entry.sender.empty() ? "(no sender)" : shown_text(w.entry.sender, 40));
        challenges.push_back(shown_text(challenge_text(w.entry.challenge), 60));
        sender_width = std::max(sender_width, senders.back().size());
        challenge_width = std::max(challenge_width, challenges.back().size());
    }
    const size_t number_width = std::to_string(waiting.size()).size() + 2;
    std::cout << padded("#", number_width) << padded("ARRIVED (UTC)", 18) << padded("EXPIRES (UTC)", 18)
              << padded("SENDER", sender_width + 2) << padded("CHALLENGE", challenge_width + 2) << "SUBJECT\n";
    for (size_t i = 0; i < waiting.size(); ++i) {
        long long arrived = waiting[i].message.arrival.tv_sec;
        std::optional<long long> expires = expiry_time(settings, arrived);
        std::cout << padded(std::to_string(pending_number(i, waiting.size())), number_width)
                  << padded(utc_time(arrived, "%Y-%m-%d %H:%M"), 18)
                  << padded(expires ? utc_time(*expires, "%Y-%m-%d %H:%M") : "never", 18)
                  << padded(senders[i], sender_width + 2) << padded(challenges[i], challenge_width + 2)
                  << shown_text(waiting[i].entry.subject, 100) << "\n";
    }
}

}  // namespace

int cmd_pending(const parsed_arguments& arguments) {
    if (!arguments.positional.empty()) return judge_pending(arguments);
    int code = exit_ok;
    std::optional<pending_listing> listing = read_listing(arguments, code);
    if (!listing) return code;
    if (arguments.has("--json")) print_json(*listing, std::time(nullptr));
    else print_table(*listing);
    return exit_ok;
}
