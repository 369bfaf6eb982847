// Runs the shipped marquell binary, unchanged, under ttysim: in a private
// mount namespace whose /dev/ttyS<n> are pseudo-terminals (or the other
// kinds of node ttysim makes), and collects its console and port bytes.
#ifndef MARQUELL_TESTS_PROGRAM_RUN_H
#define MARQUELL_TESTS_PROGRAM_RUN_H

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// The environment variable MARQUELL_TEST_TOOL (e.g. "valgrind -q ...") runs
// marquell under that tool in every run.
struct RunOptions {
    // Put before the marquell path, e.g. {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&-"}.
    std::vector<std::string> wrapper;
    long user = -1;        // run as this user id (root only)
    std::string signal{};  // ttysim --signal WHEN:SIG[:MS:SIG...]: stop requests at set moments
    bool stop_signals_blocked = false;  // started with SIGTERM, SIGINT and SIGHUP blocked
    int timeout_s = 60;
};

struct RunResult {
    bool unavailable = false;          // no private mount namespace on this machine
    int status = -1;                   // marquell's exit status as ttysim reports it
    int signal = 0;                    // the signal that ended it; 0 when it exited
    std::string out;                   // marquell's standard output
    std::string err;                   // its standard error, and ttysim's
    std::map<int, std::string> ports;  // bytes each listed port received
    std::map<int, size_t> prefill;     // prefill bytes at the front of ports[n]
    double seconds = 0;                // wall time of the whole run
};

// A fresh folder for one run, removed with everything in it when it goes.
class WorkDir {
public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::string& path() const { return path_; }
    void Write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// Runs marquell in dir (which holds marquell.ini, or not) with the ttysim
// port specs given ("1", "2:stall", "3:file", ...).
RunResult RunIn(const WorkDir& dir, const std::vector<std::string>& ports,
                const RunOptions& options = {});

// Writes ini as marquell.ini in a fresh folder and runs there.
RunResult RunWith(const std::string& ini, const std::vector<std::string>& ports,
                  const RunOptions& options = {});

bool RunningAsRoot();

// Skips the test where namespaces are unavailable, unless the environment
// demands them (MARQUELL_NS_REQUIRED, set by CI), where it fails instead.
#define REQUIRE_NAMESPACE(run)                                                            \
    do {                                                                                  \
        if ((run).unavailable) {                                                          \
            if (getenv("MARQUELL_NS_REQUIRED") != nullptr) {                              \
                FAIL() << "no private mount namespace, and MARQUELL_NS_REQUIRED is set";  \
            }                                                                             \
            GTEST_SKIP() << "no private mount namespace on this machine; run as root or " \
                            "enable unprivileged user namespaces";                        \
        }                                                                                 \
    } while (0)

#endif
