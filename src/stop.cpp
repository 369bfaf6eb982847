#include "stop.h"

#include <csignal>

namespace {

volatile sig_atomic_t stop_signal = 0;

const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnStopSignal(int sig) {
    if (stop_signal != 0) {
        signal(sig, SIG_DFL);
        raise(sig);  // delivered as soon as this handler returns
        return;
    }
    stop_signal = sig;
}

}  // namespace

void CatchStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    // Restarted, so a report line being written is not cut; the waits for
    // room and for the lock use poll and sleeps, which return early anyway.
    sa.sa_flags = SA_RESTART;
    for (int sig : kStopSignals) {
        struct sigaction before {};
        sigaction(sig, &sa, &before);
        if (before.sa_handler == SIG_IGN) {
            sigaction(sig, &before, nullptr);  // nohup, or a background job: stay deaf to it
        }
    }
}

int StopSignal() {
    return stop_signal;
}

const char* StopSignalName(int sig) {
    switch (sig) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

void EndByStopSignal() {
    int sig = stop_signal;
    signal(sig, SIG_DFL);
    raise(sig);
}
