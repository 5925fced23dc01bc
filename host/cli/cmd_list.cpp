// tarnwick list show | add | remove | modify: the four address lists of the add-in, through
// IDispatch as the mail client's list dialog reaches them.
#include <cstddef>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/session.h"
#include "common/mime.h"
#include "contract/addin_data.h"
#include "contract/sender_address.h"
#include "mailer/store_mailer.h"
#include "platform/text.h"
#include "policy/contacts.h"
#include "policy/judging.h"
#include "policy/pending_index.h"
#include "store/maildir_store.h"

const char list_usage[] =
    "usage: tarnwick list show [LIST]                 [--data-dir DIR] [--module FILE] [--wait]\n"
    "       tarnwick list add LIST ADDRESS...         [--maildir DIR [--contacts FILE]] (and the above)\n"
    "       tarnwick list remove LIST ADDRESS...\n"
    "       tarnwick list modify LIST OLD NEW         [--maildir DIR [--contacts FILE]]\n"
    "\n"
    "LIST is authorized, remove, ignore or pending. An ADDRESS is an address as a mail program\n"
    "shows it: bob@example.org, <Bob@Example.org> or \"Bob Example <bob@example.org>\" (quoted,\n"
    "one address each); the lists keep it in lower case. On the authorized list \".@example.org\"\n"
    "stands for a whole domain.\n"
    "With --maildir the verdict reaches mail already received: adding to the authorized list\n"
    "moves the sender's pending mail back to the inbox, adding to the remove list moves the\n"
    "sender's mail in the inbox and the pending folder to Trash. A maildir (and contacts) of the\n"
    "settings file serves list add and list modify, as --maildir would.\n";

namespace {

struct list_name {
    const char* name;
    LONG number;
};
const list_name lists[] = {{"authorized", authorized_list_number},
                           {"remove", remove_list_number},
                           {"ignore", ignore_list_number},
                           {"pending", pending_list_number}};

const list_name& find_list(const std::string& name) {
    for (const list_name& l : lists) {
        if (ascii_lower(name) == l.name) return l;
    }
    throw usage_error("unknown list " + name + " (use authorized, remove, ignore or pending)");
}

// The address as the add-in keeps it (lower case), from `text` as a mail program shows one:
// "bob@example.org", "<Bob@Example.org>", "Bob Example <bob@example.org>". The address comes out
// by the add-in's own rule, as it takes a sender from mail. Text holding no address, or more
// than one (a pasted list would otherwise lose all but its first), is refused.
std::string pasted_address(const std::string& text) {
    // How other programs write a whole domain; here it is ".@domain", on the authorized list.
    if (size_t at = text.find('@'); at != std::string::npos && (at == 0 || text.substr(0, at) == "*"))
        throw usage_error(text + " is not an address: the authorized list takes a whole domain as .@" +
                          text.substr(at + 1));
    std::string address = extract_email_address(text);
    if (!address.empty() && address == ascii_lower(text)) return address;  // a bare address (or ".@domain")
    std::vector<mailbox> mailboxes = parse_mailboxes(text);
    if (mailboxes.size() > 1)
        throw usage_error("more than one address in: " + text + " (give each as an ADDRESS of its own)");
    if (mailboxes.size() == 1) address = extract_email_address(mailboxes.front().address);
    if (address.empty()) throw usage_error("no address in: " + text);
    return address;
}

// The number of entries of a list, as GetListSize tells it; none (reported) when it cannot.
std::optional<LONG> list_size(addin_client& addin, const list_name& list) {
    dispatch_arguments size_arguments;
    size_arguments.add_long(list.number);
    variant_holder size;
    HRESULT hr = addin.invoke("GetListSize", DISPATCH_METHOD, size_arguments, size.put());
    variant_holder count;
    if (SUCCEEDED(hr)) hr = VariantChangeType(count.put(), size.get(), 0, VT_I4);
    if (FAILED(hr)) {
        std::cerr << "tarnwick: cannot read the " << list.name << " list: " << describe_hresult(hr) << "\n";
        return std::nullopt;
    }
    return count->lVal;
}

// The entries of a list, read the way the dialog reads them: the size, then items 0, 1, 2...
// Each goes to `visit` as it comes, until `visit` returns false: a list of a million entries is
// neither copied whole nor read further than needed. False (reported) when reading failed.
template <typename Visitor>
bool read_list(addin_client& addin, const list_name& list, Visitor&& visit) {
    std::optional<LONG> count = list_size(addin, list);
    if (!count) return false;
    for (LONG i = 0; i < *count; ++i) {
        dispatch_arguments item_arguments;
        item_arguments.add_long(list.number).add_long(i);
        variant_holder item;
        HRESULT hr = addin.invoke("GetListItem", DISPATCH_METHOD, item_arguments, item.put());
        if (FAILED(hr) || item->vt != VT_BSTR) {
            std::cerr << "tarnwick: cannot read the " << list.name << " list: " << describe_hresult(hr) << "\n";
            return false;
        }
        if (!visit(narrow_from_bstr(item->bstrVal))) break;
    }
    return true;
}

// The texts that may name an entry for `text`, most exact first: itself, its lower-case form,
// and the address pasted in it.
std::vector<std::string> names_for(const std::string& text) {
    std::vector<std::string> names = {text, ascii_lower(text)};
    std::vector<mailbox> mailboxes = parse_mailboxes(text);
    if (mailboxes.size() == 1) {
        std::string address = extract_email_address(mailboxes.front().address);
        if (!address.empty()) names.push_back(address);
    }
    return names;
}

// The entry meant by `text` among `present`, the names found on the list. None when none of them
// is there.
std::optional<std::string> entry_for(const std::set<std::string>& present, const std::string& text) {
    for (const std::string& name : names_for(text))
        if (present.count(name)) return name;
    return std::nullopt;
}

HRESULT call(const session& running, const char* method, const list_name& list, const std::vector<std::string>& texts) {
    addin_client& addin = *running.addin;
    dispatch_arguments arguments;
    arguments.add_long(list.number);
    for (const std::string& text : texts) arguments.add_text(text);
    variant_holder ignored;
    HRESULT hr = addin.invoke(method, DISPATCH_METHOD, arguments, ignored.put());
    if (hr == STG_E_CANTSAVE)
        std::cerr << "tarnwick: the " << list.name << " list was not saved: the filter could not write "
                  << running.files_not_written_text("its list files")
                  << " (see the debug log); the lists stay as they were\n";
    else if (FAILED(hr)) std::cerr << "tarnwick: " << method << " failed: " << describe_hresult(hr) << "\n";
    return hr;
}

// What `list ACTION ...` asks, checked before anything is written.
struct list_request {
    std::string action;                   // show, add, remove or modify
    std::vector<const list_name*> shown;  // show: the lists to print
    const list_name* target = nullptr;    // add, remove, modify: the list changed
    std::vector<std::string> addresses;   // add and remove: the entries; modify: OLD and NEW
};

// The words after `list`. Throws usage_error for a wrong one.
list_request read_request(const std::vector<std::string>& words) {
    if (words.empty()) throw usage_error("list needs show, add, remove or modify");
    list_request request;
    request.action = words[0];
    const std::string& action = request.action;
    if (action == "show") {
        if (words.size() > 2) throw usage_error("list show takes at most one list name");
        if (words.size() == 2) request.shown.push_back(&find_list(words[1]));
        else
            for (const list_name& l : lists) request.shown.push_back(&l);
        return request;
    }
    if (action != "add" && action != "remove" && action != "modify")
        throw usage_error("unknown list action " + action + " (use show, add, remove or modify)");
    if (words.size() < 3) throw usage_error("list " + action + " needs a list name and an address");
    request.target = &find_list(words[1]);
    std::vector<std::string>& addresses = request.addresses;
    addresses.assign(words.begin() + 2, words.end());
    if (action == "modify" && addresses.size() != 2) throw usage_error("list modify needs OLD and NEW");
    // Removing names entries as they stand; anything added must be an address.
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (action == "add" || (action == "modify" && i == 1)) addresses[i] = pasted_address(addresses[i]);
        else if (addresses[i].empty()) throw usage_error("an empty address");
    }
    return request;
}

// The Maildir a verdict reaches ("" for none) and the options of its mailer.
struct mail_options {
    std::string root;
    store_mailer_options mailer;
};

// The mailer's options for `action`: with --maildir (list add and list modify only), the verdict
// reaches mail already received; without, the root stays "". Throws usage_error for a wrong one.
mail_options read_mail_options(parsed_arguments& arguments, const std::string& action) {
    bool reaches_mail = action == "add" || action == "modify";
    if ((arguments.on_command_line("--maildir") || arguments.on_command_line("--contacts")) && !reaches_mail)
        throw usage_error("--maildir and --contacts go with list add and list modify");
    if (arguments.on_command_line("--contacts") && !arguments.has("--maildir"))
        throw usage_error("--contacts needs --maildir");
    // The settings file is shared with `run`: what it names serves only where it can.
    if (!reaches_mail || !arguments.has("--maildir")) {
        for (const char* option : {"--maildir", "--contacts"}) {
            if (arguments.from_file.count(option)) arguments.options.erase(option);
        }
    }
    mail_options options;
    if (arguments.has("--maildir")) options.root = require_maildir(arguments, "list " + action);
    if (arguments.has("--contacts")) {
        std::string error;
        std::optional<std::vector<std::string>> contacts = read_contacts(arguments.value("--contacts"), error);
        if (!contacts) throw usage_error(arguments.origin("--contacts") + ": " + error);
        options.mailer.contacts = std::move(*contacts);
    }
    return options;
}

// `list show`: each list printed whole, under its name and size when there are several.
int show_lists(addin_client& addin, const std::vector<const list_name*>& shown) {
    for (const list_name* l : shown) {
        // Printed once whole, so that a list that cannot be read prints nothing of itself.
        const char* indent = shown.size() > 1 ? "  " : "";
        std::string text;
        std::size_t count = 0;
        bool read = read_list(addin, *l, [&](const std::string& entry) {
            text.append(indent).append(shown_text(entry, 4000)).append("\n");
            ++count;
            return true;
        });
        if (!read) return exit_failure;
        if (shown.size() > 1) std::cout << l->name << " (" << count << "):\n";
        std::cout << text;
    }
    return exit_ok;
}

// `list remove` and `list modify` name entries as they stand: each address of the request (the
// first only, for modify) becomes the entry it stands for. False, said on stderr, when the list
// cannot be read or an entry is not on it; nothing is written then. The list is read once,
// keeping only the names the addresses may stand for.
bool resolve_entries(addin_client& addin, list_request& request) {
    std::vector<std::string>& addresses = request.addresses;
    std::set<std::string> wanted;
    for (const std::string& address : addresses)
        for (std::string& name : names_for(address)) wanted.insert(std::move(name));
    std::set<std::string> before;
    bool read = read_list(addin, *request.target, [&](const std::string& entry) {
        if (wanted.count(entry)) before.insert(entry);
        return true;
    });
    if (!read) return false;
    size_t named = request.action == "remove" ? addresses.size() : 1;
    for (size_t i = 0; i < named; ++i) {
        std::optional<std::string> entry = entry_for(before, addresses[i]);
        if (!entry) {
            std::cerr << "tarnwick: " << addresses[i] << " is not on the " << request.target->name << " list\n";
            return false;
        }
        addresses[i] = *entry;
    }
    return true;
}

// The calls that make the change: AddToList or RemoveFromList for each address, until one fails,
// or ModifyInList once.
HRESULT make_change(const session& running, const list_request& request) {
    const std::vector<std::string>& addresses = request.addresses;
    if (request.action == "modify") return call(running, "ModifyInList", *request.target, {addresses[0], addresses[1]});
    const char* method = request.action == "add" ? "AddToList" : "RemoveFromList";
    HRESULT hr = S_OK;
    for (size_t i = 0; SUCCEEDED(hr) && i < addresses.size(); ++i)
        hr = call(running, method, *request.target, {addresses[i]});
    return hr;
}

// With a Maildir in `options`, the mailer that the verdict reaches the mail through, given to the
// add-in by SetMailer; null without one. `code` made exit_failure when SetMailer fails.
com_ptr<store_mailer> attach_mailer(const session& running, const mail_options& options, int& code) {
    com_ptr<store_mailer> host;
    if (options.root.empty()) return host;
    host = store_mailer::create(maildir_store::open(options.root), options.mailer);
    if (FAILED(running.addin->object().SetMailer(static_cast<IMailerHost*>(host.get())))) {
        std::cerr << "tarnwick: the contacts were not saved: the filter could not write "
                  << running.files_not_written_text("its list files") << " (see the debug log)\n";
        code = exit_failure;
    }
    return host;
}

// After a change to `target` (`made` when its calls succeeded) with a mailer: the pending mail
// of a sender just authorized released, the add-in unloaded, and what it moved not taken for the
// user's verdict. False, said on stderr, when something was not done or not saved.
bool finish_with_mailer(const session& running, store_mailer& host, const list_name& target, bool made) {
    addin_client& addin = *running.addin;
    bool done = true;
    // The add-in releases an authorized sender's pending mail on the next new-message call:
    // one without a message, since none has arrived.
    if (made && target.number == 0 && FAILED(addin.object().RunWorkflow2(static_cast<IMailerHost*>(&host), nullptr))) {
        std::cerr << "tarnwick: the pending senders were not saved after the release: the filter could not "
                     "write "
                  << running.files_not_written_text("its list files") << " (see the debug log)\n";
        done = false;
    }
    addin.object().Unload();
    // Mail released or deleted here is the filter's doing, not a verdict of the user's.
    if (!forget_filter_moves(addin, host, host.store(), running.data_directory)) done = false;
    return done;
}

// Whether `added` is on `list` now; none, said on stderr, when the list cannot be read. The list
// is read only as far as the entry: it comes in the list's order.
std::optional<bool> holds(addin_client& addin, const list_name& list, const std::string& added) {
    bool taken = false;
    bool read = read_list(addin, list, [&](const std::string& entry) {
        taken = entry == added;
        return !taken && entry < added;
    });
    if (!read) return std::nullopt;
    return taken;
}

// The size of the list changed, then what became of the mail already received (`host`, null
// without --maildir) or when it will. False when the mailer failed to move or flag mail.
bool print_change(const list_request& request, LONG size, const store_mailer* host) {
    const list_name& target = *request.target;
    std::cout << target.name << " list: " << size << (size == 1 ? " entry" : " entries") << "\n";
    if (host) {
        const mailer_activity& activity = host->activity();
        if (activity.released) std::cout << "  released to the inbox: " << activity.released << "\n";
        if (activity.deleted) std::cout << "  deleted (moved to Trash): " << activity.deleted << "\n";
        for (const std::string& note : activity.notes) std::cout << "  " << note << "\n";
        return !(activity.moves_failed || activity.folders_failed || activity.flags_failed);
    }
    if (target.number == 0 && request.action != "remove") {
        std::cout << "  (without --maildir, the sender's pending mail is released by the next run)\n";
    } else if (target.number == 1 && request.action != "remove") {
        std::cout << "  (without --maildir, mail already received is not touched)\n";
    }
    return true;
}

// `list add`, `list remove` and `list modify` in the open session `running`.
int change_list(session& running, list_request& request, const mail_options& options) {
    addin_client& addin = *running.addin;
    const list_name& target = *request.target;
    if (request.action != "add" && !resolve_entries(addin, request)) return exit_failure;
    int code = exit_ok;
    com_ptr<store_mailer> host = attach_mailer(running, options, code);
    HRESULT hr = make_change(running, request);
    if (host && !finish_with_mailer(running, *host.get(), target, SUCCEEDED(hr))) code = exit_failure;
    if (FAILED(hr)) return exit_failure;

    std::optional<LONG> after = list_size(addin, target);
    if (!after) return exit_failure;
    if (request.action != "remove") {
        std::optional<bool> taken = holds(addin, target, request.addresses.back());
        if (!taken) return exit_failure;
        if (!*taken) {
            std::cerr << "tarnwick: the add-in did not take " << request.addresses.back() << "\n";
            code = exit_failure;
        }
    }
    running.addin.reset();
    // A write the add-in could not make but did not answer with a failure (the verdict's
    // release file) is named all the same.
    if (code == exit_ok) {
        if (std::vector<std::string> files = running.files_not_written(); !files.empty()) {
            std::cerr << "tarnwick: the filter could not write " << running.files_not_written_text("")
                      << " (see the debug log)\n";
            code = exit_failure;
        }
    }
    if (!print_change(request, *after, host.get())) code = exit_failure;
    return code;
}

}  // namespace

int cmd_list(const parsed_arguments& given) {
    parsed_arguments arguments = given;
    list_request request = read_request(arguments.positional);
    mail_options options = read_mail_options(arguments, request.action);
    session_settings settings = read_session_settings(arguments);
    settings.maildir = options.root;

    int code = exit_ok;
    std::optional<scratch_copy> copy;
    std::optional<session> running =
        request.action == "show" ? open_reading_session(settings, copy, code) : open_session(settings, code);
    if (!running) return code;
    if (request.action == "show") return show_lists(*running->addin, request.shown);
    return change_list(*running, request, options);
}
