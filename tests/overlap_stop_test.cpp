// Runs that overlap on a port, runs that are stopped, and runs whose report
// reader goes away: in each, every display still gets whole commands only.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"
#include "report_expect.h"
#include "support.h"

namespace {

using expect::Bytes;
using expect::Display;
using expect::Pulse;
using expect::Rows;

// The first byte where got differs from want, or "same" when it does not:
// a whole pulse printed in full would bury the failure.
std::string FirstDifference(const std::string& want, const std::string& got) {
    size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) {
        ++at;
    }
    if (at == want.size() && at == got.size()) {
        return "same";
    }
    return "sizes " + std::to_string(want.size()) + " and " + std::to_string(got.size()) +
           ", first difference at byte " + std::to_string(at);
}

// Runs the shell script in dir under ttysim; the script starts marquell as
// "$0" "$@" (so a tool such as valgrind still comes first).
RunResult RunScript(const WorkDir& dir, const std::string& script,
                    const std::vector<std::string>& ports) {
    RunOptions options;
    options.wrapper = {"/bin/sh", "-c", script};
    return RunIn(dir, ports, options);
}

const char kPulseDisplay[] =
    "baudrate=19200\nlcd=1 cmd_attention=1 line1=\"first\" line2=\"\" line3=\"\" line4=\"\"\n";
const char kContrastDisplay[] =
    "baudrate=19200\nlcd=1 cmd_contrast=60 line1=\"second\" line2=\"\" line3=\"\" line4=\"\"\n";

// Script text that waits until the run writing its report to file has
// opened its port.
std::string AwaitOpened(const std::string& file) {
    return "until grep -q 'opened at' " + file + " 2>/dev/null; do sleep 0.01; done; ";
}

// Folders a and b of dir, each with its own marquell.ini, for two runs.
void WriteTwoRuns(const WorkDir& dir, const std::string& first, const std::string& second) {
    std::filesystem::create_directories(dir.path() + "/a");
    std::filesystem::create_directories(dir.path() + "/b");
    dir.Write("a/marquell.ini", first);
    dir.Write("b/marquell.ini", second);
}

// Run a starts, and run b once a has opened its port; b's report and
// standard error go to b.out and b.err.
RunResult RunAThenB(const WorkDir& dir, const std::string& port) {
    return RunScript(dir,
                     "(cd a && exec \"$0\" \"$@\" >../a.out) & " + AwaitOpened("a.out") +
                         "(cd b && \"$0\" \"$@\" >../b.out 2>../b.err); wait",
                     {port});
}

TEST(Overlap, ASecondRunWaitsForThePortSoNoCommandIsSplitAndItsScreenIsLast) {
    WorkDir dir;
    WriteTwoRuns(dir, kPulseDisplay, kContrastDisplay);
    RunResult run = RunAThenB(dir, "1");
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ("same", FirstDifference(Rows("first", "", "", "") + Pulse() +
                                          Rows("second", "", "", "") + Bytes({15, 60}),
                                      run.ports[1]));
    EXPECT_NE(std::string::npos, ReadFile(dir.path() + "/b.out").find("Done.\n\n"));
}

TEST(Overlap, ARunWaitingForAPortGetsItBetweenTheDisplaysAnotherRunServesThereBackToBack) {
    // Run a serves three pulse displays on port 1, which takes them slowly
    // (its queue starts full and drains at 20,000 bytes a second); run b
    // wants it for one display once a has opened it. a closes and locks the
    // port again between its displays far faster than b looks, so b must be
    // let in between them, not after the last one.
    std::string first = "baudrate=19200\n";
    std::vector<std::string> a_displays;
    for (int d = 1; d <= 3; ++d) {
        const std::string row = "first " + std::to_string(d);
        first += "lcd=1 cmd_attention=1 line1=\"" + row + "\" line2=\"\" line3=\"\" line4=\"\"\n";
        a_displays.push_back(Rows(row, "", "", "") + Pulse());
    }
    const std::string b_display = Rows("second", "", "", "") + Bytes({15, 60});
    WorkDir dir;
    WriteTwoRuns(dir, first, kContrastDisplay);
    RunResult run = RunAThenB(dir, "1:prefill,rate=20000");
    REQUIRE_NAMESPACE(run);
    const std::string got = run.ports[1].substr(run.prefill[1]);
    std::string served_after;
    for (size_t k = 1; k < a_displays.size() && served_after.empty(); ++k) {
        std::string want;
        for (size_t d = 0; d < a_displays.size(); ++d) {
            want += (d == k ? b_display : "") + a_displays[d];
        }
        if (want == got) {
            served_after = std::to_string(k);
        }
    }
    EXPECT_NE("", served_after) << "b's display is not whole between two of a's: "
                                << (got.find(b_display) == got.size() - b_display.size()
                                        ? "it came after a's last"
                                        : "other bytes")
                                << "; " << ReadFile(dir.path() + "/b.err");
    EXPECT_NE(std::string::npos, ReadFile(dir.path() + "/b.out").find("Done.\n\n"));
}

TEST(Report, AReaderThatGoesAwayOrAFullReportFileCostsNoDisplay) {
    std::string ini = "baudrate=19200\n";
    std::map<int, std::string> want;
    for (int d = 0; d < 200; ++d) {
        const int port = 1 + d % 3;
        ini += Display(port, "display " + std::to_string(d));
        want[port] += Rows("display " + std::to_string(d), "", "", "");
    }
    WorkDir dir;
    dir.Write("marquell.ini", ini);
    // Once with head leaving after three lines, once with a report file
    // limited to 512 bytes.
    RunResult run =
        RunScript(dir,
                  "{ \"$0\" \"$@\"; echo $? >piped.status; } | head -n 3 >/dev/null; "
                  "(ulimit -f 1; exec \"$0\" \"$@\" >report.txt); echo $? >limited.status",
                  {"1", "2", "3"});
    REQUIRE_NAMESPACE(run);
    for (int port = 1; port <= 3; ++port) {
        EXPECT_EQ("same", FirstDifference(want[port] + want[port], run.ports[port])) << port;
    }
    EXPECT_EQ("0\n", ReadFile(dir.path() + "/piped.status"));
    EXPECT_EQ("0\n", ReadFile(dir.path() + "/limited.status"));
}

// What a display must get whole: each set-up byte, position command, letter
// escape, text byte and level command, for a display whose four rows are
// the same run of Æ (the bottom one after an x, if asked), with or without
// the pulse.
std::vector<std::string> Units(int letters, bool lead_x, bool pulse) {
    std::vector<std::string> units = {Bytes({20}), Bytes({24})};
    for (int r = 3; r >= 0; --r) {
        units.push_back(Bytes({17, 0, r}));
        if (r == 3 && lead_x) {
            units.push_back("x");
        }
        for (int i = 0; i < letters; ++i) {
            units.push_back(Bytes({30, 1, 188}));
        }
    }
    if (pulse) {
        std::string levels = Pulse();
        for (size_t i = 0; i < levels.size(); i += 2) {
            units.push_back(levels.substr(i, 2));
        }
    }
    return units;
}

// True when got is the first n units, for some n.
bool EndsBetweenUnits(const std::vector<std::string>& units, const std::string& got) {
    std::string sent;
    for (const std::string& unit : units) {
        if (sent.size() >= got.size()) {
            break;
        }
        sent += unit;
    }
    return sent == got;
}

TEST(Stop, ASignalMidEscapeOrMidPulseFinishesTheCommandAndTheNextRunArrivesClean) {
    const int letters = 127;
    std::string row;
    for (int i = 0; i < letters; ++i) {
        row += "\xC3\x86";  // Æ, sent as 30 1 188
    }
    const std::string rows =
        " line1=\"" + row + "\" line2=\"" + row + "\" line3=\"" + row + "\" line4=\"";
    // Three displays of letters, then one with the pulse, all on port 1. The
    // one x makes the level commands start at an odd offset, so that a pause
    // at a round number of bytes falls inside one.
    std::vector<std::string> units;
    std::string first = "baudrate=19200\n";
    for (int d = 0; d < 4; ++d) {
        first += d == 3 ? "lcd=1 cmd_attention=1" : "lcd=1";
        first += rows;
        first += d == 0 ? "x" : "";
        first += row + "\"\n";
        std::vector<std::string> more = Units(letters, d == 0, d == 3);
        units.insert(units.end(), more.begin(), more.end());
    }
    const std::string second = Rows("second", "", "", "") + Bytes({15, 60});
    // The queue starts full and drains at 5000 bytes a second, so the first
    // run spends its time waiting for room, most often inside a command: at
    // 0.3 s in the letters, at 1.5 s in the pulse.
    for (const char* delay : {"0.3", "1.5"}) {
        WorkDir dir;
        WriteTwoRuns(dir, first, kContrastDisplay);
        RunResult run = RunScript(dir,
                                  "(cd a && exec \"$0\" \"$@\" >../a.out) & pid=$!; " +
                                      AwaitOpened("a.out") + "sleep " + delay +
                                      "; kill -TERM $pid; wait $pid; echo $? >a.status; "
                                      "cd b && \"$0\" \"$@\" >../b.out",
                                  {"1:prefill,rate=5000"});
        REQUIRE_NAMESPACE(run);
        const std::string got = run.ports[1].substr(run.prefill[1]);
        ASSERT_GE(got.size(), second.size()) << delay;
        EXPECT_EQ(second, got.substr(got.size() - second.size())) << delay;
        const std::string cut = got.substr(0, got.size() - second.size());
        EXPECT_TRUE(EndsBetweenUnits(units, cut)) << "after " << delay << " s: " << cut.size();
        const std::string report = ReadFile(dir.path() + "/a.out");
        const std::string end = "### uninit serial\r\nStopped by SIGTERM.\n";
        EXPECT_EQ(end, report.substr(report.size() - std::min(report.size(), end.size())));
        EXPECT_EQ("143\n", ReadFile(dir.path() + "/a.status")) << "not ended by the signal";
    }
}

// A pulse display on port 1, whose queue starts full and drains at 5,000
// bytes a second, so that a stop comes mid-pulse, then a display on port 2.
const char kPulseThenRows[] =
    "lcd=1 cmd_attention=1 line1=\"\" line2=\"\" line3=\"\" line4=\"\"\n"
    "lcd=2 line1=\"after\" line2=\"\" line3=\"\" line4=\"\"\n";

// Standard error's lines from marquell, without ttysim's notes (under
// user-mode emulation it says it cannot wait for what a program leaves).
std::string MarquellLines(const std::string& err) {
    std::string lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ttysim: ", 0) != 0) {
            lines += line + "\n";
        }
    }
    return lines;
}

TEST(Stop, ARepaintLeavesTheRestToTheNextRunAtNoticePriorityAndOnlyFailuresAreWarnings) {
    // Standard error is the journal's stream, as under the unit.
    RunOptions options;
    options.wrapper = {"/bin/sh", "-c",
                       "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\""};
    struct Case {
        const char* displays_before;  // a display on a port that does not exist, or none
        const char* stop;
        std::string err;
    };
    const Case cases[] = {
        // A reload, a plug or the timer: nothing went wrong.
        {"", "HUP",
         "<5>marquell: 2 of 2 displays left to the next run (stopped by SIGHUP): /dev/ttyS1, "
         "/dev/ttyS2\n"},
        // A real failure in the same run is still a warning.
        {"lcd=4 line1=\"x\" line2=\"\" line3=\"\" line4=\"\"\n", "HUP",
         "<4>marquell: /dev/ttyS4: cannot open: No such file or directory\n"
         "<4>marquell: 1 of 3 displays not served whole: /dev/ttyS4\n"
         "<5>marquell: 2 of 3 displays left to the next run (stopped by SIGHUP): /dev/ttyS1, "
         "/dev/ttyS2\n"},
        // A stop is no repaint: no run comes to serve them.
        {"", "TERM", "<4>marquell: 2 of 2 displays not served whole: /dev/ttyS1, /dev/ttyS2\n"},
    };
    for (const Case& c : cases) {
        options.signal = std::string("1@raw+300:") + c.stop;
        RunResult run =
            RunWith(std::string("baudrate=19200\n") + c.displays_before + kPulseThenRows,
                    {"1:prefill,rate=5000", "2"}, options);
        REQUIRE_NAMESPACE(run);
        EXPECT_EQ(c.err, MarquellLines(run.err)) << c.stop;
        EXPECT_EQ("", run.ports[2]) << c.stop;
    }
}

TEST(Stop, AStopIsHeardWhenTheParentStartedTheRunWithTheStopSignalsBlocked) {
    // Some supervisors and language runtimes start their children so.
    RunOptions options;
    options.stop_signals_blocked = true;
    options.signal = "1@raw+300:TERM";
    RunResult run = RunWith(std::string("baudrate=19200\n") + kPulseThenRows,
                            {"1:prefill,rate=5000", "2"}, options);
    REQUIRE_NAMESPACE(run);
    EXPECT_EQ(SIGTERM, run.signal);
    const std::string stopped = "### uninit serial\r\nStopped by SIGTERM.\n";
    EXPECT_EQ(stopped, run.out.substr(run.out.size() - std::min(run.out.size(), stopped.size())));
    EXPECT_LT(run.ports[1].size() - run.prefill[1], Rows("", "", "", "").size() + Pulse().size())
        << "the whole pulse was sent after the stop";
    EXPECT_EQ("", run.ports[2]) << "a display after the stop was served";
}

TEST(Stop, TwoRequestsInARowDuringAPulseNeverCutACommandAndEndByTheSignalThatCounts) {
    // A closing terminal's two SIGHUPs, a reload then a stop, a stop sent
    // twice: each at moments spread over the pulse, on a port whose queue is
    // full and takes 5,000 bytes a second, so that the run is mostly
    // waiting for room, often inside a command, for the two seconds of its
    // pulse.
    struct Pair {
        const char* requests;
        std::vector<int> may_end_by;  // a stop after a SIGHUP wins if it comes in time
    };
    const Pair pairs[] = {
        {"HUP:1:HUP", {SIGHUP}},
        {"HUP:50:TERM", {SIGTERM, SIGHUP}},
        {"TERM:10:TERM", {SIGTERM}},
    };
    const std::vector<std::string> units = Units(0, false, true);
    const int kTrials = 4;
    for (const Pair& pair : pairs) {
        for (int trial = 0; trial < kTrials; ++trial) {
            const int at_ms = 10 + trial * 500 / kTrials + pair.may_end_by[0] * 7;
            RunOptions options;
            options.signal = "1@raw+" + std::to_string(at_ms) + ":" + pair.requests;
            RunResult run = RunWith(
                "baudrate=19200\nlcd=1 cmd_attention=1 line1=\"\" line2=\"\" line3=\"\" "
                "line4=\"\"\n",
                {"1:prefill,rate=5000"}, options);
            REQUIRE_NAMESPACE(run);
            const std::string where =
                std::string(pair.requests) + " " + std::to_string(at_ms) + " ms into the display";
            const std::string got = run.ports[1].substr(run.prefill[1]);
            EXPECT_TRUE(EndsBetweenUnits(units, got)) << where << ": cut after " << got.size();
            EXPECT_LT(got.size(), Rows("", "", "", "").size() + Pulse().size()) << where;
            ASSERT_NE(pair.may_end_by.end(),
                      std::find(pair.may_end_by.begin(), pair.may_end_by.end(), run.signal))
                << where << ": ended by signal " << run.signal << ", status " << run.status;
            // The last line names the signal the run ended by; a stop that
            // came while "Stopped by SIGHUP." was written follows it.
            const size_t uninit = run.out.rfind("### uninit serial\r\n");
            ASSERT_NE(std::string::npos, uninit) << where;
            const std::string end = run.out.substr(uninit);
            if (run.signal == SIGHUP) {
                EXPECT_EQ("### uninit serial\r\nStopped by SIGHUP.\n", end) << where;
            } else if (end != "### uninit serial\r\nStopped by SIGHUP.\nStopped by SIGTERM.\n") {
                EXPECT_EQ("### uninit serial\r\nStopped by SIGTERM.\n", end) << where;
            }
        }
    }
}

}  // namespace
