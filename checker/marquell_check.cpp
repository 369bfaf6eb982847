// marquell-check: shows what each display of a display list file will
// receive and show, and warns of every trap of the format, before any
// hardware is involved.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "descriptors.h"
#include "display_model.h"
#include "display_sequence.h"
#include "port_rules.h"

namespace {

const int kExitClean = 0;
const int kExitWarnings = 1;
const int kExitUnreadable = 2;

const char kUsage[] =
    "usage: marquell-check [--width N] [--quiet] [--received DIR] [FILE]\n"
    "\n"
    "Reads FILE (default ./marquell.ini) with marquell's own reader, runs marquell's own\n"
    "display sequence for each display into a model of the display, and prints per\n"
    "display its port, the rate, its command, the bytes it will receive and their time\n"
    "on the wire, and its screen as it will look, with what earlier displays on the\n"
    "same port left there. Then a warning, with line and column in FILE, for each trap\n"
    "of the file format found.\n"
    "\n"
    "  --width N       columns of a display row (1 to 80, default 20)\n"
    "  --quiet         print nothing; only the exit status tells\n"
    "  --received DIR  also show, per port, the screen decoded from the bytes in\n"
    "                  DIR/ttyS<n> (as `ttysim --dir DIR` keeps them) beside the\n"
    "                  predicted one, and warn where they differ; this machine's\n"
    "                  own ports are then not looked at\n"
    "  --help          this text\n"
    "\n"
    "Exit status: 0 no warnings, 1 warnings, 2 FILE cannot be read or the command\n"
    "line is wrong.\n";

struct Options {
    const char* file = "marquell.ini";
    int width = MODEL_DEFAULT_WIDTH;
    bool quiet = false;
    const char* received = nullptr;
};

[[noreturn]] void UsageError(const char* what, const char* arg) {
    fprintf(stderr, "marquell-check: %s%s\n\n%s", what, arg, kUsage);
    exit(kExitUnreadable);
}

Options ParseArgs(int argc, char** argv) {
    Options o;
    bool have_file = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        bool has_value = i + 1 < argc;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(kUsage, stdout);
            exit(kExitClean);
        } else if (strcmp(arg, "--quiet") == 0 || strcmp(arg, "-q") == 0) {
            o.quiet = true;
        } else if (strcmp(arg, "--width") == 0 && has_value) {
            char* end = nullptr;
            long width = strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || width < 1 || width > MODEL_MAX_WIDTH) {
                UsageError("--width takes a number from 1 to 80, not ", argv[i]);
            }
            o.width = static_cast<int>(width);
        } else if (strcmp(arg, "--received") == 0 && has_value) {
            o.received = argv[++i];
        } else if (arg[0] == '-' && arg[1] != '\0') {
            UsageError("unknown or incomplete option ", arg);
        } else if (have_file) {
            UsageError("one file at a time; also given: ", arg);
        } else {
            o.file = arg;
            have_file = true;
        }
    }
    return o;
}

std::string Indent(const std::string& block, const char* by) {
    std::string out;
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find('\n', start);
        out += by + block.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

std::string CommandText(const Entry& e) {
    if (e.command == COMMAND_CONTRAST) {
        return "contrast " + std::to_string(ContrastLevel(&e));
    }
    return e.command == COMMAND_ATTENTION ? "attention pulse" : "none";
}

void PrintDisplay(const CheckResult& r, size_t i) {
    const DisplayCheck& d = r.displays[i];
    const Entry& e = d.entry;
    std::string port = "/dev/ttyS" + std::to_string(e.LCD_number);
    if (d.lcd_line > 0) {
        printf("display %zu (lcd at line %d, column %d)\n", i + 1, d.lcd_line, d.lcd_column);
    } else {
        printf("display %zu (the file has no lcd)\n", i + 1);
    }
    printf("  port     %s\n", port.c_str());
    printf("  rate     %d baud%s\n", r.rate, r.rate_ok ? "" : " (refused: no byte is sent)");
    printf("  command  %s\n", CommandText(e).c_str());
    size_t bytes = d.bytes.size();
    if (r.rate_ok) {
        printf("  bytes    %zu, %.2f s on the wire at %d baud", bytes, WireSeconds(bytes, r.rate),
               r.rate);
        if (e.command == COMMAND_ATTENTION) {
            printf(" (the attention pulse alone: %d bytes, %.1f s)", kPulseBytes,
                   WireSeconds(kPulseBytes, r.rate));
        }
        printf("\n");
    } else {
        printf("  bytes    none; at a rate the port takes it would get %zu and show:\n", bytes);
    }
    printf("%s", Indent(d.screen, "  ").c_str());
    printf("\n");
}

std::string ReadFile(const std::string& path, bool* found) {
    std::ifstream in(path, std::ios::binary);
    *found = in.is_open();
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Per port, in the order the ports are first served: the predicted screen
// beside the one decoded from the bytes received. Returns the differences.
int CompareReceived(const CheckResult& r, const char* dir, int width, bool quiet) {
    std::vector<int> ports;
    int differences = 0;
    for (const DisplayCheck& d : r.displays) {
        int port = d.entry.LCD_number;
        bool seen = false;
        for (int p : ports) {
            seen = seen || p == port;
        }
        if (seen) {
            continue;
        }
        ports.push_back(port);
        std::string name = "ttyS" + std::to_string(port);
        bool found = false;
        std::string got = ReadFile(std::string(dir) + "/" + name, &found);
        std::string want = PortStream(r, port);
        std::string dev = "/dev/" + name;
        std::string left = "predicted by marquell-check\n" + ModelScreen(want, width, dev.c_str());
        std::string right = "decoded from the " + std::to_string(got.size()) + " bytes " + name +
                            " received\n" + ModelScreen(got, width, dev.c_str());
        bool same = found && got == want;
        differences += same ? 0 : 1;
        if (quiet) {
            continue;
        }
        printf("%s", SideBySide(left, right, 4).c_str());
        if (!found) {
            printf("warning: nothing was kept for %s in %s\n", name.c_str(), dir);
        } else if (!same) {
            printf("warning: %s received other bytes than predicted\n", name.c_str());
        } else {
            printf("same bytes, same screen\n");
        }
        printf("\n");
    }
    return differences;
}

void PrintRemark(const char* file, const char* kind, const Warning& w) {
    printf("%s:%d:%d: %s: %s\n", file, w.line, w.column, kind, w.text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    ReserveStandardDescriptors();
    Options o = ParseArgs(argc, argv);
    CheckResult r;
    if (!CheckFile(o.file, o.width, &r)) {
        if (!o.quiet) {
            fprintf(stderr, "marquell-check: cannot read %s\n", o.file);
        }
        return kExitUnreadable;
    }
    // Bytes received on simulated ports (the demo's) were not sent to this
    // machine's ports: what these hold tells nothing of that run.
    if (o.received == nullptr) {
        CheckPortUses("", &r);
    }
    if (!o.quiet) {
        for (size_t i = 0; i < r.displays.size(); ++i) {
            PrintDisplay(r, i);
        }
    }
    int differences = 0;
    if (o.received != nullptr) {
        if (!o.quiet) {
            printf("after the run, per port:\n\n");
        }
        differences = CompareReceived(r, o.received, o.width, o.quiet);
    }
    if (!o.quiet) {
        // Notes and warnings in file order, a note first at the same place.
        size_t n = 0;
        for (const Warning& w : r.warnings) {
            for (; n < r.notes.size() && !EarlierPlace(w, r.notes[n]); ++n) {
                PrintRemark(o.file, "note", r.notes[n]);
            }
            PrintRemark(o.file, "warning", w);
        }
        for (; n < r.notes.size(); ++n) {
            PrintRemark(o.file, "note", r.notes[n]);
        }
        size_t total = r.warnings.size() + static_cast<size_t>(differences);
        if (total == 0) {
            printf("no warnings\n");
        } else {
            printf("%zu warning%s\n", total, total == 1 ? "" : "s");
        }
    }
    return r.warnings.empty() && differences == 0 ? kExitClean : kExitWarnings;
}
