#include "serial.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "protocol.h"

int handle = 0;

namespace {

// A byte that finds the queue full waits this long for room before it is
// given up: a live line at 1200 baud frees a byte every 9 ms.
const int kStallMs = 2000;
// Slack on top of the queued bytes' wire time when draining before close.
const int kDrainMarginMs = 500;
const int kDrainPollMs = 10;

// Rate of the open port, so the drain on close knows how long the queue needs.
int line_rate = 0;
// Set when the port took nothing for kStallMs: later bytes of this port do
// not wait again until a write succeeds, so a dead port costs seconds.
bool stalled = false;

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(int ms) {
    timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
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

// The port was opened but cannot be used: close it so it is not left behind.
int Refuse(int result) {
    close(handle);
    handle = 0;
    return result;
}

// Waits until the port takes output, the port fails, or the byte's time is
// up at *deadline_ms (set on the first wait). False when no room came.
bool WaitForRoom(long long* deadline_ms) {
    if (*deadline_ms == 0) {
        *deadline_ms = NowMs() + kStallMs;
    }
    for (;;) {
        long long left = *deadline_ms - NowMs();
        if (left <= 0) {
            stalled = true;
            return false;
        }
        pollfd pfd{handle, POLLOUT, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            stalled = true;
            return false;
        }
        return (pfd.revents & POLLOUT) != 0;
    }
}

bool WriteByte(ubyte datum) {
    long long deadline_ms = 0;
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
        if (!queue_full || stalled || !WaitForRoom(&deadline_ms)) {
            return false;
        }
    }
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

// Waits for the queued output to leave the line, for no longer than its wire
// time at the port's rate plus a margin. A line that does not move by then
// is stuck: its queue is discarded so the close cannot hang.
void DrainOutput() {
    int queued = QueuedBytes();
    long long wire_ms =
        line_rate > 0 ? static_cast<long long>(queued) * kBitsPerByte * 1000 / line_rate : 0;
    long long deadline_ms = NowMs() + wire_ms + kDrainMarginMs;
    while (queued > 0 || TransmitterBusy()) {
        if (NowMs() >= deadline_ms) {
            tcflush(handle, TCOFLUSH);
            return;
        }
        SleepMs(kDrainPollMs);
        queued = QueuedBytes();
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
    printf("Serial_Init:: success\n");
    return 0;
}

void Uninit_Serial() {
    DrainOutput();
    close(handle);  // not retried: on Linux the descriptor is gone even on EINTR
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

void SendString(const char* data) {
    for (const char* p = data; *p != '\0'; ++p) {
        ubyte b = static_cast<ubyte>(*p);
        ubyte glyph = GlyphCode(b);
        if (glyph != 0) {
            SendByte(kEscape);
            SendByte(kEscapeGlyph);
            SendByte(glyph);
        } else if (b < 0x80) {
            SendByte(b);
        }
    }
}
