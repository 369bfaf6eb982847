#include "serial.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "clock.h"
#include "console_port.h"
#include "line_wait.h"
#include "port_lock.h"
#include "protocol.h"
#include "stop.h"
#include "text.h"
#include "uart_limits.h"
#include "warn.h"

int handle = 0;

namespace {

// While waiting for room the write is tried again this often: a UART driver
// reports room only once fewer than 256 bytes wait in its 4 KB queue, a
// pseudo-terminal only once its reader has nearly caught up, but either
// takes a byte as soon as there is room for one.
const int kRetryMs = 50;
const int kDrainPollMs = 10;

// The port in use, set afresh by Serial_Init; while the port is in use only
// how it fares, the bytes taken and the busy time change. How it fared is
// kept past Uninit_Serial, for the run's summary.
struct PortInUse {
    // Named in the reasons given on standard error; a longer name is cut,
    // which only shortens those lines.
    char name[64];
    int rate;  // for the line time of queued bytes
    // Why the port was given up for the rest of this display; empty while it
    // is in use. Once it is stuck or gone no later byte is written to it, so
    // no command can reach the display without its first bytes.
    char lost_reason[128];
    bool failed;              // refused, lost, or bytes discarded at close
    bool skipped;             // a stop request kept bytes of the display back, or the port
    long long bytes_taken;    // for this display: an adapter cannot hold more
    long long busy_until_ns;  // the line is known to be busy with queued bytes until then
};
PortInUse port{};

ByteSink byte_sink = write;

int DriverQuery(int fd, unsigned long request, void* arg) {
    return ioctl(fd, request, arg);
}
LineQuery line_query = DriverQuery;

int DriverSetter(int fd, const termios* tio) {
    return tcsetattr(fd, TCSANOW, tio);
}
LineSetter line_setter = DriverSetter;

void SleepMs(int ms) {
    timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR && StopSignal() == 0) {
    }
}

// One line on standard error naming the port and why it failed; the console
// report on standard output keeps its own lines. Formatted as printf is,
// and checked as printf is by the compiler.
// NOLINTNEXTLINE(cert-dcl50-cpp)
__attribute__((format(printf, 1, 2))) void SayWhy(const char* format, ...) {
    char why[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(why, sizeof why, format, args);
    va_end(args);
    Warn("%s: %s", port.name, why);
}

// Gives the port up for the rest of this display.
void LosePort(const char* why) {
    port.failed = true;
    snprintf(port.lost_reason, sizeof port.lost_reason, "%s", why);
    SayWhy("%s; the rest of this display is not sent", why);
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
        rc = line_setter(fd, tio);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// tcsetattr succeeds when the driver took any of the settings: one that
// cannot send 2 stop bits clears CSTOPB and still answers 0. So the line is
// read back, and a line that is not what the display needs is named, with
// the driver's limits where they are known and what to do.
void SayIfTakenOtherwise(const termios& asked) {
    termios taken{};
    if (GetAttr(handle, &taken) != 0) {
        SayWhy("cannot read the line settings back: %s", strerror(errno));
        return;
    }
    if (LineAsAsked(asked, taken)) {
        return;
    }
    char driver[64] = "";
    struct stat st {};
    if (fstat(handle, &st) == 0 && S_ISCHR(st.st_mode)) {
        PortDriver("", st.st_rdev, driver, sizeof driver);
    }
    char why[768];
    DescribeLineTaken(asked, taken, driver, why, sizeof why);
    SayWhy("%s", why);
}

// Takes the port's lock, waiting for another holder as long as one display
// can need the line at this rate; says why when it cannot be had.
bool TakeLock(int baud_rate) {
    long long waited_ns = 0;
    switch (LockPort(handle, LockWaitNs(baud_rate), &waited_ns)) {
        case LOCK_TAKEN: return true;
        case LOCK_HELD:
            SayWhy("held by another program for %.1f s; not waited for again in this run",
                   static_cast<double>(waited_ns) / 1e9);
            return false;
        case LOCK_HELD_BEFORE:
            SayWhy("held by another program, which kept it past the wait earlier in this run");
            return false;
        case LOCK_STOPPED:
            // Not a failure: the stop request asked for it.
            port.skipped = true;
            Notice("%s: held by another program; the run was asked to stop while waiting for it",
                   port.name);
            return false;
    }
    return false;
}

// The port was opened but cannot be used: close it so it is not left behind.
int Refuse(int result) {
    port.failed = port.failed || !port.skipped;
    close(handle);
    handle = 0;
    return result;
}

int QueuedBytes() {
    int queued = 0;
    if (line_query(handle, TIOCOUTQ, &queued) != 0) {
        return 0;  // the driver keeps no count (a pty), or the port is gone
    }
    return queued;
}

// The device still sends bytes after the driver's queue is empty: a UART its
// FIFO, an adapter its own buffer.
bool TransmitterBusy() {
    unsigned int lsr = 0;
    if (line_query(handle, TIOCSERGETLSR, &lsr) != 0) {
        return false;  // not a port that tells
    }
    return (lsr & TIOCSER_TEMT) == 0;
}

struct Reason {
    char text[64];
};

Reason StuckReason() {
    Reason r{};
    snprintf(r.text, sizeof r.text, "the line moved nothing for %.1f s",
             static_cast<double>(StuckNs(port.rate)) / 1e9);
    return r;
}

// Waits up to kRetryMs for room. False when the port is lost: it hung up, or
// it has moved nothing for the stuck time since progress began.
bool WaitForRoom(Progress* progress) {
    if (MovedNothing(progress, QueuedBytes(), NowNs(), port.rate)) {
        LosePort(StuckReason().text);
        return false;
    }
    pollfd pfd{handle, POLLOUT, 0};
    if (poll(&pfd, 1, kRetryMs) > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        LosePort("the port hung up (an adapter pulled out?)");
        return false;
    }
    return true;
}

// Writes the byte, waiting while the port keeps moving. False when it was not
// written: the port is lost now or was lost earlier in this display.
bool WriteByte(ubyte datum) {
    if (port.lost_reason[0] != '\0') {
        return false;
    }
    // The watch starts at the first refusal: a byte taken at once costs no ioctl.
    Progress progress{};
    bool waiting = false;
    for (;;) {
        ssize_t written = byte_sink(handle, &datum, 1);
        if (written == 1) {
            ++port.bytes_taken;
            return true;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            char why[96];
            snprintf(why, sizeof why, "cannot write: %s", strerror(errno));
            LosePort(why);
            return false;
        }
        if (!waiting) {
            progress = ProgressFrom(QueuedBytes(), NowNs());
            waiting = true;
        }
        if (!WaitForRoom(&progress)) {
            return false;
        }
    }
}

// Throws away what the driver says it still holds, so the close cannot hang
// on it, and says how much. A driver that counts nothing (a pseudo-terminal,
// as virtual and networked ports are) is left alone: its close does not wait
// on a line, and what another program queued there is not ours to discard.
void DiscardQueue(const char* why) {
    const int queued = QueuedBytes();
    if (queued <= 0) {
        return;
    }
    port.failed = true;  // those bytes never reached the display
    int rc;
    do {
        rc = tcflush(handle, TCOFLUSH);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        SayWhy("%d queued bytes could not be discarded at close (%s): %s", queued, strerror(errno),
               why);
        return;
    }
    SayWhy("%d queued bytes discarded at close: %s", queued, why);
}

// Lets the queued bytes leave the line while it keeps moving, then gives the
// device the line time of what it can still hold.
void DrainOutput() {
    if (port.lost_reason[0] != '\0') {
        DiscardQueue(port.lost_reason);
        return;
    }
    Progress progress = ProgressFrom(QueuedBytes(), NowNs());
    for (int queued; (queued = QueuedBytes()) > 0; SleepMs(kDrainPollMs)) {
        if (MovedNothing(&progress, queued, NowNs(), port.rate)) {
            DiscardQueue(StuckReason().text);
            return;
        }
    }
    const long long deadline_ns = NowNs() + TransmitterNs(port.bytes_taken, port.rate);
    while (TransmitterBusy() && NowNs() < deadline_ns) {
        SleepMs(kDrainPollMs);
    }
}

}  // namespace

int Serial_Init(const char* devname, int baud_rate) {
    port = PortInUse{};
    snprintf(port.name, sizeof port.name, "%s", devname);
    port.rate = baud_rate;
    handle = OpenPort(devname);
    if (handle <= 0) {
        const int err = errno;
        port.failed = true;
        printf("Serial_Init:: Open() failed\n");
        SayWhy("cannot open: %s", handle < 0 ? strerror(err) : "it came as descriptor 0");
        return 1;
    }
    const LineRate* rate = FindRate(baud_rate);
    if (rate == nullptr) {
        char rates[64];
        RatesInWords(rates, sizeof rates, ", or ");
        printf("Serial_Init:: Invalid baud rate: %d (must be %s)\n", baud_rate, rates);
        return Refuse(2);
    }
    if (!TakeLock(baud_rate)) {
        printf("Serial_Init:: Open() failed\n");
        return Refuse(1);
    }
    char shared[256];
    if (DescribeOpenPortUse(handle, devname, shared, sizeof shared)) {
        SayWhy("%s", shared);
    }
    termios tio{};
    if (GetAttr(handle, &tio) != 0) {
        const int err = errno;
        printf("Serial_Init:: tcgetattr() failed\n");
        SayWhy("cannot read the line settings: %s", strerror(err));
        return Refuse(3);
    }
    MakeRaw(&tio);
    cfsetospeed(&tio, rate->speed);
    cfsetispeed(&tio, rate->speed);
    if (SetAttr(handle, &tio) != 0) {
        const int err = errno;
        printf("Serial_Init:: tcsetattr() failed\n");
        SayWhy("cannot apply the line settings: %s", strerror(err));
        return Refuse(4);
    }
    SayIfTakenOtherwise(tio);
    printf("Serial_Init:: success\n");
    return 0;
}

void Uninit_Serial() {
    DrainOutput();
    close(handle);  // not retried: on Linux the descriptor is gone even on EINTR; drops the lock
    handle = 0;
}

bool PortLost() {
    return handle != 0 && port.lost_reason[0] != '\0';
}

Served HowServed() {
    if (port.failed) {
        return SERVED_FAILED;
    }
    return port.skipped ? SERVED_STOPPED : SERVED_WHOLE;
}

void SetByteSink(ByteSink sink) {
    byte_sink = sink != nullptr ? sink : write;
}

void SetLineQuery(LineQuery query) {
    line_query = query != nullptr ? query : DriverQuery;
}

void SetLineSetter(LineSetter setter) {
    line_setter = setter != nullptr ? setter : DriverSetter;
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
        port.skipped = port.skipped || count > 0;
        return;
    }
    for (int i = 0; i < count; ++i) {
        SendByte(bytes[i]);
    }
}

void SendString(const char* data) {
    for (const char* p = data; *p != '\0'; ++p) {
        ubyte bytes[kMostBytesPerTextByte];
        SendWhole(bytes, TextByteOnDisplay(static_cast<ubyte>(*p), bytes));
    }
}

bool QueueCovers(long long ns) {
    long long now = NowNs();
    if (now + ns <= port.busy_until_ns) {
        return true;
    }
    if (handle == 0 || port.rate <= 0) {
        return false;
    }
    // The line cannot carry the queue faster than its rate, so this is a
    // time it stays busy at least; only our own bytes can make it longer.
    port.busy_until_ns = now + LineNs(QueuedBytes(), port.rate);
    return now + ns <= port.busy_until_ns;
}
