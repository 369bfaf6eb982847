// UARTs whose driver cannot give a display the line it asks for, and what an
// owner can do instead: the one place that knows them. marquell names one
// when a port's settings read back otherwise; marquell-check names it before
// the first run.
#ifndef MARQUELL_UART_LIMITS_H
#define MARQUELL_UART_LIMITS_H

#include <sys/types.h>

#include <cstddef>

// A UART that sends 1 stop bit whatever it is asked: its driver clears
// CSTOPB, and tcsetattr still succeeds.
struct OneStopBitUart {
    const char* driver;  // the driver's name, as sysfs gives it
    const char* what;    // what it is, for people
    const char* fix;     // how to put the display on a UART that sends 2
};

// The entry for a driver known to send 1 stop bit only; null for any other.
const OneStopBitUart* FindOneStopBitUart(const char* driver);

// What a display makes of 1 stop bit where it asks for 2, for people.
extern const char kOneStopBitEffect[];

// The name of the driver bound to the character device rdev, as the sysfs
// under root ("" for this machine's own; a test's folder) tells it; false,
// and out empty, when it cannot be told.
bool PortDriver(const char* root, dev_t rdev, char* out, size_t size);

#endif
