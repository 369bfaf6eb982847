// Figures for the attention pulse and the reader, on a pseudo-terminal that a
// reader thread drains at a chosen pace. Prints its figures and the targets;
// it asserts nothing.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "display_sequence.h"
#include "entries.h"
#include "line_wait.h"
#include "pause.h"
#include "protocol.h"
#include "serial.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

const size_t kSetupBytes = 14;  // set-up and four empty rows
const double kWireBytesPerSecond = 19200.0 / kBitsPerByte;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Sends the program's report and reasons to /dev/null while it lives: the
// figures are what counts here.
class Quiet {
public:
    Quiet() : out_(dup(STDOUT_FILENO)), err_(dup(STDERR_FILENO)) {
        fflush(stdout);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    ~Quiet() {
        fflush(stdout);
        dup2(out_, STDOUT_FILENO);
        dup2(err_, STDERR_FILENO);
        close(out_);
        close(err_);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    int out_;
    int err_;
};

struct Pty {
    int master = -1;
    int slave = -1;
    char name[64] = {};
    Pty() {
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            perror("openpty");
            exit(1);
        }
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

struct PulseRun {
    double wall = 0;       // the display sequence, as marquell spends it
    double cpu = 0;        // processor time of the sending thread
    double delivered = 0;  // from the first byte sent to the last byte read
    size_t bytes = 0;      // bytes read on the far side, prefill included
    size_t prefill = 0;
};

// Runs the attention pulse on a fresh pty read at rate bytes a second
// (0: as fast as it comes).
PulseRun RunPulse(double rate, bool prefill) {
    Pty pty;
    const int master = pty.master;
    PulseRun run;
    if (prefill) {
        run.prefill = static_cast<size_t>(FillQueue(pty.slave, 0));
    }
    size_t expected = run.prefill + kSetupBytes + kPulseBytes;
    std::atomic<bool> started{false};
    Clock::time_point start;
    Clock::time_point last_byte;
    std::thread reader([&] {
        while (!started) {
            std::this_thread::yield();
        }
        char buf[4096];
        pollfd pfd{master, POLLIN, 0};
        while (run.bytes < expected && poll(&pfd, 1, 3000) > 0) {
            size_t want = sizeof buf;
            if (rate > 0) {
                double due = rate * Seconds(Clock::now() - start) - static_cast<double>(run.bytes);
                if (due < 1) {
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                    continue;
                }
                want =
                    due < static_cast<double>(sizeof buf) ? static_cast<size_t>(due) : sizeof buf;
            }
            ssize_t n = read(master, buf, want);
            if (n <= 0) {
                break;
            }
            run.bytes += static_cast<size_t>(n);
            last_byte = Clock::now();
        }
    });

    Entry e{};
    e.command = COMMAND_ATTENTION;
    {
        Quiet quiet;
        Serial_Init(pty.name, 19200);
        start = Clock::now();
        started = true;
        double cpu0 = ThreadCpuSeconds();
        RunDisplaySequence(&e);
        run.cpu = ThreadCpuSeconds() - cpu0;
        run.wall = Seconds(Clock::now() - start);
        Uninit_Serial();
    }
    reader.join();
    run.delivered = Seconds(last_byte - start);
    return run;
}

// Wall time of a pulse display on a port that moves nothing: a pty whose
// queue is full and whose far side never reads.
double DeadPortSeconds(int baud) {
    Pty pty;
    FillQueue(pty.slave, 0);
    Entry e{};
    e.command = COMMAND_ATTENTION;
    Quiet quiet;
    auto start = Clock::now();
    Serial_Init(pty.name, baud);
    RunDisplaySequence(&e);
    Uninit_Serial();
    return Seconds(Clock::now() - start);
}

std::string DisplayFile(int displays) {
    std::string text = "baudrate=19200\n";
    for (int i = 0; i < displays; ++i) {
        text += "lcd=" + std::to_string(i % 8) +
                "\ncmd_contrast=60\nline1=\"Welcome to the shop\"\nline2=\"Open 9-18 Mon-Sat\"\n"
                "line3=\"Bl\xC3\xA5"
                "b\xC3\xA6rsyltet\xC3\xB8y: 29,-\"\nline4=\"Next: hall B\"\n";
    }
    return text;
}

// Best of several runs of LoadEntries on a file of the given size, in us.
double LoadMicros(int displays) {
    std::string path = "/tmp/marquell-bench-" + std::to_string(getpid()) + ".ini";
    FILE* f = fopen(path.c_str(), "wb");
    std::string text = DisplayFile(displays);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    Quiet quiet;
    double best = 1e9;
    for (int i = 0; i < 50; ++i) {
        auto t0 = Clock::now();
        Entry* head = LoadEntries(path.c_str());
        double us = Seconds(Clock::now() - t0) * 1e6;
        best = us < best ? us : best;
        FreeEntries(head);
    }
    unlink(path.c_str());
    return best;
}

}  // namespace

int main() {
    printf("attention pulse, 10,000 bytes, on a pseudo-terminal\n");
    PulseRun idle = RunPulse(0, false);
    printf(
        "  unfilled queue:  wall %.1f ms (target 150 ms +-10%%), cpu %.2f ms, "
        "cpu/wall %.1f%%\n",
        idle.wall * 1e3, idle.cpu * 1e3, 100 * idle.cpu / idle.wall);

    const double slow = 4000;
    PulseRun filled = RunPulse(slow, true);
    printf(
        "  prefilled %zu bytes, drained at %.0f B/s: %zu of %zu bytes delivered "
        "(target all), wall %.2f s, cpu/wall %.2f%%\n",
        filled.prefill, slow, filled.bytes - filled.prefill, kSetupBytes + kPulseBytes, filled.wall,
        100 * filled.cpu / filled.wall);

    PulseRun wire = RunPulse(kWireBytesPerSecond, false);
    double limit = static_cast<double>(kPulseBytes) * kBitsPerByte / 19200;
    printf(
        "  read at 19200 baud (%.0f B/s): pulse delivered in %.3f s against the line's "
        "limit %.3f s: %+.1f%% (target within 3%%); cpu %.1f ms = %.2f%% of that time "
        "(target <= 1%%)\n",
        kWireBytesPerSecond, wire.delivered, limit, 100 * (wire.delivered / limit - 1),
        wire.cpu * 1e3, 100 * wire.cpu / wire.delivered);

    // Where the processor time goes: the one-byte writes and the timed pauses.
    auto pauses_start = Clock::now();
    double cpu0 = ThreadCpuSeconds();
    for (int i = 0; i < 5000; ++i) {
        delay(10000);
    }
    double pauses = ThreadCpuSeconds() - cpu0;
    printf(
        "  of which 5000 pauses alone: wall %.1f ms, cpu %.1f ms (slept a millisecond at a time)\n",
        Seconds(Clock::now() - pauses_start) * 1e3, pauses * 1e3);

    printf("a dead port: a pulse display on a full pty that is never read\n");
    for (const LineRate& r : kRates) {
        printf("  %5d baud: %.2f s (the stuck time is %.2f s)\n", r.baud, DeadPortSeconds(r.baud),
               static_cast<double>(StuckNs(r.baud)) / 1e9);
    }

    printf("LoadEntries, best of 50\n");
    for (int displays : {10, 100, 1000}) {
        double us = LoadMicros(displays);
        printf("  %4d displays: %8.1f us (%.3f us a display)%s\n", displays, us, us / displays,
               displays == 1000 ? " (target < 1000 us)" : "");
    }
    return 0;
}
