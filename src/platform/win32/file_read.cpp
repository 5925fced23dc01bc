// Reading files by name on Windows, through the C++ streams.
#include <cstdint>
#include <fstream>
#include <utility>

#include "platform/file_io.h"

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
    // istream::read turns a failing read into badbit instead of letting libstdc++ throw.
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) content.append(buffer, static_cast<size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    return content;
}

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
