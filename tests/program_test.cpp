// The shipped binary, run under ttysim: the console report byte for byte and
// every byte each simulated display receives.
#include <gtest/gtest.h>

#include <string>

#include "program_run.h"
#include "report_expect.h"

namespace {

using expect::Bytes;
using expect::kDone;
using expect::kFailed;
using expect::kHead;
using expect::kLoop;
using expect::kOpenFailed;
using expect::NotOpened;
using expect::Opened;
using expect::Pulse;
using expect::Rate;
using expect::Rows;

const char kOneDisplay[] =
    "baudrate=19200\n"
    "lcd=1\n"
    "cmd_contrast=60\n"
    "line1=\"Row one\"\n"
    "line2=\"Row two\"\n"
    "line3=\"Row three\"\n"
    "line4=\"Row four\"\n";

TEST(Run, OneDisplayGetsTheReportAndEveryByteInOrder) {
    RunResult run = RunWith(kOneDisplay, {"1"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(std::string(kHead) + Rate(19200) + kLoop +
                  Opened(1, 19200, "Row one", "Row two", "Row three", "Row four") + kDone,
              run.out);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(Rows("Row one", "Row two", "Row three", "Row four") + Bytes({15, 60}), run.ports[1]);
}

TEST(Run, TwoDisplaysOnOnePortAreServedOneAfterTheOther) {
    RunResult run = RunWith(
        "baudrate=9600\n"
        "lcd=2 line1=\"a\" line2=\"\" line3=\"\" line4=\"\"\n"
        "lcd=2 cmd_contrast=7 line1=\"b\" line2=\"\" line3=\"\" line4=\"\"\n",
        {"2"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(std::string(kHead) + Rate(9600) + kLoop + Opened(2, 9600, "a", "", "", "") +
                  Opened(2, 9600, "b", "", "", "") + kDone,
              run.out);
    EXPECT_EQ(Rows("a", "", "", "") + Rows("b", "", "", "") + Bytes({15, 7}), run.ports[2]);
}

TEST(Run, AMissingPortIsReportedAndTheNextDisplayStillServed) {
    RunResult run = RunWith(
        "baudrate=4800\n"
        "lcd=5 line1=\"gone\" line2=\"\" line3=\"\" line4=\"\"\n"
        "lcd=1 line1=\"here\" line2=\"\" line3=\"\" line4=\"\"\n",
        {"1"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(std::string(kHead) + "Baudrate = 4800\r\n" + kLoop + NotOpened(5, 4800, kOpenFailed) +
                  Opened(1, 4800, "here", "", "", "") + kDone,
              run.out);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(Rows("here", "", "", ""), run.ports[1]);
}

TEST(Run, ARateOutsideTheTableSkipsEveryDisplayAndSendsNothing) {
    RunResult run = RunWith(
        "baudrate=115200\n"
        "lcd=1 line1=\"a\" line2=\"\" line3=\"\" line4=\"\"\n"
        "lcd=2 line1=\"b\" line2=\"\" line3=\"\" line4=\"\"\n",
        {"1", "2"});
    REQUIRE_NAMESPACE(run);
    const std::string why =
        "Serial_Init:: Invalid baud rate: 115200 (must be 1200, 2400, 4800, 9600, or 19200)\n";
    EXPECT_EQ(std::string(kHead) + "Baudrate = 115200\r\n" + kLoop + NotOpened(1, 115200, why) +
                  NotOpened(2, 115200, why) + kDone,
              run.out);
    EXPECT_EQ("", run.ports[1]);
    EXPECT_EQ("", run.ports[2]);
}

TEST(Run, AMissingFileGivesTheBareReportAndStatusZero) {
    WorkDir dir;
    RunResult run = RunIn(dir, {"0"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(std::string(kHead) + kLoop + kDone, run.out);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.ports[0]);
}

TEST(Run, ClosedStandardDescriptorsNeitherLeakTheReportToAPortNorFailTheOpen) {
    const std::string wire = Rows("Row one", "Row two", "Row three", "Row four") + Bytes({15, 60});
    // With stdin closed the port would land on descriptor 0.
    RunResult run = RunWith(kOneDisplay, {"1"}, {{"/bin/sh", "-c", "exec \"$0\" \"$@\" <&-"}});
    REQUIRE_NAMESPACE(run);
    EXPECT_NE(std::string::npos, run.out.find("Serial_Init:: success\n")) << run.out;
    EXPECT_EQ(wire, run.ports[1]);
    // With stdout or everything closed the report would be written to the port.
    for (const char* redirect : {"exec \"$0\" \"$@\" >&-", "exec \"$0\" \"$@\" <&- >&- 2>&-"}) {
        run = RunWith(kOneDisplay, {"1"}, {{"/bin/sh", "-c", redirect}});
        EXPECT_EQ(wire, run.ports[1]) << redirect;
        EXPECT_EQ(0, run.status) << redirect;
    }
}

std::string OneDisplay(const std::string& keys) {
    return "baudrate=19200\nlcd=1\n" + keys + "\n";
}

TEST(Wire, FourEmptyRowsAndNoCommandAreFourteenBytes) {
    RunResult run = RunWith(OneDisplay(R"(line1="" line2="" line3="" line4="")"), {"1"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(Bytes({20, 24, 17, 0, 3, 17, 0, 2, 17, 0, 1, 17, 0, 0}), run.ports[1]);
}

TEST(Wire, TextIsEncodedByTheLetterTableAndControlBytesPassTheRawLine) {
    // Ærø, Latin-1 Å and é, the ellipsis; a line feed that a cooked line would
    // turn into 13 10; a tab and an escape.
    RunResult run = RunWith(OneDisplay("line1=\"\xC3\x86r\xC3\xB8\" line2=\"\xC5-\xE9\" "
                                       "line3=\"\xE2\x80\xA6\" line4=\"a\nb\tc\x1b\""),
                            {"1"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(Rows(Bytes({30, 1, 188, 114, 30, 1, 172}), "-", Bytes({30, 1, 189}), "a\nb\tc\x1b"),
              run.ports[1]);
}

TEST(Wire, ContrastSendsTheLowEightBitsOfItsNumber) {
    const std::pair<const char*, int> cases[] = {{"cmd_contrast=300", 44},
                                                 {"cmd_contrast=-1", 255},
                                                 {"cmd_contrast=-200", 56},
                                                 {"cmd_attention=1 cmd_contrast=40", 40}};
    for (auto [key, level] : cases) {
        RunResult run = RunWith(
            OneDisplay(std::string(key) + R"( line1="" line2="" line3="" line4="")"), {"1"});
        REQUIRE_NAMESPACE(run);
        EXPECT_EQ(Rows("", "", "", "") + Bytes({15, level}), run.ports[1]) << key;
    }
}

TEST(Wire, TheAttentionPulseSweepsTheLevelAndEndsAt99) {
    RunResult run =
        RunWith(OneDisplay(R"(cmd_attention=1 line1="x" line2="" line3="" line4="")"), {"1"});
    REQUIRE_NAMESPACE(run);
    std::string pulse = Pulse();
    ASSERT_EQ(10000u, pulse.size());
    EXPECT_EQ(Rows("x", "", "", "") + pulse, run.ports[1]);
    EXPECT_EQ(std::string::npos, run.out.find(kFailed));
}

TEST(Wire, NoByteIsLostWhenTheQueueIsFullAndDrainsSlowerThanThePulse) {
    // 4000 bytes a second is about a 44000-baud line: the pulse must wait.
    RunResult run = RunWith(OneDisplay(R"(cmd_attention=1 line1="x" line2="" line3="" line4="")"),
                            {"1:prefill,rate=4000"});
    REQUIRE_NAMESPACE(run);
    size_t prefilled = run.prefill[1];
    ASSERT_GT(prefilled, 0u);
    EXPECT_EQ(std::string(prefilled, 'p') + Rows("x", "", "", "") + Pulse(), run.ports[1]);
    EXPECT_EQ(std::string::npos, run.out.find(kFailed));
    EXPECT_GT(run.seconds, 2.0) << "the line's pace was not kept";
}

TEST(Faults, AStalledPortCostsSecondsAndTheNextDisplayIsServed) {
    RunResult run = RunWith(
        "baudrate=19200\n"
        "lcd=1 cmd_attention=1 line1=\"x\" line2=\"\" line3=\"\" line4=\"\"\n"
        "lcd=2 line1=\"next\" line2=\"\" line3=\"\" line4=\"\"\n",
        {"1:stall,prefill", "2"});
    REQUIRE_NAMESPACE(run);
    EXPECT_LT(run.seconds, 20.0);
    EXPECT_EQ(0, run.status);
    EXPECT_NE(std::string::npos, run.out.find(kFailed));
    EXPECT_NE(std::string::npos, run.out.find("### uninit serial\r\n### init serial : /dev/ttyS2"));
    EXPECT_EQ(Rows("next", "", "", ""), run.ports[2]);
    EXPECT_TRUE(run.out.size() >= 7 && run.out.substr(run.out.size() - 7) == kDone);
}

TEST(Faults, APortThatVanishesMidSequenceIsReportedAndTheRunGoesOn) {
    RunResult run = RunWith(
        "baudrate=19200\n"
        "lcd=1 cmd_attention=1 line1=\"hello\" line2=\"\" line3=\"\" line4=\"\"\n"
        "lcd=2 line1=\"next\" line2=\"\" line3=\"\" line4=\"\"\n",
        {"1:hangup=20", "2"});
    REQUIRE_NAMESPACE(run);
    EXPECT_LT(run.seconds, 20.0);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ((Rows("hello", "", "", "") + Pulse()).substr(0, 20), run.ports[1]);
    EXPECT_NE(std::string::npos, run.out.find(kFailed));
    EXPECT_EQ(Rows("next", "", "", ""), run.ports[2]);
}

}  // namespace
