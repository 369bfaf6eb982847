// The pause between the steps of the attention pulse.
#ifndef MARQUELL_PAUSE_H
#define MARQUELL_PAUSE_H

// One pause unit is what ten passes of an empty counting loop take on a
// current processor: 3 ns, so delay(10000) is 30 us.
constexpr long long kNanosPerPauseUnit = 3;

constexpr long long PauseNanos(int t) {
    return t > 0 ? t * kNanosPerPauseUnit : 0;
}

// Pauses t units; t <= 0 returns at once. The program's pause sleeps; the
// checker and the tests, which run the display sequence only for its bytes,
// link one that returns at once.
void delay(int t);

#endif
