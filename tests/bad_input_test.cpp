// The bad-input catalogue: marquell.ini as people really leave it (typos,
// odd encodings, huge or truncated files, things that are not files), run
// through the shipped binary. Each case states what the user sees; none may
// crash, hang, garble a display or end with a status other than 0.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "program_run.h"
#include "report_expect.h"

namespace {

using expect::BadRate;
using expect::Bytes;
using expect::Display;
using expect::kBare;
using expect::kDone;
using expect::kHead;
using expect::kLoop;
using expect::NotOpened;
using expect::Opened;
using expect::Rate;
using expect::Rows;

// A file that was read but names no rate and no display: one record on
// port 0, refused for the rate 0, and nothing sent.
std::string NothingUsable() {
    return std::string(kHead) + Rate(0) + kLoop + NotOpened(0, 0, BadRate(0)) + kDone;
}

std::string Served(int rate, const std::string& displays) {
    return std::string(kHead) + Rate(rate) + kLoop + displays + kDone;
}

// A file that should give exactly one display: served on port, rows r0 to r3.
void ExpectOnlyServed(const std::string& text, int port, int rate, const std::string& r0,
                      const std::string& r1 = "", const std::string& r2 = "",
                      const std::string& r3 = "") {
    RunResult run = RunWith(text, {std::to_string(port)});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(Served(rate, Opened(port, rate, r0, r1, r2, r3)), run.out);
    EXPECT_EQ(Rows(r0, r1, r2, r3), run.ports[port]);
}

// Every run must end the way a finished run ends, whatever came before.
void ExpectFinished(const RunResult& run) {
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0U, run.out.rfind(kHead, 0)) << run.out.substr(0, 200);
    ASSERT_GE(run.out.size(), sizeof kDone - 1);
    EXPECT_EQ(kDone, run.out.substr(run.out.size() - (sizeof kDone - 1)));
}

TEST(EmptyText, AnEmptyOrBlankFileGivesRateZeroAndPortZeroRefused) {
    for (const char* text : {"", " \t\r\n\n    \n", "\v\f"}) {
        RunResult run = RunWith(text, {"0"});
        REQUIRE_NAMESPACE(run);
        EXPECT_EQ(NothingUsable(), run.out) << '"' << text << '"';
        EXPECT_EQ("", run.ports[0]);
        EXPECT_EQ(0, run.status);
    }
}

TEST(EmbeddedNul, ANulFirstHidesTheWholeFile) {
    RunResult run = RunWith(std::string("\0baudrate=19200\n", 16) + Display(0, "hidden"), {"0"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(NothingUsable(), run.out);
    EXPECT_EQ("", run.ports[0]);
}

TEST(EmbeddedNul, ANulInsideAValueEndsTheTextThereAndTheDisplayGetsEmptyRows) {
    // The text ends inside line1's value, so its closing quote is never seen.
    std::string text = "baudrate=19200\nlcd=1 line1=\"ab" + std::string(1, '\0') +
                       "cd\" line2=\"b\" line3=\"c\" line4=\"d\"\n" + Display(2, "lost");
    RunResult run = RunWith(text, {"1", "2"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(Served(19200, Opened(1, 19200, "", "", "", "")), run.out);
    EXPECT_EQ(Rows("", "", "", ""), run.ports[1]);
    EXPECT_EQ("", run.ports[2]);
}

TEST(HugeFiles, TenMegabytesOfRandomBytesAreReadAndTheRunFinishes) {
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): the same bytes every run, on purpose
    std::mt19937 random(20261207);
    // From 1, there is no NUL and all 10 MB are text; from 0, the text ends
    // at the first NUL, a few hundred bytes in.
    for (int lowest : {1, 0}) {
        std::uniform_int_distribution<int> byte(lowest, 255);
        std::string text(10 << 20, ' ');
        for (char& c : text) {
            c = static_cast<char>(byte(random));
        }
        RunResult run = RunWith(text, {"0"});
        REQUIRE_NAMESPACE(run);
        ExpectFinished(run);
        EXPECT_LT(run.seconds, 30.0);
    }
}

TEST(HugeFiles, AOneMegabyteLineIsReadLikeAnyOther) {
    std::string filler;
    while (filler.size() < (1 << 20)) {
        filler += "no keys here, only words; ";
    }
    ExpectOnlyServed("baudrate=19200 " + filler + Display(1, "end of the line"), 1, 19200,
                     "end of the line");
}

TEST(HugeFiles, AValueOf100000BytesIsCutTo255InTheReportAndOnTheWire) {
    std::string big(100000, 'v');
    std::string cut(255, 'v');
    RunResult run =
        RunWith("baudrate=9600\n" + Display(1, big, "two") + Display(2, "next"), {"1", "2"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(
        Served(9600, Opened(1, 9600, cut, "two", "", "") + Opened(2, 9600, "next", "", "", "")),
        run.out);
    EXPECT_EQ(Rows(cut, "two", "", ""), run.ports[1]);
    EXPECT_EQ(Rows("next", "", "", ""), run.ports[2]);
}

TEST(Truncated, KeysWithoutValuesGiveZerosAndNoRows) {
    // No quote anywhere: the display on port 0 is kept with empty rows.
    RunResult run = RunWith("baudrate=19200\nlcd=\nline1=\nline2=\nline3=\nline4=\n", {"0"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(Served(19200, Opened(0, 19200, "", "", "", "")), run.out);
    EXPECT_EQ(Rows("", "", "", ""), run.ports[0]);

    // A rate key without a number leaves the rate at 0.
    run = RunWith("baudrate=\n" + Display(1, "a"), {"1"});
    EXPECT_EQ(std::string(kHead) + Rate(0) + kLoop + NotOpened(1, 0, BadRate(0)) + kDone, run.out);
    EXPECT_EQ("", run.ports[1]);

    // A command key without a number still selects its command, with level 0.
    run = RunWith("baudrate=19200\nlcd=1 cmd_contrast=\n" + std::string("line1=\"a\" line2=\"\" "
                                                                        "line3=\"\" line4=\"\""),
                  {"1"});
    EXPECT_EQ(Rows("a", "", "", "") + Bytes({15, 0}), run.ports[1]);
}

TEST(Truncated, AQuoteLeftOpenAtTheEndKeepsTheRowsBeforeIt) {
    RunResult run =
        RunWith("baudrate=19200\n" + Display(1, "a", "b", "c", "d") +
                    "lcd=2\nline1=\"e\"\nline2=\"f\"\nline3=\"g\"\nline4=\"never closed\n",
                {"1", "2"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(
        Served(19200, Opened(1, 19200, "a", "b", "c", "d") + Opened(2, 19200, "e", "f", "g", "")),
        run.out);
    EXPECT_EQ(Rows("a", "b", "c", "d"), run.ports[1]);
    EXPECT_EQ(Rows("e", "f", "g", ""), run.ports[2]);
}

// ttyS0 is often the machine's console: an "lcd" with no rows after it
// must not open it.
TEST(Truncated, AnLcdInTheLastRowOrAClosingNoteOpensNoPort) {
    for (const char* tail : {"line4=\"see the lcd desk\"\n", "line4=\"\"\n# lcd is the port\n"}) {
        RunResult run = RunWith(
            "baudrate=19200\nlcd=1\nline1=\"a\"\nline2=\"\"\nline3=\"\"\n" + std::string(tail),
            {"0", "1"});
        REQUIRE_NAMESPACE(run);
        EXPECT_EQ(1U, expect::Count(run.out, "### init serial")) << tail << run.out;
        EXPECT_EQ("", run.ports[0]) << tail;
    }
}

TEST(NumberForms, TheRateTakesBlanksAndSignsButNotHexAndSaturatesLongNumbers) {
    const std::pair<const char*, int> cases[] = {
        {"baudrate= \t19200", 19200},
        {"baudrate=\n+19200", 19200},
        {"baudrate=-19200", -19200},
        {"baudrate=0x10", 0},
        {"baudrate=19200.5", 19200},
        {"baudrate=123456789012345678901234567890", 2147483647},
        {"baudrate=-123456789012345678901234567890", -2147483647 - 1},
        {"baudrate=+-5", 0},
    };
    for (auto [key, rate] : cases) {
        RunResult run = RunWith(std::string(key) + "\n" + Display(1, "a"), {"1"});
        REQUIRE_NAMESPACE(run);
        std::string display =
            rate == 19200 ? Opened(1, rate, "a", "", "", "") : NotOpened(1, rate, BadRate(rate));
        EXPECT_EQ(Served(rate, display), run.out) << key;
        EXPECT_EQ(rate == 19200 ? Rows("a", "", "", "") : "", run.ports[1]) << key;
    }
}

TEST(NumberForms, PortAndContrastNumbersInEveryForm) {
    const std::string rows = " line1=\"\" line2=\"\" line3=\"\" line4=\"\"\n";
    RunResult run = RunWith(
        "baudrate=2400\n"
        "lcd= +1 cmd_contrast=0x10" +
            rows + "lcd=-1" + rows + "lcd=123456789012345678901234567890" + rows +
            "lcd=0x2 cmd_contrast=123456789012345678901234567890" + rows +
            "lcd=1 cmd_contrast=-123456789012345678901234567890" + rows,
        {"0", "1"});
    REQUIRE_NAMESPACE(run);
    const std::string open_failed = expect::kOpenFailed;
    EXPECT_EQ(Served(2400, Opened(1, 2400, "", "", "", "") + NotOpened(-1, 2400, open_failed) +
                               NotOpened(2147483647, 2400, open_failed) +
                               Opened(0, 2400, "", "", "", "") + Opened(1, 2400, "", "", "", "")),
              run.out);
    // 0x10 reads as 0; the saturated numbers send their low 8 bits.
    EXPECT_EQ(Rows("", "", "", "") + Bytes({15, 0}) + Rows("", "", "", "") + Bytes({15, 0}),
              run.ports[1]);
    EXPECT_EQ(Rows("", "", "", "") + Bytes({15, 255}), run.ports[0]);
}

TEST(Encodings, InvalidUtf8IsSentOnlyAsItsAsciiAndLetterBytes) {
    // Lone lead bytes, a stray continuation, an over-long slash, a surrogate, 0xFF.
    RunResult run = RunWith(
        "baudrate=19200\n" + Display(1, "\xC3\xC3x\xFF", "\x80\xA5", "\xC0\xAF/", "\xED\xA0\x80"),
        {"1"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(
        Served(19200, Opened(1, 19200, "\xC3\xC3x\xFF", "\x80\xA5", "\xC0\xAF/", "\xED\xA0\x80")),
        run.out);
    EXPECT_EQ(Rows("x", Bytes({30, 1, 0xAF}), "/", ""), run.ports[1]);
}

std::string Utf16(const std::string& ascii, bool big_endian) {
    std::string text = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        text += big_endian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
    }
    return text;
}

TEST(Encodings, Utf16WithAByteOrderMarkEndsAtItsFirstZeroByteAndShowsNothing) {
    for (bool big_endian : {false, true}) {
        RunResult run =
            RunWith(Utf16("baudrate=19200\n" + Display(1, "a"), big_endian), {"0", "1"});
        REQUIRE_NAMESPACE(run);
        EXPECT_EQ(NothingUsable(), run.out) << "big endian " << big_endian;
        EXPECT_EQ("", run.ports[0]);
        EXPECT_EQ("", run.ports[1]);
    }
}

TEST(Encodings, AUtf8ByteOrderMarkAndWindowsLineEndsAreHarmless) {
    ExpectOnlyServed(
        "\xEF\xBB\xBF"
        "baudrate=4800\r\nlcd=3\r\nline1=\"a\"\r\n"
        "line2=\"b\"\r\nline3=\"c\"\r\nline4=\"d\"\r\n",
        3, 4800, "a", "b", "c", "d");
}

// marquell.ini that is not a readable regular file: the bare report, nothing sent.
class NotAFile : public testing::Test {
protected:
    void ExpectBareRun(const RunOptions& options = {}) {
        RunResult run = RunIn(dir_, {"0"}, options);
        REQUIRE_NAMESPACE(run);
        EXPECT_EQ(kBare, run.out);
        EXPECT_EQ("", run.ports[0]);
        EXPECT_EQ(0, run.status);
        EXPECT_LT(run.seconds, 10.0);
    }
    std::string Ini() const { return dir_.path() + "/marquell.ini"; }
    WorkDir dir_;
};

TEST_F(NotAFile, ADirectoryIsUnreadable) {
    ASSERT_EQ(0, mkdir(Ini().c_str(), 0755));
    ExpectBareRun();
}

TEST_F(NotAFile, ADanglingSymlinkIsMissing) {
    ASSERT_EQ(0, symlink("gone/marquell.ini", Ini().c_str()));
    ExpectBareRun();
}

TEST_F(NotAFile, AFileWithoutReadPermissionIsUnreadable) {
    dir_.Write("marquell.ini", "baudrate=19200\n" + Display(0, "secret"));
    ASSERT_EQ(0, chmod(Ini().c_str(), 0));
    // Root reads any file: run as nobody so the permission applies.
    RunOptions options;
    options.user = RunningAsRoot() ? 65534 : -1;
    ExpectBareRun(options);
}

TEST_F(NotAFile, AFifoWithAWriterIsReadToItsEnd) {
    ASSERT_EQ(0, mkfifo(Ini().c_str(), 0644));
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        alarm(30);  // never outlive a run that did not open the FIFO
        std::string text = "baudrate=1200\n" + Display(1, "from", "a", "pipe");
        int fd = open(Ini().c_str(), O_WRONLY);
        bool ok =
            fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        _exit(ok ? 0 : 1);
    }
    RunResult run = RunIn(dir_, {"1"});
    if (run.unavailable) {
        kill(writer, SIGKILL);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    REQUIRE_NAMESPACE(run);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Served(1200, Opened(1, 1200, "from", "a", "pipe", "")), run.out);
    EXPECT_EQ(Rows("from", "a", "pipe", ""), run.ports[1]);
}

TEST_F(NotAFile, AFifoThatNoWriterOpensIsUnreadableAfterAWhileNotAHang) {
    ASSERT_EQ(0, mkfifo(Ini().c_str(), 0644));
    ExpectBareRun();
}

TEST_F(NotAFile, AStopWhileWaitingForAFifosWriterEndsTheWaitAtOnce) {
    ASSERT_EQ(0, mkfifo(Ini().c_str(), 0644));
    RunOptions options;
    // Once it waits for a writer; the second must not restart the wait.
    options.signal = "open@" + Ini() + "+100:TERM:200:TERM";
    RunResult run = RunIn(dir_, {"0"}, options);
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(std::string(kHead) + kLoop + "Stopped by SIGTERM.\n", run.out);
    EXPECT_EQ(SIGTERM, run.signal);
    EXPECT_LT(run.seconds, 4.0) << "waited on for the writer";
}

TEST(ManyDisplays, FiveThousandDisplaysAreEachTriedInOrder) {
    const int kCount = 5000;
    std::string text = "baudrate=19200\n" + Display(1, "first");
    for (int i = 1; i < kCount - 1; ++i) {
        text += Display(9, std::to_string(i));
    }
    text += Display(2, "last");
    RunResult run = RunWith(text, {"1", "2"});
    REQUIRE_NAMESPACE(run);
    ExpectFinished(run);
    EXPECT_EQ(static_cast<size_t>(kCount), expect::Count(run.out, "### init serial : "));
    EXPECT_EQ(static_cast<size_t>(kCount - 2),
              expect::Count(run.out, NotOpened(9, 19200, expect::kOpenFailed)));
    EXPECT_EQ(Rows("first", "", "", ""), run.ports[1]);
    EXPECT_EQ(Rows("last", "", "", ""), run.ports[2]);
    EXPECT_LT(run.seconds, 30.0);
}

}  // namespace
