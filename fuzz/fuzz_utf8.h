// The UTF-8 check of the targets whose output is text handed on to the add-in.
#pragma once

#include <glib.h>

#include <string>

namespace fuzz {

// Valid UTF-8, where a NUL is a character like any other (a BSTR holds it; GLib would not).
inline bool utf8(const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        if (!g_utf8_validate(text.data() + start, static_cast<gssize>(end - start), nullptr)) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace fuzz
