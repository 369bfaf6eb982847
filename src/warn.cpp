#include "warn.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// journald reads a leading "<N>" on a line of its stream as the line's
// priority (4 warning, 5 notice); anywhere else it would only be noise.
// JOURNAL_STREAM is "DEVICE:INODE" of the stream, both in decimal.
bool IsStream(const char* stream, const struct stat& st) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long dev = strtoull(stream, &end, 10);
    if (errno != 0 || end == stream || *end != ':') {
        return false;
    }
    const char* ino_text = end + 1;
    const unsigned long long ino = strtoull(ino_text, &end, 10);
    return errno == 0 && end != ino_text && *end == '\0' && st.st_dev == dev && st.st_ino == ino;
}

bool ToJournal() {
    static int answer = -1;
    if (answer < 0) {
        const char* stream = getenv("JOURNAL_STREAM");
        struct stat st {};
        answer = stream != nullptr && fstat(fileno(stderr), &st) == 0 && IsStream(stream, st);
    }
    return answer != 0;
}

// 1024 bytes hold the longest reason, a UART's advice with the port's name.
__attribute__((format(printf, 2, 0))) void Say(const char* priority, const char* format,
                                               va_list args) {
    char line[1024];
    vsnprintf(line, sizeof line, format, args);
    fprintf(stderr, "%smarquell: %s\n", ToJournal() ? priority : "", line);
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): checked as printf is
void Warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Say("<4>", format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): checked as printf is
void Notice(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Say("<5>", format, args);
    va_end(args);
}
