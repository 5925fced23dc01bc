#include "diag/unwritten_files.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace {
struct unwritten {
    std::mutex guard;
    std::vector<std::string> paths;
};

unwritten& noted() {
    static unwritten files;
    return files;
}
}  // namespace

void note_unwritten_file(const std::string& path) {
    unwritten& files = noted();
    std::lock_guard lock(files.guard);
    if (std::find(files.paths.begin(), files.paths.end(), path) == files.paths.end()) files.paths.push_back(path);
}

std::vector<std::string> take_unwritten_files() {
    unwritten& files = noted();
    std::lock_guard lock(files.guard);
    return std::exchange(files.paths, {});
}
