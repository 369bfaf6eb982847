// Arbitrary bytes as the text of marquell.ini, read the way the program reads
// it: LoadEntries on a file (a memfd, opened by path), then ParseEntries on a
// copy to check that the text comes back unchanged. Every record must hold
// NUL-terminated rows within their fields, with no quote in them, and a
// command of 0, 1 or 2.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "entries.h"
#include "silence.h"

namespace {

int memfd = -1;
char path[64];

// The program never frees its list; the harness does, so leaks stay visible.
void FreeList(Entry* e) {
    while (e != nullptr) {
        Entry* next = e->next;
        free(e);
        e = next;
    }
}

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
    FreeList(head);

    // The text as LoadFile hands it over: cut at the first NUL.
    char* text = static_cast<char*>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';
    size_t len = strlen(text);
    char* copy = static_cast<char*>(malloc(len + 1));
    memcpy(copy, text, len + 1);
    head = ParseEntries(text);
    CheckList(head);
    FreeList(head);
    if (memcmp(text, copy, len + 1) != 0) {
        abort();  // the parser left a NUL where a quote was
    }
    free(copy);
    free(text);
    return 0;
}
