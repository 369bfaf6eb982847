// The pause as the program takes it: slept, not spun.
#include "pause.h"

#include <cerrno>
#include <ctime>

#include <sys/prctl.h>

#include "clock.h"

namespace {

// Pauses add up on a chain of absolute deadlines, so the time spent writing
// between them does not add up over 5000 steps. The chain is slept once it
// runs this far ahead: a wake-up costs more processor time than a 30 us
// pause, and a line at 19200 baud carries a byte only every 0.57 ms, so the
// display sees the same pace.
const long long kSleepAheadNs = 1000000;
// A chain this far behind starts again from now instead of cutting the
// following pauses short: the port made us wait, not a late wake-up.
const long long kCatchUpNs = 20000000;

void SleepUntilNs(long long due) {
    timespec at{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

}  // namespace

void delay(int t) {
    static bool slack_lowered = false;
    static long long last_due = 0;
    if (t <= 0) {
        return;
    }
    if (!slack_lowered) {
        // The default 50 us timer slack would stretch every sleep.
        prctl(PR_SET_TIMERSLACK, 1UL);
        slack_lowered = true;
    }
    long long now = NowNs();
    long long due = last_due + PauseNanos(t);
    if (due < now - kCatchUpNs) {
        due = now + PauseNanos(t);
    }
    last_due = due;
    if (due - now >= kSleepAheadNs) {
        SleepUntilNs(due);
    }
}
