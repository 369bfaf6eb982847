#include "serial.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "protocol.h"
#include "stop.h"

int handle = 0;

namespace {

// A live line always moves: at 1200 baud the driver refills the UART's
// 16-byte FIFO from its queue every 147 ms. A port that took no byte and
// whose queue did not shrink for this long is stuck.
const int kStuckMs = 1000;
// While waiting for room the write is tried again this often: a UART driver
// reports room only once fewer than 256 bytes wait in its 4 KB queue, a
// pseudo-terminal only once its reader has nearly caught up, but either
// takes a byte as soon as there is room for one.
const int kRetryMs = 50;
const int kDrainPollMs = 10;
// Another run may hold the port for as long as one display can need the
// line: the set-up, four rows of 255 letters sent as escapes, and a pulse.
const int kDisplayMaxBytes = 13100;
const int kLockMarginMs = 500;
const int kLockPollMs = 50;

// Rate of the open port, for the line time of its queued bytes.
int line_rate = 0;
// Set when the port got stuck: later bytes of this port do not wait again
// until a write succeeds, so a dead port costs a second, not one per byte.
bool stalled = false;
// The line is known to be busy with queued bytes until then.
long long line_busy_until_ns = 0;

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

long long NowMs() {
    return NowNs() / 1000000;
}

void SleepMs(int ms) {
    timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR && StopSignal() == 0) {
    }
}

int OpenPort(const char* devname) {
    int fd;
    do {
        // No controlling terminal: a hangup on the line must not signal us.
        // Non-blocking: a port whose carrier is down must not hang the open.
        fd = open(devname, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool SpeedCode(int baud_rate, speed_t* speed) {
    for (const LineRate& r : kRates) {
        if (r.baud == baud_rate) {
            *speed = r.speed;
            return true;
        }
    }
    return false;
}

// The display takes every byte value as data or command, so the line must
// pass bytes through untouched in both directions. Flags not named here and
// the control characters are left as the driver had them.
void MakeRaw(termios* tio) {
    // No break, parity or flow-control handling of input, no CR/NL mapping,
    // no stripping to 7 bits; bytes with framing errors are ignored.
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR |
                                           IGNCR | ICRNL | IXON | IXOFF);
    tio->c_iflag |= IGNPAR;
    // No output processing: a 10 must reach the display as 10, not 13 10,
    // and no fill or delay bytes may be slipped between command bytes.
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL | ONOCR | ONLRET | OFILL | OFDEL |
                                           NLDLY | CRDLY | TABDLY | BSDLY | VTDLY | FFDLY);
    // 8 data bits, no parity, 2 stop bits as the modules expect; receiver on;
    // modem status lines ignored and no hardware flow control, since the
    // modules drive no handshake lines; lines kept up on the last close.
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | HUPCL | CRTSCTS);
    tio->c_cflag |= CS8 | CSTOPB | CREAD | CLOCAL;
    // No signals, line editing or echo; queues not flushed on interrupt.
    tio->c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | IEXTEN);
    tio->c_lflag |= NOFLSH;
}

int GetAttr(int fd, termios* tio) {
    int rc;
    do {
        rc = tcgetattr(fd, tio);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

int SetAttr(int fd, const termios* tio) {
    int rc;
    do {
        rc = tcsetattr(fd, TCSANOW, tio);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Takes the port's lock, the one terminal programs take with flock, so two
// runs (or a run and a terminal session) never interleave their bytes or
// change the line under each other. A holder is waited for as long as one
// display can need the line at this rate; false if it still holds it then,
// or if the run is asked to stop meanwhile.
bool LockPort(int baud_rate) {
    long long deadline_ms =
        NowMs() + static_cast<long long>(kDisplayMaxBytes) * kBitsPerByte * 1000 / baud_rate +
        kLockMarginMs;
    for (;;) {
        if (flock(handle, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return true;  // a node that takes no lock: nobody else can hold one either
        }
        if (StopSignal() != 0 || NowMs() >= deadline_ms) {
            return false;
        }
        SleepMs(kLockPollMs);
    }
}

// The port was opened but cannot be used: close it so it is not left behind.
int Refuse(int result) {
    close(handle);
    handle = 0;
    return result;
}

int QueuedBytes() {
    int queued = 0;
    if (ioctl(handle, TIOCOUTQ, &queued) != 0) {
        return 0;  // the driver keeps no count: nothing to wait for
    }
    return queued;
}

// The UART's own FIFO still holds bytes after the driver's queue is empty.
bool TransmitterBusy() {
    unsigned int lsr = 0;
    if (ioctl(handle, TIOCSERGETLSR, &lsr) != 0) {
        return false;  // not a UART that reports it
    }
    return (lsr & TIOCSER_TEMT) == 0;
}

// Waits while the queue keeps shrinking until the port takes the byte;
// false when the port failed or moved nothing for kStuckMs.
bool WriteByte(ubyte datum) {
    int last_queued = -1;
    long long last_move_ms = 0;
    for (;;) {
        ssize_t written = write(handle, &datum, 1);
        if (written == 1) {
            stalled = false;
            return true;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        bool queue_full = written == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
        if (!queue_full || stalled) {
            return false;
        }
        int queued = QueuedBytes();
        long long now_ms = NowMs();
        if (last_queued < 0 || queued < last_queued) {
            last_queued = queued;
            last_move_ms = now_ms;
        } else if (now_ms - last_move_ms >= kStuckMs) {
            stalled = true;
            return false;
        }
        pollfd pfd{handle, POLLOUT, 0};
        if (poll(&pfd, 1, kRetryMs) > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return false;
        }
    }
}

// Waits for the queued output to leave the line while it keeps moving. A
// line that moves nothing for kStuckMs is stuck: its queue is discarded so
// the close cannot hang.
void DrainOutput() {
    int last_queued = QueuedBytes();
    long long last_move_ms = NowMs();
    for (;;) {
        int queued = QueuedBytes();
        if (queued == 0 && !TransmitterBusy()) {
            return;
        }
        long long now_ms = NowMs();
        if (queued < last_queued) {
            last_queued = queued;
            last_move_ms = now_ms;
        } else if (now_ms - last_move_ms >= kStuckMs) {
            tcflush(handle, TCOFLUSH);
            return;
        }
        SleepMs(kDrainPollMs);
    }
}

}  // namespace

int Serial_Init(const char* devname, int baud_rate) {
    handle = OpenPort(devname);
    if (handle <= 0) {
        printf("Serial_Init:: Open() failed\n");
        return 1;
    }
    speed_t speed = B0;
    if (!SpeedCode(baud_rate, &speed)) {
        printf("Serial_Init:: Invalid baud rate: %d (must be 1200, 2400, 4800, 9600, or 19200)\n",
               baud_rate);
        return Refuse(2);
    }
    if (!LockPort(baud_rate)) {
        printf("Serial_Init:: Open() failed\n");
        return Refuse(1);
    }
    termios tio{};
    if (GetAttr(handle, &tio) != 0) {
        printf("Serial_Init:: tcgetattr() failed\n");
        return Refuse(3);
    }
    MakeRaw(&tio);
    cfsetospeed(&tio, speed);
    cfsetispeed(&tio, speed);
    if (SetAttr(handle, &tio) != 0) {
        printf("Serial_Init:: tcsetattr() failed\n");
        return Refuse(4);
    }
    line_rate = baud_rate;
    stalled = false;
    line_busy_until_ns = 0;
    printf("Serial_Init:: success\n");
    return 0;
}

void Uninit_Serial() {
    DrainOutput();
    close(handle);  // not retried: on Linux the descriptor is gone even on EINTR; drops the lock
    handle = 0;
}

void SendByte(ubyte datum) {
    if (handle == 0) {
        return;
    }
    if (!WriteByte(datum)) {
        printf("SendByte() failed\n");
    }
}

void SendWhole(const ubyte* bytes, int count) {
    if (StopSignal() != 0) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        SendByte(bytes[i]);
    }
}

void SendString(const char* data) {
    for (const char* p = data; *p != '\0'; ++p) {
        ubyte b = static_cast<ubyte>(*p);
        ubyte glyph = GlyphCode(b);
        if (glyph != 0) {
            const ubyte escape[] = {kEscape, kEscapeGlyph, glyph};
            SendWhole(escape, 3);
        } else if (b < 0x80) {
            SendWhole(&b, 1);
        }
    }
}

bool QueueCovers(long long ns) {
    long long now = NowNs();
    if (now + ns <= line_busy_until_ns) {
        return true;
    }
    if (handle == 0 || line_rate <= 0) {
        return false;
    }
    // The line cannot carry the queue faster than its rate, so this is a
    // time it stays busy at least; only our own bytes can make it longer.
    line_busy_until_ns =
        now + static_cast<long long>(QueuedBytes()) * kBitsPerByte * 1000000000 / line_rate;
    return now + ns <= line_busy_until_ns;
}
