// GMime glue shared by the host's parsing and composing code. Internal to host/.
#pragma once

#include <gmime/gmime.h>

#include <memory>
#include <string>
#include <string_view>

namespace gmime_glue {

// Releases a GObject reference.
struct gobject_unref {
    void operator()(void* object) const {
        if (object) g_object_unref(object);
    }
};
// Owns one GObject reference.
template <class T>
using gobject_ptr = std::unique_ptr<T, gobject_unref>;

// Frees memory that GLib handed out.
struct gfree {
    void operator()(void* p) const { g_free(p); }
};
using gchar_ptr = std::unique_ptr<char, gfree>;

// Initialises GMime once per process (thread-safe).
void ensure_gmime();

// The parser options used everywhere: lenient addresses and encoded words, and undeclared 8-bit
// header text read as UTF-8 or else as Windows-1252. Lives for the process; never null.
GMimeParserOptions* parser_options();

// `bytes` as valid UTF-8: text that is not UTF-8 is taken as Windows-1252.
std::string to_utf8(std::string_view bytes);

// A parser over `bytes` (copied into a memory stream) that reads a whole message.
gobject_ptr<GMimeMessage> parse_message_bytes(std::string_view bytes);

}  // namespace gmime_glue
