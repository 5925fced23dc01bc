// The test for the subject key. Internal to src/engine.
#pragma once

#include <string>
#include <string_view>

namespace engine_detail {

// True when `key` occurs in `text`, byte for byte. An empty key occurs nowhere: otherwise every
// subject would read as an answer to a challenge and every bounce as a bounce of one.
inline bool contains_key(std::string_view text, const std::string& key) {
    return !key.empty() && text.find(key) != std::string_view::npos;
}

}  // namespace engine_detail
