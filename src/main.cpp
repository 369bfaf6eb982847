// The run driver: load the display list, then serve each display in turn.
#include <csignal>
#include <cstdio>

#include "descriptors.h"
#include "display_sequence.h"
#include "entries.h"
#include "serial.h"
#include "stop.h"

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
    for (Entry* e = head; e != nullptr && StopSignal() == 0; e = e->next) {
        snprintf(devname, sizeof devname, "/dev/ttyS%d", e->LCD_number);
        printf("### init serial : %s\r\n", devname);
        if (Serial_Init(devname, baud) != 0) {
            printf("Could not open port \"%s\" at \"%d\" baud.\n", devname, baud);
            continue;
        }
        printf("\"%s\" opened at \"%d\" baud.\n\n", devname, baud);
        PrintRowReport(e);
        RunDisplaySequence(e);
        printf("### uninit serial\r\n");
        Uninit_Serial();
    }
    return Finish();
}
