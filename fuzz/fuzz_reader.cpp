// Arbitrary bytes as the text of marquell.ini, read the way the program reads
// it: LoadEntries on a file (a memfd, opened by path), then ParseEntries on a
// copy to check that the text comes back unchanged. Every record must hold
// NUL-terminated rows within their fields, with no quote in them, and a
// command of 0, 1 or 2. Read once more with a ReadRecord, the list must be
// the same, and the record must hold what marquell-check's binary searches
// rely on: one entry a display, "lcd"s in file order, values in file order
// that never overlap, every place inside the text, and a display left out
// only where reading stopped at its line1, after the last one listed.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "entries.h"
#include "read_record.h"
#include "silence.h"

namespace {

int memfd = -1;
char path[64];

void CheckRow(const char* row) {
    size_t len = strnlen(row, ROW_SIZE);
    if (len >= ROW_SIZE || memchr(row, '"', len) != nullptr) {
        abort();
    }
}

void CheckList(const Entry* head) {
    if (head == nullptr) {
        abort();  // the text was readable: at least one record
    }
    for (const Entry* e = head; e != nullptr; e = e->next) {
        if (e->command < 0 || e->command > 2) {
            abort();
        }
        CheckRow(e->line1);
        CheckRow(e->line2);
        CheckRow(e->line3);
        CheckRow(e->line4);
    }
}

bool SameEntry(const Entry* a, const Entry* b) {
    return a->command == b->command && a->command_param == b->command_param &&
           a->LCD_number == b->LCD_number && strcmp(a->line1, b->line1) == 0 &&
           strcmp(a->line2, b->line2) == 0 && strcmp(a->line3, b->line3) == 0 &&
           strcmp(a->line4, b->line4) == 0;
}

void CheckRecord(const ReadRecord* r, const Entry* head, size_t len) {
    size_t listed = 0;
    for (const Entry* e = head; e != nullptr; e = e->next) {
        ++listed;
    }
    if (r->out_of_memory || listed != (r->count == 0 ? 1 : r->count)) {
        abort();
    }
    size_t last_lcd = 0;
    size_t last_close = 0;
    for (size_t i = 0; i < r->count; ++i) {
        const DisplayPlaces& d = r->displays[i];
        if (d.lcd >= len || d.lcd < last_lcd || d.rows_read < 0 || d.rows_read > 4) {
            abort();
        }
        for (size_t key : d.command_key) {
            if (key != kNowhere && key >= len) {
                abort();
            }
        }
        last_lcd = d.lcd;
        for (int k = 0; k < d.rows_read; ++k) {
            const RowPlaces& row = d.rows[k];
            if (row.key >= row.value || row.value > row.close || row.close >= len ||
                (last_close > 0 && row.value <= last_close)) {
                abort();
            }
            last_close = row.close;
        }
    }
    if ((r->end == READ_ALL) != (r->end_at == kNowhere) ||
        (r->end != READ_ALL && r->end_at >= len)) {
        abort();
    }
    if (r->unserved_lcd != kNowhere &&
        (r->end == READ_ALL || r->end_row != 0 || r->count == 0 || r->unserved_lcd >= len ||
         r->unserved_lcd < r->displays[r->count - 1].lcd)) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    SilenceStdout();
    memfd = memfd_create("marquell.ini", 0);
    if (memfd < 0) {
        abort();
    }
    snprintf(path, sizeof path, "/proc/self/fd/%d", memfd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (ftruncate(memfd, 0) != 0 || pwrite(memfd, data, size, 0) != static_cast<ssize_t>(size)) {
        abort();
    }
    Entry* head = LoadEntries(path);
    CheckList(head);
    FreeEntries(head);

    // The text as LoadFile hands it over: cut at the first NUL.
    char* text = static_cast<char*>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';
    size_t len = strlen(text);
    char* copy = static_cast<char*>(malloc(len + 1));
    memcpy(copy, text, len + 1);
    head = ParseEntries(text);
    CheckList(head);
    if (memcmp(text, copy, len + 1) != 0) {
        abort();  // the parser left a NUL where a quote was
    }
    ReadRecord record{};
    Entry* recorded = ParseEntries(text, &record);
    CheckRecord(&record, recorded, len);
    for (const Entry *a = head, *b = recorded; a != nullptr || b != nullptr;
         a = a->next, b = b->next) {
        if (a == nullptr || b == nullptr || !SameEntry(a, b)) {
            abort();
        }
    }
    FreeReadRecord(&record);
    FreeEntries(recorded);
    FreeEntries(head);
    free(copy);
    free(text);
    return 0;
}
