#include "program_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const int kNoNamespace = 77;

int PortNumber(const std::string& port_arg) {
    return std::stoi(port_arg.substr(0, port_arg.find(':')));
}

// MARQUELL_TEST_TOOL, split at blanks, goes right before the marquell path:
// the whole-program tests then run marquell under that tool (valgrind).
std::vector<std::string> ToolPrefix() {
    std::vector<std::string> words;
    const char* tool = getenv("MARQUELL_TEST_TOOL");
    std::istringstream in(tool != nullptr ? tool : "");
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

}  // namespace

WorkDir::WorkDir() {
    std::string tmpl = (fs::temp_directory_path() / "marquell-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
    }
    path_ = tmpl;
    // Readable by every user, for runs under another user id.
    fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
}

WorkDir::~WorkDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void WorkDir::Write(const std::string& name, const std::string& text) const {
    if (!WriteFile(path_ + "/" + name, text)) {
        throw std::runtime_error("cannot write " + path_ + "/" + name);
    }
}

bool RunningAsRoot() {
    return geteuid() == 0;
}

RunResult RunIn(const WorkDir& dir, const std::vector<std::string>& ports,
                const RunOptions& options) {
    std::string captures = dir.path() + "/.ports";
    fs::create_directory(captures);
    // Another user may not reach the build tree (a clone in /root is mode
    // 0700): that user runs a copy from a folder every user may enter.
    std::string program = MARQUELL_BIN;
    std::optional<WorkDir> program_dir;
    if (options.user >= 0) {
        program = program_dir.emplace().path() + "/marquell";
        fs::copy_file(MARQUELL_BIN, program);
        fs::permissions(program, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    }

    std::vector<std::string> args = {TTYSIM_BIN, "--dir", captures, "--timeout",
                                     std::to_string(options.timeout_s)};
    if (options.user >= 0) {
        args.insert(args.end(), {"--user", std::to_string(options.user)});
    }
    if (!options.signal.empty()) {
        args.insert(args.end(), {"--signal", options.signal});
    }
    args.insert(args.end(), ports.begin(), ports.end());
    args.push_back("--");
    args.insert(args.end(), options.wrapper.begin(), options.wrapper.end());
    std::vector<std::string> tool = ToolPrefix();
    args.insert(args.end(), tool.begin(), tool.end());
    args.push_back(program);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    }
    const std::string err_path = captures + "/.stderr";
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0) {
        throw std::runtime_error("open " + err_path + ": " + std::string(strerror(errno)));
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (options.stop_signals_blocked) {
            // As some supervisors start their children: the mask outlives
            // fork and exec, through ttysim to marquell.
            sigset_t stops;
            sigemptyset(&stops);
            for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
                sigaddset(&stops, sig);
            }
            sigprocmask(SIG_BLOCK, &stops, nullptr);
        }
        dup2(out[1], STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (chdir(dir.path().c_str()) != 0) {
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err);
    RunResult result;
    char buf[4096];
    ssize_t got;
    while ((got = read(out[0], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) {
            result.out.append(buf, static_cast<size_t>(got));
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.unavailable = result.status == kNoNamespace;
    result.err = ReadFile(err_path);
    const std::string ended = ReadFile(captures + "/status");
    if (ended.rfind("signal ", 0) == 0) {
        result.signal = std::stoi(ended.substr(7));
    }
    for (const std::string& port_arg : ports) {
        int n = PortNumber(port_arg);
        std::string base = captures + "/ttyS" + std::to_string(n);
        result.ports[n] = ReadFile(base);
        if (fs::exists(base + ".prefill")) {
            result.prefill[n] = std::stoul(ReadFile(base + ".prefill"));
        }
    }
    fs::remove_all(captures);
    return result;
}

RunResult RunWith(const std::string& ini, const std::vector<std::string>& ports,
                  const RunOptions& options) {
    WorkDir dir;
    dir.Write("marquell.ini", ini);
    return RunIn(dir, ports, options);
}
