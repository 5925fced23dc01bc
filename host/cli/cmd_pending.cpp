// tarnwick pending: what waits in the pending folder, newest first. It reads the add-in's settings
// file and the pending index itself instead of loading the add-in, which would start a new debug
// log, and takes no lock, whose file it might have to make: it writes nothing at all.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "cli/commands.h"
#include "cli/session.h"
#include "common/text.h"
#include "policy/filter_settings.h"
#include "policy/pending_index.h"

const char pending_usage[] =
    "usage: tarnwick pending [--json] [--maildir DIR] [--data-dir DIR]\n"
    "\n"
    "Lists the mail waiting in the pending folder, newest first: when it arrived, its sender\n"
    "and subject, the days until the filter moves it to Trash, and whether a challenge went\n"
    "out (or why not; \"unknown\" for mail parked before the filter kept its index). Changes\n"
    "nothing. Move a message to the inbox to authorize its sender, to the junk folder to put\n"
    "the sender on the remove list: the next run takes the verdict.\n"
    "\n"
    "  --json            the same as JSON\n"
    "  --maildir DIR     the Maildir (or maildir in the settings file)\n"
    "  --data-dir DIR    the filter's files are in DIR/OstrelAntiSpam\n";

namespace {

// Whole days until `expires`, counting a day begun; none for never.
std::optional<long long> days_left(std::optional<long long> expires, long long now) {
    if (!expires) return std::nullopt;
    long long left = *expires - now;
    return left <= 0 ? 0 : (left + 86399) / 86400;
}

std::string json_text(std::string_view text) {
    std::string quoted = "\"";
    // Valid UTF-8 without control characters first, then the two characters JSON escapes.
    for (char c : shown_text(text, 4000)) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string padded(const std::string& text, size_t width) {
    size_t shown = 0;  // characters, not bytes
    for (unsigned char c : text) shown += (c & 0xC0) != 0x80;
    return text + std::string(shown < width ? width - shown : 0, ' ');
}

}  // namespace

int cmd_pending(const parsed_arguments& arguments) {
    std::string root = require_maildir(arguments, "pending");
    std::string data_directory = data_directory_of(read_session_settings(arguments).data_home);
    if (data_directory.empty()) {
        std::cerr << "tarnwick: cannot find the filter's data folder: set HOME, or give --data-dir\n";
        return exit_failure;
    }
    pending_settings settings = pending_settings_of(read_filter_settings(data_directory));
    if (settings.folder.empty() || !maildir::valid_folder_name(settings.folder)) {
        std::cerr << "tarnwick: the filter's settings in " << data_directory
                  << " name no pending folder (has the filter run with this data folder?)\n";
        return exit_failure;
    }
    std::string problem;
    std::map<std::string, pending_entry> index = load_pending_index(data_directory, problem);
    if (!problem.empty()) std::cerr << "tarnwick: " << problem << "\n";
    std::string pending_dir = maildir::folder_directory(root, settings.folder);
    std::vector<waiting_message> waiting;
    if (maildir::is_maildir(pending_dir)) waiting = waiting_messages(pending_dir, index);
    long long now = std::time(nullptr);

    if (arguments.has("--json")) {
        std::cout << "{\"folder\": " << json_text("." + settings.folder) << ", \"expiry_days\": "
                  << (settings.expiry_days < 0 ? std::string("null") : std::to_string(settings.expiry_days))
                  << ", \"messages\": [";
        for (size_t i = 0; i < waiting.size(); ++i) {
            const pending_entry& e = waiting[i].entry;
            long long arrived = waiting[i].file.mtime.tv_sec;
            std::optional<long long> expires = expiry_time(settings, arrived);
            std::optional<long long> left = days_left(expires, now);
            std::string kind = e.challenge.substr(0, e.challenge.find(':'));
            std::string detail = kind.size() < e.challenge.size() ? e.challenge.substr(kind.size() + 1) : "";
            std::cout << (i ? ",\n  " : "\n  ") << "{\"file\": " << json_text(waiting[i].file.name)
                      << ", \"arrived\": " << json_text(utc_time(arrived, "%Y-%m-%dT%H:%M:%SZ"))
                      << ", \"sender\": " << json_text(e.sender) << ", \"subject\": " << json_text(e.subject)
                      << ", \"date\": " << json_text(e.date) << ", \"message_id\": " << json_text(e.message_id)
                      << ", \"expires\": "
                      << (expires ? json_text(utc_time(*expires, "%Y-%m-%dT%H:%M:%SZ")) : std::string("null"))
                      << ", \"expires_in_days\": " << (left ? std::to_string(*left) : std::string("null"))
                      << ", \"challenge\": " << json_text(kind) << ", \"challenge_detail\": " << json_text(detail)
                      << "}";
        }
        std::cout << (waiting.empty() ? "]}\n" : "\n]}\n");
        return exit_ok;
    }

    std::cout << waiting.size() << (waiting.size() == 1 ? " message waits" : " messages wait") << " in ."
              << settings.folder << " of " << root;
    if (settings.expiry_days >= 0) std::cout << " (moved to Trash " << settings.expiry_days << " days after arrival)";
    std::cout << "\n";
    if (waiting.empty()) return exit_ok;
    std::vector<std::string> senders, challenges;
    size_t sender_width = 6, challenge_width = 9;
    for (const waiting_message& w : waiting) {
        senders.push_back(w.entry.sender.empty() ? "(no sender)" : shown_text(w.entry.sender, 40));
        challenges.push_back(shown_text(challenge_text(w.entry.challenge), 60));
        sender_width = std::max(sender_width, senders.back().size());
        challenge_width = std::max(challenge_width, challenges.back().size());
    }
    std::cout << padded("ARRIVED (UTC)", 18) << padded("EXPIRES (UTC)", 18) << padded("SENDER", sender_width + 2)
              << padded("CHALLENGE", challenge_width + 2) << "SUBJECT\n";
    for (size_t i = 0; i < waiting.size(); ++i) {
        long long arrived = waiting[i].file.mtime.tv_sec;
        std::optional<long long> expires = expiry_time(settings, arrived);
        std::cout << padded(utc_time(arrived, "%Y-%m-%d %H:%M"), 18)
                  << padded(expires ? utc_time(*expires, "%Y-%m-%d %H:%M") : "never", 18)
                  << padded(senders[i], sender_width + 2) << padded(challenges[i], challenge_width + 2)
                  << shown_text(waiting[i].entry.subject, 100) << "\n";
    }
    return exit_ok;
}
