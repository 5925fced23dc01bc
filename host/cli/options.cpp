#include "cli/options.h"

#include <optional>
#include <utility>

#include "common/text.h"

namespace {

// True when `command` takes `option`.
bool takes(const option_spec& option, const std::string& command) {
    std::string commands = std::string(" ") + option.commands + " ";
    return commands.find(" " + command + " ") != std::string::npos;
}

const option_spec* find_option(const std::string& name) {
    for (const option_spec& option : option_table()) {
        if (name == option.name) return &option;
    }
    return nullptr;
}

// The items of a list option's value: separated by commas or blanks, empty ones dropped.
std::vector<std::string> list_items(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!item.empty()) items.push_back(std::move(item));
            item.clear();
        } else {
            item += c;
        }
    }
    return items;
}

// A password is only ever read from a command's output: one on a command line is seen by every
// user of the machine, one in the settings file is kept in clear.
bool names_a_password(const std::string& name) {
    return name.find("password") != std::string::npos && name != "password-command";
}
const char password_hint[] =
    "a password is never given here; set password-command to a command that prints it, "
    "such as \"pass show mail\"";

// Two options that say the same thing another way (where the mail is, how challenges go out): the
// command line's wins over the file's, and both from the same place are an error.
void keep_one_of(parsed_arguments& parsed, const std::string& first, const std::string& second) {
    if (!parsed.has(first) || !parsed.has(second)) return;
    bool first_given = !parsed.from_file.count(first), second_given = !parsed.from_file.count(second);
    if (first_given == second_given)
        throw usage_error(parsed.origin(first) + " and " + parsed.origin(second) + " exclude each other");
    const std::string& dropped = first_given ? second : first;
    parsed.options.erase(dropped);
    parsed.lists.erase(dropped);
    parsed.from_file.erase(dropped);
}

}  // namespace

const std::vector<option_spec>& option_table() {
    static const std::vector<option_spec> table = {
        {"maildir", option_kind::value, "run watch deliver list pending digest expire", "none"},
        {"imap", option_kind::value, "run watch expire pending digest", "none: the Maildir is filtered"},
        {"contacts", option_kind::value, "run watch deliver list", "none"},
        {"sendmail", option_kind::value, "run watch deliver", "none: challenges are stored in the Outbox folder"},
        {"smtp", option_kind::value, "run watch", "none: challenges are stored in the Outbox folder"},
        {"password-command", option_kind::value, "run watch expire pending digest", "none"},
        {"tls-ca", option_kind::value, "run watch expire pending digest", "the system's certificate authorities"},
        {"data-dir", option_kind::value, "run watch deliver config list stats pending digest why expire",
         "$XDG_DATA_HOME, else ~/.local/share"},
        {"module", option_kind::value, "run watch deliver config list pending expire",
         "$TARNWICK_MODULE, else libTarnwick.so beside the program, else in " TARNWICK_MODULE_DIR " from its folder"},
        {"sent-folder", option_kind::value, "run watch deliver", "the first of .Sent, .Sent Messages, .Sent Items"},
        {"junk-folder", option_kind::value, "run watch deliver digest pending", "the first of .Junk, .Spam"},
        {"own-address", option_kind::list, "run watch deliver",
         "none: challenges come only from deliver's envelope recipient"},
        {"trusted-authserv", option_kind::list, "run watch deliver", "none: challenges are not gated"},
        {"challenge-limit", option_kind::value, "run watch deliver", "30 an hour"},
        {"max-message-size", option_kind::value, "run watch deliver", "64M: larger mail is never challenged"},
        {"lock-timeout", option_kind::value, "watch deliver", "60 seconds"},
        {"wait", option_kind::flag, "run watch config list pending expire", "off"},
        {"days", option_kind::value, "stats", "7"},
        {"json", option_kind::flag, "stats pending why", "off"},
        {"dry-run", option_kind::flag, "run", "off"},
        {"quiet", option_kind::flag, "run watch deliver expire", "off: a summary of each pass"},
    };
    return table;
}

std::string parsed_arguments::value(const std::string& option, const std::string& fallback) const {
    auto found = options.find(option);
    return found == options.end() ? fallback : found->second;
}

std::vector<std::string> parsed_arguments::values(const std::string& option) const {
    if (auto found = lists.find(option); found != lists.end()) return found->second;
    if (has(option)) return {value(option)};
    return {};
}

std::string parsed_arguments::origin(const std::string& option) const {
    auto found = from_file.find(option);
    return found == from_file.end() ? option : found->second + ": " + option.substr(2);
}

parsed_arguments parse_arguments(const std::vector<std::string>& args, const std::set<std::string>& with_value,
                                 const std::set<std::string>& switches, const std::set<std::string>& lists) {
    parsed_arguments parsed;
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || arg.rfind("--", 0) != 0) {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (size_t equals = arg.find('='); equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        if (with_value.count(name)) {
            if (!value) {
                if (i + 1 >= args.size()) throw usage_error(name + " needs a value");
                value = args[++i];
            }
            if (value->empty()) throw usage_error(name + " needs a value");
        } else if (switches.count(name)) {
            if (value) throw usage_error(name + " takes no value");
            value = "";
        } else {
            throw usage_error("unknown option " + name);
        }
        if (lists.count(name)) {
            std::vector<std::string>& items = parsed.lists[name];
            std::vector<std::string> more = list_items(*value);
            if (more.empty()) throw usage_error(name + " needs a value");
            items.insert(items.end(), more.begin(), more.end());
            parsed.options[name] = joined(items);
        } else if (!parsed.options.emplace(name, *value).second) {
            throw usage_error(name + " is given twice");
        }
    }
    return parsed;
}

bool asks_for_help(const std::vector<std::string>& args) {
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h") return true;
    return false;
}

namespace {

// The settings file at `path` merged into `parsed`, for the options not given on the command line.
void merge_settings_file(parsed_arguments& parsed, const std::string& command, const std::string& path) {
    parsed.settings = read_settings_file(path, parsed.has("--config"));
    for (const settings_line& line : parsed.settings.lines) {
        const option_spec* known = find_option(line.name);
        std::string where = parsed.settings.where(line.number);
        if (line.name == "config") throw usage_error(where + ": the settings file cannot name another");
        if (names_a_password(line.name)) throw usage_error(where + ": " + password_hint);
        if (!known) throw usage_error(where + ": unknown setting \"" + line.name + "\"");
        if (known->kind == option_kind::flag)
            throw usage_error(where + ": \"" + line.name + "\" is a switch of the command line, not a setting");
        std::vector<std::string> items = list_items(line.value);
        if (known->kind == option_kind::list && items.empty())
            throw usage_error(where + ": \"" + line.name + "\" needs a value");
        std::string option = "--" + line.name;
        // The command line overrides the file, a list as a whole.
        if (!takes(*known, command) || parsed.has(option)) continue;
        parsed.options[option] = known->kind == option_kind::list ? joined(items) : line.value;
        if (known->kind == option_kind::list) parsed.lists[option] = std::move(items);
        parsed.from_file[option] = where;
    }
}

}  // namespace

parsed_arguments read_arguments(const std::string& command, const std::vector<std::string>& args) {
    std::set<std::string> with_value = {"--config"}, switches, lists;
    for (const option_spec& option : option_table()) {
        if (!takes(option, command)) continue;
        std::string name = std::string("--") + option.name;
        (option.kind == option_kind::flag ? switches : with_value).insert(name);
        if (option.kind == option_kind::list) lists.insert(name);
    }
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg.rfind("--", 0) == 0 && names_a_password(arg.substr(2, arg.find('=') - 2)))
            throw usage_error(arg.substr(0, arg.find('=')) + ": " + password_hint);
    }
    parsed_arguments parsed = parse_arguments(args, with_value, switches, lists);
    std::string path = parsed.has("--config") ? parsed.value("--config") : default_settings_path();
    if (!path.empty()) merge_settings_file(parsed, command, path);
    keep_one_of(parsed, "--imap", "--maildir");
    keep_one_of(parsed, "--smtp", "--sendmail");
    return parsed;
}

std::vector<host_setting> host_settings(const parsed_arguments& arguments) {
    std::vector<host_setting> settings;
    for (const option_spec& option : option_table()) {
        if (option.kind == option_kind::flag) continue;
        host_setting setting{option.name, "", "default", option.unset};
        std::string name = std::string("--") + option.name;
        if (arguments.has(name)) {
            setting.value = arguments.value(name);
            setting.source = arguments.from_file.count(name) ? arguments.from_file.at(name) : "command line";
        } else if (const settings_line* line = arguments.settings.find(option.name)) {
            setting.value = option.kind == option_kind::list ? joined(list_items(line->value)) : line->value;
            setting.source = arguments.settings.where(line->number);
        }
        settings.push_back(std::move(setting));
    }
    return settings;
}
