// Timers that measure and gate the workflow calls, and the clocks behind them.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <ostream>
#include <string>

// Seconds since 1 January 1970 (64-bit), from the wall clock or from the test clock when set.
std::int64_t wall_clock_now();
// Processor time used by the process, in seconds, from the processor clock or the test clock.
double processor_clock_seconds();

// Test seams: replace the clocks; an empty function restores the real one. The processor clock
// is replaced where std::clock() is read, so its ticks are still turned into seconds.
void set_wall_clock_for_tests(std::function<std::int64_t()> clock);
void set_processor_clock_for_tests(std::function<std::clock_t()> clock);

// A named wall-clock timer in whole seconds. With a stream, its destruction writes
// "TIMER : ", the name, "  ", the elapsed seconds and an end-of-line to it.
class scope_timer {
public:
    explicit scope_timer(std::string name, std::ostream* stream = nullptr);
    ~scope_timer();
    scope_timer(const scope_timer&) = delete;
    scope_timer& operator=(const scope_timer&) = delete;

    void stop();
    std::int64_t elapsed() const { return end_ - start_; }
    const std::string& name() const { return name_; }
    // Writes the name, "  ", the elapsed seconds, an end-of-line and an empty line: how every
    // timed call reports itself at its end (stop() first).
    void write_elapsed(std::ostream& out) const;

private:
    std::string name_;
    std::int64_t start_;
    std::int64_t end_;
    std::ostream* stream_;
};

// Brackets one new-message call with the processor clock.
class clock_timer {
public:
    // Records the processor clock and logs "######## Start Clock Timer #####\n".
    clock_timer();
    // Logs "\nDelay Seconds = " with the elapsed processor seconds, then the closing line.
    void end();

private:
    double start_;
};

// A gate that opens at most once per interval.
class interval_timer {
public:
    explicit interval_timer(std::int64_t interval_seconds);
    // True when now is strictly later than the due time; the gate then re-arms to now + interval.
    bool expired();
    std::int64_t due() const { return due_; }

private:
    std::int64_t due_;
    std::int64_t interval_;
};
