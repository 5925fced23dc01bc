// Every test program gets a private data directory, so that no test reads or writes the
// user's own files and programs running side by side do not meet. The debug log is opened there,
// as the add-in's loader opens it, before any test moves the data directory: the log stays in
// the file it was given, which must not be in a folder that a test removes.
#include <gtest/gtest.h>

#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "support/memory_host.h"
#include "support/program_data.h"
#include "support/temp_dir.h"

namespace {
std::string app_data_folder;
}  // namespace

const std::string& program_app_data() { return app_data_folder; }

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    memory_host_failure_sink() = [](const std::string& message) { ADD_FAILURE() << message; };
    temp_dir app_data;
    app_data_folder = app_data.path();
    reset_data_dir_for_tests(app_data.path());
    open_debug_log(get_data_file_path("dlog.log"));
    return RUN_ALL_TESTS();
}
