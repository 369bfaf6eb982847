// The traps of the file as a whole, found in the reader's record: the rate,
// where displays start, which display takes which command, and where reading
// stopped.
#ifndef MARQUELL_CHECKER_FILE_RULES_H
#define MARQUELL_CHECKER_FILE_RULES_H

#include "check.h"
#include "places.h"

// Adds a warning to result for each trap; result holds the displays read.
void CheckFileRules(const Places& p, CheckResult* result);

#endif
