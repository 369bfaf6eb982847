// The traps in the row values: values cut at 255 bytes, control bytes,
// characters that vanish or change on the way to the display, byte 127, and
// rows wider than the display.
#ifndef MARQUELL_CHECKER_ROW_RULES_H
#define MARQUELL_CHECKER_ROW_RULES_H

#include <vector>

#include "capture.h"
#include "check.h"
#include "places.h"

// Adds a warning for each trap in every row the reader took, for displays
// width columns wide. What a character becomes is asked of marquell's own
// text encoding through cap.
void CheckRowRules(const Places& p, const Capture* cap, int width, std::vector<Warning>* warnings);

#endif
