// The entries and the bytes come from marquell's own reader and display
// sequence. Only the places in the file are found here, by walking the text
// with the same starting points as the reader; each display found this way is
// compared with the reader's record, so a walk that drifts is reported.
#include "check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "display_model.h"
#include "main.h"
#include "serial.h"

namespace {

const size_t kNone = std::string::npos;
const int kPipeSize = 1 << 16;  // one display's stream is at most about 14 KB
const int kBitsPerByte = 11;
const int kRates[] = {1200, 2400, 4800, 9600, 19200};
const char* const kRowKeys[] = {"line1", "line2", "line3", "line4"};
const char* const kCommandKeys[] = {"cmd_attention", "cmd_contrast"};

// A pipe that stands in for the port: handle is pointed at its write end
// while marquell's own code sends, and the bytes are read back after.
struct Capture {
    int read_fd;
    int write_fd;
};

bool CaptureOpen(Capture* c) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    fcntl(fds[1], F_SETPIPE_SZ, kPipeSize);
    c->read_fd = fds[0];
    c->write_fd = fds[1];
    return true;
}

void CaptureClose(Capture* c) {
    close(c->read_fd);
    close(c->write_fd);
}

std::string CaptureTake(const Capture* c) {
    std::string got;
    char buf[4096];
    for (;;) {
        ssize_t n = read(c->read_fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return got;
        }
    }
}

std::string CaptureSequence(const Capture* c, const Entry* e) {
    handle = c->write_fd;
    RunDisplaySequence(e);
    handle = 0;
    return CaptureTake(c);
}

std::string CaptureText(const Capture* c, const std::string& text) {
    handle = c->write_fd;
    SendString(text.c_str());
    handle = 0;
    return CaptureTake(c);
}

// Where the reader's searches land for one display, as offsets in the text.
struct RowScan {
    size_t key = kNone;
    size_t begin = kNone;  // first byte of the value
    size_t end = kNone;    // its closing quote
};

struct DisplayScan {
    size_t lcd = kNone;
    RowScan rows[4];
    int rows_read = 0;
    size_t command_end = kNone;        // where the command search stops
    size_t found[2] = {kNone, kNone};  // cmd_attention, cmd_contrast found by it
    size_t next = kNone;               // the next display's "lcd", or the text's end
};

struct Stop {
    size_t at = kNone;  // the place reading stopped, kNone when it did not
    std::string why;
};

struct Text {
    const char* data;
    size_t len;
    std::string_view view() const { return std::string_view(data, len); }
};

size_t Find(const Text& t, size_t from, size_t end, const char* needle) {
    if (from == kNone || from > end) {
        return kNone;
    }
    return t.view().substr(0, end).find(needle, from);
}

void LineColumn(const Text& t, size_t at, int* line, int* column) {
    *line = 1;
    *column = 1;
    for (size_t i = 0; i < at && i < t.len; ++i) {
        unsigned char c = static_cast<unsigned char>(t.data[i]);
        if (c == '\n') {
            ++*line;
            *column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++*column;
        }
    }
}

std::string Place(const Text& t, size_t at) {
    int line;
    int column;
    LineColumn(t, at, &line, &column);
    return std::to_string(line) + ":" + std::to_string(column);
}

struct Checker {
    Text text;
    int width;
    std::vector<DisplayScan> scans;
    Stop stop;
    CheckResult* result;

    void Warn(size_t at, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
};

// A C variadic, so the compiler checks every call against its format.
void Checker::Warn(size_t at, const char* fmt, ...) const {  // NOLINT(cert-dcl50-cpp)
    char buf[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    Warning w;
    LineColumn(text, at, &w.line, &w.column);
    w.text = buf;
    result->warnings.push_back(w);
}

// Walks the text as the reader does: the display starts at an "lcd", each row
// key is searched from the previous value's first byte, the command search
// runs from the "lcd" to line1's closing quote, and the next "lcd" is searched
// from the first byte of the line4 value.
void Walk(Checker* ck) {
    const Text& t = ck->text;
    size_t lcd = Find(t, 0, t.len, "lcd");
    size_t cursor = lcd;
    while (lcd != kNone) {
        DisplayScan d;
        d.lcd = lcd;
        for (int r = 0; r < 4 && ck->stop.at == kNone; ++r) {
            RowScan& row = d.rows[r];
            row.key = Find(t, cursor, t.len, kRowKeys[r]);
            size_t open = Find(t, row.key, t.len, "\"");
            size_t close = open == kNone ? kNone : Find(t, open + 1, t.len, "\"");
            if (row.key == kNone) {
                ck->stop = {cursor, std::string("no ") + kRowKeys[r] + " key from here on"};
            } else if (open == kNone) {
                ck->stop = {row.key, std::string(kRowKeys[r]) + " has no opening quote"};
            } else if (close == kNone) {
                ck->stop = {
                    open, std::string("the ") + kRowKeys[r] + " value opened here is never closed"};
            } else {
                cursor = open + 1;
                row.begin = open + 1;
                row.end = close;
                d.rows_read = r + 1;
            }
            if (r == 0 && d.rows_read == 1) {
                // The closing quote is a NUL during the search; one before
                // the "lcd" leaves the search running to the end of the text.
                d.command_end = row.end > lcd ? row.end : t.len;
                d.found[0] = Find(t, lcd, d.command_end, kCommandKeys[0]);
                d.found[1] = Find(t, lcd, d.command_end, kCommandKeys[1]);
            }
        }
        if (!ck->scans.empty()) {
            ck->scans.back().next = lcd;
        }
        d.next = t.len;
        ck->scans.push_back(d);
        if (ck->stop.at != kNone) {
            break;
        }
        lcd = Find(t, cursor, t.len, "lcd");
    }
}

enum ScanState { SCAN_OK, SCAN_BLANKS, SCAN_NO_EQUALS, SCAN_NO_NUMBER };

// How the reader's "key=%d" fares at at.
ScanState NumberScan(const Text& t, size_t at, const char* key) {
    size_t p = at + strlen(key);
    if (p < t.len && t.data[p] != '=') {
        size_t q = p;
        while (q < t.len && (t.data[q] == ' ' || t.data[q] == '\t')) {
            ++q;
        }
        return q > p && q < t.len && t.data[q] == '=' ? SCAN_BLANKS : SCAN_NO_EQUALS;
    }
    if (p >= t.len) {
        return SCAN_NO_EQUALS;
    }
    ++p;
    while (p < t.len && (t.data[p] == ' ' || (t.data[p] >= '\t' && t.data[p] <= '\r'))) {
        ++p;
    }
    if (p < t.len && (t.data[p] == '-' || t.data[p] == '+')) {
        ++p;
    }
    return p < t.len && t.data[p] >= '0' && t.data[p] <= '9' ? SCAN_OK : SCAN_NO_NUMBER;
}

const char* ScanProblem(ScanState s) {
    switch (s) {
        case SCAN_BLANKS: return "has blanks before its '='";
        case SCAN_NO_EQUALS: return "is not followed by '='";
        case SCAN_NO_NUMBER: return "has no number after its '='";
        default: return "";
    }
}

bool InsideValue(const Checker& ck, size_t at, const DisplayScan** owner, int* row) {
    for (const DisplayScan& d : ck.scans) {
        for (int r = 0; r < d.rows_read; ++r) {
            if (at >= d.rows[r].begin && at < d.rows[r].end) {
                *owner = &d;
                *row = r;
                return true;
            }
        }
    }
    return false;
}

// The display whose "lcd" is the last one at or before at; -1 for none.
int DisplayAround(const Checker& ck, size_t at) {
    int found = -1;
    for (size_t i = 0; i < ck.scans.size(); ++i) {
        if (ck.scans[i].lcd <= at) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

bool WordByte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return isalnum(u) || c == '_' || u >= 0x80;
}

int Port(const Checker& ck, size_t i) {
    const std::vector<DisplayCheck>& displays = ck.result->displays;
    return i < displays.size() ? displays[i].entry.LCD_number : -1;
}

void CheckRate(Checker* ck) {
    const Text& t = ck->text;
    size_t at = Find(t, 0, t.len, "baudrate");
    int rate = ck->result->rate;
    if (at == kNone) {
        ck->Warn(0,
                 "no baudrate in the file: the rate is 0 and marquell refuses every port, "
                 "so no display gets a byte");
        return;
    }
    ScanState s = NumberScan(t, at, "baudrate");
    if (s != SCAN_OK) {
        ck->Warn(at, "baudrate %s: it reads as rate %d", ScanProblem(s), rate);
    }
    if (!RateInTable(rate)) {
        ck->Warn(at,
                 "rate %d is not 1200, 2400, 4800, 9600 or 19200: marquell refuses every "
                 "port, so no display gets a byte",
                 rate);
    }
    const DisplayScan* owner;
    int row;
    for (size_t later = Find(t, at + 1, t.len, "baudrate"); later != kNone;
         later = Find(t, later + 1, t.len, "baudrate")) {
        if (!InsideValue(*ck, later, &owner, &row)) {
            ck->Warn(later, "this baudrate is ignored: only the first one (at %s) counts",
                     Place(t, at).c_str());
        }
    }
}

void CheckDisplayStarts(Checker* ck) {
    const Text& t = ck->text;
    if (ck->scans.empty()) {
        ck->Warn(0,
                 "no \"lcd\" in the file: marquell serves one display with four empty rows "
                 "on /dev/ttyS0");
        return;
    }
    for (size_t i = 0; i < ck->scans.size(); ++i) {
        const DisplayScan& d = ck->scans[i];
        const DisplayScan* owner;
        int row;
        bool in_word = (d.lcd > 0 && WordByte(t.data[d.lcd - 1])) ||
                       (d.lcd + 3 < t.len && WordByte(t.data[d.lcd + 3]));
        if (InsideValue(*ck, d.lcd, &owner, &row)) {
            ck->Warn(d.lcd,
                     "\"lcd\" inside the %s value of display %zu starts display %zu "
                     "here, on /dev/ttyS%d",
                     kRowKeys[row], static_cast<size_t>(owner - ck->scans.data()) + 1, i + 1,
                     Port(*ck, i));
        } else if (in_word) {
            ck->Warn(d.lcd, "\"lcd\" inside a word starts display %zu here, on /dev/ttyS%d", i + 1,
                     Port(*ck, i));
        } else {
            ScanState s = NumberScan(t, d.lcd, "lcd");
            if (s != SCAN_OK) {
                ck->Warn(d.lcd, "lcd %s: display %zu is served on /dev/ttyS%d", ScanProblem(s),
                         i + 1, Port(*ck, i));
            }
        }
        if (d.rows_read > 0 && d.rows[0].key < d.lcd) {
            ck->Warn(d.rows[0].key,
                     "line1 of display %zu stands before its lcd (at %s): its "
                     "command search runs from that lcd to the end of the file",
                     i + 1, Place(t, d.lcd).c_str());
        }
    }
    // Every other "lcd" outside a value is passed over by the reader.
    for (size_t at = Find(t, 0, t.len, "lcd"); at != kNone; at = Find(t, at + 1, t.len, "lcd")) {
        const DisplayScan* owner;
        int row;
        int around = DisplayAround(*ck, at);
        if (around < 0 || ck->scans[around].lcd == at || InsideValue(*ck, at, &owner, &row) ||
            (ck->stop.at != kNone && at >= ck->stop.at)) {
            continue;
        }
        ck->Warn(at,
                 "this \"lcd\" is passed over: display %d began at %s, and it is served on "
                 "/dev/ttyS%d",
                 around + 1, Place(t, ck->scans[around].lcd).c_str(),
                 Port(*ck, static_cast<size_t>(around)));
    }
}

// The key a display's command comes from: contrast wins over attention.
size_t TakenKey(const DisplayScan& d, int* which) {
    *which = d.found[1] != kNone ? 1 : 0;
    return d.found[*which];
}

void CheckOneCommandKey(Checker* ck, size_t at, int key) {
    const Text& t = ck->text;
    const char* name = kCommandKeys[key];
    bool taken = false;
    for (size_t i = 0; i < ck->scans.size(); ++i) {
        const DisplayScan& d = ck->scans[i];
        int which;
        if (TakenKey(d, &which) != at || which != key) {
            if (d.found[key] == at) {
                ck->Warn(at,
                         "this %s is ignored: display %zu also has cmd_contrast (at %s), "
                         "which wins",
                         name, i + 1, Place(t, d.found[1]).c_str());
                taken = true;
            }
            continue;
        }
        taken = true;
        const Entry& e = ck->result->displays[i].entry;
        if (at >= d.next) {
            ck->Warn(at,
                     "display %zu (lcd at %s) takes this %s from outside its own text, "
                     "since its line1 stands before its lcd",
                     i + 1, Place(t, d.lcd).c_str(), name);
        }
        ScanState s = NumberScan(t, at, name);
        if (s != SCAN_OK && key == 1) {
            ck->Warn(at, "%s %s: display %zu still gets the contrast command, with level %d", name,
                     ScanProblem(s), i + 1, e.command_param & 0xFF);
        } else if (s != SCAN_OK) {
            ck->Warn(at, "%s %s: display %zu still runs the attention pulse", name, ScanProblem(s),
                     i + 1);
        }
    }
    if (taken) {
        return;
    }
    int around = DisplayAround(*ck, at);
    const DisplayScan* d = around >= 0 ? &ck->scans[around] : nullptr;
    if (d != nullptr && d->rows_read > 0 && at > d->rows[0].end && at < d->next) {
        ck->Warn(at,
                 "no display takes this %s: it stands after the closing quote of line1 of "
                 "display %d (at %s); put it before line1",
                 name, around + 1, Place(t, d->rows[0].end).c_str());
    } else {
        ck->Warn(at, "no display takes this %s", name);
    }
}

void CheckCommands(Checker* ck) {
    const Text& t = ck->text;
    for (int key = 0; key < 2; ++key) {
        for (size_t at = Find(t, 0, t.len, kCommandKeys[key]); at != kNone;
             at = Find(t, at + 1, t.len, kCommandKeys[key])) {
            CheckOneCommandKey(ck, at, key);
        }
    }
}

void CheckPorts(Checker* ck) {
    for (size_t i = 0; i < ck->scans.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (Port(*ck, i) == Port(*ck, j)) {
                ck->Warn(ck->scans[i].lcd,
                         "display %zu is on /dev/ttyS%d, as display %zu (at "
                         "%s) is: it overwrites that display's screen",
                         i + 1, Port(*ck, i), j + 1, Place(ck->text, ck->scans[j].lcd).c_str());
                break;
            }
        }
    }
}

const char* ControlMeaning(int b) {
    switch (b) {
        case 14: return "opens a level command: the next byte is taken as its level";
        case 15: return "opens a contrast command: the next byte is taken as its level";
        case 17: return "opens a position command: the next two bytes move the cursor";
        case 20:
        case 24: return "is a set-up byte";
        case 30: return "opens a character escape: the next two bytes are taken by it";
        default: return "is a command to the display, not text";
    }
}

const char* ControlName(int b) {
    switch (b) {
        case '\t': return " (tab)";
        case '\n': return " (line break)";
        case '\r': return " (carriage return)";
        default: return "";
    }
}

// Length of the UTF-8 character at p (at most left bytes); 1 for a byte that
// starts none.
size_t CharLength(const unsigned char* p, size_t left) {
    size_t n = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 1;
    if (p[0] < 0xC2 || n > left) {
        return 1;
    }
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 1;
        }
    }
    return n;
}

unsigned CodePoint(const unsigned char* p, size_t n) {
    unsigned cp = p[0] & (0xFF >> (n + 1));
    for (size_t i = 1; i < n; ++i) {
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    return cp;
}

// The letters a stream of escapes shows.
std::string Letters(const std::string& wire) {
    std::string letters;
    for (size_t i = 2; i < wire.size(); i += 3) {
        const char* letter = GlyphLetter(static_cast<unsigned char>(wire[i]));
        letters += letter != nullptr ? letter : "?";
    }
    return letters;
}

// Warns of a character that does not reach the display as itself; returns
// the cells it takes there.
int CheckCharacter(Checker* ck, const Capture* cap, size_t at, size_t n, const char* key,
                   int column) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(ck->text.data + at);
    std::string ch(ck->text.data + at, n);
    std::string wire = CaptureText(cap, ch);
    int cells = static_cast<int>(wire.size() / 3);  // the wire holds escapes only
    if (n == 2 && p[0] == 0xC3 && wire.size() == 3) {
        return cells;  // one of the module's own six letters
    }
    if (n == 1) {
        ck->Warn(at,
                 "byte 0x%02X in %s is not UTF-8 and vanishes on the display "
                 "(display column %d)",
                 p[0], key, column);
    } else if (wire.empty()) {
        ck->Warn(at, "'%s' (U+%04X) in %s vanishes on the display (display column %d)", ch.c_str(),
                 CodePoint(p, n), key, column);
    } else {
        ck->Warn(at, "'%s' (U+%04X) in %s shows as '%s' on the display (display column %d)",
                 ch.c_str(), CodePoint(p, n), key, Letters(wire).c_str(), column);
    }
    return cells;
}

void CheckRow(Checker* ck, const Capture* cap, const RowScan& row, int r) {
    const Text& t = ck->text;
    const char* key = kRowKeys[r];
    size_t len = row.end - row.begin;
    size_t kept = std::min(len, static_cast<size_t>(ROW_SIZE - 1));
    if (len > kept) {
        ck->Warn(row.begin + kept,
                 "the %s value is %zu bytes: marquell keeps the first %zu and "
                 "drops the rest from here",
                 key, len, kept);
    }
    size_t end = row.begin + kept;
    int cells = 0;
    size_t cut_at = kNone;
    for (size_t at = row.begin; at < end;) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(t.data + at);
        size_t n = p[0] < 0x80 ? 1 : CharLength(p, end - at);
        int shown = 0;
        if (p[0] < 32) {
            ck->Warn(at, "control byte %d%s in %s %s", p[0], ControlName(p[0]), key,
                     ControlMeaning(p[0]));
        } else if (p[0] < 0x80) {
            shown = 1;
        } else {
            shown = CheckCharacter(ck, cap, at, n, key, cells + 1);
        }
        if (shown > 0 && cells + shown > ck->width && cut_at == kNone) {
            cut_at = at;
        }
        cells += shown;
        at += n;
    }
    if (cut_at != kNone) {
        ck->Warn(cut_at,
                 "%s shows %d characters on a display %d wide: from here on (display "
                 "column %d) nothing shows",
                 key, cells, ck->width, ck->width + 1);
    }
}

void CheckRows(Checker* ck, const Capture* cap) {
    for (const DisplayScan& d : ck->scans) {
        for (int r = 0; r < d.rows_read; ++r) {
            CheckRow(ck, cap, d.rows[r], r);
        }
    }
    if (ck->stop.at != kNone) {
        size_t last = ck->scans.size();
        ck->Warn(ck->stop.at,
                 "reading stops here: %s; display %zu (at %s) is served with the "
                 "rows read so far and nothing after it is read",
                 ck->stop.why.c_str(), last, Place(ck->text, ck->scans.back().lcd).c_str());
    }
}

std::string Row(const Text& t, const RowScan& row) {
    size_t len = std::min(row.end - row.begin, static_cast<size_t>(ROW_SIZE - 1));
    return std::string(t.data + row.begin, len);
}

// The walk must find what the reader found; a difference means the places
// given are not to be trusted.
void CheckWalkAgreesWithReader(Checker* ck) {
    size_t count = ck->result->displays.size();
    bool same = ck->scans.empty() ? count == 1 : count == ck->scans.size();
    for (size_t i = 0; same && i < ck->scans.size(); ++i) {
        const DisplayScan& d = ck->scans[i];
        const Entry& e = ck->result->displays[i].entry;
        const char* rows[] = {e.line1, e.line2, e.line3, e.line4};
        for (int r = 0; r < 4; ++r) {
            std::string expect = r < d.rows_read ? Row(ck->text, d.rows[r]) : "";
            same = same && expect == rows[r];
        }
        int which;
        bool has = TakenKey(d, &which) != kNone;
        same = same && (has ? e.command == (which == 1 ? 2 : 1) : e.command == 0);
    }
    if (!same) {
        ck->Warn(0,
                 "marquell-check found other displays than marquell's reader did: the places "
                 "given here may be wrong");
    }
}

bool EarlierPlace(const Warning& a, const Warning& b) {
    return a.line != b.line ? a.line < b.line : a.column < b.column;
}

}  // namespace

bool RateInTable(int rate) {
    for (int r : kRates) {
        if (r == rate) {
            return true;
        }
    }
    return false;
}

double WireSeconds(size_t bytes, int rate) {
    return rate > 0 ? static_cast<double>(bytes) * kBitsPerByte / rate : 0;
}

std::string PortStream(const CheckResult& result, int port) {
    std::string stream;
    for (const DisplayCheck& d : result.displays) {
        if (result.rate_ok && d.entry.LCD_number == port) {
            stream += d.bytes;
        }
    }
    return stream;
}

bool CheckFile(const char* path, int width, CheckResult* result) {
    *result = CheckResult();
    char* text = LoadFile(path);
    if (text == nullptr) {
        return false;
    }
    Capture cap;
    if (!CaptureOpen(&cap)) {
        free(text);
        return false;
    }
    Checker ck{{text, strlen(text)}, width, {}, {}, result};
    Walk(&ck);
    // The reader changes the text only while it runs and puts it back.
    Entry* head = ParseEntries(text);
    result->rate = baudrate;
    result->rate_ok = RateInTable(baudrate);
    size_t i = 0;
    for (Entry* e = head; e != nullptr; ++i) {
        DisplayCheck d;
        d.entry = *e;
        d.entry.next = nullptr;
        d.lcd_line = 0;
        d.lcd_column = 0;
        if (i < ck.scans.size()) {
            LineColumn(ck.text, ck.scans[i].lcd, &d.lcd_line, &d.lcd_column);
        }
        d.bytes = CaptureSequence(&cap, e);
        result->displays.push_back(d);
        Entry* next = e->next;
        free(e);
        e = next;
    }
    CheckWalkAgreesWithReader(&ck);
    CheckRate(&ck);
    CheckDisplayStarts(&ck);
    CheckCommands(&ck);
    CheckPorts(&ck);
    CheckRows(&ck, &cap);
    CaptureClose(&cap);
    free(text);
    std::stable_sort(result->warnings.begin(), result->warnings.end(), EarlierPlace);
    return true;
}
