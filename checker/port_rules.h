// The machine's side of the file: a display's port that is missing, that the
// kernel's console, a login prompt or another program also uses, or that
// cannot send the 2 stop bits a display asks for.
#ifndef MARQUELL_CHECKER_PORT_RULES_H
#define MARQUELL_CHECKER_PORT_RULES_H

#include "check.h"

// For the first display on each port the file names, at its "lcd", as the
// system under root ("" for this machine; a test's folder with dev/, sys/
// and proc/) shows it: a warning for a port in use by the console, a login
// prompt or another program, and for a UART that sends 1 stop bit; a note
// for a port that is not there, as on a machine that only checks the file.
// A port that cannot be told is passed over.
void CheckPortUses(const char* root, CheckResult* result);

#endif
