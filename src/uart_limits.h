// UARTs whose driver cannot give a display the line it asks for, and what an
// owner can do instead: the one place that knows them. marquell names one
// when a port's settings read back otherwise; marquell-check names it before
// the first run.
#ifndef MARQUELL_UART_LIMITS_H
#define MARQUELL_UART_LIMITS_H

#include <sys/types.h>
#include <termios.h>

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

// True when the line a port took, as read back, gives a display all that it
// depends on as asked: its data bits, parity and stop bits, its rate in
// both directions, bytes passed out unchanged and no flow control.
bool LineAsAsked(const termios& asked, const termios& taken);

// The line as people write it: "8N1 at 9600 baud", with what else it does
// to the bytes ("with output processing and XON/XOFF flow control").
void DescribeLine(const termios& line, char* out, size_t size);

// One sentence, without the port's name, for a port whose driver (its sysfs
// name, "" when unknown) took the line otherwise than asked: what the line
// carries, what that does to a display, and what to do. False, and out
// empty, when the line is as asked.
bool DescribeLineTaken(const termios& asked, const termios& taken, const char* driver, char* out,
                       size_t size);

#endif
