// The display sequence: what one opened display receives.
#ifndef MARQUELL_DISPLAY_SEQUENCE_H
#define MARQUELL_DISPLAY_SEQUENCE_H

#include "entries.h"
#include "text.h"

// The attention pulse: five sweeps of the level (up, down, up, down, up) of
// kPulseSteps level commands each, two bytes a command.
constexpr int kPulseSteps = 1000;
constexpr int kPulseBytes = 5 * kPulseSteps * 2;

// The most bytes one display can take: the two set-up bytes, four rows of
// a position command and ROW_SIZE - 1 text bytes each sent as a letter
// escape, and the longest command, the pulse.
constexpr long long kLargestDisplayBytes =
    2 + 4 * (3 + (ROW_SIZE - 1) * kMostBytesPerTextByte) + kPulseBytes;

// Sends the set-up bytes, the four rows bottom-up and the record's command
// to the port in handle.
void RunDisplaySequence(const Entry* e);

// The level the contrast command sends: the low 8 bits of the number read.
ubyte ContrastLevel(const Entry* e);

#endif
