// The run driver: load the display list, then serve each display in turn;
// and the display sequence, what each opened display receives.
#include "main.h"

#include <csignal>
#include <cstdio>

#include "descriptors.h"
#include "entries.h"
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

#ifndef MARQUELL_NO_MAIN

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
    if (StopSignal() != 0) {
        printf("Stopped by %s.\n", StopSignalName(StopSignal()));
        fflush(stdout);
        EndByStopSignal();
    }
    printf("Done.\n\n");
    return 0;
}

#endif
