#include "cli/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>

#include "contract/addin_data.h"
#include "platform/file_io.h"
#include "platform/fs.h"
#include "platform/posix_files.h"
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

// The module beside this program (as the build leaves it), else where an installed program's
// module lies: TARNWICK_MODULE_DIR, relative to the program's folder (the platform layer's
// module_folder is the program's own here, found through /proc/self/exe), so the installed tree
// may move as a whole. Neither there: the path beside the program, for the error to name.
std::string default_module_path() {
    std::string folder = module_folder();
    if (folder.empty()) folder = ".";
    const std::string beside = folder + "/libTarnwick.so";
    if (::access(beside.c_str(), F_OK) == 0) return beside;
    const std::string installed = folder + "/" TARNWICK_MODULE_DIR "/libTarnwick.so";
    char* resolved = ::realpath(installed.c_str(), nullptr);
    if (!resolved) return beside;
    std::string path = resolved;
    std::free(resolved);
    return path;
}

}  // namespace

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
        settings.module_path = default_module_path();
    }
    settings.wait = arguments.has("--wait");
    return settings;
}

std::string data_directory_of(const std::string& data_home) {
    std::string home = data_home;
    if (home.empty()) {
        if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') home = xdg;
        else if (const char* user = std::getenv("HOME"); user && *user == '/')
            home = std::string(user) + "/.local/share";
    }
    return home.empty() ? home : home + "/" + data_folder_name;
}

std::string require_maildir(const std::string& path) {
    std::string root = absolute(path);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!is_directory(root)) throw usage_error(path + " is not a folder");
    if (!maildir::is_maildir(root))
        throw usage_error(path + " is not a readable Maildir (it needs new/ and cur/ folders)");
    return root;
}

std::string default_maildir(const std::string& command) {
    const char* home = std::getenv("HOME");
    if (!home || *home != '/')
        throw usage_error(command + " needs --maildir DIR (or maildir in the settings file, or HOME for ~/Maildir)");
    std::string root = std::string(home) + "/Maildir";
    // Made when missing, as procmail and Dovecot make it: a first delivery must not wait for it.
    for (const char* sub : {"", "/new", "/cur", "/tmp"}) {
        std::string path = root + sub;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            throw usage_error("cannot make " + path + ": " + std::strerror(errno));
    }
    return require_maildir(root);
}

std::string require_maildir(const parsed_arguments& arguments, const std::string& command) {
    if (!arguments.has("--maildir")) return default_maildir(command);
    try {
        return require_maildir(arguments.value("--maildir"));
    } catch (const usage_error& error) {
        if (!arguments.from_file.count("--maildir")) throw;
        throw usage_error(arguments.from_file.at("--maildir") + ": maildir " + error.what());
    }
}

std::vector<std::string> session::files_not_written() const {
    if (addin) return addin->files_not_written();
    return unwritten ? *unwritten : std::vector<std::string>();
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

std::optional<session> open_reading_session(const session_settings& settings, std::optional<scratch_copy>& copy,
                                            int& code) {
    std::string data_directory = data_directory_of(settings.data_home);
    if (data_directory.empty() || !is_directory(data_directory)) return open_session(settings, code);
    std::string message;
    bool busy = false;
    // Only a look: the lock is let go at once, and open_session takes it again.
    if (run_lock::acquire(data_directory + "/tarnwick.lock", false, message, busy) || !busy)
        return open_session(settings, code);
    std::string error;
    copy = scratch_copy::of_data_folder(data_directory, error);
    if (!copy) {
        std::cerr << "tarnwick: another run holds " << data_directory << " (" << message
                  << "), and it cannot be read meanwhile: " << error << "\n";
        code = exit_locked;
        return std::nullopt;
    }
    session_settings reading = settings;
    reading.data_home = copy->data_home();
    reading.maildir.clear();
    return open_session(reading, code);
}

std::optional<session> open_locked_session(const session_settings& settings, int& code) {
    code = exit_failure;
    // The loader hands the same folder to the add-in (load_session_addin).
    std::optional<std::string> app_data = posix_files::app_data_folder(settings.data_home);
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
    opened.addin = addin_client::load(settings.module_path, {settings.data_home}, error);
    if (!opened.addin) return false;
    opened.unwritten = opened.addin->files_not_written_record();
    warn_when_unconfigured(*opened.addin);
    return true;
}

std::string folder_option_name(std::string_view value, const mail_store& store) {
    if (!value.empty() && value.front() == '.') value.remove_prefix(1);
    return store.valid_folder_name(value) ? std::string(value) : "";
}

std::string junk_folder_setting(const parsed_arguments& arguments, mail_store& store, std::string* warning) {
    if (!arguments.has("--junk-folder")) return store.special_folder(mail_store::special_use::junk);
    std::string value = arguments.value("--junk-folder");
    std::string name = folder_option_name(value, store);  // "Junk" or ".Junk"
    if (name.empty() || !store.has_folder(name)) {
        std::string problem =
            arguments.origin("--junk-folder") + ": " + value + " is not a folder of " + store.account();
        if (!warning) throw usage_error(problem);
        *warning = problem + ", so no mail moved into a junk folder is a verdict";
        return "";
    }
    return name;
}
