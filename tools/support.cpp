#include "support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char* tool_name = "tool";
const char* tool_usage = "";

}  // namespace

void SetToolNames(const char* name, const char* usage) {
    tool_name = name;
    tool_usage = usage;
}

void Fail(const std::string& what) {
    fprintf(stderr, "%s: %s: %s\n", tool_name, what.c_str(), strerror(errno));
    exit(kToolFailure);
}

void Usage(const std::string& what) {
    fprintf(stderr, "%s: %s\n\n%s", tool_name, what.c_str(), tool_usage);
    exit(2);
}

long ParseNumber(const std::string& text, const std::string& what, long min) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < min) {
        Usage("bad " + what + " '" + text + "': give a whole number" +
              (min == 0 ? ", 0 or more" : " of at least " + std::to_string(min)));
    }
    return value;
}

std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return text;
    }
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, got);
    }
    fclose(f);
    return text;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool whole = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && whole;
}

void WriteOrFail(const std::string& path, const std::string& bytes) {
    if (!WriteFile(path, bytes)) {
        Fail("cannot write " + path);
    }
}

long FillQueue(int fd, char fill) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    char chunk[256];
    memset(chunk, fill, sizeof chunk);
    long filled = 0;
    for (long before = -1; before != filled;) {
        before = filled;
        ssize_t n;
        while ((n = write(fd, chunk, sizeof chunk)) > 0) {
            filled += n;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return -1;
        }
        timespec pause{0, 20L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return filled;
}
