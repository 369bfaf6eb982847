// Each display's screen as its port's display shows it after that serving:
// a port's display keeps every cell, the contrast and the level that later
// servings do not change, and a command left open at the end of one serving
// takes the first bytes of the next. Warns where displays share a port.
#ifndef MARQUELL_CHECKER_SCREENS_H
#define MARQUELL_CHECKER_SCREENS_H

#include "check.h"
#include "places.h"

// Fills in the screen of every display in result, whose bytes are captured,
// for displays width columns wide, and adds the warnings of shared ports.
void CheckScreens(const Places& p, int width, CheckResult* result);

#endif
