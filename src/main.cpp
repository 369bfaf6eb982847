// The run driver: load the display list, then serve each display in turn.
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "entries.h"
#include "serial.h"

namespace {

// With descriptor 0, 1 or 2 closed at start, a port would be opened on it:
// the console report would then go to a display, and a port on descriptor 0
// would be taken for a failed open. Fill the gaps before any port is opened.
void ReserveStandardDescriptors() {
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0) {
            fd = open("/", O_RDONLY | O_DIRECTORY);  // any descriptor holds the slot
        }
        if (fd < 0) {
            return;
        }
        if (fd > STDERR_FILENO) {
            close(fd);
            return;
        }
    }
}

void PrintRowReport(const Entry* e) {
    printf("lcd = %d\r\n----------------------\r\n|%s|\r\n|%s|\r\n|%s|\r\n|%s|\r\n"
           "----------------------\r\n",
           e->LCD_number, e->line1, e->line2, e->line3, e->line4);
}

}  // namespace

int main(int /*argc*/, char** /*argv*/) {
    ReserveStandardDescriptors();
    printf("Loading Entries...\r\n");
    Entry* head = LoadEntries("marquell.ini");
    int baud = baudrate;
    printf("Starting traversing of loop\r\n");
    char devname[64];
    for (Entry* e = head; e != nullptr; e = e->next) {
        snprintf(devname, sizeof devname, "/dev/ttyS%d", e->LCD_number);
        printf("### init serial : %s\r\n", devname);
        if (Serial_Init(devname, baud) != 0) {
            printf("Could not open port \"%s\" at \"%d\" baud.\n", devname, baud);
            continue;
        }
        printf("\"%s\" opened at \"%d\" baud.\n\n", devname, baud);
        PrintRowReport(e);
        printf("### uninit serial\r\n");
        Uninit_Serial();
    }
    printf("Done.\n\n");
    return 0;
}
