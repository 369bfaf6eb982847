// The port on pseudo-terminals: result codes, the line settings as the
// driver keeps them, the bytes that reach the far side, and what happens when
// the queue is full, stuck or gone.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "clock.h"
#include "display_sequence.h"
#include "line_wait.h"
#include "protocol.h"
#include "report_expect.h"
#include "serial.h"
#include "support.h"

namespace {

using expect::Bytes;

using Clock = std::chrono::steady_clock;

struct Pty {
    int master = -1;
    int slave = -1;  // held so the pty lives, and to read the settings back
    std::string path;
    Pty() {
        char name[64];
        EXPECT_EQ(0, openpty(&master, &slave, name, nullptr, nullptr));
        path = name;
    }
    ~Pty() {
        if (master >= 0) {
            close(master);
        }
        close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    termios Settings() const {
        termios tio{};
        EXPECT_EQ(0, tcgetattr(slave, &tio));
        return tio;
    }
    size_t Fill() const { return static_cast<size_t>(FillQueue(slave, 0)); }
    // Whatever arrives within ms milliseconds of quiet.
    std::string Read(int ms = 100) const {
        std::string got;
        pollfd pfd{master, POLLIN, 0};
        char buf[4096];
        while (poll(&pfd, 1, ms) > 0 && (pfd.revents & POLLIN)) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
};

// Runs f with stdout captured, and returns what it printed; what it wrote
// to stderr goes to *err when asked for.
template <typename F>
std::string Printed(F f, std::string* err = nullptr) {
    testing::internal::CaptureStdout();
    if (err != nullptr) {
        testing::internal::CaptureStderr();
    }
    f();
    fflush(stdout);
    if (err != nullptr) {
        *err = testing::internal::GetCapturedStderr();
    }
    return testing::internal::GetCapturedStdout();
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

// A driver that answers as the test says: a queue count that never drops,
// a device that never reports itself empty. Past until_ns the line comes
// back, so a wait without its bound fails the test instead of hanging it.
struct FakeLine {
    int queued = 0;
    bool sending = false;
    long long until_ns = 0;
};
FakeLine fake_line;

int FakeQuery(int /*fd*/, unsigned long request, void* arg) {
    const bool back = NowNs() > fake_line.until_ns;
    if (request == TIOCOUTQ) {
        *static_cast<int*>(arg) = back ? 0 : fake_line.queued;
        return 0;
    }
    if (request == TIOCSERGETLSR) {
        *static_cast<unsigned int*>(arg) = fake_line.sending && !back ? 0 : TIOCSER_TEMT;
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

// Drivers as the line setter plays them: one that refuses the settings, and
// ones that take them otherwise and still answer 0.
int RefusingDriver(int /*fd*/, const termios* /*tio*/) {
    errno = EIO;
    return -1;
}

int OneStopBitDriver(int fd, const termios* tio) {
    termios taken = *tio;
    taken.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    return tcsetattr(fd, TCSANOW, &taken);
}

int NineSixHundredOnlyDriver(int fd, const termios* tio) {
    termios taken = *tio;
    cfsetospeed(&taken, B9600);
    cfsetispeed(&taken, B9600);
    taken.c_iflag |= IXON;
    return tcsetattr(fd, TCSANOW, &taken);
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class SerialTest : public testing::Test {
protected:
    void TearDown() override {
        if (handle > 0) {
            Uninit_Serial();
        }
        handle = 0;
        SetLineQuery(nullptr);
        SetLineSetter(nullptr);
    }
    int Open(const std::string& path, int rate, std::string* out = nullptr,
             std::string* err = nullptr) {
        int result = 0;
        std::string printed = Printed([&] { result = Serial_Init(path.c_str(), rate); }, err);
        if (out != nullptr) {
            *out = printed;
        }
        return result;
    }
};

TEST_F(SerialTest, SetsTheLineRawEightDataBitsNoParityTwoStopBits) {
    Pty pty;
    termios before = pty.Settings();
    before.c_iflag |=
        IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IUTF8;
    before.c_iflag &= ~static_cast<tcflag_t>(IGNPAR);
    before.c_oflag |= OPOST | ONLCR | OCRNL | ONOCR | ONLRET;
    before.c_lflag |= ISIG | ICANON | ECHO | IEXTEN | ECHOCTL;
    before.c_lflag &= ~static_cast<tcflag_t>(NOFLSH);
    before.c_cc[VMIN] = 5;
    before.c_cc[VTIME] = 3;
    ASSERT_EQ(0, tcsetattr(pty.slave, TCSANOW, &before));

    std::string out;
    std::string err;
    ASSERT_EQ(0, Open(pty.path, 19200, &out, &err));
    EXPECT_EQ("Serial_Init:: success\n", out);
    EXPECT_EQ("", err) << "a line that took every setting was named";
    EXPECT_GT(handle, 2);
    termios after = pty.Settings();

    for (tcflag_t f : {IGNBRK, BRKINT, PARMRK, INPCK, ISTRIP, INLCR, IGNCR, ICRNL, IXON, IXOFF}) {
        EXPECT_EQ(0u, after.c_iflag & f) << "input flag " << f << " still set";
    }
    EXPECT_NE(0u, after.c_iflag & IGNPAR);
    for (tcflag_t f : {OPOST, ONLCR, OCRNL, ONOCR, ONLRET}) {
        EXPECT_EQ(0u, after.c_oflag & f) << "output flag " << f << " still set";
    }
    EXPECT_EQ(static_cast<tcflag_t>(CS8), after.c_cflag & CSIZE);
    for (tcflag_t f : {CSTOPB, CREAD, CLOCAL}) {
        EXPECT_NE(0u, after.c_cflag & f) << "control flag " << f << " not set";
    }
    for (tcflag_t f : {PARENB, PARODD, HUPCL}) {
        EXPECT_EQ(0u, after.c_cflag & f) << "control flag " << f << " still set";
    }
    for (tcflag_t f : {ISIG, ICANON, ECHO, IEXTEN}) {
        EXPECT_EQ(0u, after.c_lflag & f) << "local flag " << f << " still set";
    }
    EXPECT_NE(0u, after.c_lflag & NOFLSH);

    // What the line needs nothing of is left as the driver had it.
    EXPECT_NE(0u, after.c_iflag & IUTF8);
    EXPECT_NE(0u, after.c_lflag & ECHOCTL);
    EXPECT_EQ(5, after.c_cc[VMIN]);
    EXPECT_EQ(3, after.c_cc[VTIME]);
}

TEST_F(SerialTest, SetsBothSpeedsToEachOfTheFiveRates) {
    const std::pair<int, speed_t> rates[] = {
        {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200}};
    for (auto [rate, code] : rates) {
        Pty pty;
        ASSERT_EQ(0, Open(pty.path, rate)) << rate;
        termios tio = pty.Settings();
        EXPECT_EQ(code, cfgetospeed(&tio)) << rate;
        EXPECT_EQ(code, cfgetispeed(&tio)) << rate;
        Uninit_Serial();
    }
}

TEST_F(SerialTest, RefusesOtherRatesAndClosesThePortItOpened) {
    Pty pty;
    int open_before = OpenDescriptors();
    for (int rate : {0, 300, 115200, -19200, 19201}) {
        std::string out;
        EXPECT_EQ(2, Open(pty.path, rate, &out)) << rate;
        EXPECT_EQ("Serial_Init:: Invalid baud rate: " + std::to_string(rate) +
                      " (must be 1200, 2400, 4800, 9600, or 19200)\n",
                  out);
        EXPECT_EQ(0, handle);
        EXPECT_EQ(open_before, OpenDescriptors()) << "descriptor left open at rate " << rate;
    }
}

TEST_F(SerialTest, AMissingDeviceFailsTheOpenBeforeTheRateIsLookedAt) {
    for (int rate : {19200, 0}) {
        std::string out;
        std::string err;
        EXPECT_EQ(1, Open("/nonexistent/ttyS9", rate, &out, &err));
        EXPECT_EQ("Serial_Init:: Open() failed\n", out);
        EXPECT_EQ("marquell: /nonexistent/ttyS9: cannot open: No such file or directory\n", err);
    }
}

TEST_F(SerialTest, ANodeThatIsNoTerminalFailsTcgetattrAndIsClosed) {
    char name[] = "/tmp/marquell-notatty-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    int open_before = OpenDescriptors();
    for (std::string path : {std::string(name), std::string("/dev/null")}) {
        std::string out;
        std::string err;
        EXPECT_EQ(3, Open(path, 9600, &out, &err)) << path;
        EXPECT_EQ("Serial_Init:: tcgetattr() failed\n", out);
        EXPECT_EQ("marquell: " + path +
                      ": cannot read the line settings: Inappropriate ioctl for device\n",
                  err);
        EXPECT_EQ(0, handle);
        EXPECT_EQ(open_before, OpenDescriptors()) << path;
    }
    unlink(name);
}

TEST_F(SerialTest, RefusedSettingsFailTcsetattrAndClose) {
    Pty pty;
    int open_before = OpenDescriptors();
    SetLineSetter(RefusingDriver);
    std::string out;
    EXPECT_EQ(4, Open(pty.path, 9600, &out));
    EXPECT_EQ("Serial_Init:: tcsetattr() failed\n", out);
    EXPECT_EQ(0, handle);
    EXPECT_EQ(open_before, OpenDescriptors());
}

TEST_F(SerialTest, ADriverThatTakesTheSettingsOtherwiseIsNamedAndThePortStillServes) {
    // The settings are read back: what the line carries, and what to do, go
    // to standard error; the report stays as it is, and the bytes go out.
    struct Case {
        LineSetter driver;
        int rate;
        std::string why;
    };
    const Case cases[] = {
        {OneStopBitDriver, 9600,
         "the line carries 8N1 at 9600 baud, not the 8N2 at 9600 baud asked for: its driver "
         "sends 1 stop bit; most displays still read it, as a receiver checks only the first "
         "stop bit, but a display that needs the second may misread bytes; to send 2: put the "
         "display on a port whose driver sends 2 stop bits, such as a USB serial adapter"},
        {NineSixHundredOnlyDriver, 1200,
         "the line carries 8N2 at 9600 baud with XON/XOFF flow control, not the 8N2 at 1200 "
         "baud asked for: its driver did not take the rate and the flow control; a display set "
         "to 8N2 at 1200 baud may misread bytes or miss them: put it on a port whose driver "
         "takes 8N2 at 1200 baud"},
    };
    for (const Case& c : cases) {
        Pty pty;
        SetLineSetter(c.driver);
        std::string out;
        std::string err;
        ASSERT_EQ(0, Open(pty.path, c.rate, &out, &err));
        EXPECT_EQ("Serial_Init:: success\n", out);
        EXPECT_EQ("marquell: " + pty.path + ": " + c.why + "\n", err);
        EXPECT_EQ("", Printed([] { SendByte(20); }));
        EXPECT_EQ(Bytes({20}), pty.Read());
        Uninit_Serial();
        EXPECT_EQ(SERVED_WHOLE, HowServed()) << "a display on that line is still served";
    }
}

// Another program (a terminal session, another run) holding the port's lock.
struct LockHolder {
    int fd;
    explicit LockHolder(const std::string& path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        EXPECT_EQ(0, flock(fd, LOCK_EX));
    }
    ~LockHolder() { close(fd); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
};

TEST_F(SerialTest, APortLockedElsewhereIsWaitedForAndServedOnceLetGo) {
    Pty pty;
    auto holder = std::make_unique<LockHolder>(pty.path);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder.reset();
    });
    auto start = Clock::now();
    std::string out;
    EXPECT_EQ(0, Open(pty.path, 19200, &out));
    release.join();
    EXPECT_EQ("Serial_Init:: success\n", out);
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 0.3)
        << "wrote through another holder's lock";
}

TEST_F(SerialTest, APortLockedLongerThanADisplayNeedsIsRefusedOnceAWaitAndItsLineLeftAlone) {
    Pty pty;
    termios before = pty.Settings();
    cfsetospeed(&before, B9600);
    cfsetispeed(&before, B9600);
    ASSERT_EQ(0, tcsetattr(pty.slave, TCSANOW, &before));
    LockHolder holder(pty.path);
    int open_before = OpenDescriptors();
    auto start = Clock::now();
    std::string out;
    EXPECT_EQ(1, Open(pty.path, 19200, &out));
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ("Serial_Init:: Open() failed\n", out);
    // 13,100 bytes at 19200 baud take 7.5 s: another run could still need it.
    EXPECT_GT(waited, 7.5);
    EXPECT_LT(waited, 12.0);
    EXPECT_EQ(0, handle);
    EXPECT_EQ(open_before, OpenDescriptors());
    termios after = pty.Settings();
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&after)) << "the holder's rate was changed";

    // A later display on the same port, by another name, is refused at once.
    const std::string link = "/tmp/marquell-link-" + std::to_string(getpid());
    ASSERT_EQ(0, symlink(pty.path.c_str(), link.c_str()));
    start = Clock::now();
    std::string err;
    EXPECT_EQ(1, Open(link, 19200, &out, &err));
    unlink(link.c_str());
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
    EXPECT_EQ("Serial_Init:: Open() failed\n", out);
    EXPECT_EQ("marquell: " + link +
                  ": held by another program, which kept it past the wait earlier in this run\n",
              err);
}

long long bytes_counted = 0;
ssize_t CountBytes(int /*fd*/, const void* /*buf*/, size_t count) {
    bytes_counted += static_cast<long long>(count);
    return static_cast<ssize_t>(count);
}

TEST_F(SerialTest, ARunWaitsForALockedPortAsLongAsTheLargestDisplayMayRightlyHoldIt) {
    // Four rows of 255 letters sent as escapes, and the pulse.
    Entry largest{};
    for (char* row : {largest.line1, largest.line2, largest.line3, largest.line4}) {
        memset(row, 0x86, ROW_SIZE - 1);
    }
    largest.command = COMMAND_ATTENTION;
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 19200));
    SetByteSink(CountBytes);
    RunDisplaySequence(&largest);
    SetByteSink(nullptr);
    EXPECT_EQ(kLargestDisplayBytes, bytes_counted);
    for (const LineRate& r : kRates) {
        EXPECT_GE(LockWaitNs(r.baud),
                  LineNs(bytes_counted, r.baud) + TransmitterNs(bytes_counted, r.baud))
            << r.baud;
    }
}

TEST_F(SerialTest, BytesReachTheFarSideUnchangedAndNothingAfterUninit) {
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 19200));
    std::string out = Printed([] {
        for (int b : {20, 24, 10, 13, 17, 0, 3, 255, 127}) {
            SendByte(static_cast<ubyte>(b));
        }
        Uninit_Serial();
    });
    EXPECT_EQ("", out);
    EXPECT_EQ(0, handle);
    EXPECT_EQ(SERVED_WHOLE, HowServed());
    EXPECT_EQ(Bytes({20, 24, 10, 13, 17, 0, 3, 255, 127}), pty.Read());
    EXPECT_EQ("", Printed([] { SendByte(65); }));
    EXPECT_EQ("", pty.Read(50));
}

TEST_F(SerialTest, SendStringMapsTheSixLettersAndDropsOtherHighBytes) {
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 19200));
    struct Case {
        const char* text;
        std::string wire;
    };
    const Case cases[] = {
        {"\xC3\x86r\xC3\xB8", Bytes({30, 1, 188, 114, 30, 1, 172})},  // Ærø
        {"\xC3\x85\xC3\x98\xC3\xA5\xC3\xA6",
         Bytes({30, 1, 174, 30, 1, 171, 30, 1, 175, 30, 1, 189})},
        {"\xC5 \xE9", " "},                      // Latin-1 Å and é
        {"\xE2\x80\xA6", Bytes({30, 1, 189})},   // the ellipsis
        {"\xE2\x82\xAC\xC3\xBC", ""},            // € ü
        {"a\tb\nc\x1b\x01", "a\tb\nc\x1b\x01"},  // control bytes pass
        {"", ""},
    };
    for (const Case& c : cases) {
        SendString(c.text);
        EXPECT_EQ(c.wire, pty.Read(50)) << "text: " << c.text;
    }
}

TEST_F(SerialTest, AFullQueueMakesTheByteWaitForRoomNotGetLost) {
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 19200));
    size_t filled = pty.Fill();
    ASSERT_GT(filled, 0u);
    std::string drained;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        drained = pty.Read(300);
    });
    std::string out = Printed([] {
        SendByte(42);
        SendByte(43);
    });
    reader.join();
    drained += pty.Read(100);
    EXPECT_EQ("", out);
    ASSERT_EQ(filled + 2, drained.size());
    EXPECT_EQ("*+", drained.substr(filled));
}

TEST_F(SerialTest, AStuckPortTakesNoLaterByteOfTheDisplaySoNoCommandArrivesCut) {
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 19200));
    size_t filled = pty.Fill();
    const ubyte level[] = {14, 50};
    auto start = Clock::now();
    std::string err;
    EXPECT_EQ("SendByte() failed\nSendByte() failed\n",
              Printed([&] { SendWhole(level, 2); }, &err));
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(waited, 1.0) << "gave up before the stuck time";
    EXPECT_LT(waited, 5.0);
    EXPECT_EQ("marquell: " + pty.path +
                  ": the line moved nothing for 1.0 s; the rest of this display is not sent\n",
              err);
    EXPECT_TRUE(PortLost());

    // The line comes back: the rest of the display still goes nowhere, or the
    // display would take a level byte for text.
    EXPECT_EQ(filled, pty.Read().size());
    start = Clock::now();
    EXPECT_EQ("SendByte() failed\n", Printed([] { SendByte(7); }));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
    EXPECT_EQ("", pty.Read(50));

    // The next display on the port starts afresh.
    Uninit_Serial();
    ASSERT_EQ(0, Open(pty.path, 19200));
    EXPECT_EQ("", Printed([] { SendByte(4); }));
    EXPECT_EQ(Bytes({4}), pty.Read());
}

TEST_F(SerialTest, APortWhoseFarSideWentAwayFailsEveryByteAtOnce) {
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 19200));
    close(pty.master);
    pty.master = -1;
    auto start = Clock::now();
    EXPECT_EQ("SendByte() failed\nSendByte() failed\n", Printed([] {
                  SendByte(1);
                  SendString("x");
              }));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
}

TEST_F(SerialTest, ALineThatNeverDrainsIsGivenUpAfterTheStuckTimeAndWhatItHeldIsCounted) {
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 19200));
    SendByte(1);
    fake_line = FakeLine{4095, true, NowNs() + 6000000000LL};
    SetLineQuery(FakeQuery);
    auto start = Clock::now();
    std::string err;
    Printed([] { Uninit_Serial(); }, &err);
    EXPECT_GT(SecondsSince(start), 1.0) << "gave up before the stuck time";
    EXPECT_LT(SecondsSince(start), 3.0) << "the drain has no bound";
    EXPECT_EQ("marquell: " + pty.path +
                  ": 4095 queued bytes discarded at close: the line moved nothing for 1.0 s\n",
              err);
    EXPECT_EQ(SERVED_FAILED, HowServed()) << "bytes discarded at close count as a loss";
}

TEST_F(SerialTest, ADeviceThatNeverReportsItselfEmptyHoldsTheCloseOnlyForWhatItTook) {
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 1200));
    for (int i = 0; i < 10; ++i) {
        SendByte(65);
    }
    fake_line = FakeLine{0, true, NowNs() + 6000000000LL};
    SetLineQuery(FakeQuery);
    auto start = Clock::now();
    std::string err;
    Printed([] { Uninit_Serial(); }, &err);
    // Ten bytes at 1200 baud take 92 ms, and the device tells some 50 ms late.
    EXPECT_GT(SecondsSince(start), 0.14);
    EXPECT_LT(SecondsSince(start), 1.0) << "the wait for the transmitter has no bound";
    EXPECT_EQ("", err);
}

TEST_F(SerialTest, ADriverThatCountsNothingIsNotFlushedSoWhatAnotherProgramQueuedSurvives) {
    Pty pty;
    ASSERT_EQ(0, Open(pty.path, 19200));
    const size_t theirs = pty.Fill();
    ASSERT_GT(theirs, 0u);
    std::string err;
    Printed(
        [] {
            for (int i = 0; i < 100 && !PortLost(); ++i) {
                SendByte(1);  // a second without room: the port is lost
            }
            Uninit_Serial();
        },
        &err);
    EXPECT_EQ(std::string::npos, err.find("discarded")) << err;
    EXPECT_EQ(std::string(theirs, '\0'), pty.Read().substr(0, theirs));
}

}  // namespace
