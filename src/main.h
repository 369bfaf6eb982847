// The display sequence: what one opened display receives.
#ifndef MARQUELL_MAIN_H
#define MARQUELL_MAIN_H

#include "entries.h"

// The attention pulse: five sweeps of the level (up, down, up, down, up) of
// kPulseSteps level commands each, two bytes a command.
constexpr int kPulseSteps = 1000;
constexpr int kPulseBytes = 5 * kPulseSteps * 2;

// Sends the set-up bytes, the four rows bottom-up and the record's command
// to the port in handle.
void RunDisplaySequence(const Entry* e);

// The level the contrast command sends: the low 8 bits of the number read.
ubyte ContrastLevel(const Entry* e);

#endif
