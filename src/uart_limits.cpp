#include "uart_limits.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// The Raspberry Pi's mini UART is on the header of the Pi 3, 4, 400, Zero W
// and Zero 2 W unless the PL011 is moved there; the PL011 (uart-pl011) sends
// 2 stop bits. Under Raspberry Pi OS the mini UART is ttyS0, under Debian's
// own kernel ttyS1; the PL011 is ttyAMA0, which marquell reaches through a
// udev link such as the example rule's /dev/ttyS50.
const OneStopBitUart kOneStopBitUarts[] = {
    {"bcm2835-aux-uart", "the Raspberry Pi's mini UART",
     "put the display on the PL011 instead: dtoverlay=disable-bt in config.txt "
     "(/boot/firmware/config.txt on bookworm) and sudo systemctl disable hciuart, or "
     "dtoverlay=miniuart-bt, then reboot, link ttyAMA0 as /dev/ttyS50 and write lcd=50 (README: "
     "On a Raspberry Pi)"},
};

}  // namespace

const char kOneStopBitEffect[] =
    "most displays still read it, as a receiver checks only the first stop bit, but a display "
    "that needs the second may misread bytes";

const OneStopBitUart* FindOneStopBitUart(const char* driver) {
    for (const OneStopBitUart& u : kOneStopBitUarts) {
        if (strcmp(u.driver, driver) == 0) {
            return &u;
        }
    }
    return nullptr;
}

bool PortDriver(const char* root, dev_t rdev, char* out, size_t size) {
    out[0] = '\0';
    // sysfs links each device number to its tty, whose device links to the
    // driver bound to it; only links are read, so nothing can hang.
    char path[512];
    snprintf(path, sizeof path, "%s/sys/dev/char/%u:%u/device/driver", root, major(rdev),
             minor(rdev));
    char target[512];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) {
        return false;
    }
    target[n] = '\0';
    const char* slash = strrchr(target, '/');
    const char* name = slash != nullptr ? slash + 1 : target;
    if (*name == '\0' || strlen(name) >= size) {
        return false;
    }
    snprintf(out, size, "%s", name);
    return true;
}
