// wire_reader: runs a command (the guest's QEMU) with one connected stream
// socket per serial line of the guest, and takes each line's bytes off its
// socket at the pace a wire at that rate carries them: one byte every 11 bit
// times (start bit, 8 data bits, 2 stop bits). The far end of each socket
// has the smallest send buffer the kernel allows, so the emulated UART gets
// back-pressure from the wire pace, as a real transmitter does from its line.
// A line that is never read is a dead port. Every byte and the time it went
// on the wire are kept per line.
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

#include "protocol.h"

namespace {

const int kExitFailure = 125;
const int kExitTimeout = 124;
// Port N's socket is this descriptor plus N in the command.
const int kFirstDescriptor = 100;
// Send buffer of the socket the command writes to. The kernel doubles it and
// charges each one-byte write (the UART emulation writes byte by byte) about
// 768 bytes, so some 32 bytes wait in the socket: enough to ride out the
// guest's and the emulator's wake-up delays at 19200 baud, and little beside
// the driver's 4 KB transmit buffer. A dead port's count shows the real figure.
const int kSendBuffer = 12288;
const long long kNsPerSecond = 1000000000;
const long long kNever = LLONG_MAX;

const char kUsage[] =
    "usage: wire_reader --dir DIR [--timeout SECONDS] PORT... -- COMMAND [ARG...]\n"
    "\n"
    "Runs COMMAND with a connected stream socket per PORT, open as descriptor\n"
    "100+N for port N (for QEMU: -chardev socket,id=s1,fd=101). PORT is\n"
    "  N:BAUD  read as a serial line at BAUD carries it: BAUD/11 bytes a second\n"
    "  N:dead  never read while COMMAND runs\n"
    "Each port's bytes go to DIR/ttyS<N>, and the time each byte went on the\n"
    "wire (microseconds since the start, one line a byte) to DIR/ttyS<N>.times.\n"
    "A dead port's bytes are read once COMMAND has ended: they are what the\n"
    "path between the guest's UART and this reader held.\n"
    "--timeout ends COMMAND after SECONDS (default 900).\n"
    "\n"
    "Exit status: COMMAND's; 124 on timeout; 125 when wire_reader itself fails.\n";

struct Port {
    int number = 0;
    long baud = 0;  // 0 for a dead port
    int fd = -1;
    int far_fd = -1;
    bool eof = false;
    bool idle = true;         // the line ran out of bytes: the next starts when it comes
    long long line_free = 0;  // when the line has sent its last byte, ns
    std::string bytes;
    std::vector<long long> times;  // start of each byte on the wire, ns
};

struct Options {
    std::string dir;
    long timeout_s = 900;
    std::vector<Port> ports;
    std::vector<char*> command;
};

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "wire_reader: %s: %s\n", what.c_str(), strerror(errno));
    exit(kExitFailure);
}

[[noreturn]] void Usage(const std::string& what) {
    fprintf(stderr, "wire_reader: %s\n\n%s", what.c_str(), kUsage);
    exit(2);
}

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

long ParseNumber(const std::string& text, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value <= 0) {
        Usage("bad " + what + " '" + text + "': give a whole number above 0");
    }
    return value;
}

Port ParsePort(const std::string& arg) {
    size_t colon = arg.find(':');
    if (colon == std::string::npos) {
        Usage("port '" + arg + "' needs :BAUD or :dead");
    }
    Port port;
    port.number = static_cast<int>(ParseNumber(arg.substr(0, colon), "port number"));
    std::string how = arg.substr(colon + 1);
    if (how != "dead") {
        port.baud = ParseNumber(how, "rate");
    }
    return port;
}

Options ParseOptions(int argc, char** argv) {
    Options opts;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        std::string arg = argv[i];
        if ((arg == "--dir" || arg == "--timeout") && i + 1 >= argc) {
            Usage(arg + " needs a value");
        }
        if (arg == "--dir") {
            opts.dir = argv[++i];
        } else if (arg == "--timeout") {
            opts.timeout_s = ParseNumber(argv[++i], "timeout");
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
    return opts;
}

void OpenSocket(Port* port) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        Fail("socketpair");
    }
    port->fd = pair[0];
    if (fcntl(port->fd, F_SETFL, O_NONBLOCK) != 0) {
        Fail("fcntl O_NONBLOCK");
    }
    if (setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer) != 0) {
        Fail("setsockopt SO_SNDBUF");
    }
    port->far_fd = pair[1];
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
        execvp(opts.command[0], opts.command.data());
        Fail(std::string("cannot run ") + opts.command[0]);
    }
    for (const Port& port : opts.ports) {
        close(port.far_fd);
    }
    return pid;
}

// Takes off the socket the bytes whose turn on the wire has come by now. A
// line that had bytes waiting sends the next one the moment the last one is
// out; a line that ran dry starts again when a byte comes.
void ReadDue(Port* port, long long now) {
    long long byte_ns = kBitsPerByte * kNsPerSecond / port->baud;
    long long start = port->idle ? now : port->line_free;
    size_t due = static_cast<size_t>((now - start) / byte_ns) + 1;
    char buf[256];
    ssize_t got;
    do {
        got = recv(port->fd, buf, std::min(due, sizeof buf), MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        port->idle = true;
        return;
    }
    if (got < 0) {
        Fail("recv from port " + std::to_string(port->number));
    }
    if (got == 0) {
        port->eof = true;
        return;
    }
    port->bytes.append(buf, static_cast<size_t>(got));
    for (ssize_t i = 0; i < got; ++i) {
        port->times.push_back(start + i * byte_ns);
    }
    port->line_free = start + got * byte_ns;
    port->idle = static_cast<size_t>(got) < due;
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

void WriteFile(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) {
        Fail("write " + path);
    }
}

void SavePort(const Port& port, const std::string& dir, long long origin) {
    std::string name = dir + "/ttyS" + std::to_string(port.number);
    WriteFile(name, port.bytes);
    std::string times;
    for (long long t : port.times) {
        times += std::to_string((t - origin) / 1000) + "\n";
    }
    WriteFile(name + ".times", times);
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
        std::vector<Port*> polled;
        long long wake = ended ? kNever : deadline;
        bool reading = false;
        for (Port& port : opts->ports) {
            if (port.baud == 0 || port.eof) {
                continue;
            }
            if (now >= port.line_free) {
                ReadDue(&port, now);
            }
            if (port.eof) {
                continue;
            }
            reading = true;
            if (port.idle) {
                fds.push_back({port.fd, POLLIN, 0});
                polled.push_back(&port);
            } else {
                wake = std::min(wake, port.line_free);
            }
        }
        if (ended && !reading) {
            break;
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
    Options opts = ParseOptions(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    for (Port& port : opts.ports) {
        OpenSocket(&port);
    }
    long long origin = NowNs();
    pid_t pid = StartCommand(opts);
    int status = Serve(&opts, pid);
    for (Port& port : opts.ports) {
        if (port.baud == 0) {
            ReadHeld(&port);
        }
        SavePort(port, opts.dir, origin);
    }
    return status;
}
