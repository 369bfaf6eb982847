#include "screens.h"

#include <algorithm>
#include <map>
#include <string>

#include "display_model.h"

namespace {

// A port's display as the run leaves it, and the last display served there.
struct PortState {
    DisplayModel model;
    size_t last;
};

// The place named in a warning about display i: its "lcd", or the file's
// start when it has none.
size_t LcdOf(const Places& p, size_t i) {
    return i < p.record->count ? p.record->displays[i].lcd : 0;
}

// Feeds bytes to a display that is still inside a command until the command
// is complete; returns how many it took.
size_t FinishCommand(DisplayModel* m, const std::string& bytes) {
    size_t taken = 0;
    while (ModelPending(m) && taken < bytes.size()) {
        ModelFeed(m, &bytes[taken], 1);
        ++taken;
    }
    return taken;
}

// "byte (20)" or "2 bytes (20, 24)": the first n of bytes.
std::string Taken(const std::string& bytes, size_t n) {
    std::string list;
    for (size_t i = 0; i < n; ++i) {
        list += (i > 0 ? ", " : "") + std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    return (n == 1 ? std::string("byte") : std::to_string(n) + " bytes") + " (" + list + ")";
}

// Cells of before that this serving left as they were (after) and would not
// have written on a blank screen (alone), listed as "line1 from display
// column 3, ...".
std::string LeftOver(const DisplayModel& before, const DisplayModel& after,
                     const DisplayModel& alone, int* count) {
    std::string where;
    *count = 0;
    for (int r = 0; r < MODEL_ROWS; ++r) {
        int first = -1;
        for (int c = 0; c < after.width; ++c) {
            int cell = before.cells[r][c];
            if (cell != 0 && after.cells[r][c] == cell && alone.cells[r][c] == 0) {
                first = first < 0 ? c : first;
                ++*count;
            }
        }
        if (first >= 0) {
            where += (where.empty() ? "line" : ", line") + std::to_string(r + 1) +
                     " from display column " + std::to_string(first + 1);
        }
    }
    return where;
}

// The cells a serving on a blank screen leaves blank, listed as "line2 from
// display column 18, ...".
std::string Unwritten(const DisplayModel& alone) {
    std::string where;
    for (int r = 0; r < MODEL_ROWS; ++r) {
        const int* row = alone.cells[r];
        const int* blank = std::find(row, row + alone.width, 0);
        if (blank != row + alone.width) {
            where += (where.empty() ? "line" : ", line") + std::to_string(r + 1) +
                     " from display column " + std::to_string(blank - row + 1);
        }
    }
    return where;
}

void Serve(const Places& p, CheckResult* r, size_t i, PortState* port, bool shared) {
    DisplayCheck& d = r->displays[i];
    const int n = d.entry.LCD_number;
    DisplayModel before = port->model;
    if (shared && ModelPending(&before)) {
        int opener = before.opener;
        size_t taken = FinishCommand(&port->model, d.bytes);
        Warn(p, &r->warnings, LcdOf(p, i),
             "display %zu on /dev/ttyS%d begins inside a command (byte %d) that display %zu "
             "(at %s) left unfinished: it takes this display's first %s as its own",
             i + 1, n, opener, port->last + 1, Place(p, LcdOf(p, port->last)).c_str(),
             Taken(d.bytes, taken).c_str());
        ModelFeed(&port->model, d.bytes.data() + taken, d.bytes.size() - taken);
    } else {
        ModelFeed(&port->model, d.bytes.data(), d.bytes.size());
    }
    DisplayModel alone;
    ModelInit(&alone, port->model.width);
    ModelFeed(&alone, d.bytes.data(), d.bytes.size());
    // What the sign showed before this run is not in the file, and the
    // set-up bytes clear nothing: any cell the display does not write keeps
    // it. A note, since a sign cleared by hand or painted by this same file
    // shows nothing there.
    std::string unwritten = Unwritten(alone);
    if (!unwritten.empty()) {
        Warn(p, &r->notes, LcdOf(p, i),
             "display %zu does not write every cell (%s): what an earlier paint left there "
             "stays, as the set-up bytes clear nothing; pad its rows with blanks to %d "
             "characters to clear it",
             i + 1, unwritten.c_str(), alone.width);
    }
    if (shared) {
        int count;
        std::string where = LeftOver(before, port->model, alone, &count);
        if (count > 0) {
            Warn(p, &r->warnings, LcdOf(p, i),
                 "display %zu leaves %d character%s of earlier displays on /dev/ttyS%d showing "
                 "(%s); pad its rows with blanks to the display's width to clear them",
                 i + 1, count, count == 1 ? "" : "s", n, where.c_str());
        }
    }
    std::string label = "/dev/ttyS" + std::to_string(n);
    d.screen = ModelRender(&port->model, label.c_str());
    port->last = i;
}

}  // namespace

void CheckScreens(const Places& p, int width, CheckResult* result) {
    std::map<int, PortState> ports;
    for (size_t i = 0; i < result->displays.size(); ++i) {
        int n = result->displays[i].entry.LCD_number;
        auto found = ports.find(n);
        bool shared = found != ports.end();
        if (!shared) {
            found = ports.emplace(n, PortState{}).first;
            ModelInit(&found->second.model, width);
        } else {
            Warn(p, &result->warnings, LcdOf(p, i),
                 "display %zu is on /dev/ttyS%d, as display %zu (at %s) is: it overwrites that "
                 "display's screen",
                 i + 1, n, found->second.last + 1, Place(p, LcdOf(p, found->second.last)).c_str());
        }
        Serve(p, result, i, &found->second, shared);
    }
}
