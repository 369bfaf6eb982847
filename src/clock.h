// The one clock every wait and pause is measured by.
#ifndef MARQUELL_CLOCK_H
#define MARQUELL_CLOCK_H

#include <ctime>

// Nanoseconds on the monotonic clock, which no change of the date moves.
inline long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

#endif
