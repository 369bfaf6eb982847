// How a run ends on the stop requests that come in ordinary use: pairs of
// them (a closing terminal's two SIGHUPs, a reload then a stop), and one that
// comes after the run's last look. Each case runs in a child process, which
// ends as the run would.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "stop.h"

namespace {

const int kReachedTheEnd = 3;

// What a child's EndByStopSignal handed on for the report, one byte a signal.
int said_fd = -1;
void SayInPipe(int sig) {
    const char byte = static_cast<char>(sig);
    (void)!write(said_fd, &byte, 1);
}

// How a child ended, and the signals it said it ends by after its closing line.
struct Ending {
    int status;
    std::vector<int> said;
};

// Runs a child that catches the stop signals, receives requests before and
// after its closing line, and then ends as the run does.
template <typename Before, typename After>
Ending EndOfRun(Before before, After after) {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        said_fd = fds[1];
        CatchStopSignals();
        before();
        HoldStopSignals();
        after();
        EndByStopSignal(SayInPipe);
        _exit(kReachedTheEnd);
    }
    close(fds[1]);
    Ending ending{0, {}};
    char byte = 0;
    while (read(fds[0], &byte, 1) == 1) {
        ending.said.push_back(byte);
    }
    close(fds[0]);
    waitpid(pid, &ending.status, 0);
    return ending;
}

template <typename Before>
int EndOfRun(Before before) {
    return EndOfRun(before, [] {}).status;
}

std::string How(int status) {
    if (WIFSIGNALED(status)) {
        return std::string("signal ") + StopSignalName(WTERMSIG(status));
    }
    return "exit " + std::to_string(WEXITSTATUS(status));
}

TEST(StopRequests, APairEndsTheRunByTheSignalThatCountsAndNeverAtOnce) {
    struct Case {
        std::vector<int> requests;
        const char* ends_by;
    };
    const Case cases[] = {
        {{SIGHUP, SIGHUP}, "signal SIGHUP"},    // a closing terminal: a repaint
        {{SIGHUP, SIGTERM}, "signal SIGTERM"},  // a reload, then a stop: no new run
        {{SIGHUP, SIGINT}, "signal SIGINT"},    {{SIGTERM, SIGHUP}, "signal SIGTERM"},
        {{SIGTERM, SIGTERM}, "signal SIGTERM"}, {{SIGINT, SIGTERM}, "signal SIGINT"},
    };
    for (const Case& c : cases) {
        int status = EndOfRun([&] {
            for (int sig : c.requests) {
                raise(sig);
            }
            // Still running after both: the run finishes what it sends.
            if (StopSignal() != 0) {
                _exit(kReachedTheEnd + 1);
            }
        });
        EXPECT_EQ(std::string("exit ") + std::to_string(kReachedTheEnd + 1), How(status))
            << StopSignalName(c.requests[0]) << " then " << StopSignalName(c.requests[1]);
        status = EndOfRun([&] {
            for (int sig : c.requests) {
                raise(sig);
            }
        });
        EXPECT_EQ(c.ends_by, How(status))
            << StopSignalName(c.requests[0]) << " then " << StopSignalName(c.requests[1]);
    }
}

TEST(StopRequests, OnlyASecondCtrlCEndsTheRunAtOnce) {
    int status = EndOfRun([] {
        raise(SIGINT);
        raise(SIGINT);
        _exit(kReachedTheEnd + 1);
    });
    EXPECT_EQ("signal SIGINT", How(status));
}

TEST(StopRequests, ARequestAfterTheLastLookStillEndsTheRunByItsSignalAndIsSaid) {
    // A reload just after the last display, while the closing line is
    // written: systemd starts a new run only if this one dies by SIGHUP.
    Ending e = EndOfRun([] {}, [] { raise(SIGHUP); });
    EXPECT_EQ("signal SIGHUP", How(e.status));
    EXPECT_EQ(std::vector<int>{SIGHUP}, e.said) << "the closing line said Done";
    // A stop while "Stopped by SIGHUP." is written: the run ends by it, and
    // the report's last line names it.
    e = EndOfRun([] { raise(SIGHUP); }, [] { raise(SIGTERM); });
    EXPECT_EQ("signal SIGTERM", How(e.status));
    EXPECT_EQ(std::vector<int>{SIGTERM}, e.said);
    // One that changes nothing is not said again.
    e = EndOfRun([] { raise(SIGTERM); }, [] { raise(SIGHUP); });
    EXPECT_EQ("signal SIGTERM", How(e.status));
    EXPECT_TRUE(e.said.empty());
    e = EndOfRun([] {}, [] {});
    EXPECT_EQ("exit " + std::to_string(kReachedTheEnd), How(e.status)) << "no request: an exit";
    EXPECT_TRUE(e.said.empty());

    // Later still, on the way out.
    pid_t pid = fork();
    if (pid == 0) {
        CatchStopSignals();
        HoldStopSignals();
        EndByStopSignal([](int) { _exit(kReachedTheEnd + 1); });
        raise(SIGHUP);
        _exit(kReachedTheEnd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ("signal SIGHUP", How(status));
}

TEST(StopRequests, OneRequestIsTakenInWholeBeforeTheNext) {
    // A stop coming while a SIGHUP is being taken in must not be overwritten
    // by it, or the run would end by SIGHUP and systemd start it again: each
    // handler runs with every stop signal held back.
    pid_t pid = fork();
    if (pid == 0) {
        CatchStopSignals();
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
            struct sigaction sa {};
            sigaction(sig, nullptr, &sa);
            for (int held : {SIGTERM, SIGINT, SIGHUP}) {
                if (sigismember(&sa.sa_mask, held) != 1) {
                    _exit(kReachedTheEnd + 1);
                }
            }
        }
        _exit(kReachedTheEnd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ("exit " + std::to_string(kReachedTheEnd), How(status))
        << "a stop signal can interrupt the taking in of another";
}

TEST(StopRequests, ASignalIgnoredFromTheStartStaysIgnored) {
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGHUP, SIG_IGN);  // as under nohup
        CatchStopSignals();
        raise(SIGHUP);
        HoldStopSignals();
        raise(SIGHUP);
        EndByStopSignal([](int) { _exit(kReachedTheEnd + 1); });
        raise(SIGHUP);
        _exit(kReachedTheEnd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ("exit " + std::to_string(kReachedTheEnd), How(status));
}

}  // namespace
