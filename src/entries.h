// The display list file: one rate for all displays and, per display, its
// port, four rows and at most one command.
#ifndef MARQUELL_ENTRIES_H
#define MARQUELL_ENTRIES_H

#include <cstddef>

#include "typedefs.h"

enum { ROW_SIZE = 256 };  // a row holds at most ROW_SIZE - 1 bytes and a NUL

// What a display's command selects.
enum Command {
    COMMAND_NONE = 0,
    COMMAND_ATTENTION = 1,  // the attention pulse; its number is not used
    COMMAND_CONTRAST = 2,   // the contrast, from the low 8 bits of its number
};

// The file's keys: the rows top to bottom, and the commands in the order of
// Command from COMMAND_ATTENTION on.
constexpr const char* kRowKeys[] = {"line1", "line2", "line3", "line4"};
constexpr const char* kCommandKeys[] = {"cmd_attention", "cmd_contrast"};

struct Entry {
    sbyte command;         // a Command
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
// A display after the first of which no line1 value is read is left out.
// The text is changed while it is read and restored before the return.
// Null only when memory runs out before the first record.
Entry* ParseEntries(char* text);

// Frees a list that ParseEntries gave; the program itself keeps its list
// for the whole run.
void FreeEntries(Entry* head);

// Loads and parses the file and prints the rate line. The list is never
// freed: it lives as long as the run. Null when the file
// cannot be read; then nothing is printed and baudrate is left alone.
Entry* LoadEntries(const char* filename);

#endif
