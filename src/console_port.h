// Whether a display's port is also the kernel's console or a login prompt's
// line. Both write their own text to the line, and a getty sets the line to
// its own settings, so a display there shows garbage with no other sign.
#ifndef MARQUELL_CONSOLE_PORT_H
#define MARQUELL_CONSOLE_PORT_H

#include <sys/types.h>

#include <cstddef>

struct PortUse {
    char name[32];      // the kernel's name of the port (ttyS1, ttyUSB0); empty when unknown
    bool console;       // an active kernel console
    char getty[80];     // the unit of a login prompt running on it; empty when none is seen
    char holder[96];    // another program holding it open, "agetty (pid 412)"; empty when none
    bool raspi_config;  // a Raspberry Pi's own UART, with raspi-config there to free it
};

// What the system under root ("" for this machine's own; a folder with sys/,
// proc/ and usr/ for the tests) tells about the character device rdev. It
// reads a few small files of sysfs and, with scan_processes, the links of
// every process's open files it may read (never the files themselves: only
// device nodes under /dev are looked at). Anything it cannot read counts as
// not seen: it never names a use it could not tell.
PortUse FindPortUse(const char* root, dev_t rdev, bool scan_processes);

// One sentence for the port's uses and the command that frees the port,
// without the port's own name; false, and out empty, when there are none.
bool DescribePortUse(const PortUse& use, char* out, size_t size);

// A login prompt started on the name the port was opened by, a udev link
// (serial-getty@ttyS40.service for /dev/ttyS40 to ttyUSB0), runs on the same
// line: looked for under root when none was seen on the kernel's name.
void FindLinkGetty(const char* root, const char* path, PortUse* use);

// The same for the port open on fd, opened by path, on this machine, without
// scanning the processes: what marquell says for each port it serves.
bool DescribeOpenPortUse(int fd, const char* path, char* out, size_t size);

#endif
