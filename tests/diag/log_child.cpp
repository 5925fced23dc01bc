// Helper process of the debug log tests: takes the working directory as its application-data
// folder ("noappdata" as first argument: as a folder that cannot be found), opens the log as the
// add-in's loader does, writes one two-line message with a single end-of-line and exits; or
// ("rotate") writes numbered lines under a small log size limit.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "addin/addin_log.h"
#include "config/data_dir.h"
#include "diag/debug_log.h"

int main(int argc, char** argv) {
    if (argc > 3 && std::strcmp(argv[1], "rotate") == 0) {
        // rotate LIMIT COUNT: COUNT lines "line N" under a log size limit of LIMIT bytes.
        reset_data_dir_for_tests(std::filesystem::current_path().string());
        set_debug_log_size_limit_for_tests(std::strtoull(argv[2], nullptr, 10));
        open_addin_log();
        for (int i = 1, count = std::atoi(argv[3]); i <= count; ++i) debug_log() << "line " << i << std::endl;
        return 0;
    }
    bool no_app_data = argc > 1 && std::strcmp(argv[1], "noappdata") == 0;
    reset_data_dir_for_tests(no_app_data ? std::string() : std::filesystem::current_path().string());
    debug_log() << "dropped: the log has no file yet" << std::endl;
    open_addin_log();
    debug_log() << "line from " << (argc > 2 ? argv[2] : "child") << "\nsecond line" << std::endl;
    return 0;
}
