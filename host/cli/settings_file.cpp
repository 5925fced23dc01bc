#include "cli/settings_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "cli/exit_status.h"
#include "common/text.h"
#include "platform/posix_files.h"

namespace {

// A settings file is a few lines; anything much larger is not one.
constexpr size_t largest_file = 1 << 20;

std::string home_folder() {
    const char* home = std::getenv("HOME");
    return home && *home == '/' ? home : "";
}

std::string shown_path(const std::string& path) {
    std::string home = home_folder();
    if (!home.empty() && path.size() > home.size() + 1 && path.compare(0, home.size(), home) == 0 &&
        path[home.size()] == '/') {
        std::string shown(1, '~');
        shown.append(path, home.size(), std::string::npos);
        return shown;
    }
    return path;
}

// The whole file; none when it does not exist. Throws usage_error when it cannot be read, or is
// no regular file: a FIFO would hold every command until someone wrote to it.
std::optional<std::string> read_whole(const std::string& path, const std::string& shown) {
    int fd = posix_files::open_regular_file(path);
    if (fd < 0 && errno == ENOENT) return std::nullopt;
    if (fd < 0)
        throw usage_error("cannot read the settings file " + shown + ": " + posix_files::reading_error_text(errno));
    std::string text;
    int error = 0;
    char buffer[8192];
    for (ssize_t n = 1; error == 0 && n > 0;) {
        n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno != EINTR) error = errno;
        else if (n > 0) text.append(buffer, static_cast<size_t>(n));
        if (text.size() > largest_file) error = EFBIG;
    }
    ::close(fd);
    if (error != 0)
        throw usage_error("cannot read the settings file " + shown + ": " + posix_files::reading_error_text(error));
    return text;
}

}  // namespace

const settings_line* settings_file::find(const std::string& name) const {
    for (const settings_line& line : lines) {
        if (line.name == name) return &line;
    }
    return nullptr;
}

std::string default_settings_path() {
    // A relative XDG_CONFIG_HOME is to be ignored, as the base directory rules say.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/') return std::string(config) + "/tarnwick/config";
    std::string home = home_folder();
    return home.empty() ? "" : home + "/.config/tarnwick/config";
}

settings_file read_settings_file(const std::string& path, bool must_exist) {
    settings_file file;
    file.shown = shown_path(path);
    std::optional<std::string> text = read_whole(path, file.shown);
    if (!text) {
        if (must_exist) throw usage_error("the settings file " + file.shown + " does not exist");
        return file;
    }
    file.found = true;
    // Some editors begin a UTF-8 file with a byte order mark; it is no part of the first name.
    if (text->rfind("\xEF\xBB\xBF", 0) == 0) text->erase(0, 3);
    int number = 0;
    for (size_t at = 0; at < text->size();) {
        size_t end = text->find('\n', at);
        if (end == std::string::npos) end = text->size();
        std::string line = trimmed(text->substr(at, end - at));
        at = end + 1;
        ++number;
        if (line.empty() || line[0] == '#') continue;
        auto fail = [&](const std::string& why) { throw usage_error(file.where(number) + ": " + why); };
        for (char c : line) {
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) fail("a control character");
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) fail("not \"name = value\"");
        settings_line entry{trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)), number};
        if (entry.name.empty()) fail("a value without a name");
        if (entry.value.empty()) fail("\"" + entry.name + "\" needs a value");
        if (const settings_line* before = file.find(entry.name))
            fail("\"" + entry.name + "\" is set twice (first on line " + std::to_string(before->number) + ")");
        if (entry.value == "~" || entry.value.rfind("~/", 0) == 0) {
            std::string home = home_folder();
            if (home.empty()) fail("\"~\" stands for the home folder, but HOME is not set");
            entry.value = home + entry.value.substr(1);
        }
        file.lines.push_back(std::move(entry));
    }
    return file;
}
