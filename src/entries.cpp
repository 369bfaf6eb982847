// The reader is a substring scanner: every key is found by a case-sensitive
// search over the whole text, and where each search starts decides which key
// belongs to which display. Existing files depend on those starting points.
#include "entries.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "read_record.h"
#include "stop.h"

int baudrate = 0;

namespace {

const size_t kFirstChunk = 4096;

// Reads "key=%d" at p, where key stands, as the C library's scanner would:
// '=' right after the key, then white space, an optional sign and at least
// one digit. Out-of-range numbers saturate at the int limits instead of being
// undefined, and say so. A scan that fails leaves *value as it was.
ScanOutcome ScanNumber(const char* p, const char* key, int* value) {
    p += strlen(key);
    if (*p != '=') {
        const char* q = p;
        while (*q == ' ' || *q == '\t') {
            ++q;
        }
        return q > p && *q == '=' ? SCAN_BLANKS : SCAN_NO_EQUALS;
    }
    ++p;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return SCAN_NO_DIGITS;
    }
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) {
            magnitude = limit;
            saturated = true;
        }
    }
    *value = static_cast<int>(negative ? -magnitude : magnitude);
    return saturated ? SCAN_SATURATED : SCAN_READ;
}

// A command search that ran to the end of the text: the first key at or
// after from is found (null: none).
struct SearchToEnd {
    const char* from;
    const char* found;
};

// One pass over a text: where the next row key search starts, where and why
// reading stopped, and the last command searches that ran to the end.
struct Reading {
    char* text;
    char* cursor;
    ReadEnd end;
    char* end_at;
    int end_row;
    SearchToEnd to_end[2];
};

size_t Offset(const Reading* r, const char* at) {
    return at != nullptr ? static_cast<size_t>(at - r->text) : kNowhere;
}

// Finds the quoted value of key at or after r->cursor and notes its key, its
// first byte and its closing quote in row. False when the key or either quote
// is missing: reading stops there.
bool FindValue(Reading* r, const char* key, RowPlaces* row, char** close) {
    char* at = strstr(r->cursor, key);
    char* open = at != nullptr ? strchr(at, '"') : nullptr;
    *close = open != nullptr ? strchr(open + 1, '"') : nullptr;
    if (*close == nullptr) {
        r->end = at == nullptr     ? READ_NO_ROW_KEY
                 : open == nullptr ? READ_NO_OPENING_QUOTE
                                   : READ_NO_CLOSING_QUOTE;
        r->end_at = at == nullptr ? r->cursor : open == nullptr ? at : open;
        return false;
    }
    r->cursor = open + 1;
    *row = RowPlaces{Offset(r, at), Offset(r, open + 1), Offset(r, *close)};
    return true;
}

// Copies the value [from, to) into a row, cut to what the row holds.
void CopyRow(char* row, const char* from, const char* to) {
    size_t len = static_cast<size_t>(to - from);
    if (len > ROW_SIZE - 1) {
        len = ROW_SIZE - 1;
    }
    memcpy(row, from, len);
    row[len] = '\0';
}

// The first key at or after from, to the end of the text. Displays whose
// line1 stands before their "lcd" search this way, and they can follow one
// another by the thousand; their "lcd"s never move back, so the last search's
// answer holds for any later start up to where it was found, and the text is
// scanned once rather than once a display.
const char* FindToEnd(SearchToEnd* last, const char* from, const char* key) {
    bool holds = last->from != nullptr && from >= last->from &&
                 (last->found == nullptr || from <= last->found);
    if (!holds) {
        last->from = from;
        last->found = strstr(from, key);
    }
    return last->found;
}

// Searches from the display's "lcd" up to the next NUL, which is the line1
// value's closing quote when that stands after the "lcd"; contrast wins when
// both keys are there. The command counts even when its number does not scan.
void FindCommand(Reading* r, Entry* e, const char* lcd, const char* close, DisplayPlaces* d) {
    for (int k = 0; k < 2; ++k) {
        const char* key = kCommandKeys[k];
        const char* at = close > lcd ? strstr(lcd, key) : FindToEnd(&r->to_end[k], lcd, key);
        d->command_key[k] = Offset(r, at);
        if (at != nullptr) {
            d->command_scan[k] = ScanNumber(at, key, &e->command_param);
            e->command = static_cast<sbyte>(COMMAND_ATTENTION + k);
        }
    }
}

// Reads line1 to line4 of one display, leaving r->cursor at the first byte of
// the line4 value. The line1 value's closing quote stays a NUL through the
// command search, so that search ends at this display's line1. False when a
// key or quote is missing: parsing stops there.
bool ReadRows(Reading* r, Entry* e, const char* lcd, DisplayPlaces* d) {
    char* rows[] = {e->line1, e->line2, e->line3, e->line4};
    for (int i = 0; i < 4; ++i) {
        char* close;
        if (!FindValue(r, kRowKeys[i], &d->rows[i], &close)) {
            r->end_row = i;
            return false;
        }
        d->rows_read = i + 1;
        CopyRow(rows[i], r->cursor, close);
        if (i == 0) {
            *close = '\0';
            FindCommand(r, e, lcd, close, d);
            *close = '"';
        }
    }
    return true;
}

// A blank set of places for the display whose "lcd" is at lcd.
DisplayPlaces NewPlaces(const Reading* r, const char* lcd) {
    DisplayPlaces d{};
    d.lcd = Offset(r, lcd);
    for (RowPlaces& row : d.rows) {
        row = RowPlaces{kNowhere, kNowhere, kNowhere};
    }
    d.command_key[0] = kNowhere;
    d.command_key[1] = kNowhere;
    return d;
}

void Note(ReadRecord* record, const DisplayPlaces* d) {
    if (record->out_of_memory) {
        return;
    }
    if (record->count == record->capacity) {
        size_t cap = record->capacity == 0 ? 64 : record->capacity * 2;
        void* grown = cap < static_cast<size_t>(-1) / sizeof *d
                          ? realloc(record->displays, cap * sizeof *d)
                          : nullptr;
        if (grown == nullptr) {
            record->out_of_memory = true;
            return;
        }
        record->displays = static_cast<DisplayPlaces*>(grown);
        record->capacity = cap;
    }
    record->displays[record->count++] = *d;
}

// Grows buf to hold at least need bytes; false (buf untouched) when memory
// runs out or the size would overflow.
bool Grow(char** buf, size_t* cap, size_t need) {
    size_t new_cap = *cap;
    while (new_cap < need) {
        if (new_cap > static_cast<size_t>(-1) / 2) {
            return false;
        }
        new_cap *= 2;
    }
    if (new_cap == *cap) {
        return true;
    }
    char* grown = static_cast<char*>(realloc(*buf, new_cap));
    if (grown == nullptr) {
        return false;
    }
    *buf = grown;
    *cap = new_cap;
    return true;
}

// A FIFO whose writer never comes would block the open for ever; it counts
// as unreadable once this has passed without one, or at once when the run
// is asked to stop meanwhile.
const long long kWriterWaitNs = 5000000000;
const int kWriterPollMs = 100;

// Waits for a FIFO's writer: true once there is something to read.
bool AwaitWriter(int fd) {
    const long long deadline_ns = NowNs() + kWriterWaitNs;
    for (;;) {
        const long long left_ns = deadline_ns - NowNs();
        if (left_ns <= 0 || StopSignal() != 0) {
            return false;
        }
        // In short steps, so a stop is seen even if its signal came just
        // before the poll began.
        pollfd pfd{fd, POLLIN, 0};
        const int step_ms =
            static_cast<int>(std::min<long long>(kWriterPollMs, left_ns / 1000000 + 1));
        const int ready = poll(&pfd, 1, step_ms);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Opens the file for reading in binary mode. The open does not block, so a
// FIFO without a writer cannot hang the run; it waits for one a while instead.
FILE* OpenText(const char* filename) {
    int fd;
    do {
        fd = open(filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (ok && S_ISFIFO(st.st_mode)) {
        ok = AwaitWriter(fd);
    }
    ok = ok && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
    FILE* file = ok ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

}  // namespace

// Reads to end of file rather than trusting a size learnt by seeking, so a
// pipe works and a file that grows cannot overrun the buffer. Reading stops at
// the first NUL, since the text ends there; a device that never ends (such as
// /dev/zero) therefore costs nothing.
char* LoadFile(const char* filename) {
    FILE* file = OpenText(filename);
    if (file == nullptr) {
        return nullptr;
    }
    size_t cap = kFirstChunk;
    size_t len = 0;
    char* buf = static_cast<char*>(calloc(cap, 1));
    bool ok = buf != nullptr;
    while (ok) {
        if (len + 1 == cap && !Grow(&buf, &cap, cap + 1)) {
            ok = false;
            break;
        }
        size_t got = fread(buf + len, 1, cap - 1 - len, file);
        bool has_nul = memchr(buf + len, '\0', got) != nullptr;
        len += got;
        if (has_nul || got == 0) {
            ok = !ferror(file);
            break;
        }
    }
    fclose(file);
    if (!ok) {
        free(buf);
        return nullptr;
    }
    buf[len] = '\0';
    return buf;
}

Entry* AddEntry(Entry* e) {
    Entry* added = static_cast<Entry*>(calloc(1, sizeof(Entry)));
    if (added != nullptr && e != nullptr) {
        e->next = added;
    }
    return added;
}

void FreeEntries(Entry* head) {
    while (head != nullptr) {
        Entry* next = head->next;
        free(head);
        head = next;
    }
}

void FreeReadRecord(ReadRecord* record) {
    free(record->displays);
    *record = ReadRecord{};
}

Entry* ParseEntries(char* text, ReadRecord* record) {
    if (record != nullptr) {
        FreeReadRecord(record);
        record->baudrate = kNowhere;
    }
    Reading r{text, nullptr, READ_ALL, nullptr, 0, {}};
    baudrate = 0;
    const char* rate = strstr(text, "baudrate");
    if (rate != nullptr) {
        ScanOutcome scan = ScanNumber(rate, "baudrate", &baudrate);
        if (record != nullptr) {
            record->baudrate = Offset(&r, rate);
            record->baudrate_scan = scan;
        }
    }

    Entry* head = AddEntry(nullptr);
    Entry* current = head;
    Entry* previous = nullptr;
    char* lcd = strstr(text, "lcd");
    char* unserved = nullptr;
    // The line1 search of every display after the first starts at the first
    // byte of the previous display's line4 value, not at its own "lcd".
    r.cursor = lcd;
    while (current != nullptr && lcd != nullptr) {
        DisplayPlaces d = NewPlaces(&r, lcd);
        d.lcd_scan = ScanNumber(lcd, "lcd", &current->LCD_number);
        bool whole = ReadRows(&r, current, lcd, &d);
        if (previous != nullptr && d.rows_read == 0) {
            // An "lcd" in a closing note or in the last row's text, with no
            // line1 after it: serving it would send four empty rows to a
            // port nobody named, often port 0, the machine's console.
            previous->next = nullptr;
            free(current);
            current = previous;
            unserved = lcd;
            break;
        }
        if (record != nullptr) {
            Note(record, &d);
        }
        if (!whole) {
            break;
        }
        lcd = strstr(r.cursor, "lcd");
        if (lcd != nullptr) {
            previous = current;
            current = AddEntry(current);
        }
    }
    if (record != nullptr) {
        record->end = r.end;
        record->end_at = Offset(&r, r.end_at);
        record->end_row = r.end_row;
        record->unserved_lcd = Offset(&r, unserved);
        record->out_of_memory = record->out_of_memory || current == nullptr;
    }
    return head;
}

Entry* ParseEntries(char* text) {
    return ParseEntries(text, nullptr);
}

Entry* LoadEntries(const char* filename) {
    char* text = LoadFile(filename);
    if (text == nullptr) {
        return nullptr;
    }
    Entry* head = ParseEntries(text);
    free(text);  // the records hold copies of everything they need
    printf("Baudrate = %d\r\n", baudrate);
    return head;
}
