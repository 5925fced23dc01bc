#include "platform/local_time.h"

std::optional<std::string> ctime_text(std::time_t time) {
    // Not ctime_s: some run-times (wine's among them) fail hard on a time past the range, where
    // ctime answers null.
    const char* text = std::ctime(&time);
    if (text == nullptr) return std::nullopt;
    return std::string(text);
}
