// Figures for marquell-check: how its time grows with the number of displays,
// a 10 MB file, a file whose every line1 stands before its lcd, and displays
// with the attention pulse. Prints its figures and the targets; it asserts
// nothing.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "check.h"

namespace {

using Clock = std::chrono::steady_clock;

// Eight ports, so most displays share theirs with earlier ones.
std::string Display(int i, const char* command) {
    return "lcd=" + std::to_string(i % 8) + "\n" + command + "line1=\"Hall " + std::to_string(i) +
           "\"\nline2=\"Open 9-18 Mon-Sat\"\nline3=\"Bl\xC3\xA5"
           "b\xC3\xA6rsyltet\xC3\xB8y: 29,-\"\nline4=\"Next: " +
           std::to_string(i + 1) + "\"\n";
}

std::string Displays(int count, const char* command) {
    std::string text = "baudrate=19200\n";
    for (int i = 0; i < count; ++i) {
        text += Display(i, i % 2 == 0 ? command : "");
    }
    return text;
}

// Displays whose line1 stands before their lcd, up to bytes long.
std::string EarlyLine1s(size_t bytes) {
    std::string text = "baudrate=19200\nlcd=1 line1=\"\" line2=\"\" line3=\"\" line4=\"\"\n";
    while (text.size() < bytes) {
        text += "line1=\"x\" line2=\"\" line3=\"\" lcd=1 line4=\"\"\n";
    }
    return text;
}

struct Timing {
    double seconds;
    size_t displays;
    size_t warnings;
    size_t notes;
};

// Best of runs checks of text, written to a file first.
Timing Time(const std::string& text, int runs) {
    std::string path = "/tmp/marquell-check-bench-" + std::to_string(getpid()) + ".ini";
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size()) {
        perror(path.c_str());
        _exit(1);
    }
    fclose(f);
    Timing best{1e9, 0, 0, 0};
    for (int i = 0; i < runs; ++i) {
        CheckResult r;
        auto t0 = Clock::now();
        bool ok = CheckFile(path.c_str(), 20, &r);
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        if (!ok) {
            fprintf(stderr, "check_bench: CheckFile failed on %s\n", path.c_str());
            _exit(1);
        }
        if (s < best.seconds) {
            best = {s, r.displays.size(), r.warnings.size(), r.notes.size()};
        }
    }
    unlink(path.c_str());
    return best;
}

void Print(const std::string& text, const char* note, const char* target) {
    Timing t = Time(text, 3);
    printf("  %6zu displays %5.2f MB%s: %.3f s, %zu warnings, %zu notes%s\n", t.displays,
           static_cast<double>(text.size()) / 1e6, note, t.seconds, t.warnings, t.notes, target);
}

}  // namespace

int main() {
    printf("marquell-check's CheckFile, best of 3; 8 ports, every other display with a command\n");
    for (int count : {1000, 2000, 4000, 8000, 16000}) {
        Print(Displays(count, "cmd_contrast=60\n"), "", "");
    }
    Print(Displays(90000, "cmd_contrast=60\n"), "", " (target <= 2 s)");
    Print(EarlyLine1s(10000000), ", every line1 before its lcd", "");
    Print(Displays(40, "cmd_attention=1\n"), ", 20 attention pulses", " (target <= 0.2 s)");
    return 0;
}
