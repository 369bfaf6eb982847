// The run driver: load the display list, then serve each display in turn.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "descriptors.h"
#include "display_sequence.h"
#include "entries.h"
#include "serial.h"
#include "stop.h"
#include "warn.h"

namespace {

// The report is for people: a reader that goes away (a closed pipe) or a
// full file must not stop the displays from being served, and a journal
// must see each line as it happens.
void GuardReport() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void PrintRowReport(const Entry* e) {
    printf(
        "lcd = %d\r\n----------------------\r\n|%s|\r\n|%s|\r\n|%s|\r\n|%s|\r\n"
        "----------------------\r\n",
        e->LCD_number, e->line1, e->line2, e->line3, e->line4);
}

// The displays that were not served whole, for a line at the end: the run
// exits 0 whatever befell them, and the report of a failure can be
// thousands of lines above.
struct Names {
    int count;
    char names[256];  // the first of them; the rest counted
};

void AddName(Names* n, const char* devname) {
    ++n->count;
    const size_t used = strlen(n->names);
    if (used + strlen(devname) + 8 < sizeof n->names) {
        snprintf(n->names + used, sizeof n->names - used, "%s%s", used > 0 ? ", " : "", devname);
    } else if (strstr(n->names, ", ...") == nullptr) {
        snprintf(n->names + used, sizeof n->names - used, ", ...");
    }
}

// A display a stop request kept from being served whole is no failure when
// the request asked for a repaint (SIGHUP: a reload, an adapter plugged in):
// the next run serves it. So those are kept apart from the failures.
struct Shortfall {
    int displays;
    Names missed;   // all of them, in the order served
    Names failed;   // refused, lost, or bytes discarded
    Names stopped;  // a stop request kept them back, and nothing failed
};

void NoteServed(Shortfall* s, const char* devname, Served served) {
    if (served == SERVED_WHOLE) {
        return;
    }
    AddName(&s->missed, devname);
    AddName(served == SERVED_STOPPED ? &s->stopped : &s->failed, devname);
}

const char* Plural(int n) {
    return n == 1 ? "" : "s";
}

// After a repaint's request only the failures are at warning priority, so
// that journalctl -p warning lists what went wrong and no repaint.
void SayShortfall(const Shortfall& s, int stop_signal) {
    const Names& warned = stop_signal == SIGHUP ? s.failed : s.missed;
    if (warned.count > 0) {
        Warn("%d of %d display%s not served whole: %s", warned.count, s.displays,
             Plural(s.displays), warned.names);
    }
    if (stop_signal == SIGHUP && s.stopped.count > 0) {
        Notice("%d of %d display%s left to the next run (stopped by SIGHUP): %s", s.stopped.count,
               s.displays, Plural(s.displays), s.stopped.names);
    }
}

// The closing line: how the run ends.
void SayEnd(int sig) {
    if (sig != 0) {
        printf("Stopped by %s.\n", StopSignalName(sig));
    } else {
        printf("Done.\n\n");
    }
    fflush(stdout);
}

// The summary and the closing line, then the end: by the signal of a stop
// request that came at any time, even after the line, or with 0. Requests
// are held back only for the closing line, so that one coming while the
// summary is written still counts for the line; one that comes while the
// line is written and changes how the run ends gets a line of its own, so
// that the last line always names it.
int Finish(const Shortfall& shortfall) {
    fflush(stdout);
    SayShortfall(shortfall, StopSignal());
    HoldStopSignals();
    SayEnd(StopSignal());
    EndByStopSignal(SayEnd);
    return 0;
}

}  // namespace

int main(int /*argc*/, char** /*argv*/) {
    ReserveStandardDescriptors();
    GuardReport();
    CatchStopSignals();
    printf("Loading Entries...\r\n");
    // Static, so the list stays reachable for the whole run.
    static Entry* head = LoadEntries("marquell.ini");
    int baud = baudrate;
    printf("Starting traversing of loop\r\n");
    char devname[64];
    Shortfall shortfall{};
    for (Entry* e = head; e != nullptr; e = e->next) {
        ++shortfall.displays;
        snprintf(devname, sizeof devname, "/dev/ttyS%d", e->LCD_number);
        if (StopSignal() != 0) {
            NoteServed(&shortfall, devname, SERVED_STOPPED);
            continue;
        }
        printf("### init serial : %s\r\n", devname);
        if (Serial_Init(devname, baud) != 0) {
            printf("Could not open port \"%s\" at \"%d\" baud.\n", devname, baud);
            NoteServed(&shortfall, devname, HowServed());
            continue;
        }
        printf("\"%s\" opened at \"%d\" baud.\n\n", devname, baud);
        PrintRowReport(e);
        RunDisplaySequence(e);
        printf("### uninit serial\r\n");
        Uninit_Serial();
        NoteServed(&shortfall, devname, HowServed());
    }
    return Finish(shortfall);
}
