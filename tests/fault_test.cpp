// Ports that fail: missing, not a terminal, forbidden, taken, gone mid-row,
// never draining. Each is reported with its own line, costs at most a few
// seconds, leaves every other port alone, and the next display is served.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "program_run.h"
#include "report_expect.h"

namespace {

using expect::Count;
using expect::Display;
using expect::kDone;
using expect::kFailed;
using expect::kHead;
using expect::kLoop;
using expect::NotOpened;
using expect::Opened;
using expect::Pulse;
using expect::Rows;

// Display 1 on the faulty port, display 2 on a good one; port 3 is listed
// but named by no display and must stay silent.
const char kRate[] = "baudrate=19200\n";

std::string Report(const std::string& first) {
    return std::string(kHead) + "Baudrate = 19200\r\n" + kLoop + first +
           Opened(2, 19200, "next", "", "", "") + kDone;
}

void ExpectNextServed(const RunResult& run) {
    EXPECT_EQ(0, run.status);
    EXPECT_LT(run.seconds, 10.0);
    EXPECT_EQ(Rows("next", "", "", ""), run.ports.at(2));
    EXPECT_EQ("", run.ports.at(3)) << "a port no display names received bytes";
}

struct Refusal {
    const char* port;  // how ttysim makes port 1
    const char* line;  // what Serial_Init prints
    bool needs_user;   // root opens it anyway: run as nobody
};

TEST(RefusedPorts, EachIsReportedWithItsReasonAndSkipped) {
    const Refusal cases[] = {
        {"1:file", expect::kNotTerminal, false},    {"1:null", expect::kNotTerminal, false},
        {"1:noperm", expect::kOpenFailed, true},    {"1:excl", expect::kOpenFailed, true},
        {"1:hangup=0", expect::kOpenFailed, false},  // an adapter pulled before the run
    };
    const std::string text = kRate + Display(1, "lost") + Display(2, "next");
    for (const Refusal& c : cases) {
        RunOptions options;
        if (c.needs_user && RunningAsRoot()) {
            options.user = 65534;
        } else if (c.needs_user && std::string(c.port) == "1:noperm") {
            // Without root ttysim cannot switch users, and the namespace's own
            // root opens a mode-000 node; an exclusive port refuses it all the same.
            continue;
        }
        RunResult run = RunWith(text, {c.port, "2", "3"}, options);
        REQUIRE_NAMESPACE(run);
        EXPECT_EQ(Report(NotOpened(1, 19200, c.line)), run.out) << c.port;
        EXPECT_EQ("", run.ports[1]) << c.port << ": a refused port was written";
        ExpectNextServed(run);
    }
}

// How many failure lines the run printed between the first display's row
// report and its close, when the rest of the report is exactly as expected
// (expected holds no failure lines); -1 when it is not.
long FailuresOfFirst(const RunResult& run, const std::string& expected) {
    const std::string head = expected.substr(0, expected.find("### uninit serial"));
    const std::string tail = expected.substr(head.size());
    if (run.out.size() < expected.size() || run.out.rfind(head, 0) != 0 ||
        run.out.compare(run.out.size() - tail.size(), tail.size(), tail) != 0) {
        return -1;
    }
    const std::string middle = run.out.substr(head.size(), run.out.size() - expected.size());
    const size_t n = Count(middle, kFailed);
    return middle.size() == n * (sizeof kFailed - 1) ? static_cast<long>(n) : -1;
}

TEST(VanishingPorts, APortGoneMidRowKeepsItsCutRowAndIsRefusedLaterInTheRun) {
    // The far side goes away after 8 bytes: 20 24 17 0 3 and "ABC" of the
    // bottom row arrive; what was queued behind them is lost with the queue.
    // The pulse on port 2 gives the far side time to go; the third display,
    // back on port 1, then finds it gone.
    const std::string text =
        std::string(kRate) + Display(1, "top", "", "", "ABCDEFGHIJ") +
        "lcd=2 cmd_attention=1 line1=\"x\" line2=\"\" line3=\"\" line4=\"\"\n" +
        Display(1, "again");
    RunResult run = RunWith(text, {"1:hangup=8", "2", "3"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(Rows("top", "", "", "ABCDEFGHIJ").substr(0, 8), run.ports[1]);
    // Whether the last bytes were still being written when it went is up to
    // timing; any that were are each reported once.
    const long failures = FailuresOfFirst(
        run, std::string(kHead) + "Baudrate = 19200\r\n" + kLoop +
                 Opened(1, 19200, "top", "", "", "ABCDEFGHIJ") + Opened(2, 19200, "x", "", "", "") +
                 NotOpened(1, 19200, expect::kOpenFailed) + kDone);
    EXPECT_GE(failures, 0) << run.out;
    EXPECT_LE(failures, static_cast<long>(Rows("top", "", "", "ABCDEFGHIJ").size()) - 8);
    EXPECT_EQ(Rows("x", "", "", "").size() + Pulse().size(), run.ports[2].size());
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.ports[3]);
}

TEST(VanishingPorts, APortGoneMidPulseCostsNoWaitingForTheRestOfThePulse) {
    const std::string text =
        std::string(kRate) +
        "lcd=1 cmd_attention=1 line1=\"x\" line2=\"\" line3=\"\" line4=\"\"\n" + Display(2, "next");
    const long sequence = static_cast<long>(Rows("x", "", "", "").size() + Pulse().size());
    // The queue starts full, so the pulse is still being written when the
    // far side goes, however late ttysim gets to read on a busy machine.
    RunResult run = RunWith(text, {"1:prefill,hangup=1000", "2", "3"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(1000U, run.ports[1].size() - run.prefill[1]);
    long failures = FailuresOfFirst(run, Report(Opened(1, 19200, "x", "", "", "")));
    EXPECT_GT(failures, 0) << run.out.substr(0, 2000);
    EXPECT_LE(failures, sequence - 1000);
    // Standard error says once why, naming the port.
    EXPECT_NE(std::string::npos, run.err.find("marquell: /dev/ttyS1: ")) << run.err;
    EXPECT_EQ(1U, Count(run.err, "; the rest of this display is not sent\n")) << run.err;
    ExpectNextServed(run);
}

TEST(Summary, TheRunEndsWithOneLineNamingTheDisplaysNotServedWholeAtWarningPriorityInTheJournal) {
    // A refused port, a port gone mid-pulse, a good one; standard error is
    // the journal's stream, as under the unit.
    const std::string text =
        kRate + Display(4, "refused") +
        "lcd=1 cmd_attention=1 line1=\"x\" line2=\"\" line3=\"\" line4=\"\"\n" + Display(2, "next");
    RunOptions options;
    options.wrapper = {"/bin/sh", "-c",
                       "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\""};
    RunResult run = RunWith(text, {"1:prefill,hangup=1000", "2", "3"}, options);
    REQUIRE_NAMESPACE(run);
    ASSERT_FALSE(run.err.empty());
    size_t lines = 0;
    for (size_t at = 0; at < run.err.size(); at = run.err.find('\n', at) + 1) {
        if (run.err.compare(at, 8, "ttysim: ") != 0) {  // under user-mode emulation
            EXPECT_EQ(0, run.err.compare(at, 13, "<4>marquell: ")) << run.err.substr(at, 80);
            ++lines;
        }
    }
    EXPECT_GE(lines, 3U);
    const std::string last =
        "<4>marquell: 2 of 3 displays not served whole: /dev/ttyS4, /dev/ttyS1\n";
    EXPECT_EQ(last, run.err.substr(run.err.size() - std::min(run.err.size(), last.size())));
    EXPECT_EQ(0, run.status);
}

TEST(Summary, AStreamThatIsNotTheJournalsGetsNoPriorities) {
    // JOURNAL_STREAM names another stream on the same device (a unit's
    // journal stream, inherited by a program whose standard error went
    // elsewhere): plain lines, no "<4>" for a person or a log to read.
    RunOptions options;
    options.wrapper = {"/bin/sh", "-c",
                       "JOURNAL_STREAM=$(stat -L -c %d /proc/self/fd/2):1 exec \"$0\" \"$@\""};
    RunResult run = RunWith(kRate + Display(4, "refused"), {"2"}, options);
    REQUIRE_NAMESPACE(run);
    EXPECT_NE(std::string::npos,
              run.err.find("marquell: 1 of 1 display not served whole: /dev/ttyS4\n"));
    EXPECT_EQ(std::string::npos, run.err.find("<4>")) << run.err;
}

TEST(StuckPorts, APortThatNeverDrainsHoldsTheRunForSecondsNotForever) {
    // The rows fit the queue, and the close waits a bounded time for a drain
    // that never comes: the user sees an ordinary report.
    RunResult run = RunWith(kRate + Display(1, "stuck", "a", "b", "c") + Display(2, "next"),
                            {"1:stall", "2", "3"});
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(Report(Opened(1, 19200, "stuck", "a", "b", "c")), run.out);
    ExpectNextServed(run);
}

}  // namespace
