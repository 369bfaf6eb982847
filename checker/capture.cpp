// The program writes one byte a system call. Captured through a pipe, a file
// of 90,000 displays cost 9 million system calls; instead the capture puts
// its own byte sink into the port's byte path and keeps what the program
// sends in memory. The port handle is /dev/null meanwhile, a real descriptor
// that no other file can take and whose queue the program finds empty.
#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "display_sequence.h"
#include "serial.h"

namespace {

std::string kept;

ssize_t KeepBytes(int /*fd*/, const void* buf, size_t count) {
    kept.append(static_cast<const char*>(buf), count);
    return static_cast<ssize_t>(count);
}

// Runs send with the port handle on c's descriptor; returns what it sent.
template <typename Send>
std::string Keep(const Capture* c, Send send) {
    kept.clear();
    handle = c->fd;
    SetByteSink(KeepBytes);
    send();
    SetByteSink(nullptr);
    handle = 0;
    return kept;
}

}  // namespace

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
