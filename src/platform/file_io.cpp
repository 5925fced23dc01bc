#include "platform/file_io.h"

#include <fstream>
#include <iterator>
#include <utility>

#include "platform/file_io_internal.h"

namespace {
std::function<bool(file_step, const std::string&)>& fault_hook() {
    static std::function<bool(file_step, const std::string&)> hook;
    return hook;
}
}  // namespace

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return content;
}

void set_file_fault_hook(std::function<bool(file_step, const std::string&)> hook) {
    fault_hook() = std::move(hook);
}

bool file_step_allowed(file_step step, const std::string& path) {
    auto& hook = fault_hook();
    return !hook || hook(step, path);
}
