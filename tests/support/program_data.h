// The application-data folder that the test main gave this program, so that tests that move
// the data directory can put it back.
#pragma once

#include <string>

const std::string& program_app_data();
