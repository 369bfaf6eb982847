// The reader is a substring scanner: every key is found by a case-sensitive
// search over the whole text, and where each search starts decides which key
// belongs to which display. Existing files depend on those starting points.
#include "entries.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int baudrate = 0;

namespace {

const size_t kFirstChunk = 4096;

// Reads "key=%d" at p as the C library's scanner would: key and '=' exact,
// then white space, an optional sign and at least one digit. Out-of-range
// numbers saturate at the int limits instead of being undefined.
bool ScanNumber(const char* p, const char* key, int* value) {
    size_t key_len = strlen(key);
    if (strncmp(p, key, key_len) != 0 || p[key_len] != '=') {
        return false;
    }
    p += key_len + 1;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude < limit) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    if (magnitude > limit) {
        magnitude = limit;
    }
    *value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

// Finds the quoted value of key at or after *cursor. On success *cursor is the
// value's first byte and the closing quote is returned; null when the key or
// either quote is missing.
char* FindValue(char** cursor, const char* key) {
    char* at = strstr(*cursor, key);
    if (at == nullptr) {
        return nullptr;
    }
    char* open = strchr(at, '"');
    if (open == nullptr) {
        return nullptr;
    }
    char* close = strchr(open + 1, '"');
    if (close == nullptr) {
        return nullptr;
    }
    *cursor = open + 1;
    return close;
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

// Searches from the display's "lcd" up to the next NUL; contrast wins when
// both keys are there. The command counts even when its number does not scan.
void FindCommand(Entry* e, const char* from) {
    const char* at = strstr(from, "cmd_attention");
    if (at != nullptr) {
        ScanNumber(at, "cmd_attention", &e->command_param);
        e->command = 1;
    }
    at = strstr(from, "cmd_contrast");
    if (at != nullptr) {
        ScanNumber(at, "cmd_contrast", &e->command_param);
        e->command = 2;
    }
}

// Reads line1 to line4 of one display from *cursor on, leaving *cursor at the
// first byte of the line4 value. The line1 value's closing quote stays a NUL
// through the command search, so that search ends at this display's line1.
// False when a key or quote is missing: parsing stops there.
bool ReadRows(Entry* e, char* lcd, char** cursor) {
    char* close = FindValue(cursor, "line1");
    if (close == nullptr) {
        return false;
    }
    CopyRow(e->line1, *cursor, close);
    *close = '\0';
    FindCommand(e, lcd);
    *close = '"';

    const char* keys[] = {"line2", "line3", "line4"};
    char* rows[] = {e->line2, e->line3, e->line4};
    for (int i = 0; i < 3; ++i) {
        close = FindValue(cursor, keys[i]);
        if (close == nullptr) {
            return false;
        }
        CopyRow(rows[i], *cursor, close);
    }
    return true;
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
// as unreadable once this has passed without one.
const int kWriterWaitMs = 5000;

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
        pollfd pfd{fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&pfd, 1, kWriterWaitMs);
        } while (ready < 0 && errno == EINTR);
        ok = ready > 0;
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

Entry* ParseEntries(char* text) {
    baudrate = 0;
    const char* rate = strstr(text, "baudrate");
    if (rate != nullptr) {
        ScanNumber(rate, "baudrate", &baudrate);
    }

    Entry* head = AddEntry(nullptr);
    Entry* current = head;
    char* lcd = strstr(text, "lcd");
    // The line1 search of every display after the first starts at the first
    // byte of the previous display's line4 value, not at its own "lcd".
    char* cursor = lcd;
    while (current != nullptr && lcd != nullptr) {
        ScanNumber(lcd, "lcd", &current->LCD_number);
        if (!ReadRows(current, lcd, &cursor)) {
            break;
        }
        lcd = strstr(cursor, "lcd");
        if (lcd != nullptr) {
            current = AddEntry(current);
        }
    }
    return head;
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
