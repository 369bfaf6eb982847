#include "port_lock.h"

#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "clock.h"
#include "stop.h"

namespace {

const int kPollMs = 50;

// The lock belongs to the node that was opened, whatever link led to it.
struct PortId {
    dev_t dev;
    ino_t ino;
};

// Ports whose lock outlasted a wait in this run. Beyond this many such ports
// a port is waited for again, which costs time but never a byte.
PortId held_ports[32];
int held_count = 0;

// False when the node cannot be told.
bool OpenedPort(int fd, PortId* port) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return false;
    }
    *port = PortId{st.st_dev, st.st_ino};
    return true;
}

bool HeldBefore(const PortId& port) {
    for (int i = 0; i < held_count; ++i) {
        if (held_ports[i].dev == port.dev && held_ports[i].ino == port.ino) {
            return true;
        }
    }
    return false;
}

void NoteHeld(const PortId& port) {
    if (held_count < static_cast<int>(sizeof held_ports / sizeof held_ports[0])) {
        held_ports[held_count++] = port;
    }
}

}  // namespace

LockResult LockPort(int fd, long long wait_ns, long long* waited_ns) {
    PortId port{};
    const bool known = OpenedPort(fd, &port);
    const bool wait = !known || !HeldBefore(port);
    const long long start_ns = NowNs();
    for (;;) {
        *waited_ns = NowNs() - start_ns;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return LOCK_TAKEN;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return LOCK_TAKEN;
        }
        if (!wait) {
            return LOCK_HELD_BEFORE;
        }
        if (StopSignal() != 0) {
            return LOCK_STOPPED;
        }
        if (*waited_ns >= wait_ns) {
            if (known) {
                NoteHeld(port);
            }
            return LOCK_HELD;
        }
        poll(nullptr, 0, kPollMs);  // a stop signal ends it early
    }
}
