#include "diag/timers.h"

#include <ctime>
#include <utility>

#include "diag/debug_log.h"

namespace {
std::function<std::int64_t()>& wall_clock_override() {
    static std::function<std::int64_t()> clock;
    return clock;
}

std::function<std::clock_t()>& processor_clock_override() {
    static std::function<std::clock_t()> clock;
    return clock;
}
}  // namespace

std::int64_t wall_clock_now() {
    if (auto& clock = wall_clock_override()) return clock();
    return static_cast<std::int64_t>(std::time(nullptr));
}

double processor_clock_seconds() {
    auto& clock = processor_clock_override();
    std::clock_t ticks = clock ? clock() : std::clock();
    // (clock_t)-1 means the processor time is not available: measure nothing rather than nonsense.
    if (ticks == static_cast<std::clock_t>(-1)) return 0.0;
    return static_cast<double>(ticks) / static_cast<double>(CLOCKS_PER_SEC);
}

void set_wall_clock_for_tests(std::function<std::int64_t()> clock) { wall_clock_override() = std::move(clock); }

void set_processor_clock_for_tests(std::function<std::clock_t()> clock) {
    processor_clock_override() = std::move(clock);
}

scope_timer::scope_timer(std::string name, std::ostream* stream)
    : name_(std::move(name)), start_(wall_clock_now()), end_(start_), stream_(stream) {}

scope_timer::~scope_timer() {
    if (!stream_) return;
    try {
        end_ = wall_clock_now();
        *stream_ << "TIMER : " << name_ << "  " << elapsed() << std::endl;
    } catch (...) {
        // A destructor must not throw; a test clock that throws loses only this line.
    }
}

void scope_timer::stop() { end_ = wall_clock_now(); }

void scope_timer::write_elapsed(std::ostream& out) const {
    out << name_ << "  " << elapsed() << std::endl << std::endl;
}

clock_timer::clock_timer() : start_(processor_clock_seconds()) {
    debug_log() << "######## Start Clock Timer #####\n" << std::endl;
}

void clock_timer::end() {
    debug_log() << "\nDelay Seconds = " << (processor_clock_seconds() - start_) << std::endl;
    debug_log() << "######## END Clock Timer #####\n\n" << std::endl;
}

interval_timer::interval_timer(std::int64_t interval_seconds)
    : due_(wall_clock_now() + interval_seconds), interval_(interval_seconds) {}

bool interval_timer::expired() {
    std::int64_t now = wall_clock_now();
    if (now <= due_) return false;
    due_ = now + interval_;
    return true;
}
