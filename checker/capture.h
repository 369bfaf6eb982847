// Capturing what marquell's own code sends: its byte sink keeps the bytes in
// memory while a descriptor stands in for the port.
#ifndef MARQUELL_CHECKER_CAPTURE_H
#define MARQUELL_CHECKER_CAPTURE_H

#include <string>

#include "entries.h"

struct Capture {
    int fd;  // stands in for the port
};

// False when no descriptor can be had.
bool CaptureOpen(Capture* c);
void CaptureClose(Capture* c);

// What marquell's display sequence sends for e.
std::string CaptureSequence(const Capture* c, const Entry* e);

// What marquell sends for a row text.
std::string CaptureText(const Capture* c, const std::string& text);

#endif
