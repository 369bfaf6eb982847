#include "file_rules.h"

#include <algorithm>
#include <string>
#include <utility>

#include "display_sequence.h"
#include "protocol.h"

namespace {

const char* ScanProblem(ScanOutcome s) {
    switch (s) {
        case SCAN_BLANKS: return "has blanks before its '='";
        case SCAN_NO_EQUALS: return "is not followed by '='";
        case SCAN_NO_DIGITS: return "has no number after its '='";
        case SCAN_SATURATED: return "has a number that does not fit an int";
        default: return "";
    }
}

int Port(const CheckResult& r, size_t i) {
    return i < r.displays.size() ? r.displays[i].entry.LCD_number : -1;
}

void CheckRate(const Places& p, CheckResult* r) {
    size_t at = p.record->baudrate;
    if (at == kNowhere) {
        Warn(p, &r->warnings, 0,
             "no baudrate in the file: the rate is 0 and marquell refuses every port, "
             "so no display gets a byte");
        return;
    }
    if (p.record->baudrate_scan != SCAN_READ) {
        Warn(p, &r->warnings, at, "baudrate %s: it reads as rate %d",
             ScanProblem(p.record->baudrate_scan), r->rate);
    }
    if (FindRate(r->rate) == nullptr) {
        char rates[64];
        RatesInWords(rates, sizeof rates, " or ");
        Warn(p, &r->warnings, at,
             "rate %d is not %s: marquell refuses every port, so no display gets a byte", r->rate,
             rates);
    }
    for (size_t later = FindFrom(p, at + 1, "baudrate"); later != kNowhere;
         later = FindFrom(p, later + 1, "baudrate")) {
        if (InsideValue(p, later) == nullptr) {
            Warn(p, &r->warnings, later,
                 "this baudrate is ignored: only the first one (at %s) counts",
                 Place(p, at).c_str());
        }
    }
}

void CheckDisplayStart(const Places& p, CheckResult* r, size_t i) {
    const DisplayPlaces& d = p.record->displays[i];
    bool in_word = (d.lcd > 0 && WordByte(p.text[d.lcd - 1])) ||
                   (d.lcd + 3 < p.len && WordByte(p.text[d.lcd + 3]));
    const ValueSpan* value = InsideValue(p, d.lcd);
    if (value != nullptr) {
        Warn(p, &r->warnings, d.lcd,
             "\"lcd\" inside the %s value of display %zu starts display %zu here, on "
             "/dev/ttyS%d",
             kRowKeys[value->row], value->display + 1, i + 1, Port(*r, i));
    } else if (in_word) {
        Warn(p, &r->warnings, d.lcd,
             "\"lcd\" inside a word starts display %zu here, on /dev/ttyS%d", i + 1, Port(*r, i));
    } else if (d.lcd_scan != SCAN_READ) {
        Warn(p, &r->warnings, d.lcd, "lcd %s: display %zu is served on /dev/ttyS%d",
             ScanProblem(d.lcd_scan), i + 1, Port(*r, i));
    }
    if (d.rows_read > 0 && d.rows[0].key < d.lcd) {
        Warn(p, &r->warnings, d.rows[0].key,
             "line1 of display %zu stands before its lcd (at %s): its command search runs "
             "from that lcd to the end of the file",
             i + 1, Place(p, d.lcd).c_str());
    }
}

void CheckDisplayStarts(const Places& p, CheckResult* r) {
    const ReadRecord& rec = *p.record;
    if (rec.count == 0) {
        Warn(p, &r->warnings, 0,
             "no \"lcd\" in the file: marquell serves one display with four empty rows on "
             "/dev/ttyS0");
        return;
    }
    for (size_t i = 0; i < rec.count; ++i) {
        CheckDisplayStart(p, r, i);
    }
    // Every other "lcd" outside a value, before reading stopped and before
    // a display that is not served, is passed over by the reader.
    size_t end = std::min(rec.end_at, rec.unserved_lcd);
    for (size_t at = FindFrom(p, 0, "lcd"); at != kNowhere && at < end;
         at = FindFrom(p, at + 1, "lcd")) {
        long around = DisplayAround(p, at);
        if (around < 0 || rec.displays[around].lcd == at || InsideValue(p, at) != nullptr) {
            continue;
        }
        Warn(p, &r->warnings, at,
             "this \"lcd\" is passed over: display %ld began at %s, and it is served on "
             "/dev/ttyS%d",
             around + 1, Place(p, rec.displays[around].lcd).c_str(),
             Port(*r, static_cast<size_t>(around)));
    }
}

// Display i's search found key at at: either it takes it, or contrast wins.
void CheckTakenCommand(const Places& p, CheckResult* r, size_t i, int key, size_t at) {
    const DisplayPlaces& d = p.record->displays[i];
    const char* name = kCommandKeys[key];
    if (key == 0 && d.command_key[1] != kNowhere) {
        Warn(p, &r->warnings, at,
             "this %s is ignored: display %zu also has cmd_contrast (at %s), which wins", name,
             i + 1, Place(p, d.command_key[1]).c_str());
        return;
    }
    if (at >= DisplayEnd(p, i)) {
        Warn(p, &r->warnings, at,
             "display %zu (lcd at %s) takes this %s from outside its own text, since its line1 "
             "stands before its lcd",
             i + 1, Place(p, d.lcd).c_str(), name);
    }
    ScanOutcome s = d.command_scan[key];
    const Entry& e = r->displays[i].entry;
    if (s == SCAN_SATURATED && key == 1) {
        Warn(p, &r->warnings, at,
             "%s %s: it reads as %d, and display %zu gets contrast level %d (its low 8 bits)", name,
             ScanProblem(s), e.command_param, i + 1, ContrastLevel(&e));
    } else if (s == SCAN_SATURATED) {
        Warn(p, &r->warnings, at, "%s %s: it reads as %d, which the attention pulse does not use",
             name, ScanProblem(s), e.command_param);
    } else if (s == SCAN_READ && key == 1 && (e.command_param < 0 || e.command_param > 255)) {
        Warn(p, &r->warnings, at,
             "%s %d is outside 0..255: display %zu gets contrast level %d (its low 8 bits)", name,
             e.command_param, i + 1, ContrastLevel(&e));
    } else if (s != SCAN_READ && key == 1) {
        Warn(p, &r->warnings, at,
             "%s %s: display %zu still gets the contrast command, with level %d", name,
             ScanProblem(s), i + 1, ContrastLevel(&e));
    } else if (s != SCAN_READ) {
        Warn(p, &r->warnings, at, "%s %s: display %zu still runs the attention pulse", name,
             ScanProblem(s), i + 1);
    }
}

void CheckUntakenCommand(const Places& p, CheckResult* r, int key, size_t at) {
    const char* name = kCommandKeys[key];
    long around = DisplayAround(p, at);
    if (around >= 0) {
        const DisplayPlaces& d = p.record->displays[around];
        size_t i = static_cast<size_t>(around);
        if (d.rows_read > 0 && at > d.rows[0].close && at < DisplayEnd(p, i)) {
            Warn(p, &r->warnings, at,
                 "no display takes this %s: it stands after the closing quote of line1 of "
                 "display %zu (at %s); put it before line1",
                 name, i + 1, Place(p, d.rows[0].close).c_str());
            return;
        }
    }
    Warn(p, &r->warnings, at, "no display takes this %s", name);
}

// Every command key in the text, with the displays whose search found it.
void CheckCommands(const Places& p, CheckResult* r) {
    for (int key = 0; key < 2; ++key) {
        std::vector<std::pair<size_t, size_t>> found;  // place, display
        for (size_t i = 0; i < p.record->count; ++i) {
            if (p.record->displays[i].command_key[key] != kNowhere) {
                found.emplace_back(p.record->displays[i].command_key[key], i);
            }
        }
        std::sort(found.begin(), found.end());
        size_t next = 0;
        for (size_t at = FindFrom(p, 0, kCommandKeys[key]); at != kNowhere;
             at = FindFrom(p, at + 1, kCommandKeys[key])) {
            bool taken = false;
            for (; next < found.size() && found[next].first == at; ++next) {
                CheckTakenCommand(p, r, found[next].second, key, at);
                taken = true;
            }
            if (!taken) {
                CheckUntakenCommand(p, r, key, at);
            }
        }
    }
}

void CheckReadingEnd(const Places& p, CheckResult* r) {
    const ReadRecord& rec = *p.record;
    if (rec.end == READ_ALL) {
        return;
    }
    const char* key = kRowKeys[rec.end_row];
    std::string why = rec.end == READ_NO_ROW_KEY ? std::string("no ") + key + " key from here on"
                      : rec.end == READ_NO_OPENING_QUOTE
                          ? std::string(key) + " has no opening quote"
                          : std::string("the ") + key + " value opened here is never closed";
    if (rec.unserved_lcd != kNowhere) {
        Warn(p, &r->warnings, rec.end_at,
             "reading stops here: %s; the display the \"lcd\" at %s begins is not served, as "
             "none of its rows is read",
             why.c_str(), Place(p, rec.unserved_lcd).c_str());
        return;
    }
    Warn(p, &r->warnings, rec.end_at,
         "reading stops here: %s; display %zu (at %s) is served with the rows read so far and "
         "nothing after it is read",
         why.c_str(), rec.count, Place(p, rec.displays[rec.count - 1].lcd).c_str());
}

}  // namespace

void CheckFileRules(const Places& p, CheckResult* result) {
    CheckRate(p, result);
    CheckDisplayStarts(p, result);
    CheckCommands(p, result);
    CheckReadingEnd(p, result);
}
