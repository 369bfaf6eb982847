#include "port_rules.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "console_port.h"
#include "uart_limits.h"

namespace {

// The first port number a link may take: the kernel makes ttyS0 to ttyS31
// at most, and a link must never take the name of a port it makes.
const int kFirstLinkPort = 32;

// Where the owner reads how a udev rule makes such a link.
const char kLinkHowTo[] = "/usr/share/doc/marquell/README.md#a-display-on-a-usb-serial-adapter";

Warning At(const DisplayCheck& d, const std::string& text) {
    return Warning{std::max(d.lcd_line, 1), std::max(d.lcd_column, 1), text, Fix{}};
}

// What the check can tell of a port that is not on this machine, which may
// be the machine that builds the file rather than the one that runs it.
std::string Missing(const char* root, const std::string& port, const DisplayCheck& d) {
    const int n = d.entry.LCD_number;
    char target[256];
    ssize_t len = readlink((root + port).c_str(), target, sizeof target - 1);
    if (len > 0) {
        target[len] = '\0';
        return port + " links to " + target +
               ", which is not on this machine (an adapter unplugged?): marquell's run gets "
               "Open() failed for it until it is back";
    }
    if (n >= kFirstLinkPort) {
        return port +
               " is not on this machine: until a udev rule links a USB serial adapter (or "
               "a board's UART named otherwise) there, marquell's run gets Open() failed "
               "for it (" +
               std::string(kLinkHowTo) + ")";
    }
    return port +
           " is not on this machine, whose kernel made no such port (ls /sys/class/tty "
           "lists those it made): marquell's run gets Open() failed for it; a USB serial "
           "adapter or a board's UART named otherwise takes a link from /dev/ttyS" +
           std::to_string(kFirstLinkPort) + " up (" + kLinkHowTo + ")";
}

}  // namespace

void CheckPortUses(const char* root, CheckResult* result) {
    std::set<int> seen;
    for (const DisplayCheck& d : result->displays) {
        // A port the file does not name, port 0 for an "lcd" without its
        // number, has a warning of its own: its fix is in the file.
        if (!d.port_named || !seen.insert(d.entry.LCD_number).second) {
            continue;
        }
        std::string port = "/dev/ttyS" + std::to_string(d.entry.LCD_number);
        struct stat st {};
        // Follows a udev link to the adapter it names; opens nothing.
        if (stat((root + port).c_str(), &st) != 0) {
            result->notes.push_back(At(d, Missing(root, port, d)));
            continue;
        }
        if (!S_ISCHR(st.st_mode)) {
            continue;
        }
        char shared[256];
        PortUse use = FindPortUse(root, st.st_rdev, true);
        FindLinkGetty(root, port.c_str(), &use);
        if (DescribePortUse(use, shared, sizeof shared)) {
            result->warnings.push_back(At(d, port + " is " + shared));
        }
        char driver[64];
        const OneStopBitUart* uart = PortDriver(root, st.st_rdev, driver, sizeof driver)
                                         ? FindOneStopBitUart(driver)
                                         : nullptr;
        if (uart != nullptr) {
            result->warnings.push_back(At(d, port + " is " + uart->what + " (driver " +
                                                 uart->driver +
                                                 "), which sends 1 stop bit where marquell asks "
                                                 "for 2: " +
                                                 kOneStopBitEffect + "; " + uart->fix));
        }
    }
    SortByPlace(&result->warnings);
    SortByPlace(&result->notes);
}
