// The one serial port in use at a time, and the display text written to it.
#ifndef MARQUELL_SERIAL_H
#define MARQUELL_SERIAL_H

#include "typedefs.h"

// Descriptor of the open port; 0 when none is open.
extern int handle;

// Opens devname raw, 8 data bits, no parity, 2 stop bits at baud_rate
// (1200, 2400, 4800, 9600 or 19200) and prints its result line.
// 0 success, 1 open failed, 2 rate refused, 3 tcgetattr failed,
// 4 tcsetattr failed. On 2 to 4 the port is closed again and handle is 0.
int Serial_Init(const char* devname, int baud_rate);

// Lets the queued output leave the line (bounded in time), then closes.
void Uninit_Serial();

// Writes one byte, waiting while the output queue is full; prints
// "SendByte() failed\n" when the byte cannot be written. Silent with no port.
void SendByte(ubyte datum);

// Sends a row text: the six letters of the display's own glyph set as
// escapes, bytes 1..127 as they are, every other byte dropped.
void SendString(const char* data);

#endif
