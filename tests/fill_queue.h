// Fills a pseudo-terminal's output queue from a descriptor of its own.
#ifndef MARQUELL_TESTS_FILL_QUEUE_H
#define MARQUELL_TESTS_FILL_QUEUE_H

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <thread>

// Writes zero bytes to fd until the queue refuses, again after the pty had
// time to move bytes on towards the master, until a pass takes nothing.
// Returns how many bytes went in.
inline size_t FillQueue(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t filled = 0;
    char fill[256] = {};
    for (size_t before = 1; before != filled;) {
        before = filled;
        ssize_t n;
        while ((n = write(fd, fill, sizeof fill)) > 0) {
            filled += static_cast<size_t>(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return filled;
}

#endif
