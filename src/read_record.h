// Where the reader's searches landed in a file's text, for a caller that
// wants to point at the text (marquell-check). The program itself reads no
// record.
#ifndef MARQUELL_READ_RECORD_H
#define MARQUELL_READ_RECORD_H

#include <cstddef>

#include "entries.h"

// How one "key=%d" scan fared.
enum ScanOutcome {
    SCAN_READ,       // a number was read
    SCAN_SATURATED,  // a number was read that does not fit an int: held at INT_MIN or INT_MAX
    SCAN_BLANKS,     // blanks stand between the key and its '=': nothing read
    SCAN_NO_EQUALS,  // no '=' after the key: nothing read
    SCAN_NO_DIGITS,  // no number after the '=': nothing read
};

// Why reading ended.
enum ReadEnd {
    READ_ALL,               // no "lcd" after the last display's line4 value
    READ_NO_ROW_KEY,        // no row key from end_at on
    READ_NO_OPENING_QUOTE,  // the row key at end_at has no quote after it
    READ_NO_CLOSING_QUOTE,  // the value opened by the quote at end_at is never closed
};

// Offset of a search that found nothing or did not run.
constexpr size_t kNowhere = static_cast<size_t>(-1);

// Where the searches for one display landed, as offsets in the text.
struct RowPlaces {
    size_t key;    // "line1" .. "line4"
    size_t value;  // the value's first byte
    size_t close;  // its closing quote
};

struct DisplayPlaces {
    size_t lcd;
    ScanOutcome lcd_scan;
    int rows_read;  // rows[0 .. rows_read - 1] were found
    RowPlaces rows[4];
    // "cmd_attention" and "cmd_contrast" as the command search found them;
    // contrast wins when both are there.
    size_t command_key[2];
    ScanOutcome command_scan[2];
};

// Where the reader looked, for a caller that wants to point at the text.
struct ReadRecord {
    size_t baudrate;  // the first "baudrate"
    ScanOutcome baudrate_scan;
    DisplayPlaces* displays;  // one for each "lcd" read, in list order
    size_t count;
    size_t capacity;
    ReadEnd end;
    size_t end_at;       // where reading stopped; kNowhere after READ_ALL
    int end_row;         // the row being read then, 0 (line1) .. 3
    bool out_of_memory;  // the record or the list is incomplete
    // The "lcd" of a display after the first of which no line1 value was
    // read: it is in neither the list nor displays. kNowhere when none.
    size_t unserved_lcd;
};

// ParseEntries, noting in record (zero-filled, or as an earlier call left
// it) where every search landed; the caller frees it with FreeReadRecord.
Entry* ParseEntries(char* text, ReadRecord* record);

void FreeReadRecord(ReadRecord* record);

#endif
