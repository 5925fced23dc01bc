// tarnwick digest: one message in the inbox listing the mail that reached the pending folder
// since the last digest, and how to judge it. Meant for a daily cron line.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <set>
#include <string_view>

#include "cli/account_store.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "common/text.h"
#include "platform/file_io.h"
#include "policy/filter_settings.h"
#include "policy/judged_inbox.h"
#include "policy/judging.h"
#include "policy/pending_index.h"
#include "store/maildir.h"
#include "store/maildir_store.h"

const char digest_usage[] =
    "usage: tarnwick digest [--maildir DIR] [--data-dir DIR] [--junk-folder NAME]\n"
    "       tarnwick digest --imap URL --password-command CMD [--tls-ca FILE] [...]\n"
    "\n"
    "Puts one message into the inbox that lists the mail that reached the pending folder since\n"
    "the last digest (sender, subject, date, whether a challenge went out) and says how to judge\n"
    "it. The message lies in the inbox's cur/, unread, so the filter never takes it for new\n"
    "mail. When nothing new waits it stores nothing and says so. On an IMAP account it is\n"
    "appended to INBOX, unread, and recorded as judged; it then waits up to a minute while\n"
    "another run holds the data folder.\n"
    "\n"
    "  --maildir DIR       the Maildir (or maildir in the settings file)\n"
    "  --imap URL          the IMAP account instead, with --password-command and --tls-ca\n"
    "                      as for run\n"
    "  --data-dir DIR      the filter's files are in DIR/OstrelAntiSpam\n"
    "  --junk-folder NAME  the junk folder the message names (default: the first of .Junk\n"
    "                      and .Spam)\n";

namespace {

// What the digests have listed, in the data folder: the time of the last one (seconds since
// 1970) on the first line, then the unique names of the messages listed that are still in the
// pending folder, one a line. Names rather than times: a run may park a message while a digest
// reads the folder, and a message must never fall between two digests.
constexpr const char* last_digest_file_name = "digest-last.txt";

struct digest_mark {
    long long time = 0;
    std::set<std::string> listed;
};

// The mark of the last digest; time 0 when there was none. A file that cannot be read counts as
// none: listing mail twice is better than skipping it.
digest_mark last_digest(const std::string& path) {
    digest_mark mark;
    std::optional<std::string> text = read_file(path);
    if (!text) return mark;
    std::string_view rest = *text;
    std::string_view digits = rest.substr(0, rest.find('\n'));
    if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos) {
        std::cerr << "tarnwick: " << path << " cannot be read; the digest lists all pending mail\n";
        return mark;
    }
    mark.time = std::stoll(std::string(digits));
    rest.remove_prefix(std::min(rest.size(), digits.size() + 1));
    while (!rest.empty()) {
        std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        if (!line.empty()) mark.listed.insert(std::string(line));
    }
    return mark;
}

std::string format_mark(const digest_mark& mark) {
    std::string text = std::to_string(mark.time) + "\n";
    for (const std::string& unique : mark.listed) {
        // A name with a line end would not read back; its message is then listed again.
        if (unique.find_first_of("\r\n") == std::string::npos) text += unique + "\n";
    }
    return text;
}

// The login name for the To field, when it is a plain one; "postmaster" would do no good, so a
// name that is not plain gives "me".
std::string local_recipient() {
    const passwd* user = ::getpwuid(::getuid());
    std::string name = user && user->pw_name ? user->pw_name : "";
    if (name.empty() || name.size() > 64 ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
            std::string::npos)
        name = "me";
    return name + "@localhost";
}

// Quoted-printable (RFC 2045) of UTF-8 text with LF line ends: lines of at most 76 characters.
std::string quoted_printable(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    size_t column = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += '\n';
            column = 0;
            continue;
        }
        bool line_end = i + 1 == text.size() || text[i + 1] == '\n';
        bool plain = (c >= 33 && c <= 126 && c != '=') || (c == ' ' && !line_end);
        std::string piece = plain ? std::string(1, static_cast<char>(c)) : std::string{'=', hex[c >> 4], hex[c & 15]};
        if (column + piece.size() > 75) {
            out += "=\n";
            column = 0;
        }
        out += piece;
        column += piece.size();
    }
    return out;
}

std::string digest_message(const std::vector<const waiting_message*>& fresh, size_t waiting_in_all,
                           const std::string& pending, const pending_settings& expiry, const std::string& junk,
                           long long now, long long last) {
    std::string body = std::to_string(fresh.size()) + (fresh.size() == 1 ? " message" : " messages") +
                       " reached the pending folder " + pending + " since the last digest" +
                       (last > 0 ? " (" + utc_time(last, "%Y-%m-%d %H:%M UTC") + ")" : std::string()) + ":\n\n";
    for (const waiting_message* w : fresh) {
        const pending_entry& e = w->entry;
        body += utc_time(w->message.arrival.tv_sec, "%Y-%m-%d %H:%M UTC") + "  " +
                (e.sender.empty() ? std::string("(no sender)") : shown_text(e.sender, 200)) + "\n";
        body += "    Subject: " + shown_text(e.subject, 300) + "\n";
        if (!e.date.empty()) body += "    Date: " + shown_text(e.date, 100) + "\n";
        body += "    Challenge: " + shown_text(challenge_text(e.challenge), 300) + "\n";
        if (std::optional<long long> expires = expiry_time(expiry, w->message.arrival.tv_sec))
            body += "    Moved to Trash: " + utc_time(*expires, "%Y-%m-%d %H:%M UTC") + "\n";
        body += "\n";
    }
    body += std::to_string(waiting_in_all) + (waiting_in_all == 1 ? " message waits" : " messages wait") +
            " in the pending folder in all";
    body += expiry.expiry_days >= 0 ? "; the filter moves each to Trash " + std::to_string(expiry.expiry_days) +
                                          " days after it arrived.\n\n"
                                    : ".\n\n";
    body +=
        "To judge a message, move it with your mail program:\n"
        "  - into the inbox: its sender is authorized, and the sender's other pending\n"
        "    mail comes back to the inbox;\n";
    body += junk.empty() ? "  - into a junk folder (make one named Junk): its sender goes on the remove list.\n"
                         : "  - into " + junk + ": its sender goes on the remove list.\n";
    body +=
        "A message you delete, or leave where it is, is no verdict. The filter takes the\n"
        "verdicts on its next run.\n";
    std::string id = "tarnwick-digest." + std::to_string(now) + "." + std::to_string(::getpid()) + "@localhost";
    std::string subject = "Tarnwick: " + std::to_string(fresh.size()) +
                          (fresh.size() == 1 ? " new message waits" : " new messages wait") + " in the pending folder";
    return "From: Tarnwick <tarnwick@localhost>\n"
           "To: " +
           local_recipient() + "\nSubject: " + subject + "\nDate: " + utc_time(now, "%a, %d %b %Y %H:%M:%S +0000") +
           "\nMessage-ID: <" + id +
           ">\n"
           "Auto-Submitted: auto-generated\n"
           "MIME-Version: 1.0\n"
           "Content-Type: text/plain; charset=utf-8\n"
           "Content-Transfer-Encoding: quoted-printable\n\n" +
           quoted_printable(body);
}

// Stores the digest `text` in the inbox of `store`. In a Maildir it lies in cur/, unread, so that
// no filter takes it for new mail; on a server it is appended to INBOX, unread. The id it has, for
// the record of judged mail ("" when the server did not tell), and where it lies, in `stored`
// and `place`; false after saying why on standard error.
bool store_digest(const filter_options& filter, mail_store& store, const std::string& text, std::string& stored,
                  std::string& place) {
    std::string error;
    if (!filter.remote) {
        std::optional<std::string> path = maildir::deliver(filter.root, text, error, "");
        if (path) stored = std::string(maildir::unique_part(path->substr(path->rfind('/') + 1)));
        if (path) place = *path;
    } else {
        std::string id = store.new_id();
        if (store.store("", id, text, error)) {
            stored = store.stored_id(id);
            place = "an unread message in " + store.place_of("") + " of " + store.account();
        }
    }
    if (place.empty()) std::cerr << "tarnwick: the digest was not stored: " << error << "\n";
    return !place.empty();
}

}  // namespace

int cmd_digest(const parsed_arguments& arguments) {
    filter_options filter = read_store_options(arguments, "digest");
    // The add-in's files are read, not the add-in, whose debug log stays as the last run left it.
    std::string data_directory = data_directory_of(filter.session.data_home);
    pending_settings pending = pending_settings_of(read_filter_settings(data_directory));
    auto no_folder = [&] {
        std::cerr << "tarnwick: the filter's settings in "
                  << (data_directory.empty() ? "(no data folder)" : data_directory)
                  << " name no pending folder (has the filter run with this data folder?)\n";
        return exit_failure;
    };
    if (data_directory.empty() || pending.folder.empty()) return no_folder();
    // A Maildir's digest is delivered as a mail server delivers, beside `watch`, without a lock.
    // An account's store writes its records in the data folder, as runs do: under its lock.
    std::optional<session> locked;
    std::shared_ptr<mail_store> store;
    if (filter.remote) {
        int code = exit_ok;
        filter.session.lock_timeout = 60;
        if (!connect_account(filter, code)) return code;
        if (!(locked = open_locked_session(filter.session, code))) return code;
        store = open_account_store(filter, locked->data_directory);
    } else {
        store = maildir_store::open(filter.root);
    }
    if (!store->valid_folder_name(pending.folder)) return no_folder();
    std::string junk = junk_folder_setting(arguments, *store);
    std::string problem;
    std::map<std::string, pending_entry> index = load_pending_index(data_directory, problem);
    if (!problem.empty()) std::cerr << "tarnwick: " << problem << "\n";
    std::string state_path = data_directory + "/" + last_digest_file_name;
    digest_mark since = last_digest(state_path);
    long long now = std::time(nullptr);
    std::vector<waiting_message> waiting = waiting_messages(*store, pending.folder, index);
    // A listing cut short would drop from the mark what it missed, to be listed again later.
    if (connection_lost(*store)) return exit_failure;
    std::vector<const waiting_message*> fresh;
    // Listed messages that have left the pending folder are forgotten.
    digest_mark mark{now, {}};
    for (const waiting_message& w : waiting) {
        if (!since.listed.count(w.entry.unique)) fresh.push_back(&w);
        mark.listed.insert(w.entry.unique);
    }
    const std::string shown_pending = shown_folder(filter, *store, pending.folder);
    if (fresh.empty()) {
        std::cout << "tarnwick: nothing new in " << shown_pending << " since the last digest (" << waiting.size()
                  << (waiting.size() == 1 ? " message waits" : " messages wait") << " in all)\n";
        return exit_ok;
    }

    std::string stored, place;
    if (!store_digest(filter, *store,
                      digest_message(fresh, waiting.size(), shown_pending, pending,
                                     junk.empty() ? "" : shown_folder(filter, *store, junk), now, since.time),
                      stored, place))
        return exit_failure;
    // Unread in the inbox, it is no arrival for the filter: it is recorded as judged (a filter that
    // never ran records it with the rest of the inbox when it first does).
    if (judged_inbox judged(data_directory);
        judged.exists() && !(!stored.empty() && judged.add(stored) && judged.flush()))
        std::cerr << "tarnwick: " << (stored.empty() ? "the server did not tell the digest's number" : judged.problem())
                  << "; the next run filters the digest\n";
    std::cout << "tarnwick: digest of " << fresh.size() << (fresh.size() == 1 ? " message" : " messages")
              << " stored as " << place << "\n";
    // Only now: a digest that was not stored leaves its messages for the next one.
    errno = 0;
    if (!replace_file_atomically(state_path, format_mark(mark))) {
        std::cerr << "tarnwick: what this digest listed was not saved to " << state_path
                  << (errno ? std::string(": ") + std::strerror(errno) : std::string())
                  << "; the next digest lists these messages again\n";
        return exit_failure;
    }
    return exit_ok;
}
