// tarnwick why: the story of a sender's or a message's mail, from the decision log.
#include <algorithm>
#include <iostream>

#include "cli/commands.h"
#include "cli/json_text.h"
#include "cli/session.h"
#include "contract/addin_data.h"
#include "platform/fs.h"
#include "platform/posix_files.h"
#include "policy/decision_log.h"
#include "policy/pending_index.h"

const char why_usage[] =
    "usage: tarnwick why SENDER|MESSAGE-ID [--json] [--data-dir DIR]\n"
    "\n"
    "Tells what the filter did with the mail of SENDER (an address, in any letter case) or with\n"
    "the message MESSAGE-ID (with or without its <>), newest first: when, what was done (kept,\n"
    "parked, deleted, left new, released, authorized or put on the remove list by moving),\n"
    "why, and whether a challenge was sent or withheld. It reads the decision log of the data\n"
    "folder (decisions.log and its one older part), which run, watch and deliver add to.\n"
    "Exit status 1 when the log says nothing about it.\n"
    "\n"
    "  --json            the same as a JSON array of objects, newest first\n"
    "  --data-dir DIR    the filter's files are in DIR/OstrelAntiSpam\n";

namespace {

void print_json(const std::vector<decision>& found) {
    std::cout << "[";
    for (size_t i = 0; i < found.size(); ++i) {
        const decision& d = found[i];
        std::cout << (i ? ",\n " : "\n ") << "{\"time\": " << json_string(d.time)
                  << ", \"unique\": " << json_string(d.unique) << ", \"message_id\": " << json_string(d.message_id)
                  << ", \"sender\": " << json_string(d.sender) << ", \"subject\": " << json_string(d.subject)
                  << ", \"action\": " << json_string(d.action) << ", \"reason\": " << json_string(d.reason)
                  << ", \"challenge\": " << json_string(d.challenge) << "}";
    }
    std::cout << (found.empty() ? "]\n" : "\n]\n");
}

void print_text(const std::vector<decision>& found) {
    // The log's fields were made safe when written; shown again in case the file was edited.
    for (const decision& d : found) {
        std::cout << shown_text(d.time, 32) << "  " << shown_text(d.action, 32) << "  "
                  << shown_text(d.sender.empty() ? "(no sender)" : d.sender) << "  \"" << shown_text(d.subject, 120)
                  << "\"\n"
                  << "    why: " << shown_text(d.reason, 600) << "\n"
                  << "    challenge: " << shown_text(d.challenge, 600) << "\n"
                  << "    message: " << shown_text(d.message_id.empty() ? "(no Message-ID)" : d.message_id, 300)
                  << ", file " << shown_text(d.unique, 255) << "\n";
    }
}

}  // namespace

int cmd_why(const parsed_arguments& arguments) {
    if (arguments.positional.size() != 1)
        throw usage_error("why needs one sender address or Message-ID (tarnwick why ann@example.org)");
    const std::string& query = arguments.positional.front();
    session_settings settings = read_session_settings(arguments);

    // Read only: no lock, as the log is only ever appended to (or renamed whole when full).
    std::optional<std::string> app_data = posix_files::app_data_folder(settings.data_home);
    if (!app_data) {
        std::cerr << "tarnwick: cannot find the filter's data folder: set HOME, or give --data-dir\n";
        return exit_failure;
    }
    std::string data = append_path_component(*app_data, data_folder_name);
    std::string error;
    std::vector<decision> entries = read_decisions(data, error);
    if (!error.empty()) std::cerr << "tarnwick: " << error << "\n";
    std::vector<decision> found;
    for (auto at = entries.rbegin(); at != entries.rend(); ++at) {
        if (decision_matches(*at, query)) found.push_back(std::move(*at));
    }
    if (arguments.has("--json")) print_json(found);
    else print_text(found);
    if (found.empty()) {
        std::cerr << "tarnwick: the decision log of " << data << " says nothing about " << shown_text(query, 300)
                  << "\n";
        return exit_failure;
    }
    return error.empty() ? exit_ok : exit_failure;
}
