// Every test program gets a private data directory, so that no test reads or writes the
// user's own files and programs running side by side do not meet.
#include <gtest/gtest.h>

#include "config/data_dir.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    temp_dir app_data;
    reset_data_dir_for_tests(app_data.path());
    return RUN_ALL_TESTS();
}
