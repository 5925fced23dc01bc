#include "policy/contacts.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "common/mime.h"
#include "common/text.h"
#include "platform/posix_files.h"

namespace {

bool contains_vcard(std::string_view text) { return ascii_lower(text).find("begin:vcard") != std::string::npos; }

// Logical lines of a vCard: a line that starts with a blank or a tab continues the one before.
std::vector<std::string> unfolded_lines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t') && !lines.empty())
            lines.back() += line.substr(1);
        else lines.emplace_back(line);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return lines;
}

std::string unescape(std::string_view value) {
    std::string result;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        result += value[i];
    }
    return result;
}

void add_unique(std::vector<std::string>& out, std::set<std::string>& seen, std::string address) {
    if (address.empty()) return;
    if (seen.insert(ascii_lower(address)).second) out.push_back(std::move(address));
}

}  // namespace

std::vector<std::string> vcard_addresses(std::string_view text) {
    std::vector<std::string> addresses;
    std::set<std::string> seen;
    for (const std::string& line : unfolded_lines(text)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = ascii_lower(line.substr(0, colon));
        name = name.substr(0, name.find(';'));  // parameters such as TYPE=INTERNET
        if (size_t dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);  // group prefix
        if (name != "email") continue;
        std::string value = trimmed(unescape(std::string_view(line).substr(colon + 1)));
        // "mailto: bob@example.org" must not give an address that starts with a blank.
        if (ascii_lower(value.substr(0, 7)) == "mailto:") value = trimmed(value.substr(7));
        add_unique(addresses, seen, value);
    }
    return addresses;
}

std::optional<std::vector<std::string>> read_contacts(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<std::string> addresses;
    std::set<std::string> seen;
    if (S_ISDIR(st.st_mode)) {
        DIR* dir = ::opendir(path.c_str());
        if (!dir) {
            error = path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name[0] != '.' && ascii_lower(name.substr(name.size() - 4)) == ".vcf")
                names.push_back(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string text;
            if (int failed = posix_files::read_regular_file(path + "/" + name, text)) {
                error = path + "/" + name + ": " + posix_files::reading_error_text(failed);
                return std::nullopt;
            }
            for (std::string& address : vcard_addresses(text)) add_unique(addresses, seen, std::move(address));
        }
        return addresses;
    }
    std::string text;
    if (int failed = posix_files::read_regular_file(path, text)) {
        error = path + ": " + posix_files::reading_error_text(failed);
        return std::nullopt;
    }
    if (contains_vcard(text)) return vcard_addresses(text);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line =
            trimmed(std::string_view(text).substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (!line.empty() && line[0] != '#') add_unique(addresses, seen, line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return addresses;
}
