#include "port_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "clock.h"
#include "stop.h"

namespace {

const int kPollMs = 50;
// How long a run lets a waiting one go first: many times the waiter's poll,
// so a waiter slowed down (a loaded machine, an emulator) still takes it.
const long long kHandoverNs = 1000000000;

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

// A run waiting for the port marks it with a shared record lock (fcntl) on
// its first byte, a kind of lock apart from flock's: a run that serves
// several displays on one port closes it and takes its lock again faster
// than a waiter looks, so before it takes the lock it looks for marks and
// lets those runs have it first. Closing the port drops the mark.
void MarkWaiting(int fd, bool waiting) {
    struct flock mark {};
    mark.l_type = waiting ? F_RDLCK : F_UNLCK;
    mark.l_whence = SEEK_SET;
    mark.l_len = 1;
    while (fcntl(fd, F_SETLK, &mark) != 0 && errno == EINTR) {
    }
}

// True when another process has marked the port as waiting for it.
bool OthersWaiting(int fd) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_len = 1;
    int rc;
    do {
        rc = fcntl(fd, F_GETLK, &probe);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 && probe.l_type != F_UNLCK;
}

}  // namespace

LockResult LockPort(int fd, long long wait_ns, long long* waited_ns) {
    PortId port{};
    const bool known = OpenedPort(fd, &port);
    const bool wait = !known || !HeldBefore(port);
    const long long start_ns = NowNs();
    bool waiting = false;
    for (;;) {
        *waited_ns = NowNs() - start_ns;
        // Others waiting go first; once this run waits itself, it is one of them.
        if (!waiting && *waited_ns < kHandoverNs && OthersWaiting(fd)) {
            if (StopSignal() != 0) {
                return LOCK_STOPPED;
            }
            poll(nullptr, 0, kPollMs);
            continue;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (waiting) {
                MarkWaiting(fd, false);
            }
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
        if (!waiting) {
            MarkWaiting(fd, true);
            waiting = true;
        }
        poll(nullptr, 0, kPollMs);  // a stop signal ends it early
    }
}
