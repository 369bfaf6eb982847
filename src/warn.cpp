#include "warn.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// journald reads a leading "<4>" on a line of its stream as the line's
// priority; anywhere else it would only be noise.
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

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): checked as printf is
void Warn(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "%smarquell: %s\n", ToJournal() ? "<4>" : "", line);
}
