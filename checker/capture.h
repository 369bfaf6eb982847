// A pipe that stands in for the port: the handle is pointed at its write end
// while marquell's own code sends, and the bytes are read back after.
#ifndef MARQUELL_CHECKER_CAPTURE_H
#define MARQUELL_CHECKER_CAPTURE_H

#include <string>

#include "entries.h"

struct Capture {
    int read_fd;
    int write_fd;
};

// False when no pipe can be had.
bool CaptureOpen(Capture* c);
void CaptureClose(Capture* c);

// What marquell's display sequence sends for e.
std::string CaptureSequence(const Capture* c, const Entry* e);

// What marquell sends for a row text.
std::string CaptureText(const Capture* c, const std::string& text);

#endif
