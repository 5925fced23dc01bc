#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

temp_dir::temp_dir() {
    static std::atomic<unsigned> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate =
            fs::temp_directory_path() / ("tarnwick-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.generic_string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

temp_dir::~temp_dir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    // Not istreambuf_iterator: GCC 12 at -O2 warns of a null dereference inside it.
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_text_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool file_exists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}
