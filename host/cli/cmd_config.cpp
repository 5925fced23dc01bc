// tarnwick config show | get | set: every setting of the add-in, by name, through IDispatch as
// the mail client's settings dialog reaches them.
#include <climits>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "cli/commands.h"
#include "cli/session.h"
#include "common/mime.h"
#include "platform/file_io.h"
#include "platform/text.h"

const char config_usage[] =
    "usage: tarnwick config show                          [--data-dir DIR] [--module FILE] [--wait]\n"
    "       tarnwick config get NAME                      (the same options)\n"
    "       tarnwick config get HelpDlgEnabled NUMBER\n"
    "       tarnwick config set NAME VALUE [NAME VALUE ...]\n"
    "       tarnwick config set HelpDlgEnabled NUMBER VALUE\n"
    "\n"
    "Settings: EnableProtection, MarkBlockedAsRead, AutoDeleteBlocked, AutoDeleteIgnored\n"
    "(true or false), PendingToBlockedTimeo (days), LanguageId (0 to 65535), ARSubject,\n"
    "ARSubjectKey, ARMessage, ARMessageKey (texts), PendingFolderName (read only) and\n"
    "HelpDlgEnabled (true or false for each dialog number). A VALUE of \"-\" is read from\n"
    "standard input. Several settings given to one `set` are saved together or not at all.\n"
    "\n"
    "`show` then lists the program's own settings (the long options of the commands, which the\n"
    "settings file ~/.config/tarnwick/config or --config FILE can hold) and where each came from;\n"
    "`get` reads each of them too (config get maildir). `show` and `get` work while another run\n"
    "holds the data folder, from a copy of it.\n";

namespace {

enum class kind { flag, days, language, text, multiline_text, read_only_text, dialog_flag };

struct setting {
    const char* name;
    kind type;
};

const setting settings_table[] = {
    {"EnableProtection", kind::flag},
    {"MarkBlockedAsRead", kind::flag},
    {"AutoDeleteBlocked", kind::flag},
    {"AutoDeleteIgnored", kind::flag},
    {"PendingToBlockedTimeo", kind::days},
    {"ARSubject", kind::text},
    {"ARSubjectKey", kind::text},
    {"ARMessage", kind::multiline_text},
    {"ARMessageKey", kind::text},
    {"LanguageId", kind::language},
    {"PendingFolderName", kind::read_only_text},
    {"HelpDlgEnabled", kind::dialog_flag},
};

const setting& find_setting(const std::string& name) {
    for (const setting& s : settings_table) {
        if (ascii_lower(s.name) == ascii_lower(name)) return s;
    }
    throw usage_error("unknown setting " + name + " (see tarnwick config --help)");
}

bool parse_flag(const std::string& name, const std::string& text) {
    std::string value = ascii_lower(text);
    if (value == "true" || value == "yes" || value == "on" || value == "1") return true;
    if (value == "false" || value == "no" || value == "off" || value == "0") return false;
    throw usage_error("bad value for " + name + ": " + text + " (use true or false)");
}

long parse_number(const std::string& name, const std::string& text, long highest) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10)
        throw usage_error("bad value for " + name + ": " + text + " (use a whole number from 0 to " +
                          std::to_string(highest) + ")");
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > highest)
        throw usage_error("bad value for " + name + ": " + text + " (at most " + std::to_string(highest) + ")");
    return static_cast<long>(value);
}

// The add-in stores settings one per line as "key = value ;", a ';' inside a text in a form of its
// own; but a text of just ";" is how an empty value reads back. A line break can only stand in the
// message body.
std::string check_text(const setting& s, std::string text) {
    if (s.type == kind::multiline_text) {
        std::string unix_text;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
            unix_text += text[i];
        }
        text = unix_text;
    }
    if (text == ";")
        throw usage_error(std::string("bad value for ") + s.name + ": a text of only ';' reads back as empty");
    // The file trims a value, so the add-in refuses a text that would lose its outer blanks.
    if (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' || text.back() == '\t'))
        throw usage_error(std::string("bad value for ") + s.name + ": it cannot start or end with a blank");
    for (char c : text) {
        bool allowed = c == '\t' || (c == '\n' && s.type == kind::multiline_text);
        if ((static_cast<unsigned char>(c) < 0x20 || c == 0x7F) && !allowed)
            throw usage_error(std::string("bad value for ") + s.name + ": it cannot contain control characters" +
                              (s.type == kind::multiline_text ? "" : " or line breaks"));
    }
    if (narrow_from_bstr(bstr_holder(bstr_from_narrow(text)).get()) != text)
        throw usage_error(std::string("bad value for ") + s.name + ": it is not valid UTF-8");
    return text;
}

// One change, checked and ready to be put.
struct change {
    const setting* target;
    std::optional<long> dialog;
    bool flag = false;
    long number = 0;
    std::string text;
};

std::string read_standard_input() {
    std::optional<std::string> read = read_stream(std::cin);
    if (!read) throw usage_error("standard input could not be read");
    std::string text = std::move(*read);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

std::vector<change> read_changes(const std::vector<std::string>& words) {
    std::vector<change> changes;
    bool stdin_used = false;
    for (size_t i = 1; i < words.size();) {
        change c;
        c.target = &find_setting(words[i]);
        const std::string name = c.target->name;
        if (c.target->type == kind::read_only_text) throw usage_error(name + " cannot be changed");
        ++i;
        if (c.target->type == kind::dialog_flag) {
            if (i >= words.size()) throw usage_error(name + " needs a dialog number and a value");
            c.dialog = parse_number(name + " dialog number", words[i++], INT_MAX);
        }
        if (i >= words.size()) throw usage_error(name + " needs a value");
        std::string value = words[i++];
        if (value == "-") {
            if (stdin_used) throw usage_error("only one value can be read from standard input");
            stdin_used = true;
            value = read_standard_input();
        }
        switch (c.target->type) {
        case kind::flag:
        case kind::dialog_flag: c.flag = parse_flag(name, value); break;
        case kind::days: c.number = parse_number(name, value, INT_MAX); break;
        case kind::language: c.number = parse_number(name, value, 65535); break;
        default: c.text = check_text(*c.target, value); break;
        }
        changes.push_back(std::move(c));
    }
    if (changes.empty()) throw usage_error("config set needs NAME VALUE");
    return changes;
}

// The setting as text; none when the add-in does not answer.
std::optional<std::string> read_setting(addin_client& addin, const setting& s, std::optional<long> dialog) {
    variant_holder value;
    HRESULT hr = dialog ? addin.get(s.name, static_cast<LONG>(*dialog), value.put()) : addin.get(s.name, value.put());
    if (FAILED(hr)) {
        std::cerr << "tarnwick: cannot read " << s.name << ": " << describe_hresult(hr) << "\n";
        return std::nullopt;
    }
    switch (s.type) {
    case kind::flag:
    case kind::dialog_flag: {
        variant_holder flag;
        if (FAILED(VariantChangeType(flag.put(), value.get(), 0, VT_BOOL))) return std::nullopt;
        return flag->boolVal ? "true" : "false";
    }
    case kind::days:
    case kind::language: {
        variant_holder number;
        if (FAILED(VariantChangeType(number.put(), value.get(), 0, VT_I8))) return std::nullopt;
        return std::to_string(number->llVal);
    }
    default: {
        variant_holder text;
        if (FAILED(VariantChangeType(text.put(), value.get(), 0, VT_BSTR))) return std::nullopt;
        return narrow_from_bstr(text->bstrVal);
    }
    }
}

// "NAME = value", continuation lines of a text lined up under its first.
void print_setting(const std::string& name, const std::string& value) {
    std::string indent(name.size() + 3, ' ');
    std::cout << name << " = ";
    for (char c : value) {
        std::cout << c;
        if (c == '\n') std::cout << indent;
    }
    std::cout << "\n";
}

int apply_changes(addin_client& addin, const std::vector<change>& changes) {
    dispatch_arguments none;
    variant_holder ignored;
    HRESULT hr = addin.invoke("BeginConfigure", DISPATCH_METHOD, none, ignored.put());
    for (size_t i = 0; SUCCEEDED(hr) && i < changes.size(); ++i) {
        const change& c = changes[i];
        dispatch_arguments arguments;
        if (c.dialog) arguments.add_long(static_cast<LONG>(*c.dialog));
        switch (c.target->type) {
        case kind::flag:
        case kind::dialog_flag: arguments.add_bool(c.flag); break;
        case kind::days:
        case kind::language: arguments.add_long(static_cast<LONG>(c.number)); break;
        default: arguments.add_text(c.text); break;
        }
        hr = addin.put(c.target->name, arguments);
        if (FAILED(hr)) std::cerr << "tarnwick: cannot set " << c.target->name << ": " << describe_hresult(hr) << "\n";
    }
    // Only the value 1 saves a session; automation's own boolean conversion always gives -1,
    // so the end of the session goes through the virtual table.
    HRESULT ended = addin.object().EndConfigure(SUCCEEDED(hr) ? 1 : 0);
    if (SUCCEEDED(hr) && FAILED(ended)) {
        std::cerr << "tarnwick: the settings were not saved: ostrel.cfg could not be written (see the debug "
                     "log); the old values stay\n";
        return exit_failure;
    }
    return SUCCEEDED(hr) ? exit_ok : exit_failure;
}

// The program's own settings, each with where it came from.
void print_host_settings(const parsed_arguments& arguments) {
    const settings_file& file = arguments.settings;
    std::cout << "\nhost settings (settings file: "
              << (file.shown.empty() ? "none, HOME is not set" : file.shown + (file.found ? "" : ", not there"))
              << "):\n";
    for (const host_setting& setting : host_settings(arguments)) {
        if (setting.value.empty())
            std::cout << "  " << setting.name << " is not set (default: " << setting.unset << ")\n";
        else std::cout << "  " << setting.name << " = " << setting.value << "  (" << setting.source << ")\n";
    }
}

}  // namespace

int cmd_config(const parsed_arguments& arguments) {
    const std::vector<std::string>& words = arguments.positional;
    if (words.empty()) throw usage_error("config needs show, get or set");
    const std::string& action = words[0];
    std::vector<change> changes;
    const setting* asked = nullptr;
    std::optional<long> dialog;
    if (action == "show") {
        if (words.size() > 1) throw usage_error("config show takes no names");
    } else if (action == "get") {
        if (words.size() < 2) throw usage_error("config get needs a setting name");
        // The program's own settings, which `show` lists too, are read without the add-in.
        for (const host_setting& setting : host_settings(arguments)) {
            if (setting.name != words[1]) continue;
            if (words.size() != 2) throw usage_error("config get takes one setting name");
            if (setting.value.empty())
                std::cerr << "tarnwick: " << setting.name << " is not set (default: " << setting.unset << ")\n";
            std::cout << setting.value << "\n";
            return exit_ok;
        }
        asked = &find_setting(words[1]);
        if (asked->type == kind::dialog_flag) {
            if (words.size() != 3) throw usage_error("config get HelpDlgEnabled needs a dialog number");
            dialog = parse_number("HelpDlgEnabled dialog number", words[2], INT_MAX);
        } else if (words.size() != 2) {
            throw usage_error("config get takes one setting name");
        }
    } else if (action == "set") {
        changes = read_changes(words);
    } else {
        throw usage_error("unknown config action " + action + " (use show, get or set)");
    }
    session_settings settings = read_session_settings(arguments);

    int code = exit_ok;
    std::optional<scratch_copy> copy;
    std::optional<session> running =
        action == "set" ? open_session(settings, code) : open_reading_session(settings, copy, code);
    if (!running) return code;
    addin_client& addin = *running->addin;

    if (action == "get") {
        std::optional<std::string> value = read_setting(addin, *asked, dialog);
        if (!value) return exit_failure;
        std::cout << *value << "\n";
        return exit_ok;
    }
    if (action == "set") {
        code = apply_changes(addin, changes);
        if (code != exit_ok) return code;
    }
    for (const setting& s : settings_table) {
        if (s.type == kind::dialog_flag) continue;
        if (action == "set") {
            bool changed = false;
            for (const change& c : changes) changed = changed || c.target == &s;
            if (!changed) continue;
        }
        std::optional<std::string> value = read_setting(addin, s, std::nullopt);
        if (!value) return exit_failure;
        print_setting(s.name, *value);
    }
    if (action == "show") print_host_settings(arguments);
    if (action == "set") {
        for (const change& c : changes) {
            if (c.dialog) print_setting("HelpDlgEnabled " + std::to_string(*c.dialog), c.flag ? "true" : "false");
        }
        // A reply is recognised only by the key in its subject, and people answer with the
        // subject of the challenge.
        std::optional<std::string> subject = read_setting(addin, find_setting("ARSubject"), std::nullopt);
        std::optional<std::string> key = read_setting(addin, find_setting("ARSubjectKey"), std::nullopt);
        if (key && key->empty())
            std::cerr << "tarnwick: warning: ARSubjectKey is empty, so no answer to a challenge will be recognised\n";
        else if (subject && key && subject->find(*key) == std::string::npos)
            std::cerr << "tarnwick: warning: ARSubject does not contain ARSubjectKey, so answers to challenges "
                         "will not be recognised\n";
    }
    return exit_ok;
}
