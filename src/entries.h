// The display list file: one rate for all displays and, per display, its
// port, four rows and at most one command.
#ifndef MARQUELL_ENTRIES_H
#define MARQUELL_ENTRIES_H

#include "typedefs.h"

enum { ROW_SIZE = 256 };  // a row holds at most ROW_SIZE - 1 bytes and a NUL

struct Entry {
    sbyte command;         // 0 none, 1 attention pulse, 2 contrast
    int command_param;     // number after cmd_attention= or cmd_contrast=
    int LCD_number;        // the display hangs on /dev/ttyS<LCD_number>
    char line1[ROW_SIZE];  // top row
    char line2[ROW_SIZE];
    char line3[ROW_SIZE];
    char line4[ROW_SIZE];  // bottom row
    Entry* next;
};

// Rate for every display, set by LoadEntries.
extern int baudrate;

// The whole file followed by a NUL, cut at its first NUL byte; null when the
// file cannot be opened or read, or memory runs out.
char* LoadFile(const char* filename);

// A new zero-filled record, linked behind e when e is not null.
// Null when memory runs out.
Entry* AddEntry(Entry* e);

// Reads the displays from a NUL-terminated file text and sets baudrate.
// The text is changed while it is read and restored before the return.
// Null only when memory runs out before the first record.
Entry* ParseEntries(char* text);

// Loads and parses the file and prints the rate line. The list is never
// freed: it lives as long as the run. Null when the file
// cannot be read; then nothing is printed and baudrate is left alone.
Entry* LoadEntries(const char* filename);

#endif
