// Helper process of the debug log tests: takes the working directory as its application-data
// folder ("noappdata" as first argument: as a folder that cannot be found), writes one
// two-line message with a single end-of-line and exits.
#include <cstring>
#include <filesystem>
#include <ostream>

#include "config/data_dir.h"
#include "diag/debug_log.h"

int main(int argc, char** argv) {
    bool no_app_data = argc > 1 && std::strcmp(argv[1], "noappdata") == 0;
    reset_data_dir_for_tests(no_app_data ? std::string() : std::filesystem::current_path().string());
    debug_log() << "line from " << (argc > 2 ? argv[2] : "child") << "\nsecond line" << std::endl;
    return 0;
}
