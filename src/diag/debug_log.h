// The debug log: one process-wide stream to one file ("dlog.log" in the data directory, chosen by
// the code that loads the add-in), in which every step and decision of the system is written as
// plain text.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

// The process-wide log stream; never destroyed, owned by the log itself. Line breaks reach the
// file as CR LF; std::endl flushes. Writing never throws and never puts the stream in a failed
// state; before the file is opened, when it cannot be opened, and after it is closed at process
// exit, lines reach only the captures.
std::ostream& debug_log();

// Opens `path` as the log's file, truncating what an earlier process wrote; it stays the file for
// the rest of the process. Only the first call counts; never throws.
void open_debug_log(const std::string& path);

// Past this size the log file is renamed "dlog.log.1", replacing an older one, and a new file is
// started; the check is made at each line end.
inline constexpr std::uint64_t debug_log_size_limit = 32ull * 1024 * 1024;

// Test seam: the size past which the log file is renamed, instead of debug_log_size_limit.
void set_debug_log_size_limit_for_tests(std::uint64_t bytes);

// The current local time in the C library's ctime form, with its own trailing line break.
std::string time_text();

// Test seam: while an instance lives, every piece written to the debug log is also collected
// here, as written (line breaks as "\n").
class log_capture {
public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    const std::string& text() const { return text_; }
    bool contains(std::string_view piece) const { return text_.find(piece) != std::string::npos; }
    void clear() { text_.clear(); }

private:
    friend class log_buffer;
    std::string text_;
    log_capture* previous_;
};
