#include "stop.h"

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

volatile sig_atomic_t stop_signal = 0;
volatile sig_atomic_t interrupted = 0;  // a Ctrl-C came

const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The stop signals this run catches; those ignored from the start are not.
sigset_t caught;

// Ends the process by sig at once, with its default action. Called with the
// stop signals blocked (in the handler, or held): sig alone is let through.
void EndNow(int sig) {
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

// Takes a request in. Async-signal-safe: the handler calls it.
void Note(int sig) {
    if (sig == SIGINT && interrupted != 0) {
        EndNow(sig);
        return;
    }
    if (sig == SIGINT) {
        interrupted = 1;
    }
    if (stop_signal == 0 || (stop_signal == SIGHUP && sig != SIGHUP)) {
        stop_signal = sig;
    }
}

void OnStopSignal(int sig) {
    Note(sig);
}

// Takes in the requests that came while they were held back.
void TakeHeld() {
    const timespec now{0, 0};
    for (;;) {
        int sig = sigtimedwait(&caught, nullptr, &now);
        if (sig > 0) {
            Note(sig);
        } else if (errno != EINTR) {
            return;
        }
    }
}

}  // namespace

void CatchStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    // One request is taken in at a time.
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals) {
        sigaddset(&sa.sa_mask, sig);
    }
    // Restarted, so a report line being written is not cut; the waits for
    // room and for the lock use poll and sleeps, which return early anyway.
    sa.sa_flags = SA_RESTART;
    sigemptyset(&caught);
    for (int sig : kStopSignals) {
        struct sigaction before {};
        sigaction(sig, &sa, &before);
        if (before.sa_handler == SIG_IGN) {
            sigaction(sig, &before, nullptr);  // nohup, or a background job: stay deaf to it
        } else {
            sigaddset(&caught, sig);
        }
    }
    // A parent may start us with them blocked (some supervisors and language
    // runtimes do), and a blocked mask outlives exec: the run would hear no
    // stop until its end. One that came meanwhile is taken in now.
    sigprocmask(SIG_UNBLOCK, &caught, nullptr);
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

void HoldStopSignals() {
    sigprocmask(SIG_BLOCK, &caught, nullptr);
    TakeHeld();
}

void EndByStopSignal(void (*say_end)(int sig)) {
    // While held, no handler runs: what StopSignal() told the closing line
    // changes only here.
    for (int said = stop_signal;;) {
        TakeHeld();
        if (stop_signal == said) {
            break;
        }
        said = stop_signal;
        say_end(said);
    }
    if (stop_signal != 0) {
        EndNow(stop_signal);
    }
    // From here to the end of the process a request needs no clean-up: its
    // default action ends the process by it.
    for (int sig : kStopSignals) {
        if (sigismember(&caught, sig) == 1) {
            signal(sig, SIG_DFL);
        }
    }
    sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}
