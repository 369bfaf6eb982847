// Line and column come from an index built in one pass: the offsets where
// lines start, and a count of UTF-8 characters every kBlock bytes, so a place
// costs a binary search and at most kBlock bytes, however long the line.
#include "places.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const size_t kBlock = 64;

bool StartsCharacter(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

size_t CharsBefore(const Places& p, size_t at) {
    size_t block = at / kBlock;
    size_t chars = p.chars_before[block];
    for (size_t i = block * kBlock; i < at; ++i) {
        chars += StartsCharacter(p.text[i]) ? 1 : 0;
    }
    return chars;
}

}  // namespace

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

size_t SkipBlanks(const Places& p, size_t at) {
    while (at < p.len && Blank(p.text[at])) {
        ++at;
    }
    return at;
}

namespace {

// The 0-based line that holds at.
size_t LineOf(const Places& p, size_t at) {
    auto next = std::upper_bound(p.line_starts.begin(), p.line_starts.end(), at);
    return next == p.line_starts.begin() ? 0
                                         : static_cast<size_t>(next - p.line_starts.begin()) - 1;
}

// A '#' or ';' at i that begins a note: first on its line, or between blanks.
bool StartsNote(const char* text, size_t len, size_t i, size_t line_start) {
    if (text[i] != '#' && text[i] != ';') {
        return false;
    }
    size_t before = i;
    while (before > line_start && Blank(text[before - 1])) {
        --before;
    }
    if (before == line_start) {
        return true;
    }
    char next = i + 1 < len ? text[i + 1] : '\n';
    return Blank(text[i - 1]) && (Blank(next) || next == '\r' || next == '\n');
}

}  // namespace

void PlacesInit(Places* p, const char* text, size_t len, const ReadRecord* record) {
    p->text = text;
    p->len = len;
    p->record = record;
    p->start = len >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    // The reader searches each row key from the previous value's first byte,
    // so each value begins after the previous one's closing quote.
    p->values.clear();
    for (size_t i = 0; i < record->count; ++i) {
        const DisplayPlaces& d = record->displays[i];
        for (int r = 0; r < d.rows_read; ++r) {
            p->values.push_back({d.rows[r].value, d.rows[r].close, i, r});
        }
    }
    p->line_starts.assign(1, p->start);
    p->notes.clear();
    bool line_has_note = false;
    p->chars_before.clear();
    p->chars_before.reserve(len / kBlock + 2);
    size_t chars = 0;
    size_t line_start = p->start;
    auto value = p->values.begin();
    for (size_t i = 0; i < len; ++i) {
        if (i % kBlock == 0) {
            p->chars_before.push_back(chars);
        }
        chars += StartsCharacter(text[i]) ? 1 : 0;
        if (text[i] == '\n') {
            line_start = i + 1;
            p->line_starts.push_back(line_start);
            if (line_has_note) {
                p->notes.back().end = i;
                line_has_note = false;
            }
            continue;
        }
        if ((text[i] != '#' && text[i] != ';') || line_has_note || i < p->start) {
            continue;
        }
        while (value != p->values.end() && value->close <= i) {
            ++value;
        }
        bool in_value = value != p->values.end() && i >= value->begin;
        if (!in_value && StartsNote(text, len, i, line_start)) {
            p->notes.push_back({i, len});
            line_has_note = true;
        }
    }
    if (len % kBlock == 0) {
        p->chars_before.push_back(chars);
    }
}

void LineColumn(const Places& p, size_t at, int* line, int* column) {
    at = std::max(std::min(at, p.len), p.start);
    size_t l = LineOf(p, at);
    size_t start = p.line_starts[l];
    size_t chars = 0;
    if (at - start <= kBlock) {
        for (size_t i = start; i < at; ++i) {
            chars += StartsCharacter(p.text[i]) ? 1 : 0;
        }
    } else {
        chars = CharsBefore(p, at) - CharsBefore(p, start);
    }
    *line = static_cast<int>(l) + 1;
    *column = static_cast<int>(chars) + 1;
}

bool InNote(const Places& p, size_t at) {
    // The last note that begins at or before at.
    auto next = std::upper_bound(p.notes.begin(), p.notes.end(), at,
                                 [](size_t a, const NoteSpan& n) { return a < n.begin; });
    return next != p.notes.begin() && at < (next - 1)->end;
}

size_t SettingEnd(const Places& p, size_t at) {
    size_t l = LineOf(p, at);
    size_t end = l + 1 < p.line_starts.size() ? p.line_starts[l + 1] - 1 : p.len;
    // A note that begins on this line, at or after at.
    auto note = std::lower_bound(p.notes.begin(), p.notes.end(), at,
                                 [](const NoteSpan& n, size_t a) { return n.begin < a; });
    if (note != p.notes.end() && note->begin < end) {
        end = note->begin;
    }
    while (end > at && (Blank(p.text[end - 1]) || p.text[end - 1] == '\r')) {
        --end;
    }
    return end;
}

std::string Place(const Places& p, size_t at) {
    int line;
    int column;
    LineColumn(p, at, &line, &column);
    return std::to_string(line) + ":" + std::to_string(column);
}

const ValueSpan* InsideValue(const Places& p, size_t at) {
    auto next = std::upper_bound(p.values.begin(), p.values.end(), at,
                                 [](size_t a, const ValueSpan& v) { return a < v.begin; });
    if (next == p.values.begin() || at >= (next - 1)->close) {
        return nullptr;
    }
    return &*(next - 1);
}

// The reader searches each "lcd" from a point that never moves back, so the
// displays' "lcd"s stand in file order (two displays may share one).
long DisplayAround(const Places& p, size_t at) {
    const DisplayPlaces* first = p.record->displays;
    const DisplayPlaces* last = first + p.record->count;
    const DisplayPlaces* next = std::upper_bound(
        first, last, at, [](size_t a, const DisplayPlaces& d) { return a < d.lcd; });
    return static_cast<long>(next - first) - 1;
}

size_t DisplayEnd(const Places& p, size_t i) {
    if (i + 1 < p.record->count) {
        return p.record->displays[i + 1].lcd;
    }
    return p.record->unserved_lcd != kNowhere ? p.record->unserved_lcd : p.len;
}

bool WordByte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return isalnum(u) || c == '_' || u >= 0x80;
}

bool WordBefore(const Places& p, size_t at) {
    return at > p.start && WordByte(p.text[at - 1]);
}

size_t FindFrom(const Places& p, size_t from, const char* needle) {
    if (from >= p.len) {
        return kNowhere;
    }
    const void* at = memmem(p.text + from, p.len - from, needle, strlen(needle));
    return at != nullptr ? static_cast<size_t>(static_cast<const char*>(at) - p.text) : kNowhere;
}

namespace {

void AddWarning(const Places& p, std::vector<Warning>* warnings, size_t at, const char* fmt,
                va_list args) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, args);
    warnings->emplace_back();
    Warning& w = warnings->back();
    LineColumn(p, at, &w.line, &w.column);
    w.text = buf;
}

}  // namespace

// C variadics, so the compiler checks every call against its format.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void Warn(const Places& p, std::vector<Warning>* warnings, size_t at, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    AddWarning(p, warnings, at, fmt, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp)
void WarnFix(const Places& p, std::vector<Warning>* warnings, size_t at, const Fix& fix,
             const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    AddWarning(p, warnings, at, fmt, args);
    va_end(args);
    warnings->back().fix = fix;
}
