// The slips an owner makes when editing the file by hand, named where they
// are made: a key written in another letter case, a row value without
// straight double quotes or with a quote left open at the end of its line,
// and a display short of a row key, which then takes the next display's rows.
#ifndef MARQUELL_CHECKER_SLIP_RULES_H
#define MARQUELL_CHECKER_SLIP_RULES_H

#include <vector>

#include "check.h"
#include "places.h"

// Adds a warning, with the fix in the owner's own words, for each slip.
void CheckSlipRules(const Places& p, std::vector<Warning>* warnings);

#endif
