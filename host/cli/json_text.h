// Writing JSON by hand, for the commands that print it.
#pragma once

#include <string>

// `text` as a JSON string, quotes included: '"', '\\' and control characters escaped; other bytes
// as they are (the callers hand over UTF-8).
std::string json_string(const std::string& text);
