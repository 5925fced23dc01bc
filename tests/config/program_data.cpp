#include "program_data.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/data_dir.h"
#include "diag/debug_log.h"

const std::string& program_app_data() {
    // Two levels above ".../OstrelAntiSpam/".
    static const std::string folder = std::filesystem::path(get_data_dir()).parent_path().parent_path().string();
    return folder;
}

namespace {
// Before any test moves the data directory: remember it, and open the log there, because the log
// stays where it was first opened and must not land in a folder that a test removes.
class program_data_environment : public testing::Environment {
    void SetUp() override {
        program_app_data();
        debug_log();
    }
};

[[maybe_unused]] testing::Environment* const environment = testing::AddGlobalTestEnvironment(new program_data_environment);
}  // namespace
