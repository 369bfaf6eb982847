// ttysim: runs a program with simulated serial ports. In a private mount
// namespace it lays a fresh /dev whose /dev/ttyS<n> are pseudo-terminals of a
// new devpts instance (or other kinds of node, for fault tests), runs the
// program there, and keeps every byte each port received. The real /dev and
// the real serial ports are never touched.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "clock.h"
#include "support.h"

namespace {

const int kExitNoNamespace = 77;
const int kExitTimeout = 124;

const char kUsage[] =
    "usage: ttysim [--dir DIR] [--user UID] [--timeout SECONDS] [--signal PLAN] PORT... --\n"
    "              PROGRAM [ARG...]\n"
    "\n"
    "Runs PROGRAM in a private mount namespace whose /dev holds simulated serial\n"
    "ports. Each PORT is N[:OPTION[,OPTION...]] and makes /dev/ttyS<N>:\n"
    "  N            a pseudo-terminal, read as fast as it delivers\n"
    "  N:rate=B     read at B bytes a second (a serial line carries baud/11)\n"
    "  N:prefill    output queue filled before PROGRAM starts\n"
    "  N:stall      never read\n"
    "  N:hangup=K   the far side goes away after K bytes\n"
    "  N:excl       held open in exclusive mode (TIOCEXCL)\n"
    "  N:noperm     a pseudo-terminal with mode 000\n"
    "  N:file       a regular file, not a terminal\n"
    "  N:null       a link to /dev/null\n"
    "  N:getty      a login prompt's unit, serial-getty@ttyS<N>.service, as systemd's\n"
    "               control groups show one (a tmpfs on the namespace's /sys/fs/cgroup)\n"
    "Every byte a port received is written to DIR/ttyS<N> (prefill bytes first; their\n"
    "count goes to DIR/ttyS<N>.prefill), and how PROGRAM ended to DIR/status (\"exit 0\",\n"
    "\"signal 15\"). Without --dir nothing is kept.\n"
    "--signal WHEN:SIG[:MS:SIG...] sends SIG (a number, or HUP, INT, TERM, KILL) to\n"
    "PROGRAM when WHEN comes: N@K[+MS] once port N has received K bytes of PROGRAM's (and\n"
    "MS milliseconds more), N@raw[+MS] once PROGRAM has set port N raw, open@FILE[+MS] once\n"
    "PROGRAM holds FILE open, or MS milliseconds after start; each further MS:SIG sends SIG\n"
    "that long after the one before.\n"
    "--user UID runs PROGRAM as that user (needs root). The run ends once PROGRAM and\n"
    "every process it started have ended and each port is read to its end; --timeout\n"
    "ends it after SECONDS (default 60), killing PROGRAM.\n"
    "\n"
    "Exit status: PROGRAM's; 124 on timeout; 125 when ttysim itself fails;\n"
    "77 when this machine gives no private mount namespace.\n";

enum class Kind { Pty, File, Null };

struct Port {
    int number = 0;
    Kind kind = Kind::Pty;
    long rate = 0;     // bytes a second, 0 for as fast as it comes
    long hangup = -1;  // close the master after this many bytes
    bool prefill = false;
    bool stall = false;
    bool excl = false;
    bool noperm = false;
    bool getty = false;
    int master = -1;
    int slave = -1;  // held open so the pty lives between the program's opens
    std::string slave_path;
    std::string captured;
    size_t prefilled = 0;
};

// Signals sent to the program: the first once its moment comes, each of the
// rest a delay after the one before.
struct SignalPlan {
    int port = -1;  // the moment is at_ms after this port has received at_bytes
    long at_bytes = 0;
    bool at_raw = false;  // (or has been set raw by the program),
    std::string at_open;  // or once the program holds this file open,
    long at_ms = 0;       // or, with no port, at_ms after start
    long long reached_ms = -1;
    std::vector<std::pair<long, int>> steps;  // delay in ms before, signal
    size_t sent = 0;
    long long last_ms = 0;  // when the last one was sent
};

struct Options {
    std::string dir;
    SignalPlan signals;
    long user = -1;
    long timeout_s = 60;
    std::vector<Port> ports;
    std::vector<char*> command;
};

long long NowMs() {
    return NowNs() / 1000000;
}

void ParseOption(Port* port, const std::string& opt) {
    if (opt.rfind("rate=", 0) == 0) {
        port->rate = ParseNumber(opt.substr(5), "rate", 0);
    } else if (opt.rfind("hangup=", 0) == 0) {
        port->hangup = ParseNumber(opt.substr(7), "hangup count", 0);
    } else if (opt == "prefill") {
        port->prefill = true;
    } else if (opt == "stall") {
        port->stall = true;
    } else if (opt == "excl") {
        port->excl = true;
    } else if (opt == "noperm") {
        port->noperm = true;
    } else if (opt == "getty") {
        port->getty = true;
    } else if (opt == "file") {
        port->kind = Kind::File;
    } else if (opt == "null") {
        port->kind = Kind::Null;
    } else {
        Usage("unknown port option '" + opt + "'");
    }
}

int ParseSignal(const std::string& name) {
    const std::pair<const char*, int> names[] = {
        {"HUP", SIGHUP}, {"INT", SIGINT}, {"TERM", SIGTERM}, {"KILL", SIGKILL}};
    for (auto [known, sig] : names) {
        if (name == known) {
            return sig;
        }
    }
    return static_cast<int>(ParseNumber(name, "signal", 1));
}

SignalPlan ParseSignalPlan(const std::string& text) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.size() % 2 != 0) {
        Usage("--signal wants WHEN:SIG[:MS:SIG...], not '" + text + "'");
    }
    SignalPlan plan;
    const std::string& when = parts[0];
    size_t at = when.find('@');
    size_t plus = when.find('+');
    if (at != std::string::npos && when.substr(0, at) == "open") {
        char* real = realpath(when.substr(at + 1, plus - at - 1).c_str(), nullptr);
        if (real == nullptr) {
            Fail("cannot find " + when.substr(at + 1, plus - at - 1));
        }
        plan.at_open = real;
        free(real);
        plan.at_ms = plus != std::string::npos ? ParseNumber(when.substr(plus + 1), "time", 0) : 0;
    } else if (at != std::string::npos) {
        plan.port = static_cast<int>(ParseNumber(when.substr(0, at), "port number", 0));
        const std::string what = when.substr(at + 1, plus - at - 1);
        plan.at_raw = what == "raw";
        plan.at_bytes = plan.at_raw ? 0 : ParseNumber(what, "byte count", 0);
        plan.at_ms = plus != std::string::npos ? ParseNumber(when.substr(plus + 1), "time", 0) : 0;
    } else {
        plan.at_ms = ParseNumber(when, "time", 0);
    }
    for (size_t i = 1; i < parts.size(); i += 2) {
        long delay = i == 1 ? 0 : ParseNumber(parts[i - 1], "delay", 0);
        plan.steps.emplace_back(delay, ParseSignal(parts[i]));
    }
    return plan;
}

Port ParsePort(const std::string& port_arg) {
    Port port;
    size_t colon = port_arg.find(':');
    port.number = static_cast<int>(ParseNumber(port_arg.substr(0, colon), "port number", 0));
    if (colon != std::string::npos) {
        std::string opts = port_arg.substr(colon + 1);
        size_t start = 0;
        while (start <= opts.size()) {
            size_t comma = opts.find(',', start);
            if (comma == std::string::npos) {
                comma = opts.size();
            }
            ParseOption(&port, opts.substr(start, comma - start));
            start = comma + 1;
        }
    }
    return port;
}

Options ParseArgs(int argc, char** argv) {
    Options o;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        } else if (arg == "--dir" && has_value) {
            o.dir = argv[++i];
        } else if (arg == "--user" && has_value) {
            o.user = ParseNumber(argv[++i], "user id", 0);
        } else if (arg == "--timeout" && has_value) {
            o.timeout_s = ParseNumber(argv[++i], "timeout", 0);
        } else if (arg == "--signal" && has_value) {
            o.signals = ParseSignalPlan(argv[++i]);
        } else if (arg.rfind("--", 0) == 0) {
            Usage("unknown or incomplete option '" + arg + "'");
        } else {
            o.ports.push_back(ParsePort(arg));
        }
    }
    for (size_t a = 0; a < o.ports.size(); ++a) {
        for (size_t b = a + 1; b < o.ports.size(); ++b) {
            if (o.ports[a].number == o.ports[b].number) {
                Usage("port " + std::to_string(o.ports[a].number) + " is given twice");
            }
        }
    }
    if (i + 1 >= argc) {
        Usage("no program given after '--'");
    }
    for (++i; i < argc; ++i) {
        o.command.push_back(argv[i]);
    }
    o.command.push_back(nullptr);
    return o;
}

// Without root, a user namespace grants the mounts; the caller becomes its root.
void EnterNamespace() {
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            fprintf(stderr, "ttysim: no private mount namespace here: %s\n", strerror(errno));
            exit(kExitNoNamespace);
        }
        return;
    }
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        fprintf(stderr, "ttysim: no user and mount namespace here: %s\n", strerror(errno));
        exit(kExitNoNamespace);
    }
    WriteOrFail("/proc/self/setgroups", "deny");
    WriteOrFail("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n");
    WriteOrFail("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
}

// Lays the private /dev: tmpfs, a new devpts instance, and the few nodes a
// program expects, bound from the real ones (which stay untouched).
void BuildDev() {
    // Keep every mount below inside this namespace.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        Fail("cannot make the mounts private");
    }
    const char* nodes[] = {"null", "zero", "urandom"};
    int node_fds[3];
    for (int i = 0; i < 3; ++i) {
        node_fds[i] = open(("/dev/" + std::string(nodes[i])).c_str(), O_PATH | O_CLOEXEC);
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        Fail("cannot mount a tmpfs on the private /dev");
    }
    if (mkdir("/dev/pts", 0755) != 0 ||
        mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=0600") != 0 ||
        symlink("pts/ptmx", "/dev/ptmx") != 0) {
        Fail("cannot mount a new devpts instance");
    }
    for (int i = 0; i < 3; ++i) {
        if (node_fds[i] < 0) {
            continue;
        }
        std::string path = "/dev/" + std::string(nodes[i]);
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0) {
            Fail("cannot create " + path);
        }
        close(fd);
        std::string from = "/proc/self/fd/" + std::to_string(node_fds[i]);
        if (mount(from.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            Fail("cannot bind " + path);
        }
        close(node_fds[i]);
    }
    if (symlink("/proc/self/fd", "/dev/fd") != 0 || symlink("fd/0", "/dev/stdin") != 0 ||
        symlink("fd/1", "/dev/stdout") != 0 || symlink("fd/2", "/dev/stderr") != 0) {
        Fail("cannot link /dev/fd");
    }
}

void Prefill(Port* port) {
    // The slave's output processing is at its default here; plain letters pass it unchanged.
    long filled = FillQueue(port->slave, 'p');
    if (filled < 0) {
        Fail("cannot prefill /dev/ttyS" + std::to_string(port->number));
    }
    port->prefilled = static_cast<size_t>(filled);
}

void MakePty(Port* port, const std::string& link) {
    port->master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[64];
    if (port->master < 0 || unlockpt(port->master) != 0 ||
        ptsname_r(port->master, name, sizeof name) != 0) {
        Fail("cannot make a pseudo-terminal");
    }
    port->slave_path = name;
    port->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port->slave < 0 || chmod(name, port->noperm ? 0 : 0666) != 0 ||
        symlink(name, link.c_str()) != 0) {
        Fail("cannot set up " + link);
    }
    if (port->excl && ioctl(port->slave, TIOCEXCL) != 0) {
        Fail("cannot make " + link + " exclusive");
    }
    if (port->prefill) {
        Prefill(port);
    }
    if (port->hangup == 0) {
        close(port->master);  // gone before the first byte
        port->master = -1;
    }
}

void MakePort(Port* port) {
    std::string link = "/dev/ttyS" + std::to_string(port->number);
    switch (port->kind) {
        case Kind::Pty: MakePty(port, link); break;
        case Kind::File: {
            int fd = open(link.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
            if (fd < 0 || fchmod(fd, port->noperm ? 0 : 0666) != 0) {
                Fail("cannot create " + link);
            }
            close(fd);
            break;
        }
        case Kind::Null:
            if (symlink("/dev/null", link.c_str()) != 0) {
                Fail("cannot link " + link);
            }
            break;
    }
}

// The control group systemd gives a running login prompt's unit, the sign of
// a getty on the port, on a tmpfs that covers /sys/fs/cgroup in this
// namespace only.
void MakeGettys(const std::vector<Port>& ports) {
    bool any = false;
    for (const Port& p : ports) {
        any = any || p.getty;
    }
    if (!any) {
        return;
    }
    if (mount("tmpfs", "/sys/fs/cgroup", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") !=
        0) {
        Fail("cannot mount a tmpfs on the private /sys/fs/cgroup");
    }
    const std::string slice = "/sys/fs/cgroup/system.slice/system-serial\\x2dgetty.slice";
    if (mkdir("/sys/fs/cgroup/system.slice", 0755) != 0 || mkdir(slice.c_str(), 0755) != 0) {
        Fail("cannot make " + slice);
    }
    for (const Port& p : ports) {
        const std::string unit =
            slice + "/serial-getty@ttyS" + std::to_string(p.number) + ".service";
        if (p.getty && mkdir(unit.c_str(), 0755) != 0) {
            Fail("cannot make " + unit);
        }
    }
}

pid_t StartProgram(const Options& o) {
    pid_t pid = fork();
    if (pid < 0) {
        Fail("cannot fork");
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (o.user >= 0) {
            auto id = static_cast<uid_t>(o.user);
            if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
                fprintf(stderr, "ttysim: cannot become user %ld: %s\n", o.user, strerror(errno));
                _exit(kToolFailure);
            }
        }
        execvp(o.command[0], o.command.data());
        fprintf(stderr, "ttysim: cannot run %s: %s\n", o.command[0], strerror(errno));
        _exit(127);
    }
    return pid;
}

bool Readable(const Port& p) {
    return p.kind == Kind::Pty && p.master >= 0 && !p.stall;
}

long long ProgramBytes(const Port& p) {
    return static_cast<long long>(p.captured.size()) - static_cast<long long>(p.prefilled);
}

// How many bytes the port may take now: its pace since start, the hangup count.
size_t Allowance(const Port& p, long long start_ms, bool paced) {
    long long allowed = 1 << 16;
    if (paced && p.rate > 0) {
        long long due = p.rate * (NowMs() - start_ms) / 1000;
        allowed = due - static_cast<long long>(p.captured.size());
    }
    if (p.hangup >= 0) {
        long long left = p.hangup + static_cast<long long>(p.prefilled) -
                         static_cast<long long>(p.captured.size());
        allowed = allowed < left ? allowed : left;
    }
    return allowed > 0 ? static_cast<size_t>(allowed) : 0;
}

void ClosePort(Port* p) {
    close(p->master);
    p->master = -1;
}

// Once no process holds the slave any more, the master reads what is left of
// the port's bytes and then EIO: the port is drained.
void ReadPort(Port* p, size_t allowance, bool held) {
    char buf[1 << 16];
    size_t want = allowance < sizeof buf ? allowance : sizeof buf;
    ssize_t got = read(p->master, buf, want);
    if (got > 0) {
        p->captured.append(buf, static_cast<size_t>(got));
    } else if (!held && (got == 0 || errno == EIO)) {
        ClosePort(p);
        return;
    } else if (got < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
        Fail("cannot read /dev/ttyS" + std::to_string(p->number));
    }
    if (p->hangup >= 0 && ProgramBytes(*p) >= p->hangup) {
        ClosePort(p);
    }
}

// True once the program has taken the port into use: its line is no longer
// in canonical mode.
bool SetRaw(const Port& p) {
    termios tio{};
    return p.kind == Kind::Pty && p.master >= 0 && tcgetattr(p.master, &tio) == 0 &&
           (tio.c_lflag & ICANON) == 0;
}

// True while process pid has the file path open.
bool HoldsOpen(pid_t pid, const std::string& path) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    for (dirent* e; !found && (e = readdir(dir)) != nullptr;) {
        char target[4096];
        ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        found = n > 0 && std::string(target, static_cast<size_t>(n)) == path;
    }
    closedir(dir);
    return found;
}

// Sends the planned signals whose moment has come; the milliseconds until
// the next one is due, or -1 when none is timed yet.
long SendDueSignals(Options* o, pid_t pid, long long start_ms) {
    SignalPlan& plan = o->signals;
    while (plan.sent < plan.steps.size()) {
        long long now = NowMs();
        long long due = 0;
        if (plan.sent > 0) {
            due = plan.last_ms + plan.steps[plan.sent].first;
        } else if (!plan.at_open.empty()) {
            if (plan.reached_ms < 0 && HoldsOpen(pid, plan.at_open)) {
                plan.reached_ms = now;
            }
            if (plan.reached_ms < 0) {
                return -1;
            }
            due = plan.reached_ms + plan.at_ms;
        } else if (plan.port < 0) {
            due = start_ms + plan.at_ms;
        } else {
            for (const Port& p : o->ports) {
                if (plan.reached_ms < 0 && p.number == plan.port &&
                    (plan.at_raw ? SetRaw(p) : ProgramBytes(p) >= plan.at_bytes)) {
                    plan.reached_ms = now;
                }
            }
            if (plan.reached_ms < 0) {
                return -1;
            }
            due = plan.reached_ms + plan.at_ms;
        }
        if (now < due) {
            return static_cast<long>(due - now);
        }
        kill(pid, plan.steps[plan.sent].second);
        plan.last_ms = now;
        ++plan.sent;
    }
    return -1;
}

// Reaps whatever child has ended; the program's own status goes to *status.
// Returns false once no child is left.
bool ChildrenLeft(pid_t pid, int* status, bool* running) {
    for (;;) {
        int child_status = 0;
        pid_t done = waitpid(-1, &child_status, WNOHANG);
        if (done == pid) {
            *status = child_status;
            *running = false;
        } else if (done == 0) {
            return true;
        } else if (done < 0 && errno == ECHILD) {
            return false;
        } else if (done < 0 && errno != EINTR) {
            Fail("cannot wait for " + std::to_string(pid));
        }
    }
}

// Reads the ports while the program runs, and afterwards until each is
// drained. ttysim is the subreaper of the run, so a process the program left
// behind (a shell's children) keeps the run going while it lives; then
// ttysim lets go of the slaves it held, and what the ports still hold is read
// to its end, without waiting for quiet.
int Serve(Options* o, pid_t pid, int* ended) {
    long long start_ms = NowMs();
    long long deadline_ms = start_ms + o->timeout_s * 1000;
    int status = 0;
    bool running = true;  // the program itself
    bool held = true;     // some process of the run is alive and may write to a port
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Port*> owners;
        for (Port& p : o->ports) {
            if (Readable(p) && Allowance(p, start_ms, held) > 0) {
                fds.push_back({p.master, POLLIN, 0});
                owners.push_back(&p);
            }
        }
        if (!held && fds.empty()) {
            break;
        }
        long wait_ms = held ? 5 : 1000;
        if (running) {
            long next = SendDueSignals(o, pid, start_ms);
            wait_ms = next >= 0 && next < wait_ms ? next : wait_ms;
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(wait_ms)) < 0 && errno != EINTR) {
            Fail("cannot poll the ports");
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                ReadPort(owners[i], Allowance(*owners[i], start_ms, held), held);
            }
        }
        if (held && !ChildrenLeft(pid, &status, &running)) {
            held = false;
            for (Port& p : o->ports) {
                if (p.slave >= 0) {
                    close(p.slave);
                    p.slave = -1;
                }
            }
        }
        if (NowMs() > deadline_ms) {
            if (running) {
                fprintf(stderr, "ttysim: %s still running after %ld s: killed\n", o->command[0],
                        o->timeout_s);
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            } else {
                fprintf(stderr, "ttysim: what %s started is still running after %ld s\n",
                        o->command[0], o->timeout_s);
            }
            *ended = status;
            return kExitTimeout;
        }
    }
    *ended = status;
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}

void KeepCaptures(const Options& o, int ended) {
    if (o.dir.empty()) {
        return;
    }
    WriteOrFail(o.dir + "/status", WIFSIGNALED(ended)
                                       ? "signal " + std::to_string(WTERMSIG(ended))
                                       : "exit " + std::to_string(WEXITSTATUS(ended)));
    for (const Port& p : o.ports) {
        std::string name = o.dir + "/ttyS" + std::to_string(p.number);
        if (p.kind == Kind::File) {
            WriteOrFail(name, ReadFile("/dev/ttyS" + std::to_string(p.number)));
        } else {
            WriteOrFail(name, p.captured);
        }
        if (p.prefill) {
            WriteOrFail(name + ".prefill", std::to_string(p.prefilled) + "\n");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    SetToolNames("ttysim", kUsage);
    Options o = ParseArgs(argc, argv);
    if (!o.dir.empty()) {
        char* real = realpath(o.dir.c_str(), nullptr);
        if (real == nullptr) {
            Fail("cannot find the capture folder " + o.dir);
        }
        o.dir = real;
        free(real);
    }
    EnterNamespace();
    BuildDev();
    for (Port& p : o.ports) {
        MakePort(&p);
    }
    MakeGettys(o.ports);
    fflush(stdout);
    // Processes the program leaves behind become ttysim's children, so the
    // run lasts until the last of them has ended. User-mode emulation (qemu
    // 7.2, running ARM builds) refuses the request: there the run ends with
    // the program, and what it left behind is not waited for.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        if (errno != EINVAL) {
            Fail("cannot become the subreaper of the run");
        }
        fprintf(stderr,
                "ttysim: note: cannot become the subreaper of the run (%s); "
                "what the program leaves behind is not waited for\n",
                strerror(errno));
    }
    pid_t pid = StartProgram(o);
    int ended = 0;
    int rc = Serve(&o, pid, &ended);
    KeepCaptures(o, ended);
    return rc;
}
