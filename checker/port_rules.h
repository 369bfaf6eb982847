// The machine's side of the file: a display's port that the kernel's console
// or a login prompt also uses.
#ifndef MARQUELL_CHECKER_PORT_RULES_H
#define MARQUELL_CHECKER_PORT_RULES_H

#include "check.h"

// Adds a warning at the "lcd" of the first display on each port that the
// system under root ("" for this machine; a test's folder with dev/, sys/
// and proc/) shows in use by the console, a login prompt or another program.
// Ports that are missing or cannot be told are passed over.
void CheckPortUses(const char* root, CheckResult* result);

#endif
