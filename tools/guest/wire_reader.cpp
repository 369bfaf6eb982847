// wire_reader: runs a command (the guest's QEMU) with one connected stream
// socket per serial line of the guest, and takes each line's bytes off its
// socket at the pace a wire at that rate carries them: one byte every 11 bit
// times (start bit, 8 data bits, 2 stop bits). The far end of each socket
// has the smallest send buffer the kernel allows, so the emulated UART gets
// back-pressure from the wire pace, as a real transmitter does from its line.
// A line can also be read the way a USB serial adapter takes bytes: a whole
// transfer at once, then nothing until the line has carried it. A line that
// is never read is a dead port. Every byte and the time it went on the wire
// are kept per line. Over QEMU's monitor it can pull a device once a line
// has carried a given number of bytes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "clock.h"
#include "line_wait.h"
#include "protocol.h"
#include "support.h"

namespace {

const int kExitTimeout = 124;
// Port N's socket is this descriptor plus N in the command.
const int kFirstDescriptor = 100;
// QEMU's monitor (QMP) socket in the command, when a device is to be pulled.
const int kMonitorDescriptor = 99;
// Send buffer of the socket the command writes to. The kernel doubles it and
// charges each one-byte write (the UART emulation writes byte by byte) about
// 768 bytes, so some 32 bytes wait in the socket: enough to ride out the
// guest's and the emulator's wake-up delays at 19200 baud, and little beside
// the driver's 4 KB transmit buffer. A dead port's count shows the real figure.
const int kSendBuffer = 12288;
const long long kNsPerSecond = 1000000000;
const long long kNever = LLONG_MAX;

const char kUsage[] =
    "usage: wire_reader --dir DIR [--timeout SECONDS] [--pull N:COUNT:ID]... PORT...\n"
    "                   -- COMMAND [ARG...]\n"
    "       wire_reader --line BAUD\n"
    "\n"
    "--line prints the bits a byte takes on the line and the time in seconds\n"
    "marquell lets a port at BAUD move nothing before it counts as stuck, as\n"
    "marquell's own code has them, and exits.\n"
    "\n"
    "Runs COMMAND with a connected stream socket per PORT, open as descriptor\n"
    "100+N for port N (for QEMU: -chardev socket,id=s1,fd=101). PORT is\n"
    "  N:BAUD       read as a serial line at BAUD carries it: BAUD/11 bytes a second\n"
    "  N:BAUD/STEP  read as a USB serial adapter on such a line takes bytes: up to\n"
    "               STEP bytes as fast as they come, then none until STEP bytes'\n"
    "               line time after that transfer began\n"
    "  N:free       read as fast as bytes come\n"
    "  N:dead       never read while COMMAND runs\n"
    "Each port's bytes go to DIR/ttyS<N>, and the time each byte went on the\n"
    "wire (microseconds since the start, one line a byte) to DIR/ttyS<N>.times.\n"
    "A dead port's bytes are read once COMMAND has ended: they are what the\n"
    "path between the guest's UART and this reader held.\n"
    "--pull N:COUNT:ID: once port N has taken COUNT bytes, asks QEMU to remove\n"
    "device ID (device_del) over its monitor, a socket open as descriptor 99\n"
    "(-chardev socket,id=qmp,fd=99 -mon chardev=qmp,mode=control). The bytes\n"
    "taken by then and the time go to DIR/ttyS<N>.pull, what QEMU answered to\n"
    "DIR/qmp.\n"
    "--timeout ends COMMAND after SECONDS (default 900).\n"
    "\n"
    "Exit status: COMMAND's; 124 on timeout; 125 when wire_reader itself fails.\n";

enum class Pace { kWire, kSteps, kFree, kDead };

struct Port {
    int number = 0;
    Pace pace = Pace::kWire;
    long baud = 0;
    size_t step = 0;  // bytes in one of an adapter's transfers
    int fd = -1;
    int far_fd = -1;
    bool eof = false;
    bool idle = true;          // the line ran out of bytes: the next starts when it comes
    long long line_free = 0;   // when the line has sent its last byte, ns
    long long step_start = 0;  // when the adapter's current transfer began, ns
    long long step_end = 0;    // when it may begin the next one
    size_t step_taken = 0;     // bytes of the current transfer
    size_t pull_after = 0;     // the device is pulled once this many bytes are taken
    std::string pull_id;       // none when empty
    bool pulled = false;
    long long pulled_at = 0;  // ns
    size_t pulled_bytes = 0;  // taken by then
    std::string bytes;
    std::vector<long long> times;  // start of each byte on the wire, ns
};

struct Options {
    std::string dir;
    long timeout_s = 900;
    std::vector<Port> ports;
    std::vector<std::string> pulls;
    std::vector<char*> command;
    int monitor_fd = -1;
    int monitor_far_fd = -1;
    std::string monitor_log;  // what QEMU's monitor said
};

// Every number on the command line is a count or a rate: 1 or more.
long ParseCount(const std::string& text, const std::string& what) {
    return ParseNumber(text, what, 1);
}

Port ParsePort(const std::string& arg) {
    size_t colon = arg.find(':');
    if (colon == std::string::npos) {
        Usage("port '" + arg + "' needs :BAUD, :BAUD/STEP, :free or :dead");
    }
    Port port;
    port.number = static_cast<int>(ParseCount(arg.substr(0, colon), "port number"));
    std::string how = arg.substr(colon + 1);
    size_t slash = how.find('/');
    if (how == "dead") {
        port.pace = Pace::kDead;
    } else if (how == "free") {
        port.pace = Pace::kFree;
    } else if (slash != std::string::npos) {
        port.pace = Pace::kSteps;
        port.baud = ParseCount(how.substr(0, slash), "rate");
        port.step = static_cast<size_t>(ParseCount(how.substr(slash + 1), "step"));
    } else {
        port.baud = ParseCount(how, "rate");
    }
    return port;
}

// N:COUNT:ID names the port, the bytes it takes before the pull, the device.
void ParsePull(const std::string& arg, std::vector<Port>* ports) {
    size_t first = arg.find(':');
    size_t second = first == std::string::npos ? first : arg.find(':', first + 1);
    if (second == std::string::npos || second + 1 >= arg.size()) {
        Usage("--pull '" + arg + "' needs N:COUNT:ID");
    }
    long number = ParseCount(arg.substr(0, first), "port number");
    for (Port& port : *ports) {
        if (port.number == number) {
            port.pull_after =
                static_cast<size_t>(ParseCount(arg.substr(first + 1, second - first - 1), "count"));
            port.pull_id = arg.substr(second + 1);
            return;
        }
    }
    Usage("--pull '" + arg + "' names no port given");
}

Options ParseOptions(int argc, char** argv) {
    Options opts;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        std::string arg = argv[i];
        if ((arg == "--dir" || arg == "--timeout" || arg == "--pull") && i + 1 >= argc) {
            Usage(arg + " needs a value");
        }
        if (arg == "--dir") {
            opts.dir = argv[++i];
        } else if (arg == "--timeout") {
            opts.timeout_s = ParseCount(argv[++i], "timeout");
        } else if (arg == "--pull") {
            opts.pulls.emplace_back(argv[++i]);
        } else {
            opts.ports.push_back(ParsePort(arg));
        }
    }
    for (++i; i < argc; ++i) {
        opts.command.push_back(argv[i]);
    }
    if (opts.dir.empty() || opts.ports.empty() || opts.command.empty()) {
        Usage("give --dir, at least one port, and the command after --");
    }
    opts.command.push_back(nullptr);
    for (const std::string& pull : opts.pulls) {
        ParsePull(pull, &opts.ports);
    }
    return opts;
}

// Sets *near to our end (non-blocking) and *far to the command's.
void OpenPair(int* near, int* far) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        Fail("socketpair");
    }
    if (fcntl(pair[0], F_SETFL, O_NONBLOCK) != 0) {
        Fail("fcntl O_NONBLOCK");
    }
    *near = pair[0];
    *far = pair[1];
}

void OpenSocket(Port* port) {
    OpenPair(&port->fd, &port->far_fd);
    if (setsockopt(port->far_fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer) != 0) {
        Fail("setsockopt SO_SNDBUF");
    }
}

void SendToMonitor(const Options& opts, const std::string& command) {
    size_t sent = 0;
    while (sent < command.size()) {
        ssize_t n = send(opts.monitor_fd, command.data() + sent, command.size() - sent, 0);
        if (n < 0 && errno == EAGAIN) {
            pollfd pfd{opts.monitor_fd, POLLOUT, 0};
            poll(&pfd, 1, 100);
            continue;
        }
        if (n < 0 && errno != EINTR) {
            Fail("send to QEMU's monitor");
        }
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

// The monitor takes commands once it has been told which protocol
// capabilities to use; it reads them after its greeting.
void OpenMonitor(Options* opts) {
    OpenPair(&opts->monitor_fd, &opts->monitor_far_fd);
    SendToMonitor(*opts, "{\"execute\": \"qmp_capabilities\"}\n");
}

void ReadMonitor(Options* opts) {
    char buf[4096];
    ssize_t got;
    while ((got = recv(opts->monitor_fd, buf, sizeof buf, MSG_DONTWAIT)) > 0 ||
           (got < 0 && errno == EINTR)) {
        if (got > 0) {
            opts->monitor_log.append(buf, static_cast<size_t>(got));
        }
    }
}

pid_t StartCommand(const Options& opts) {
    pid_t pid = fork();
    if (pid < 0) {
        Fail("fork");
    }
    if (pid == 0) {
        // The guest goes when the reader does, however the reader ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (const Port& port : opts.ports) {
            // dup2 leaves the copy without close-on-exec.
            if (dup2(port.far_fd, kFirstDescriptor + port.number) < 0) {
                Fail("dup2");
            }
        }
        if (opts.monitor_far_fd >= 0 && dup2(opts.monitor_far_fd, kMonitorDescriptor) < 0) {
            Fail("dup2");
        }
        execvp(opts.command[0], opts.command.data());
        Fail(std::string("cannot run ") + opts.command[0]);
    }
    for (const Port& port : opts.ports) {
        close(port.far_fd);
    }
    if (opts.monitor_far_fd >= 0) {
        close(opts.monitor_far_fd);
    }
    return pid;
}

long long ByteNs(const Port& port) {
    return port.baud > 0 ? kBitsPerByte * kNsPerSecond / port.baud : 0;
}

// Takes up to `most` bytes off the port's socket. They go on the wire one
// after the other from `from` on, or once the line has sent what it had.
// Returns how many were taken; 0 when none was waiting.
size_t Take(Port* port, size_t most, long long from) {
    long long byte_ns = ByteNs(*port);
    char buf[4096];
    size_t taken = 0;
    while (taken < most) {
        ssize_t got = recv(port->fd, buf, std::min(most - taken, sizeof buf), MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (got < 0) {
            Fail("recv from port " + std::to_string(port->number));
        }
        if (got == 0) {
            port->eof = true;
            break;
        }
        port->bytes.append(buf, static_cast<size_t>(got));
        for (ssize_t i = 0; i < got; ++i) {
            long long at = std::max(from, port->line_free);
            port->times.push_back(at);
            port->line_free = at + byte_ns;
        }
        taken += static_cast<size_t>(got);
    }
    return taken;
}

// Takes off the socket the bytes whose turn on the wire has come by now. A
// line that had bytes waiting sends the next one the moment the last one is
// out; a line that ran dry starts again when a byte comes.
void ReadDue(Port* port, long long now) {
    long long byte_ns = ByteNs(*port);
    long long start = port->idle ? now : port->line_free;
    size_t due = static_cast<size_t>((now - start) / byte_ns) + 1;
    size_t got = Take(port, due, start);
    port->idle = got < due;
}

// An adapter's transfer: it takes up to a step of bytes as they come, and
// begins the next transfer only once the line has had the time to carry the
// whole step, right away if bytes were waiting then. Seen from the guest,
// its queue stands still for a step's line time, then drops by a step.
void ReadStep(Port* port, long long now) {
    if (now >= port->step_end) {
        port->step_start = port->idle ? now : port->step_end;
        port->step_end = port->step_start + static_cast<long long>(port->step) * ByteNs(*port);
        port->step_taken = 0;
    }
    size_t got = Take(port, port->step - port->step_taken, port->idle ? now : port->step_start);
    port->step_taken += got;
    if (port->step_taken == 0) {
        port->step_end = 0;  // nothing came: the next byte begins a transfer
    }
    // A full transfer waits for its end; a part-filled one takes what comes.
    port->idle = port->step_taken < port->step;
}

void ReadFree(Port* port, long long now) {
    Take(port, SIZE_MAX, now);
}

// Reads what a dead port's path held, once the command is gone.
void ReadHeld(Port* port) {
    char buf[4096];
    for (;;) {
        ssize_t got = recv(port->fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        port->bytes.append(buf, static_cast<size_t>(got));
        long long now = NowNs();
        port->times.insert(port->times.end(), static_cast<size_t>(got), now);
    }
}

void SavePort(const Port& port, const std::string& dir, long long origin) {
    std::string name = dir + "/ttyS" + std::to_string(port.number);
    WriteOrFail(name, port.bytes);
    std::string times;
    for (long long t : port.times) {
        times += std::to_string((t - origin) / 1000) + "\n";
    }
    WriteOrFail(name + ".times", times);
    if (port.pulled) {
        WriteOrFail(name + ".pull", std::to_string(port.pulled_bytes) + " " +
                                        std::to_string((port.pulled_at - origin) / 1000) + "\n");
    }
}

int OpenPidFd(pid_t pid) {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        Fail("pidfd_open");
    }
    return fd;
}

int ExitStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}

// Once the port has taken its count, asks QEMU to remove the device.
void PullIfDue(Options* opts, Port* port, long long now) {
    if (port->pull_id.empty() || port->pulled || port->bytes.size() < port->pull_after) {
        return;
    }
    SendToMonitor(*opts, "{\"execute\": \"device_del\", \"arguments\": {\"id\": \"" +
                             port->pull_id + "\"}}\n");
    port->pulled = true;
    port->pulled_at = now;
    port->pulled_bytes = port->bytes.size();
}

// Reads what is due on a live port; true when it waits for bytes to come
// rather than for the line, and then *wake is left as it was.
bool ReadPort(Options* opts, Port* port, long long now, long long* wake) {
    switch (port->pace) {
        case Pace::kWire:
            if (now >= port->line_free) {
                ReadDue(port, now);
            }
            break;
        case Pace::kSteps:
            if (port->idle || now >= port->step_end) {
                ReadStep(port, now);
            }
            break;
        case Pace::kFree: ReadFree(port, now); break;
        case Pace::kDead: return false;
    }
    PullIfDue(opts, port, now);
    if (port->idle || port->pace == Pace::kFree) {
        return true;
    }
    *wake = std::min(*wake, port->pace == Pace::kSteps ? port->step_end : port->line_free);
    return false;
}

// Serves the live lines until the command has ended and each line is read
// to its end; kills the command when its time is up.
int Serve(Options* opts, pid_t pid) {
    int pidfd = OpenPidFd(pid);
    long long deadline = NowNs() + opts->timeout_s * kNsPerSecond;
    bool ended = false;
    int status = 0;
    for (;;) {
        long long now = NowNs();
        if (!ended && now >= deadline) {
            fprintf(stderr, "wire_reader: %s still running after %ld s: killed\n", opts->command[0],
                    opts->timeout_s);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return kExitTimeout;
        }
        std::vector<pollfd> fds;
        long long wake = ended ? kNever : deadline;
        bool reading = false;
        for (Port& port : opts->ports) {
            if (port.pace == Pace::kDead || port.eof) {
                continue;
            }
            bool waits_for_bytes = ReadPort(opts, &port, now, &wake);
            if (port.eof) {
                continue;
            }
            reading = true;
            if (waits_for_bytes) {
                fds.push_back({port.fd, POLLIN, 0});
            }
        }
        if (ended && !reading) {
            break;
        }
        if (opts->monitor_fd >= 0) {
            ReadMonitor(opts);
            if (!ended) {
                fds.push_back({opts->monitor_fd, POLLIN, 0});
            }
        }
        if (!ended) {
            fds.push_back({pidfd, POLLIN, 0});
        }
        long long wait_ns = std::max(0LL, wake - now);
        timespec timeout{static_cast<time_t>(wait_ns / kNsPerSecond),
                         static_cast<long>(wait_ns % kNsPerSecond)};
        if (ppoll(fds.data(), fds.size(), wake == kNever ? nullptr : &timeout, nullptr) < 0 &&
            errno != EINTR) {
            Fail("ppoll");
        }
        if (!ended && (fds.back().revents & POLLIN) != 0) {
            if (waitpid(pid, &status, 0) < 0) {
                Fail("waitpid");
            }
            ended = true;
        }
    }
    close(pidfd);
    return ExitStatus(status);
}

}  // namespace

int main(int argc, char** argv) {
    SetToolNames("wire_reader", kUsage);
    if (argc == 3 && strcmp(argv[1], "--line") == 0) {
        long baud = ParseCount(argv[2], "rate");
        printf("%d %.3f\n", kBitsPerByte,
               static_cast<double>(StuckNs(static_cast<int>(baud))) / kNsPerSecond);
        return 0;
    }
    Options opts = ParseOptions(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    for (Port& port : opts.ports) {
        OpenSocket(&port);
    }
    if (!opts.pulls.empty()) {
        OpenMonitor(&opts);
    }
    long long origin = NowNs();
    pid_t pid = StartCommand(opts);
    int status = Serve(&opts, pid);
    for (Port& port : opts.ports) {
        if (port.pace == Pace::kDead) {
            ReadHeld(&port);
        }
        SavePort(port, opts.dir, origin);
    }
    if (opts.monitor_fd >= 0) {
        ReadMonitor(&opts);
        WriteFile(opts.dir + "/qmp", opts.monitor_log);
    }
    return status;
}
