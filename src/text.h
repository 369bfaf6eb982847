// The text encoding: what a byte of a row text becomes on the display.
#ifndef MARQUELL_TEXT_H
#define MARQUELL_TEXT_H

#include "typedefs.h"

// A letter of the display's own glyph set goes as a three-byte escape.
constexpr int kMostBytesPerTextByte = 3;

// The display bytes for one text byte, written to out: one of the six
// letters' bytes as its escape, bytes 1..127 as they are, every other byte
// as nothing. Returns how many were written.
int TextByteOnDisplay(ubyte b, ubyte out[kMostBytesPerTextByte]);

#endif
