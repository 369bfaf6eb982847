#include "file_rules.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
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

// For key=%d at at with blanks before its '=' and a number after it: the
// setting as it should be. False when no number follows.
bool BlanksFix(const Places& p, size_t at, const char* key, Fix* fix) {
    size_t eq = SkipBlanks(p, at + strlen(key));
    size_t from = SkipBlanks(p, eq + 1);
    size_t to = from < p.len && (p.text[from] == '-' || p.text[from] == '+') ? from + 1 : from;
    size_t digits = to;
    while (to < p.len && isdigit(static_cast<unsigned char>(p.text[to]))) {
        ++to;
    }
    if (eq >= p.len || p.text[eq] != '=' || to == digits) {
        return false;
    }
    *fix = Fix{at, to, std::string(key) + "=" + std::string(p.text + from, to - from)};
    return true;
}

// Warns of a "key=%d" scan that read nothing or too much, with the fix
// where blanks before the '=' were the slip. what is the rest of the text.
void WarnScan(const Places& p, CheckResult* r, size_t at, const char* key, ScanOutcome s,
              const std::string& what) {
    Fix fix;
    if (s == SCAN_BLANKS && BlanksFix(p, at, key, &fix)) {
        WarnFix(p, &r->warnings, at, fix, "%s %s: %s; write %s", key, ScanProblem(s), what.c_str(),
                fix.text.c_str());
    } else {
        Warn(p, &r->warnings, at, "%s %s: %s", key, ScanProblem(s), what.c_str());
    }
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
        WarnScan(p, r, at, "baudrate", p.record->baudrate_scan,
                 "it reads as rate " + std::to_string(r->rate));
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
        if (InsideValue(p, later) == nullptr && !InNote(p, later)) {
            Warn(p, &r->warnings, later,
                 "this baudrate is ignored: only the first one (at %s) counts",
                 Place(p, at).c_str());
        }
    }
}

// A device's name written where lcd takes a port number: "/dev/ttyUSB0",
// "ttyAMA0". Its length at at, or 0.
size_t DeviceName(const Places& p, size_t at) {
    static const char* const kStarts[] = {"/dev/", "tty", "serial"};
    bool device = false;
    for (const char* start : kStarts) {
        device = device ||
                 (p.len - at >= strlen(start) && memcmp(p.text + at, start, strlen(start)) == 0);
    }
    size_t end = at;
    while (device && end < p.len && !Blank(p.text[end]) && p.text[end] != '\r' &&
           p.text[end] != '\n' && p.text[end] != '"') {
        ++end;
    }
    return end - at;
}

// The lowest port from base up that no display of the file takes and no
// earlier fix has handed out.
int FreePort(int base, std::set<int>* taken) {
    int n = base;
    while (taken->count(n) != 0) {
        ++n;
    }
    taken->insert(n);
    return n;
}

// "lcd=/dev/ttyUSB0": marquell opens only /dev/ttyS<n>. A ttyS name gives
// its number; any other port needs a link /dev/ttyS<n> made by udev, from 40
// up for an adapter and from 50 up for a board's UART, as the example rule
// has them.
bool CheckDevicePath(const Places& p, CheckResult* r, size_t i, std::set<int>* taken) {
    const DisplayPlaces& d = p.record->displays[i];
    size_t eq = SkipBlanks(p, d.lcd + 3);
    size_t at = eq < p.len && p.text[eq] == '=' ? SkipBlanks(p, eq + 1) : p.len;
    size_t n = at < p.len ? DeviceName(p, at) : 0;
    if (d.lcd_scan != SCAN_NO_DIGITS || n == 0) {
        return false;
    }
    std::string device(p.text + at, n);
    std::string name = device.compare(0, 5, "/dev/") == 0 ? device.substr(5) : device;
    const std::string intro = "lcd takes the n of /dev/ttyS<n>, not a device's name, so display " +
                              std::to_string(i + 1) + " is served on /dev/ttyS" +
                              std::to_string(Port(*r, i));
    size_t digits = name.compare(0, 4, "ttyS") == 0 ? name.find_first_not_of("0123456789", 4) : 0;
    if (name.size() > 4 && digits == std::string::npos) {
        Fix fix{d.lcd, at + n, "lcd=" + name.substr(4)};
        WarnFix(p, &r->warnings, d.lcd, fix, "%s; write %s", intro.c_str(), fix.text.c_str());
        return true;
    }
    bool adapter = name.compare(0, 6, "ttyUSB") == 0 || name.compare(0, 6, "ttyACM") == 0 ||
                   name.compare(0, 7, "serial/") == 0;
    int port = FreePort(adapter ? 40 : 50, taken);
    Fix fix{d.lcd, at + n, "lcd=" + std::to_string(port)};
    WarnFix(p, &r->warnings, d.lcd, fix,
            "%s; marquell opens only /dev/ttyS<n>: give %s a link /dev/ttyS%d with a udev rule "
            "(/usr/share/doc/marquell/README.md#%s) and write %s",
            intro.c_str(), device.c_str(), port,
            adapter ? "a-display-on-a-usb-serial-adapter" : "on-a-raspberry-pi", fix.text.c_str());
    return true;
}

void CheckDisplayStart(const Places& p, CheckResult* r, size_t i, std::set<int>* taken) {
    const DisplayPlaces& d = p.record->displays[i];
    bool in_word = WordBefore(p, d.lcd) || (d.lcd + 3 < p.len && WordByte(p.text[d.lcd + 3]));
    const ValueSpan* value = InsideValue(p, d.lcd);
    if (value != nullptr) {
        Warn(p, &r->warnings, d.lcd,
             "\"lcd\" inside the %s value of display %zu starts display %zu here, on "
             "/dev/ttyS%d",
             kRowKeys[value->row], value->display + 1, i + 1, Port(*r, i));
    } else if (in_word) {
        Warn(p, &r->warnings, d.lcd,
             "\"lcd\" inside a word starts display %zu here, on /dev/ttyS%d", i + 1, Port(*r, i));
    } else if (InNote(p, d.lcd)) {
        Warn(p, &r->warnings, d.lcd,
             "this \"lcd\" in a note starts display %zu here, on /dev/ttyS%d: marquell reads keys "
             "in notes too; name keys in notes in capitals",
             i + 1, Port(*r, i));
    } else if (d.lcd_scan != SCAN_READ && !CheckDevicePath(p, r, i, taken)) {
        WarnScan(p, r, d.lcd, "lcd", d.lcd_scan,
                 "display " + std::to_string(i + 1) + " is served on /dev/ttyS" +
                     std::to_string(Port(*r, i)));
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
    std::set<int> taken;
    for (const DisplayCheck& d : r->displays) {
        taken.insert(d.entry.LCD_number);
    }
    for (size_t i = 0; i < rec.count; ++i) {
        CheckDisplayStart(p, r, i, &taken);
    }
    // Every other "lcd" outside a value, before reading stopped and before
    // a display that is not served, is passed over by the reader.
    size_t end = std::min(rec.end_at, rec.unserved_lcd);
    for (size_t at = FindFrom(p, 0, "lcd"); at != kNowhere && at < end;
         at = FindFrom(p, at + 1, "lcd")) {
        long around = DisplayAround(p, at);
        // One in a note is passed over as the owner meant it to be.
        if (around < 0 || rec.displays[around].lcd == at || InsideValue(p, at) != nullptr ||
            InNote(p, at)) {
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
    bool ignored = key == 0 && d.command_key[1] != kNowhere;
    if (InNote(p, at)) {
        if (!ignored) {
            Warn(p, &r->warnings, at,
                 "display %zu (lcd at %s) takes this %s in a note: marquell reads keys in notes "
                 "too; name keys in notes in capitals",
                 i + 1, Place(p, d.lcd).c_str(), name);
        }
        return;
    }
    if (ignored) {
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
        WarnScan(p, r, at, name, s,
                 "display " + std::to_string(i + 1) +
                     " still gets the contrast command, with level " +
                     std::to_string(ContrastLevel(&e)));
    } else if (s != SCAN_READ) {
        WarnScan(p, r, at, name, s,
                 "display " + std::to_string(i + 1) + " still runs the attention pulse");
    }
}

void CheckUntakenCommand(const Places& p, CheckResult* r, int key, size_t at) {
    const char* name = kCommandKeys[key];
    if (InNote(p, at)) {
        return;  // a note, read as one
    }
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
    // An "lcd" in a closing note begins a display that is not served: the
    // note is read as the owner meant it.
    if (rec.end == READ_ALL || (rec.end == READ_NO_ROW_KEY && rec.unserved_lcd != kNowhere &&
                                InNote(p, rec.unserved_lcd))) {
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
