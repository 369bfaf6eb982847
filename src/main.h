// The display sequence: what one opened display receives.
#ifndef MARQUELL_MAIN_H
#define MARQUELL_MAIN_H

#include "entries.h"

// Sends the set-up bytes, the four rows bottom-up and the record's command
// to the port in handle.
void RunDisplaySequence(const Entry* e);

// Pauses t units of 3 ns (delay(10000) is 30 us); t <= 0 returns at once.
void delay(int t);

#endif
