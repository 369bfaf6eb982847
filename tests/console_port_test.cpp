// A display's port shared with the kernel's console, a login prompt or
// another program, told from a made-up system: its sysfs, /proc and /dev in a
// folder. /dev/null stands in for the port, so every path follows a real
// character device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "check.h"
#include "console_port.h"
#include "port_rules.h"
#include "program_run.h"
#include "report_expect.h"
#include "uart_limits.h"

namespace {

namespace fs = std::filesystem;

const char kRows[] = R"(line1="a" line2="b" line3="c" line4="d")";

const char kFile[] = R"(baudrate=9600
lcd=2 line1="a" line2="b" line3="c" line4="d"
  lcd=40 line1="a" line2="b" line3="c" line4="d"
lcd=40 line1="e" line2="f" line3="g" line4="h"
)";

class System {
public:
    System() {
        struct stat st {};
        EXPECT_EQ(0, stat("/dev/null", &st));
        port_ = st.st_rdev;
    }
    std::string Root() const { return dir_.path(); }
    dev_t Port() const { return port_; }
    std::string PortNumber() const {
        return std::to_string(major(port_)) + ":" + std::to_string(minor(port_));
    }
    void File(const std::string& name, const std::string& text) const {
        fs::create_directories(fs::path(Root() + "/" + name).parent_path());
        dir_.Write(name, text);
    }
    void Link(const std::string& name, const std::string& target) const {
        fs::create_directories(fs::path(Root() + "/" + name).parent_path());
        fs::create_symlink(target, Root() + "/" + name);
    }
    void Folder(const std::string& name) const { fs::create_directories(Root() + "/" + name); }
    // The port as the kernel names it, and the console list of sysfs.
    void Tty(const std::string& name, const std::string& active) const {
        Link("sys/dev/char/" + PortNumber(), "../../devices/platform/serial8250/tty/" + name);
        File("sys/class/tty/" + name + "/dev", PortNumber() + "\n");
        File("sys/class/tty/ttyS0/dev", "4:64\n");
        File("sys/class/tty/tty0/dev", "4:0\n");
        File("sys/class/tty/console/active", active);
    }
    // The port as a board's UART under the driver named: the links sysfs
    // makes from the device number to the tty, its device and the driver.
    void BoardUart(const std::string& name, const std::string& driver) const {
        const std::string uart = "sys/devices/platform/soc/3f215000.serial";
        Link("sys/dev/char/" + PortNumber(),
             "../../devices/platform/soc/3f215000.serial/tty/" + name);
        Link(uart + "/tty/" + name + "/device", "../../../3f215000.serial");
        Link(uart + "/driver", "../../../../bus/platform/drivers/" + driver);
        Folder("sys/bus/platform/drivers/" + driver);
    }
    std::string Driver() const {
        char out[64];
        return PortDriver(Root().c_str(), port_, out, sizeof out) ? out : "(none)";
    }
    // What marquell-check adds for a file's ports on this system.
    CheckResult PortsChecked(const std::string& file) const {
        File("marquell.ini", file);
        CheckResult r;
        EXPECT_TRUE(CheckFile((Root() + "/marquell.ini").c_str(), 20, &r));
        r.warnings.clear();
        r.notes.clear();
        CheckPortUses(Root().c_str(), &r);
        return r;
    }
    // The warnings of a port shared with another use, for kFile's ports.
    std::vector<Warning> Checked() const {
        std::vector<Warning> shared;
        for (const Warning& w : PortsChecked(kFile).warnings) {
            if (w.text.find(" is shared with ") != std::string::npos) {
                shared.push_back(w);
            }
        }
        return shared;
    }
    std::string Said(bool scan_processes = false) const {
        char out[256];
        DescribePortUse(FindPortUse(Root().c_str(), port_, scan_processes), out, sizeof out);
        return out;
    }

private:
    WorkDir dir_;
    dev_t port_ = 0;
};

TEST(SharedPorts, TheConsoleIsFoundByDeviceNumberAndNamedOnTheFirstLcdOfItsPort) {
    System s;
    s.Tty("ttyUSB0", "tty0 ttyUSB0\n");
    s.Link("dev/ttyS40", "/dev/null");  // as a udev rule links an adapter
    std::vector<Warning> w = s.Checked();
    ASSERT_EQ(1u, w.size());
    EXPECT_EQ(3, w[0].line);
    EXPECT_EQ(3, w[0].column);
    EXPECT_EQ(
        "/dev/ttyS40 is shared with the kernel's console (console=ttyUSB0), whose text garbles "
        "the display; to free it: remove console=ttyUSB0 from the kernel command line, then "
        "reboot",
        w[0].text);
}

TEST(SharedPorts, NothingIsSaidWhereTheConsoleIsElsewhereOrCannotBeRead) {
    System s;
    EXPECT_EQ("", s.Said()) << "an empty system";
    s.Tty("ttyS1", "tty0 ttyS0\n");
    s.File("proc/consoles", "ttyS0                -W- (EC p a)    4:64\n");
    EXPECT_EQ("", s.Said());
    EXPECT_TRUE(s.Checked().empty());  // no dev/ttyS2 nor dev/ttyS40 there
    s.Link("dev/ttyS40", "/dev/null");
    EXPECT_TRUE(s.Checked().empty());
}

TEST(SharedPorts, ProcConsolesIsReadOnlyWhereSysfsCannotBe) {
    System s;
    s.File("proc/consoles", "ttyS1                -W- (EC p a)    " + s.PortNumber() + "\n");
    EXPECT_NE(std::string::npos, s.Said().find("console=ttyS1"));
    s.Tty("ttyS1", "ttyS0\n");  // sysfs now answers, and it says elsewhere
    EXPECT_EQ("", s.Said());
}

TEST(SharedPorts, ALoginPromptIsFoundByItsUnitsControlGroup) {
    System s;
    s.Tty("ttyS1", "tty0\n");
    s.Folder("sys/fs/cgroup/system.slice/system-serial\\x2dgetty.slice/serial-getty@ttyS0.service");
    EXPECT_EQ("", s.Said()) << "a prompt on another port";
    s.Folder("sys/fs/cgroup/system.slice/system-serial\\x2dgetty.slice/serial-getty@ttyS1.service");
    EXPECT_EQ(
        "shared with a login prompt (serial-getty@ttyS1.service), whose text garbles the "
        "display; to free it: sudo systemctl disable --now serial-getty@ttyS1.service",
        s.Said());
    s.File("sys/class/tty/console/active", "ttyS1\n");
    EXPECT_NE(std::string::npos,
              s.Said().find("console (console=ttyS1) and a login prompt (serial-getty@ttyS1"));

    // The hybrid tree: systemd's own hierarchy under cgroup/systemd.
    System hybrid;
    hybrid.Tty("ttyS1", "tty0\n");
    hybrid.Folder(
        "sys/fs/cgroup/systemd/system.slice/system-serial\\x2dgetty.slice/"
        "serial-getty@ttyS1.service");
    EXPECT_NE(std::string::npos, hybrid.Said().find("a login prompt (serial-getty@ttyS1.service)"));
}

TEST(SharedPorts, ALoginPromptOnTheLinkADisplayIsOpenedByIsFoundToo) {
    // A getty someone started on /dev/ttyS40, the udev link to ttyUSB0.
    System s;
    s.Tty("ttyUSB0", "tty0\n");
    s.Folder(
        "sys/fs/cgroup/system.slice/system-serial\\x2dgetty.slice/serial-getty@ttyS40.service");
    PortUse use = FindPortUse(s.Root().c_str(), s.Port(), false);
    EXPECT_EQ("", std::string(use.getty)) << "ttyUSB0 has none";
    FindLinkGetty(s.Root().c_str(), "/dev/ttyS41", &use);
    EXPECT_EQ("", std::string(use.getty)) << "another link";
    FindLinkGetty(s.Root().c_str(), "/dev/ttyS40", &use);
    EXPECT_EQ("serial-getty@ttyS40.service", std::string(use.getty));
    // marquell-check names it at the port's first lcd.
    s.Link("dev/ttyS40", "/dev/null");
    std::vector<Warning> w = s.Checked();
    ASSERT_EQ(1U, w.size());
    EXPECT_EQ(3, w[0].line);
    EXPECT_NE(
        std::string::npos,
        w[0].text.find("/dev/ttyS40 is shared with a login prompt (serial-getty@ttyS40.service)"))
        << w[0].text;
}

TEST(SharedPorts, MarquellNamesALoginPromptOnTheLinkItOpenedAndStillServesTheDisplay) {
    // ttysim's /dev/ttyS<n> are links to pseudo-terminals, and its port 1
    // has a login prompt's control group, as systemd makes one.
    RunResult run = RunWith("baudrate=19200\nlcd=1 line1=\"a\" line2=\"\" line3=\"\" line4=\"\"\n",
                            {"1:getty"});
    REQUIRE_NAMESPACE(run);
    EXPECT_NE(std::string::npos,
              run.err.find("marquell: /dev/ttyS1: shared with a login prompt "
                           "(serial-getty@ttyS1.service), whose text garbles the display; to free "
                           "it: sudo systemctl disable --now serial-getty@ttyS1.service\n"))
        << run.err;
    EXPECT_NE(std::string::npos, run.out.find("Serial_Init:: success\n"));
    EXPECT_EQ(expect::Rows("a", "", "", ""), run.ports[1]);
}

TEST(SharedPorts, RaspiConfigFreesOnlyTheBoardsOwnUart) {
    System s;
    s.File("usr/bin/raspi-config", "");
    s.Tty("ttyS0", "ttyS0\n");
    s.File("sys/class/tty/ttyS0/dev", s.PortNumber() + "\n");
    EXPECT_NE(std::string::npos, s.Said().find("sudo raspi-config nonint do_serial_cons 1"));
    System adapter;
    adapter.File("usr/bin/raspi-config", "");
    adapter.Tty("ttyUSB0", "ttyUSB0\n");
    EXPECT_NE(std::string::npos, adapter.Said().find("remove console=ttyUSB0"));
}

TEST(SharedPorts, AnotherProgramHoldingThePortIsNamedWhenProcessesAreScanned) {
    System s;
    s.Tty("ttyS1", "tty0\n");
    s.Link("proc/700/fd/4", "/dev/null");  // another marquell run: not a use
    s.File("proc/700/comm", "marquell\n");
    EXPECT_EQ("", s.Said(true));
    s.Link("proc/412/fd/0", "/etc");
    s.Link("proc/412/fd/3", "/dev/null");
    s.File("proc/412/comm", "picocom\n");
    EXPECT_EQ("", s.Said(false));
    EXPECT_EQ(
        "shared with another program, picocom (pid 412), whose text garbles the display; to "
        "free it: stop that program",
        s.Said(true));
}

TEST(SharedPorts, TheScanLooksOnlyAtDeviceNodesUnderDevAndEscapesTheNamesItPrints) {
    // A file outside /dev that leads to the port is not followed: the scan
    // reads each descriptor's link and looks at nothing but /dev's nodes, so
    // a dead network mount cannot hang it.
    System s;
    s.Tty("ttyS1", "tty0\n");
    s.Link("elsewhere", "/dev/null");
    s.Link("proc/500/fd/5", s.Root() + "/elsewhere");
    s.File("proc/500/comm", "reader\n");
    EXPECT_EQ("", s.Said(true));
    // Any user may name a process: its name reaches the owner's terminal
    // with no control sequence in it.
    s.Link("proc/412/fd/3", "/dev/null");
    s.File("proc/412/comm", "pico\x1b]2;x\x07\\com\n");
    EXPECT_EQ(
        "shared with another program, pico\\x1b]2;x\\x07\\x5ccom (pid 412), whose text garbles "
        "the display; to free it: stop that program",
        s.Said(true));
}

TEST(OneStopBitUarts, AreKnownByTheDriverSysfsBindsToThePort) {
    System s;
    EXPECT_EQ("(none)", s.Driver()) << "an empty system";
    s.Tty("ttyS1", "tty0\n");
    EXPECT_EQ("(none)", s.Driver()) << "a tty with no device tells no driver";
    System mini;
    mini.BoardUart("ttyS1", "bcm2835-aux-uart");
    ASSERT_EQ("bcm2835-aux-uart", mini.Driver());
    const OneStopBitUart* u = FindOneStopBitUart(mini.Driver().c_str());
    ASSERT_NE(nullptr, u);
    EXPECT_NE(std::string::npos, std::string(u->fix).find("dtoverlay=disable-bt"));
    System pl011;
    pl011.BoardUart("ttyAMA0", "uart-pl011");
    EXPECT_EQ("uart-pl011", pl011.Driver());
    EXPECT_EQ(nullptr, FindOneStopBitUart(pl011.Driver().c_str())) << "the PL011 sends 2";
    EXPECT_EQ(nullptr, FindOneStopBitUart("serial8250"));
}

termios Line(tcflag_t cflag, speed_t speed) {
    termios t{};
    t.c_cflag = cflag;
    cfsetospeed(&t, speed);
    cfsetispeed(&t, speed);
    return t;
}

TEST(OneStopBitUarts, ALineTakenWithOneStopBitIsNamedWithTheUartAndTheWayToTwo) {
    // As the mini UART reads back: CSTOPB cleared, tcsetattr 0.
    System mini;
    mini.BoardUart("ttyS1", "bcm2835-aux-uart");
    const termios asked = Line(CS8 | CSTOPB | CREAD | CLOCAL, B9600);
    const termios taken = Line(CS8 | CREAD | CLOCAL, B9600);
    char why[768];
    EXPECT_FALSE(DescribeLineTaken(asked, asked, mini.Driver().c_str(), why, sizeof why));
    EXPECT_STREQ("", why);
    ASSERT_TRUE(DescribeLineTaken(asked, taken, mini.Driver().c_str(), why, sizeof why));
    const std::string said = why;
    EXPECT_EQ(0U, said.find("the line carries 8N1 at 9600 baud, not the 8N2 at 9600 baud asked "
                            "for: the Raspberry Pi's mini UART (driver bcm2835-aux-uart) sends 1 "
                            "stop bit whatever it is asked; "))
        << said;
    EXPECT_NE(std::string::npos, said.find(kOneStopBitEffect));
    EXPECT_NE(std::string::npos, said.find("; to send 2: put the display on the PL011 instead"));
}

TEST(OneStopBitUarts, WhatALineCarriesIsWrittenAsPeopleWriteIt) {
    termios odd = Line(CS7 | PARENB | PARODD, B1200);
    EXPECT_TRUE(LineAsAsked(odd, odd));
    char text[160];
    DescribeLine(odd, text, sizeof text);
    EXPECT_STREQ("7O1 at 1200 baud", text);
    termios busy = Line(CS8 | PARENB | CSTOPB | CRTSCTS, B19200);
    busy.c_oflag = OPOST;
    busy.c_iflag = IXON;
    DescribeLine(busy, text, sizeof text);
    EXPECT_STREQ(
        "8E2 at 19200 baud with output processing, XON/XOFF flow control and RTS/CTS flow control",
        text);
    EXPECT_FALSE(LineAsAsked(busy, Line(CS8 | PARENB | CSTOPB | CRTSCTS, B19200)));
}

TEST(OneStopBitUarts, ADisplayOnOneIsNamedAtItsLcdWithTheWayToAUartThatSendsTwo) {
    System mini;
    mini.BoardUart("ttyS1", "bcm2835-aux-uart");
    mini.Link("dev/ttyS1", "/dev/null");
    CheckResult r = mini.PortsChecked("baudrate=9600\n  lcd=1 " + std::string(kRows));
    ASSERT_EQ(1u, r.warnings.size());
    EXPECT_EQ(2, r.warnings[0].line);
    EXPECT_EQ(3, r.warnings[0].column);
    const std::string& text = r.warnings[0].text;
    EXPECT_EQ(0u, text.find("/dev/ttyS1 is the Raspberry Pi's mini UART (driver bcm2835-aux-uart), "
                            "which sends 1 stop bit where marquell asks for 2: "))
        << text;
    EXPECT_NE(std::string::npos, text.find(kOneStopBitEffect)) << text;
    EXPECT_NE(std::string::npos, text.find(FindOneStopBitUart("bcm2835-aux-uart")->fix)) << text;
    // The fix it names: the display on the PL011, linked as /dev/ttyS50.
    System fixed;
    fixed.BoardUart("ttyAMA0", "uart-pl011");
    fixed.Link("dev/ttyS50", "/dev/null");
    EXPECT_TRUE(
        fixed.PortsChecked("baudrate=9600\n  lcd=50 " + std::string(kRows)).warnings.empty());
}

// The file may be checked on another machine than the one that serves it: a
// port missing here gets a note, which leaves the check clean.
TEST(MissingPorts, AreNotedWithTheLinkAnAdapterNeeds) {
    System s;
    s.Folder("dev");
    CheckResult r = s.PortsChecked(kFile);
    EXPECT_TRUE(r.warnings.empty());
    ASSERT_EQ(2u, r.notes.size());
    EXPECT_EQ(2, r.notes[0].line);
    EXPECT_EQ(
        "/dev/ttyS2 is not on this machine, whose kernel made no such port (ls /sys/class/tty "
        "lists those it made): marquell's run gets Open() failed for it; a USB serial adapter or "
        "a board's UART named otherwise takes a link from /dev/ttyS32 up "
        "(/usr/share/doc/marquell/README.md#a-display-on-a-usb-serial-adapter)",
        r.notes[0].text);
    EXPECT_EQ(3, r.notes[1].line);
    EXPECT_EQ(3, r.notes[1].column) << "at the first lcd on that port";
    EXPECT_EQ(
        "/dev/ttyS40 is not on this machine: until a udev rule links a USB serial adapter (or a "
        "board's UART named otherwise) there, marquell's run gets Open() failed for it "
        "(/usr/share/doc/marquell/README.md#a-display-on-a-usb-serial-adapter)",
        r.notes[1].text);
    s.Link("dev/ttyS40", "ttyUSB0");  // the adapter unplugged
    r = s.PortsChecked(kFile);
    ASSERT_EQ(2u, r.notes.size());
    EXPECT_EQ(0u,
              r.notes[1].text.find("/dev/ttyS40 links to ttyUSB0, which is not on this machine"))
        << r.notes[1].text;
}

TEST(SharedPorts, APortTheFileDoesNotNameIsLeftToTheFilesOwnWarning) {
    // lcd=/dev/ttyUSB0 reads as port 0, the console's: the fix is in the file.
    System s;
    s.Tty("ttyUSB0", "ttyUSB0\n");
    s.Link("dev/ttyS0", "/dev/null");
    CheckResult r = s.PortsChecked("baudrate=9600\nlcd=/dev/ttyUSB0 " + std::string(kRows));
    EXPECT_TRUE(r.warnings.empty()) << r.warnings[0].text;
    EXPECT_TRUE(r.notes.empty()) << r.notes[0].text;
    r = s.PortsChecked("baudrate=9600\nlcd=0 " + std::string(kRows));
    ASSERT_EQ(1u, r.warnings.size());
    EXPECT_NE(std::string::npos, r.warnings[0].text.find("console=ttyUSB0")) << r.warnings[0].text;
}

TEST(SharedPorts, APseudoTerminalIsNeverTakenForAConsole) {
    // marquell's own call, on this machine, for a port with no sysfs entry.
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    char out[256];
    EXPECT_FALSE(DescribeOpenPortUse(fd, "/dev/ttyS40", out, sizeof out));
    EXPECT_STREQ("", out);
    close(fd);
}

}  // namespace
