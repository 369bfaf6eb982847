#include "display_sequence.h"

#include "pause.h"
#include "protocol.h"
#include "serial.h"
#include "stop.h"

namespace {

const int kPulsePause = 10000;

// The pause only paces the sweep: when the bytes queued on the line already
// take longer than the pause, the line sets the pace and the pause is
// skipped, as it is for a port that was lost.
void SendLevel(int t) {
    const ubyte level[] = {kLevel, static_cast<ubyte>(t / 10)};
    SendWhole(level, 2);
    if (StopSignal() == 0 && !PortLost() && !QueueCovers(PauseNanos(kPulsePause))) {
        delay(kPulsePause);
    }
}

// Rising and falling sweeps of the level: twice up and down, then up once
// more, 5000 level commands ending at 99.
void AttentionPulse() {
    for (int sweep = 0; sweep < 2; ++sweep) {
        for (int t = 0; t < kPulseSteps; ++t) {
            SendLevel(t);
        }
        for (int t = kPulseSteps; t > 0; --t) {
            SendLevel(t);
        }
    }
    for (int t = 0; t < kPulseSteps; ++t) {
        SendLevel(t);
    }
}

}  // namespace

ubyte ContrastLevel(const Entry* e) {
    return static_cast<ubyte>(e->command_param & 0xFF);
}

void RunDisplaySequence(const Entry* e) {
    SendWhole(&kSetupFirst, 1);
    SendWhole(&kSetupSecond, 1);
    const char* rows[] = {e->line1, e->line2, e->line3, e->line4};
    for (int r = 3; r >= 0; --r) {
        const ubyte position[] = {kPosition, 0, static_cast<ubyte>(r)};
        SendWhole(position, 3);
        SendString(rows[r]);
    }
    if (e->command == COMMAND_CONTRAST) {
        const ubyte contrast[] = {kContrast, ContrastLevel(e)};
        SendWhole(contrast, 2);
    } else if (e->command == COMMAND_ATTENTION) {
        AttentionPulse();
    }
}
