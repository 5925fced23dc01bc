#include "platform/file_io.h"

#include <cerrno>
#include <istream>
#include <utility>

#include "platform/file_io_detail.h"

namespace {
std::function<bool(file_step, const std::string&)>& fault_hook() {
    static std::function<bool(file_step, const std::string&)> hook;
    return hook;
}

}  // namespace

std::optional<std::string> read_stream(std::istream& in) {
    // istream::read turns a failing read into badbit instead of letting libstdc++ throw, as
    // reading through istreambuf_iterator does; GCC also sees a null dereference inside that
    // iterator at -O2.
    std::string content;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) content.append(buffer, static_cast<size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    return content;
}

void set_file_fault_hook(std::function<bool(file_step, const std::string&)> hook) { fault_hook() = std::move(hook); }

const char* file_step_name(file_step step) {
    switch (step) {
    case file_step::create_temporary: return "create_temporary";
    case file_step::write: return "write";
    case file_step::flush: return "flush";
    case file_step::rename: return "rename";
    case file_step::create: return "create";
    case file_step::link: return "link";
    case file_step::unlink: return "unlink";
    case file_step::sync_folder: return "sync_folder";
    }
    return "?";
}

int file_step_error(file_step step, const std::string& path) {
    // Every step is counted by the environment's plan, whatever the hook answers.
    int injected = injected_file_fault(step, path);
    auto& hook = fault_hook();
    if (hook && !hook(step, path)) return EIO;
    return injected;
}
