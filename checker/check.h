// The checker's analysis: reads a display list file with marquell's own
// reader, runs marquell's own display sequence for every display into a
// buffer, shows each display's screen as its port's display is left by it,
// and finds the traps of the format with their place in the file.
#ifndef MARQUELL_CHECKER_CHECK_H
#define MARQUELL_CHECKER_CHECK_H

#include <cstddef>
#include <string>
#include <vector>

#include "entries.h"

// A change to the file that a warning names as its fix ("write ..."):
// text in place of the bytes [from, to). Empty when there is none.
struct Fix {
    size_t from = 0;
    size_t to = 0;
    std::string text;
};

struct Warning {
    int line;    // 1-based
    int column;  // 1-based, in UTF-8 characters
    std::string text;
    Fix fix;
};

struct DisplayCheck {
    Entry entry;   // the reader's record (next is null)
    int lcd_line;  // where its "lcd" stands; 0 when the file has none
    int lcd_column;
    bool port_named;     // its port is the number written after its "lcd="
    std::string bytes;   // what the display sequence sends it
    std::string screen;  // its port's display after this serving, as ModelRender draws it
};

struct CheckResult {
    int rate;      // as the reader sets it
    bool rate_ok;  // a rate the port can be set to; else no display gets a byte
    std::vector<DisplayCheck> displays;  // in the order marquell serves them
    std::vector<Warning> warnings;       // in file order
    // What the file cannot tell, such as what an earlier run left on a
    // display; in file order. Notes do not make the file fail the check.
    std::vector<Warning> notes;
};

// True when a stands before b in the file.
bool EarlierPlace(const Warning& a, const Warning& b);

// Puts warnings in file order, those at one place in the order they came.
void SortByPlace(std::vector<Warning>* warnings);

// Reads and checks path for displays width columns wide. False when the file
// cannot be read (or memory runs out).
bool CheckFile(const char* path, int width, CheckResult* result);

// Every byte port receives in a run with every port present: the streams of
// its displays in turn, or nothing when the rate is refused.
std::string PortStream(const CheckResult& result, int port);

// Time the bytes take on the line at rate baud, 11 bits a byte (8N2).
double WireSeconds(size_t bytes, int rate);

#endif
