#include "diag/timers.h"

#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <sstream>

#include "diag/debug_log.h"
#include "support/seam_guards.h"

namespace {
class timers_test : public testing::Test {
protected:
    void SetUp() override {
        set_wall_clock_for_tests([this] { return now; });
        set_processor_clock_for_tests([this] { return processor; });
    }

    clock_guard clocks;
    std::int64_t now = 1'000'000;
    std::clock_t processor = 10 * CLOCKS_PER_SEC;  // ticks
};
}  // namespace

TEST_F(timers_test, interval_gate_opens_only_strictly_after_its_due_time) {
    interval_timer gate(60);
    now = 1'000'060;
    EXPECT_FALSE(gate.expired());
    EXPECT_EQ(gate.due(), 1'000'060);
    now = 1'000'061;
    EXPECT_TRUE(gate.expired());
    EXPECT_EQ(gate.due(), 1'000'121);
}

TEST_F(timers_test, scope_timer_writes_its_line_only_with_a_stream) {
    log_capture log;
    std::ostringstream out;
    {
        scope_timer silent("Timer for clean_pending_messages ");
        scope_timer on_log("Timer for handle_contacts", &debug_log());
        now += 3;
        silent.stop();
        silent.write_elapsed(out);
    }
    EXPECT_EQ(out.str(), "Timer for clean_pending_messages   3\n\n");
    EXPECT_EQ(log.text(), "TIMER : Timer for handle_contacts  3\n");
}

TEST_F(timers_test, clock_timer_logs_elapsed_processor_seconds) {
    log_capture log;
    clock_timer timer;
    processor = 25 * CLOCKS_PER_SEC / 2;
    timer.end();
    EXPECT_EQ(log.text(),
              "######## Start Clock Timer #####\n\n\nDelay Seconds = 2.5\n######## END Clock Timer #####\n\n\n");
}

TEST_F(timers_test, time_text_has_the_ctime_form_for_any_time) {
    EXPECT_EQ(time_text().size(), 25u) << time_text();  // "Mon Jan 12 13:46:40 1970\n"
    for (std::int64_t extreme : {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}) {
        now = extreme;
        EXPECT_EQ(time_text().back(), '\n');
    }
}

// Seconds whatever the ticks per second; nothing when the system cannot tell.
TEST_F(timers_test, processor_clock_counts_seconds) {
    processor = 3 * CLOCKS_PER_SEC + CLOCKS_PER_SEC / 4;
    EXPECT_DOUBLE_EQ(processor_clock_seconds(), 3.25);
    processor = static_cast<std::clock_t>(-1);
    EXPECT_EQ(processor_clock_seconds(), 0.0);
}
