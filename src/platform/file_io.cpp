#include "platform/file_io.h"

#include <fstream>
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
    return read_stream(in);
}

std::optional<std::string> read_stream(std::istream& in) {
    // istream::read turns a failing read (a directory opens like a file on POSIX) into badbit
    // instead of letting libstdc++ throw, as reading through istreambuf_iterator does; GCC also
    // sees a null dereference inside that iterator at -O2.
    std::string content;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        content.append(buffer, static_cast<size_t>(in.gcount()));
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
