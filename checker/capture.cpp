#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "main.h"
#include "serial.h"

namespace {

// One display's stream is at most about 14 KB, so it never fills the pipe.
const int kPipeSize = 1 << 16;

std::string Take(const Capture* c) {
    std::string got;
    char buf[4096];
    for (;;) {
        ssize_t n = read(c->read_fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return got;
        }
    }
}

}  // namespace

bool CaptureOpen(Capture* c) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    fcntl(fds[1], F_SETPIPE_SZ, kPipeSize);
    c->read_fd = fds[0];
    c->write_fd = fds[1];
    return true;
}

void CaptureClose(Capture* c) {
    close(c->read_fd);
    close(c->write_fd);
}

std::string CaptureSequence(const Capture* c, const Entry* e) {
    handle = c->write_fd;
    RunDisplaySequence(e);
    handle = 0;
    return Take(c);
}

std::string CaptureText(const Capture* c, const std::string& text) {
    handle = c->write_fd;
    SendString(text.c_str());
    handle = 0;
    return Take(c);
}
