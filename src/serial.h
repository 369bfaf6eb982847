// The one serial port in use at a time, and the display text written to it.
#ifndef MARQUELL_SERIAL_H
#define MARQUELL_SERIAL_H

#include <sys/types.h>
#include <termios.h>

#include "typedefs.h"

// Descriptor of the open port; 0 when none is open.
extern int handle;

// Opens devname raw, 8 data bits, no parity, 2 stop bits at baud_rate
// (1200, 2400, 4800, 9600 or 19200) and prints its result line.
// 0 success, 1 open failed, 2 rate refused, 3 tcgetattr failed,
// 4 tcsetattr failed. On 2 to 4 the port is closed again and handle is 0.
// The port is locked (flock) for the run's use; while another holds it, it
// is waited for as long as one display can need the line at this rate, then
// refused as not opened (1); later in the run it is not waited for again.
// Each failure but a refused rate is explained by a line on standard error.
// The settings are read back once applied: a driver that took them otherwise
// (a UART that cannot send 2 stop bits) is named on standard error, with
// what the line carries and what to do, and the port is still used, since a
// display may well read that line.
int Serial_Init(const char* devname, int baud_rate);

// Lets the queued output leave the line while it moves, then closes and so
// lets go of the port's lock. Bytes the driver says a stuck port still holds
// are discarded, and a line on standard error says how many.
void Uninit_Serial();

// Writes one byte, waiting while the output queue is full and the port keeps
// moving; prints "SendByte() failed\n" when the byte cannot be written.
// A port that goes away or moves nothing for the stuck time (line_wait.h)
// is lost for the rest of the display: no later byte is written to it, each
// gets its failure line at once, and a line on standard error says why.
// Silent with no port.
void SendByte(ubyte datum);

// True when the open port was lost for the rest of this display.
bool PortLost();

// What became of the display on the port Serial_Init last opened or tried,
// for the run's summary: asked after Uninit_Serial, or after a Serial_Init
// that failed.
enum Served {
    SERVED_WHOLE,    // every byte went to the line
    SERVED_STOPPED,  // a stop request kept bytes back, or kept the port from being taken
    SERVED_FAILED,   // the port was refused or lost, or queued bytes were discarded at close
};
Served HowServed();

// Where the port's bytes leave the program: write(2) on handle, unless a
// caller that wants the bytes themselves (the checker, the tests) puts its
// own in. It is called as write(2) is, with one byte, and answers as
// write(2) does. Null puts write(2) back.
using ByteSink = ssize_t (*)(int fd, const void* buf, size_t count);
void SetByteSink(ByteSink sink);

// Where the port's queue count (TIOCOUTQ) and its transmitter's state
// (TIOCSERGETLSR) come from: the driver, unless a test puts in its own to
// play a line that never drains or a device that never reports itself
// empty. It is called as ioctl(2) is, and answers as ioctl(2) does. Null
// puts the driver back.
using LineQuery = int (*)(int fd, unsigned long request, void* arg);
void SetLineQuery(LineQuery query);

// Where the line settings are applied: tcsetattr(fd, TCSANOW, tio) on the
// driver, unless a test puts in its own to play a driver that changes what
// it is asked and still answers 0, as one that cannot send 2 stop bits
// does. It answers as tcsetattr does. Null puts tcsetattr back.
using LineSetter = int (*)(int fd, const termios* tio);
void SetLineSetter(LineSetter setter);

// Sends bytes the display must get together, a command with its arguments,
// through SendByte; once the run is asked to stop, sends none of them.
void SendWhole(const ubyte* bytes, int count);

// Sends a row text: the six letters of the display's own glyph set as
// escapes, bytes 1..127 as they are, every other byte dropped. Each letter
// goes whole, and none once the run is asked to stop.
void SendString(const char* data);

// True when the bytes queued on the port keep the line busy for at least ns:
// a pause of that length would change nothing on the wire. Ports whose
// driver keeps no count (pseudo-terminals) never cover a pause.
bool QueueCovers(long long ns);

#endif
