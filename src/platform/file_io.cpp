#include "platform/file_io.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <utility>

#include "platform/file_io_detail.h"

namespace {
std::function<bool(file_step, const std::string&)>& fault_hook() {
    static std::function<bool(file_step, const std::string&)> hook;
    return hook;
}

std::optional<std::string> read_rest(std::istream& in, std::string content) {
    // istream::read turns a failing read (a directory opens like a file on POSIX) into badbit
    // instead of letting libstdc++ throw, as reading through istreambuf_iterator does; GCC also
    // sees a null dereference inside that iterator at -O2.
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) content.append(buffer, static_cast<size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    return content;
}

}  // namespace

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    // Room for the whole file at once: a large list file would otherwise be copied as the
    // string doubles, and held twice meanwhile. The size is asked only once a first block has
    // been read, so that what cannot be read (a directory) is not sized, and only where the
    // stream can seek (not a pipe).
    std::string content;
    char first[4096];
    in.read(first, sizeof first);
    if (in.bad()) return std::nullopt;
    content.append(first, static_cast<size_t>(in.gcount()));
    if (in) {
        const std::streampos here = in.tellg();
        if (here != std::streampos(-1) && in.seekg(0, std::ios::end)) {
            const std::streamoff size = in.tellg();
            if (size > 0 && static_cast<std::uintmax_t>(size) < content.max_size())
                content.reserve(static_cast<std::size_t>(size));
            if (!in.seekg(here)) return std::nullopt;
        }
        in.clear();
    }
    return read_rest(in, std::move(content));
}

std::optional<std::string> read_stream(std::istream& in) { return read_rest(in, std::string()); }

bool read_file_in_pieces(const std::string& path, const std::function<void(std::string_view piece)>& consume) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    // Big enough that a large file takes few reads, small enough to cost nothing for the many
    // small files.
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        consume(std::string_view(buffer, static_cast<std::size_t>(in.gcount())));
    return !in.bad();
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
