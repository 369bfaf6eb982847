#include "warn.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// journald reads a leading "<4>" on a line of its stream as the line's
// priority; anywhere else it would only be noise.
bool ToJournal() {
    static int answer = -1;
    if (answer < 0) {
        const char* stream = getenv("JOURNAL_STREAM");
        struct stat st {};
        unsigned long long dev = 0;
        unsigned long long ino = 0;
        answer = stream != nullptr && sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
                 fstat(fileno(stderr), &st) == 0 && st.st_dev == dev && st.st_ino == ino;
    }
    return answer != 0;
}

}  // namespace

void Warn(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "%smarquell: %s\n", ToJournal() ? "<4>" : "", line);
}
