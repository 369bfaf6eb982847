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

namespace {

struct SpeedName {
    speed_t speed;
    int baud;
};
const SpeedName kSpeeds[] = {
    {B0, 0},         {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},     {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
    {B1800, 1800},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
};

void RateInWords(speed_t speed, char* out, size_t size) {
    for (const SpeedName& s : kSpeeds) {
        if (s.speed == speed) {
            snprintf(out, size, "%d baud", s.baud);
            return;
        }
    }
    snprintf(out, size, "a rate of speed code %u", static_cast<unsigned>(speed));
}

bool SameFlags(tcflag_t a, tcflag_t b, tcflag_t mask) {
    return (a & mask) == (b & mask);
}

const tcflag_t kFrame = CSIZE | PARENB | PARODD | CMSPAR;
const tcflag_t kSoftFlow = IXON | IXOFF;

bool SameRate(const termios& a, const termios& b) {
    return cfgetospeed(&a) == cfgetospeed(&b) && cfgetispeed(&a) == cfgetispeed(&b);
}

// "a", "a and b", "a, b and c", appended to out.
void AppendListed(char* out, size_t size, const char* item, int index, int count) {
    const size_t used = strlen(out);
    const char* joiner = index == 0 ? "" : index + 1 == count ? " and " : ", ";
    snprintf(out + used, size - used, "%s%s", joiner, item);
}

void AppendAll(char* out, size_t size, const char* const* items, int count) {
    for (int i = 0; i < count; ++i) {
        AppendListed(out, size, items[i], i, count);
    }
}

}  // namespace

bool LineAsAsked(const termios& asked, const termios& taken) {
    return SameFlags(asked.c_cflag, taken.c_cflag, kFrame | CSTOPB | CRTSCTS) &&
           SameFlags(asked.c_iflag, taken.c_iflag, kSoftFlow) &&
           SameFlags(asked.c_oflag, taken.c_oflag, OPOST) && SameRate(asked, taken);
}

void DescribeLine(const termios& line, char* out, size_t size) {
    int data_bits = 8;
    switch (line.c_cflag & CSIZE) {
        case CS5: data_bits = 5; break;
        case CS6: data_bits = 6; break;
        case CS7: data_bits = 7; break;
        default: break;
    }
    char parity = 'N';
    if ((line.c_cflag & PARENB) != 0) {
        const bool odd = (line.c_cflag & PARODD) != 0;
        parity = (line.c_cflag & CMSPAR) != 0 ? (odd ? 'M' : 'S') : (odd ? 'O' : 'E');
    }
    // The C library keeps one rate for both directions: the output's is it.
    char rate[48];
    RateInWords(cfgetospeed(&line), rate, sizeof rate);
    snprintf(out, size, "%d%c%d at %s", data_bits, parity, (line.c_cflag & CSTOPB) != 0 ? 2 : 1,
             rate);
    const char* extras[3];
    int count = 0;
    if ((line.c_oflag & OPOST) != 0) {
        extras[count++] = "output processing";
    }
    if ((line.c_iflag & kSoftFlow) != 0) {
        extras[count++] = "XON/XOFF flow control";
    }
    if ((line.c_cflag & CRTSCTS) != 0) {
        extras[count++] = "RTS/CTS flow control";
    }
    if (count > 0) {
        const size_t used = strlen(out);
        snprintf(out + used, size - used, " with ");
        AppendAll(out, size, extras, count);
    }
}

bool DescribeLineTaken(const termios& asked, const termios& taken, const char* driver, char* out,
                       size_t size) {
    out[0] = '\0';
    if (LineAsAsked(asked, taken)) {
        return false;
    }
    char got[160];
    char want[160];
    DescribeLine(taken, got, sizeof got);
    DescribeLine(asked, want, sizeof want);
    const OneStopBitUart* uart = FindOneStopBitUart(driver);
    char who[128];
    if (uart != nullptr) {
        snprintf(who, sizeof who, "%s (driver %s)", uart->what, driver);
    } else if (driver[0] != '\0') {
        snprintf(who, sizeof who, "its driver (%s)", driver);
    } else {
        snprintf(who, sizeof who, "its driver");
    }
    // With the stop bits as asked, is the rest as asked?
    termios restored = taken;
    restored.c_cflag = (taken.c_cflag & ~static_cast<tcflag_t>(CSTOPB)) | (asked.c_cflag & CSTOPB);
    if ((asked.c_cflag & CSTOPB) != 0 && LineAsAsked(asked, restored)) {
        snprintf(
            out, size,
            "the line carries %s, not the %s asked for: %s sends 1 stop bit%s; %s; to send 2: %s",
            got, want, who, uart != nullptr ? " whatever it is asked" : "", kOneStopBitEffect,
            uart != nullptr ? uart->fix
                            : "put the display on a port whose driver sends 2 stop bits, "
                              "such as a USB serial adapter");
        return true;
    }
    const char* dropped[6];
    int count = 0;
    if (!SameRate(asked, taken)) {
        dropped[count++] = "the rate";
    }
    if (!SameFlags(asked.c_cflag, taken.c_cflag, CSIZE)) {
        dropped[count++] = "the data bits";
    }
    if (!SameFlags(asked.c_cflag, taken.c_cflag, PARENB | PARODD | CMSPAR)) {
        dropped[count++] = "the parity";
    }
    if (!SameFlags(asked.c_cflag, taken.c_cflag, CSTOPB)) {
        dropped[count++] = "the stop bits";
    }
    if (!SameFlags(asked.c_oflag, taken.c_oflag, OPOST)) {
        dropped[count++] = "unprocessed output";
    }
    if (!SameFlags(asked.c_iflag, taken.c_iflag, kSoftFlow) ||
        !SameFlags(asked.c_cflag, taken.c_cflag, CRTSCTS)) {
        dropped[count++] = "the flow control";
    }
    char what[160] = "";
    AppendAll(what, sizeof what, dropped, count);
    snprintf(out, size,
             "the line carries %s, not the %s asked for: %s did not take %s; a display set to %s "
             "may misread bytes or miss them: put it on a port whose driver takes %s",
             got, want, who, what, want, want);
    return true;
}
