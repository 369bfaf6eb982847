// The run driver: load the display list, then serve each display in turn;
// and the display sequence, what each opened display receives.
#include "main.h"

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "entries.h"
#include "pause.h"
#include "protocol.h"
#include "serial.h"

namespace {

const int kPulseSteps = 1000;
const int kPulsePause = 10000;

void SendLevel(int t) {
    SendByte(kLevel);
    SendByte(static_cast<ubyte>(t / 10));
    delay(kPulsePause);
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

void RunDisplaySequence(const Entry* e) {
    SendByte(kSetupFirst);
    SendByte(kSetupSecond);
    const char* rows[] = {e->line1, e->line2, e->line3, e->line4};
    for (int r = 3; r >= 0; --r) {
        SendByte(kPosition);
        SendByte(0);
        SendByte(static_cast<ubyte>(r));
        SendString(rows[r]);
    }
    if (e->command == 2) {
        SendByte(kContrast);
        SendByte(static_cast<ubyte>(e->command_param & 0xFF));
    } else if (e->command == 1) {
        AttentionPulse();
    }
}

#ifndef MARQUELL_NO_MAIN

namespace {

// With descriptor 0, 1 or 2 closed at start, a port would be opened on it:
// the console report would then go to a display, and a port on descriptor 0
// would be taken for a failed open. Fill the gaps before any port is opened.
void ReserveStandardDescriptors() {
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0) {
            fd = open("/", O_RDONLY | O_DIRECTORY);  // any descriptor holds the slot
        }
        if (fd < 0) {
            return;
        }
        if (fd > STDERR_FILENO) {
            close(fd);
            return;
        }
    }
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
    printf("Loading Entries...\r\n");
    // Static, so the list stays reachable for the whole run.
    static Entry* head = LoadEntries("marquell.ini");
    int baud = baudrate;
    printf("Starting traversing of loop\r\n");
    char devname[64];
    for (Entry* e = head; e != nullptr; e = e->next) {
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
    printf("Done.\n\n");
    return 0;
}

#endif
