#include "cli/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string_view>

#include "contract/addin_data.h"
#include "platform/file_io.h"
#include "platform/fs.h"
#include "platform/posix_files.h"
#include "policy/judging.h"
#include "policy/sent_mail.h"
#include "store/maildir.h"

namespace {

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer)) throw usage_error("cannot tell the current folder");
    return std::string(buffer) + "/" + path;
}

using posix_files::is_directory;

// The add-in module is loaded by name, which would wait for ever on a FIFO: it must be a regular file.
bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Takes the lock file `path` for `what`; when another run holds it, waits with `wait` or else
// says who holds it and sets `code` to exit_locked.
std::optional<run_lock> take_lock(const std::string& path, const std::string& what, bool wait, int& code,
                                  std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) {
    std::string message;
    bool busy = false;
    std::optional<run_lock> lock = run_lock::acquire(path, false, message, busy);
    if (!lock && busy && deadline) {
        lock = run_lock::acquire_until(path, *deadline, message, busy);
        if (!lock && busy) {
            std::cerr << "tarnwick: another run held " << what << " past the lock timeout (" << message << ")\n";
            code = exit_locked;
            return std::nullopt;
        }
    } else if (!lock && busy && wait) {
        std::cerr << "tarnwick: waiting for the other run to finish (" << message << ")\n";
        lock = run_lock::acquire(path, true, message, busy);
    }
    if (lock) return lock;
    if (busy) {
        std::cerr << "tarnwick: another run holds " << what << " (" << message
                  << "); try again later, or give --wait\n";
        code = exit_locked;
    } else {
        std::cerr << "tarnwick: cannot lock " << message << "\n";
        code = exit_failure;
    }
    return std::nullopt;
}

// A settings file that yields no entry (nor does the pristine copy) turns every switch off in
// silence; what it leaves behind, protection off and no pending folder name, says so.
void warn_when_unconfigured(addin_client& addin) {
    VARIANT_BOOL protection = 0;
    bstr_holder pending;
    if (FAILED(addin.object().get_EnableProtection(&protection)) || protection != 0) return;
    if (FAILED(addin.object().get_PendingFolderName(pending.put())) || pending.length() != 0) return;
    std::cerr << "tarnwick: warning: ostrel.cfg in the data folder holds no setting, so protection is off\n";
}

// True when `command` takes `option`.
bool takes(const option_spec& option, const std::string& command) {
    std::string commands = std::string(" ") + option.commands + " ";
    return commands.find(" " + command + " ") != std::string::npos;
}

const option_spec* find_option(const std::string& name) {
    for (const option_spec& option : host_options()) {
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

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

const std::vector<option_spec>& host_options() {
    static const std::vector<option_spec> table = {
        {"maildir", option_kind::value, "run watch deliver list pending digest", "none"},
        {"contacts", option_kind::value, "run watch deliver list", "none"},
        {"sendmail", option_kind::value, "run watch deliver", "none: challenges are stored in the Outbox folder"},
        {"data-dir", option_kind::value, "run watch deliver config list stats pending digest",
         "$XDG_DATA_HOME, else ~/.local/share"},
        {"module", option_kind::value, "run watch deliver config list",
         "$TARNWICK_MODULE, else libTarnwick.so beside the program"},
        {"sent-folder", option_kind::value, "run watch deliver", "the first of .Sent, .Sent Messages, .Sent Items"},
        {"junk-folder", option_kind::value, "run watch deliver digest", "the first of .Junk, .Spam"},
        {"own-address", option_kind::list, "run watch deliver",
         "none: challenges come only from deliver's envelope recipient"},
        {"trusted-authserv", option_kind::list, "run watch deliver", "none: challenges are not gated"},
        {"challenge-limit", option_kind::value, "run watch deliver", "30 an hour"},
        {"max-message-size", option_kind::value, "run watch deliver", "64M: larger mail is never challenged"},
        {"lock-timeout", option_kind::value, "watch deliver", "60 seconds"},
        {"wait", option_kind::flag, "run watch config list", "off"},
        {"days", option_kind::value, "stats", "7"},
        {"json", option_kind::flag, "stats pending", "off"},
        {"dry-run", option_kind::flag, "run", "off"},
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

parsed_arguments read_arguments(const std::string& command, const std::vector<std::string>& args) {
    std::set<std::string> with_value = {"--config"}, switches, lists;
    for (const option_spec& option : host_options()) {
        if (!takes(option, command)) continue;
        std::string name = std::string("--") + option.name;
        (option.kind == option_kind::flag ? switches : with_value).insert(name);
        if (option.kind == option_kind::list) lists.insert(name);
    }
    parsed_arguments parsed = parse_arguments(args, with_value, switches, lists);
    std::string path = parsed.has("--config") ? parsed.value("--config") : default_settings_path();
    if (path.empty()) return parsed;
    parsed.settings = read_settings_file(path, parsed.has("--config"));
    for (const settings_line& line : parsed.settings.lines) {
        const option_spec* known = find_option(line.name);
        std::string where = parsed.settings.where(line.number);
        if (line.name == "config") throw usage_error(where + ": the settings file cannot name another");
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
    return parsed;
}

std::vector<host_setting> host_settings(const parsed_arguments& arguments) {
    std::vector<host_setting> settings;
    for (const option_spec& option : host_options()) {
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

session_settings read_session_settings(const parsed_arguments& arguments) {
    session_settings settings;
    if (arguments.has("--data-dir")) {
        settings.data_home = absolute(arguments.value("--data-dir"));
        struct stat st {};
        if (::stat(settings.data_home.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            throw usage_error(arguments.origin("--data-dir") + " " + arguments.value("--data-dir") +
                              " is not a folder");
    }
    if (arguments.has("--module")) {
        settings.module_path = absolute(arguments.value("--module"));
        if (::access(settings.module_path.c_str(), R_OK) != 0)
            throw usage_error(arguments.origin("--module") + " " + arguments.value("--module") + " cannot be read");
        if (!is_regular_file(settings.module_path))
            throw usage_error(arguments.origin("--module") + " " + arguments.value("--module") +
                              " is not a regular file");
    } else if (const char* from_environment = std::getenv("TARNWICK_MODULE"); from_environment && *from_environment) {
        settings.module_path = absolute(from_environment);
    } else {
        // The platform layer's module_folder is this program's folder here.
        std::string folder = module_folder();
        settings.module_path = (folder.empty() ? "." : folder) + "/libTarnwick.so";
    }
    settings.wait = arguments.has("--wait");
    return settings;
}

std::string require_maildir(const std::string& path) {
    std::string root = absolute(path);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!is_directory(root)) throw usage_error(path + " is not a folder");
    if (!maildir::is_maildir(root))
        throw usage_error(path + " is not a readable Maildir (it needs new/ and cur/ folders)");
    return root;
}

std::string require_maildir(const parsed_arguments& arguments, const std::string& command) {
    if (!arguments.has("--maildir"))
        throw usage_error(command + " needs --maildir DIR (or maildir in the settings file)");
    try {
        return require_maildir(arguments.value("--maildir"));
    } catch (const usage_error& error) {
        if (!arguments.from_file.count("--maildir")) throw;
        throw usage_error(arguments.from_file.at("--maildir") + ": maildir " + error.what());
    }
}

std::vector<std::string> session::files_not_written() const {
    std::vector<std::string> files;
    // Line by line: the log of a long run holds megabytes.
    std::ifstream log(debug_log(), std::ios::binary);
    if (!log) return files;
    constexpr std::string_view marker = "unable to write ";
    for (std::string text; std::getline(log, text);) {
        std::string_view line = text;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        size_t at = line.find(marker);
        if (line.rfind("FAIL: ", 0) != 0 || at == std::string_view::npos) continue;
        std::string file(line.substr(at + marker.size()));
        if (file.empty() || file == "the list files") continue;
        // Files of the data folder are named bare by some lines.
        if (file.find('/') == std::string::npos) file = data_directory + "/" + file;
        if (std::find(files.begin(), files.end(), file) == files.end()) files.push_back(std::move(file));
    }
    return files;
}

std::string session::files_not_written_text(const std::string& fallback) const {
    std::vector<std::string> files = files_not_written();
    if (files.empty()) return fallback;
    std::string text;
    for (const std::string& file : files) text += (text.empty() ? "" : ", ") + file;
    return text;
}

std::optional<session> open_session(const session_settings& settings, int& code) {
    code = exit_failure;
    if (::access(settings.module_path.c_str(), R_OK) != 0) {
        std::cerr << "tarnwick: cannot find the add-in module " << settings.module_path
                  << " (give --module or set TARNWICK_MODULE)\n";
        return std::nullopt;
    }
    if (!is_regular_file(settings.module_path)) {
        std::cerr << "tarnwick: the add-in module " << settings.module_path << " is not a regular file\n";
        return std::nullopt;
    }
    std::optional<session> opened = open_locked_session(settings, code);
    if (!opened) return std::nullopt;
    code = exit_failure;
    std::string error;
    if (!load_session_addin(*opened, settings, error)) {
        std::cerr << "tarnwick: " << error << "\n";
        return std::nullopt;
    }
    code = exit_ok;
    return opened;
}

std::optional<session> open_locked_session(const session_settings& settings, int& code) {
    code = exit_failure;
    // The add-in has no folder setting; it looks where the platform does: XDG_DATA_HOME here, APPDATA on Windows.
    if (!settings.data_home.empty()) ::setenv("XDG_DATA_HOME", settings.data_home.c_str(), 1);
    std::optional<std::string> app_data = user_app_data_folder();
    if (!app_data) {
        std::cerr << "tarnwick: cannot find a folder for the filter's data: set HOME, or give --data-dir\n";
        return std::nullopt;
    }
    session opened;
    opened.data_directory = append_path_component(*app_data, data_folder_name);
    if (!create_private_directory(opened.data_directory)) {
        std::cerr << "tarnwick: cannot make " << opened.data_directory << "\n";
        return std::nullopt;
    }

    // One deadline for both locks: the caller waits lock_timeout at most in all.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (settings.lock_timeout >= 0)
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(settings.lock_timeout);
    opened.lock =
        take_lock(opened.data_directory + "/tarnwick.lock", opened.data_directory, settings.wait, code, deadline);
    if (!opened.lock) return std::nullopt;
    // Two runs with different data folders on one Maildir would both challenge each stranger.
    // Always taken after the data folder's, so that two waiting runs cannot hold one each.
    if (!settings.maildir.empty()) {
        opened.maildir_lock = take_lock(settings.maildir + "/" + maildir_lock_name, "the Maildir " + settings.maildir,
                                        settings.wait, code, deadline);
        if (!opened.maildir_lock) return std::nullopt;
    }
    code = exit_ok;
    return opened;
}

bool load_session_addin(session& opened, const session_settings& settings, std::string& error) {
    opened.addin = addin_client::load(settings.module_path, error);
    if (!opened.addin) return false;
    warn_when_unconfigured(*opened.addin);
    return true;
}

std::string junk_folder_setting(const parsed_arguments& arguments, const std::string& root) {
    if (!arguments.has("--junk-folder")) return find_junk_folder(root);
    std::string value = arguments.value("--junk-folder");
    std::string name = sent_folder_name(value);  // the same rule: "Junk" or ".Junk"
    if (name.empty() || !maildir::is_maildir(maildir::folder_directory(root, name)))
        throw usage_error(arguments.origin("--junk-folder") + ": " + value + " is not a folder of " + root);
    return name;
}
