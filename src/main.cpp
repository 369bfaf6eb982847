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

// The displays that were not served whole, for one line at the end: the
// run exits 0 whatever befell them, and the report of a failure can be
// thousands of lines above.
struct Shortfall {
    int displays;
    int missed;
    char names[256];  // the first of them; the rest counted
};

void NoteMissed(Shortfall* s, const char* devname) {
    ++s->missed;
    const size_t used = strlen(s->names);
    if (used + strlen(devname) + 8 < sizeof s->names) {
        snprintf(s->names + used, sizeof s->names - used, "%s%s", used > 0 ? ", " : "", devname);
    } else if (strstr(s->names, ", ...") == nullptr) {
        snprintf(s->names + used, sizeof s->names - used, ", ...");
    }
}

void SayShortfall(const Shortfall& s) {
    if (s.missed > 0) {
        Warn("%d of %d display%s not served whole: %s", s.missed, s.displays,
             s.displays == 1 ? "" : "s", s.names);
    }
}

// The closing line, then the end: by the signal of a stop request that came
// at any time, even after the line, or with 0.
int Finish() {
    HoldStopSignals();
    if (StopSignal() != 0) {
        printf("Stopped by %s.\n", StopSignalName(StopSignal()));
    } else {
        printf("Done.\n\n");
    }
    fflush(stdout);
    EndByStopSignal();
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
            NoteMissed(&shortfall, devname);
            continue;
        }
        printf("### init serial : %s\r\n", devname);
        if (Serial_Init(devname, baud) != 0) {
            printf("Could not open port \"%s\" at \"%d\" baud.\n", devname, baud);
            NoteMissed(&shortfall, devname);
            continue;
        }
        printf("\"%s\" opened at \"%d\" baud.\n\n", devname, baud);
        PrintRowReport(e);
        RunDisplaySequence(e);
        if (!SentWhole()) {
            NoteMissed(&shortfall, devname);
        }
        printf("### uninit serial\r\n");
        Uninit_Serial();
    }
    fflush(stdout);
    SayShortfall(shortfall);
    return Finish();
}
