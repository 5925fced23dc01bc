#include "diag/debug_log.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <new>
#include <streambuf>

#include "diag/timers.h"
#include "platform/fs.h"
#include "platform/local_time.h"

// The log stream's buffer: hands every piece to the live captures, then writes it to the file
// with each "\n" stored as "\r\n". It keeps no put area of its own, so every piece arrives here
// at once; the file stream below buffers and flushes on sync (std::endl).
class log_buffer final : public std::streambuf {
public:
    // Opens (truncating) the file, once; false when it was opened or closed before. A file that
    // cannot be opened leaves the log writing nowhere.
    bool open(const std::string& path) {
        if (state_ != state::unopened) return false;
        path_ = path;
        state_ = file_.open(path, std::ios::out | std::ios::binary | std::ios::trunc) ? state::open : state::failed;
        return true;
    }

    // Flushes and closes the file; later pieces still reach the captures but no file.
    void close() {
        if (state_ == state::open) file_.close();
        state_ = state::closed;
        // The buffer itself is never destroyed: what it holds on the heap goes now, or it would
        // outlive the module that owns it.
        std::string().swap(path_);
    }

    static void set_size_limit(std::uint64_t bytes) { size_limit_ = bytes; }

    static void push(log_capture* capture) {
        capture->previous_ = top_;
        top_ = capture;
    }

    static void remove(log_capture* capture) {
        for (log_capture** link = &top_; *link; link = &(*link)->previous_) {
            if (*link == capture) {
                *link = capture->previous_;
                return;
            }
        }
    }

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        char c = traits_type::to_char_type(ch);
        put(&c, 1);
        return ch;
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        if (count > 0) put(text, static_cast<std::size_t>(count));
        return count;
    }

    int sync() override {
        if (state_ == state::open) file_.pubsync();
        return 0;
    }

private:
    enum class state { unopened, open, failed, closed };

    // Never reports a failure: the stream must stay good for the writers and the captures, so
    // a full disk or a missing file costs lines but never the log itself.
    void put(const char* text, std::size_t count) {
        try {
            for (log_capture* capture = top_; capture; capture = capture->previous_) capture->text_.append(text, count);
            if (state_ == state::open) write_translated(text, count);
        } catch (const std::bad_alloc&) {
        }
    }

    void write_translated(const char* text, std::size_t count) {
        const char* end = text + count;
        while (text != end && state_ == state::open) {
            const char* line_end = text;
            while (line_end != end && *line_end != '\n') ++line_end;
            file_.sputn(text, line_end - text);
            written_ += static_cast<std::uint64_t>(line_end - text);
            if (line_end == end) break;
            file_.sputn("\r\n", 2);
            written_ += 2;
            text = line_end + 1;
            if (written_ > size_limit_) rotate();
        }
    }

    // A process that lives for weeks must not fill the disk: the full log becomes
    // "<name>.1" (replacing the one before) and a new one starts, always at a line end.
    void rotate() {
        file_.close();
        rename_replacing(path_, path_ + ".1");  // when it cannot, the log starts over all the same
        written_ = 0;
        state_ = file_.open(path_, std::ios::out | std::ios::binary | std::ios::trunc) ? state::open : state::failed;
    }

    static inline log_capture* top_ = nullptr;
    static inline std::uint64_t size_limit_ = debug_log_size_limit;

    std::filebuf file_;
    std::string path_;
    std::uint64_t written_ = 0;  // bytes in the current file
    state state_ = state::unopened;
};

namespace {
struct log_stream {
    log_buffer buffer;
    std::ostream stream{&buffer};
};

// The stream is never destroyed, so that code running during static destruction can still
// write to it; only the file is closed at exit (see log_closer).
log_stream& the_log() {
    alignas(log_stream) static unsigned char storage[sizeof(log_stream)];
    static log_stream* log = new (storage) log_stream;
    return *log;
}

struct log_closer {
    log_closer() = default;
    log_closer(const log_closer&) = delete;
    log_closer& operator=(const log_closer&) = delete;
    ~log_closer() { the_log().buffer.close(); }
};
}  // namespace

std::ostream& debug_log() { return the_log().stream; }

void open_debug_log(const std::string& path) {
    try {
        if (the_log().buffer.open(path)) {
            static log_closer closer;
        }
    } catch (...) {
    }
}

std::string time_text() {
    std::time_t now = static_cast<std::time_t>(wall_clock_now());
    // There is no text for times beyond ctime's range; a bare line break keeps the line shape.
    return ctime_text(now).value_or("\n");
}

void set_debug_log_size_limit_for_tests(std::uint64_t bytes) { log_buffer::set_size_limit(bytes); }

log_capture::log_capture() : previous_(nullptr) { log_buffer::push(this); }

log_capture::~log_capture() { log_buffer::remove(this); }
