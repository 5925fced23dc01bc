#include "maildir_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

std::string mail_text(std::initializer_list<std::string> headers, const std::string& body) {
    std::string text;
    for (const std::string& header : headers) text += header + "\n";
    return text + "\n" + body;
}

maildir_tree::maildir_tree() : root_(dir_.path() + "/Maildir") {
    make_folder("");
    fs::create_directories(dir_.path() + "/.config/tarnwick");
    write_text_file(dir_.path() + "/.config/tarnwick/config", "own-address = me@home.example\n");
    // The filter has run over the empty inbox already, in the data folder the stories use: the
    // mail they add is new to it.
    start_filter_record(dir_.path() + "/data");
}

void start_filter_record(const std::string& data_home) {
    std::string folder = data_home + "/OstrelAntiSpam";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    write_text_file(folder + "/judged-inbox.txt", "");
}

std::string maildir_tree::folder_dir(const std::string& folder) const {
    return folder.empty() ? root_ : root_ + "/." + folder;
}

void maildir_tree::make_folder(const std::string& folder) const {
    for (const char* sub : {"tmp", "new", "cur"}) fs::create_directories(folder_dir(folder) + "/" + sub);
}

std::string maildir_tree::add(const std::string& folder, const std::string& subdir, const std::string& name,
                              const std::string& text, long arrival) const {
    make_folder(folder);
    std::string path = folder_dir(folder) + "/" + subdir + "/" + name;
    write_text_file(path, text);
    set_arrival(path, arrival);
    return path;
}

std::vector<std::string> maildir_tree::files_in(const std::string& folder, const std::string& subdir) const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder_dir(folder) + "/" + subdir, error)) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> maildir_tree::snapshot() const {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
        std::string relative = fs::relative(entry.path(), root_).string();
        if (relative == ".tarnwick.lock") continue;  // names the last run: not mail
        files.push_back(entry.is_regular_file() ? relative + "=" + read_text_file(entry.path().string())
                                                : relative + "/");
    }
    std::sort(files.begin(), files.end());
    return files;
}

void set_arrival(const std::string& path, long seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("cannot set the time of " + path);
}

std::string unique_of(const std::string& name) { return name.substr(0, name.find(':')); }
