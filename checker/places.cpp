// Line and column come from an index built in one pass: the offsets where
// lines start, and a count of UTF-8 characters every kBlock bytes, so a place
// costs a binary search and at most kBlock bytes, however long the line.
#include "places.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <string_view>

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

void PlacesInit(Places* p, const char* text, size_t len, const ReadRecord* record) {
    p->text = text;
    p->len = len;
    p->record = record;
    p->line_starts.assign(1, 0);
    p->chars_before.clear();
    size_t chars = 0;
    for (size_t i = 0; i < len; ++i) {
        if (i % kBlock == 0) {
            p->chars_before.push_back(chars);
        }
        if (text[i] == '\n') {
            p->line_starts.push_back(i + 1);
        }
        chars += StartsCharacter(text[i]) ? 1 : 0;
    }
    if (len % kBlock == 0) {
        p->chars_before.push_back(chars);
    }
    // The reader searches each row key from the previous value's first byte,
    // so each value begins after the previous one's closing quote.
    p->values.clear();
    for (size_t i = 0; i < record->count; ++i) {
        const DisplayPlaces& d = record->displays[i];
        for (int r = 0; r < d.rows_read; ++r) {
            p->values.push_back({d.rows[r].value, d.rows[r].close, i, r});
        }
    }
}

void LineColumn(const Places& p, size_t at, int* line, int* column) {
    at = std::min(at, p.len);
    auto next = std::upper_bound(p.line_starts.begin(), p.line_starts.end(), at);
    size_t start = *(next - 1);
    *line = static_cast<int>(next - p.line_starts.begin());
    *column = static_cast<int>(CharsBefore(p, at) - CharsBefore(p, start)) + 1;
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

size_t FindFrom(const Places& p, size_t from, const char* needle) {
    if (from >= p.len) {
        return kNowhere;
    }
    size_t at = std::string_view(p.text, p.len).find(needle, from);
    return at == std::string_view::npos ? kNowhere : at;
}

// A C variadic, so the compiler checks every call against its format.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void Warn(const Places& p, std::vector<Warning>* warnings, size_t at, const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    Warning w;
    LineColumn(p, at, &w.line, &w.column);
    w.text = buf;
    warnings->push_back(w);
}
