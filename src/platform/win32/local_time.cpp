#include "platform/local_time.h"

std::optional<std::string> ctime_text(std::time_t time) {
    char text[64];  // ctime's text takes 26 bytes; more room for years past 9999
    if (::ctime_s(text, sizeof text, &time) != 0) return std::nullopt;
    return std::string(text);
}
