// Places in the file text: the line and column of an offset, and what the
// reader's record says stands there. Warnings are given at places.
#ifndef MARQUELL_CHECKER_PLACES_H
#define MARQUELL_CHECKER_PLACES_H

#include <cstddef>
#include <string>
#include <vector>

#include "check.h"
#include "entries.h"
#include "read_record.h"

// A row value as the reader took it.
struct ValueSpan {
    size_t begin;  // first byte
    size_t close;  // closing quote
    size_t display;
    int row;
};

// A note: its '#' or ';', and the end of its line.
struct NoteSpan {
    size_t begin;
    size_t end;
};

struct Places {
    const char* text;
    size_t len;
    const ReadRecord* record;
    size_t start;  // the first byte after a UTF-8 byte-order mark, else 0
    std::vector<size_t> line_starts;
    std::vector<size_t> chars_before;  // UTF-8 characters before each block of bytes
    std::vector<ValueSpan> values;     // in file order; they never overlap
    // The owner's notes, in file order: a note is the text from a '#' or ';'
    // outside the values to the end of its line, the '#' or ';' first on its
    // line or between blanks.
    std::vector<NoteSpan> notes;
};

// Indexes text (len bytes) as read into record, in one pass.
void PlacesInit(Places* p, const char* text, size_t len, const ReadRecord* record);

// 1-based line, and 1-based column in UTF-8 characters.
void LineColumn(const Places& p, size_t at, int* line, int* column);

// "line:column".
std::string Place(const Places& p, size_t at);

// True when the byte at at stands in a note. The reader knows no notes: a
// key in one counts all the same where its searches meet it.
bool InNote(const Places& p, size_t at);

// Where the setting at at ends: its line's end or note, without the blanks
// and the carriage return before either.
size_t SettingEnd(const Places& p, size_t at);

// The row value that holds the byte at at, if any.
const ValueSpan* InsideValue(const Places& p, size_t at);

// The last display whose "lcd" stands at or before at; -1 for none.
long DisplayAround(const Places& p, size_t at);

// Where display i's text ends: the next "lcd" that began a display, served
// or not, or the text's end.
size_t DisplayEnd(const Places& p, size_t i);

// A blank: a space or a tab.
bool Blank(char c);

// The first byte at or after at that is not a blank.
size_t SkipBlanks(const Places& p, size_t at);

// A byte that can be part of a word: a letter, digit, '_' or any non-ASCII
// byte.
bool WordByte(char c);

// True when the byte before at is part of a word; a byte-order mark is not.
bool WordBefore(const Places& p, size_t at);

// The next occurrence of needle at or after from; kNowhere when none.
size_t FindFrom(const Places& p, size_t from, const char* needle);

// Adds a warning at offset at, formatted as printf does.
void Warn(const Places& p, std::vector<Warning>* warnings, size_t at, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// The same, with the fix that its text names: writing fix.text over the
// bytes [fix.from, fix.to) of the file.
void WarnFix(const Places& p, std::vector<Warning>* warnings, size_t at, const Fix& fix,
             const char* fmt, ...) __attribute__((format(printf, 5, 6)));

#endif
