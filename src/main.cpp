// The run driver: load the display list, then serve each display in turn;
// and the display sequence, what each opened display receives.
#include "main.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "entries.h"
#include "serial.h"

namespace {

// Display bytes (set-up, command openers); see the protocol table in the README.
const ubyte kSetupFirst = 20;
const ubyte kSetupSecond = 24;
const ubyte kPosition = 17;
const ubyte kContrast = 15;
const ubyte kLevel = 14;

// One pause unit, what ten passes of an empty counting loop take on a
// current processor; the pulse's steps are delay(10000), 30 us each.
const long long kNanosPerUnit = 3;
// A pause that finds its deadline this far behind (the port made us wait)
// starts a new chain instead of cutting the following pauses short.
const long long kCatchUpNs = 1000000;
const int kPulseSteps = 1000;
const int kPulsePause = 10000;

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUntilNs(long long due) {
    timespec at{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

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

// Pauses are slept, not spun, against a chain of absolute deadlines, so the
// time spent writing between pauses does not add up over 5000 steps.
void delay(int t) {
    static bool slack_lowered = false;
    static long long last_due = 0;
    if (t <= 0) {
        return;
    }
    if (!slack_lowered) {
        // The default 50 us timer slack would stretch every 30 us pause.
        prctl(PR_SET_TIMERSLACK, 1UL);
        slack_lowered = true;
    }
    long long len = t * kNanosPerUnit;
    long long now = NowNs();
    long long due = last_due + len;
    if (due < now - kCatchUpNs) {
        due = now + len;
    }
    last_due = due;
    SleepUntilNs(due);
}

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
