// With descriptor 0, 1 or 2 closed at start, the next open takes it: a port
// there would get the console report meant for standard output, and a port
// or a capture on descriptor 0 would be taken for a failed open, since 0
// stands for "no port". Filling the gaps first keeps every later descriptor
// above them.
#include "descriptors.h"

#include <fcntl.h>
#include <unistd.h>

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
