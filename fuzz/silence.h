// The program reports on standard output; libFuzzer reports on stderr.
#ifndef MARQUELL_FUZZ_SILENCE_H
#define MARQUELL_FUZZ_SILENCE_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

// Sends standard output to /dev/null, so millions of runs print nothing.
inline void SilenceStdout() {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        abort();
    }
    close(null);
}

#endif
