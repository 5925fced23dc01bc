// What every fuzz target shares: a failed promise stops the run with its reason, and code that
// writes files does so in a scratch folder of the fuzz run, never in the user's.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace fuzz {

// Aborts, naming the promise that failed, so that libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: promise broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

// A folder of its own for this process in $TMPDIR (scripts/fuzz.sh points it at memory where it
// can: the file functions flush to disk, which would slow each run to a crawl), removed at exit.
inline const std::string& scratch_dir() {
    // Never destroyed: the clean-up at exit runs after static strings are gone.
    static const std::string* const dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        const std::string base = tmp && *tmp ? tmp : "/tmp";
        auto* made = new std::string(base + "/tarnwick-fuzz.XXXXXX");
        if (!::mkdtemp(made->data())) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratch_dir(), ignored);
        });
        return made;
    }();
    return *dir;
}

// Writes `bytes` to the scratch file `name` and gives its path.
inline std::string scratch_file(const std::string& name, std::string_view bytes) {
    std::string path = scratch_dir() + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) std::abort();
    std::fclose(file);
    return path;
}

}  // namespace fuzz
