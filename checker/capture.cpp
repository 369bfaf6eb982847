// The program writes one byte a system call. Captured through a pipe, a file
// of 90,000 displays cost 9 million system calls; instead the checker is
// linked with --wrap=write, so every write of the program's code comes to
// __wrap_write below, which keeps what is written to the capture's descriptor
// and passes every other write on. The descriptor is /dev/null, so that it
// is a real one that no other file can take.
#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "main.h"
#include "serial.h"

namespace {

int kept_fd = -1;
std::string kept;

// Runs send with the port handle on c's descriptor; returns what it wrote.
template <typename Send>
std::string Keep(const Capture* c, Send send) {
    kept.clear();
    kept_fd = c->fd;
    handle = c->fd;
    send();
    handle = 0;
    kept_fd = -1;
    return kept;
}

}  // namespace

// The names are the linker's.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" ssize_t __real_write(int fd, const void* buf, size_t n);

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (fd >= 0 && fd == kept_fd) {
        kept.append(static_cast<const char*>(buf), n);
        return static_cast<ssize_t>(n);
    }
    return __real_write(fd, buf, n);
}

bool CaptureOpen(Capture* c) {
    int fd;
    do {
        fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    c->fd = fd;
    return fd > 0;
}

void CaptureClose(Capture* c) {
    close(c->fd);
}

std::string CaptureSequence(const Capture* c, const Entry* e) {
    return Keep(c, [e] { RunDisplaySequence(e); });
}

std::string CaptureText(const Capture* c, const std::string& text) {
    return Keep(c, [&text] { SendString(text.c_str()); });
}
