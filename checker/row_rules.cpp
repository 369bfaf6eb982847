#include "row_rules.h"

#include <algorithm>
#include <string>

#include "display_model.h"

namespace {

// What one row check needs.
struct RowCheck {
    const Places& places;
    const Capture* cap;
    int width;
    std::vector<Warning>* warnings;
};

const char* ControlMeaning(int b) {
    switch (b) {
        case 14: return "opens a level command: the next byte is taken as its level";
        case 15: return "opens a contrast command: the next byte is taken as its level";
        case 17: return "opens a position command: the next two bytes move the cursor";
        case 20:
        case 24: return "is a set-up byte";
        case 30: return "opens a character escape: the next two bytes are taken by it";
        default: return "is a command to the display, not text";
    }
}

const char* ControlName(int b) {
    switch (b) {
        case '\t': return " (tab)";
        case '\n': return " (line break)";
        case '\r': return " (carriage return)";
        default: return "";
    }
}

// Length of the UTF-8 character at p (at most left bytes); 1 for a byte that
// starts none, an overlong form or a surrogate.
size_t CharLength(const unsigned char* p, size_t left) {
    size_t n = p[0] >= 0xF0 && p[0] <= 0xF4   ? 4
               : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
               : p[0] >= 0xC2 && p[0] <= 0xDF ? 2
                                              : 1;
    if (n == 1 || n > left) {
        return 1;
    }
    // The second byte's range where the lead byte narrows it.
    unsigned low = p[0] == 0xE0 ? 0xA0 : p[0] == 0xF0 ? 0x90 : 0x80;
    unsigned high = p[0] == 0xED ? 0x9F : p[0] == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < low || p[1] > high) {
        return 1;
    }
    for (size_t i = 2; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 1;
        }
    }
    return n;
}

unsigned CodePoint(const unsigned char* p, size_t n) {
    unsigned cp = p[0] & (0xFF >> (n + 1));
    for (size_t i = 1; i < n; ++i) {
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    return cp;
}

// The letters a stream of escapes shows.
std::string Letters(const std::string& wire) {
    std::string letters;
    for (size_t i = 2; i < wire.size(); i += 3) {
        const char* letter = GlyphLetter(static_cast<unsigned char>(wire[i]));
        letters += letter != nullptr ? letter : "?";
    }
    return letters;
}

// What to write instead of a character the display cannot show: the letter
// without its accent, or plain signs for a typographic one; empty when there
// is nothing to suggest. The module's own six letters need none.
std::string PlainLetters(unsigned cp) {
    // U+00C0..U+00FF and U+0100..U+017F, a letter each; '*' for the six and
    // for those that take more than one letter, below.
    static const char kLatin1[] =
        "AAAAA**CEEEEIIIIDNOOOOOx*UUUUY**aaaaa**ceeeeiiiidnooooo/*uuuuy*y";
    static const char kLatinA[] =
        "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi**JjKkkLlLlLlL"
        "lLlNnNnNn*NnOoOoOo**RrRrRrSsSsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";
    struct Sign {
        unsigned cp;
        const char* text;
    };
    static const Sign kSigns[] = {
        {0x00A0, " "},  {0x00AB, "<<"}, {0x00AD, "-"},  {0x00B4, "'"},   {0x00B7, "."},
        {0x00BB, ">>"}, {0x00DE, "Th"}, {0x00DF, "ss"}, {0x00FE, "th"},  {0x0132, "IJ"},
        {0x0133, "ij"}, {0x0149, "'n"}, {0x0152, "OE"}, {0x0153, "oe"},  {0x2013, "-"},
        {0x2014, "-"},  {0x2018, "'"},  {0x2019, "'"},  {0x201A, "'"},   {0x201C, "'"},
        {0x201D, "'"},  {0x201E, "'"},  {0x2022, "*"},  {0x2026, "..."}, {0x20AC, "EUR"},
        {0x2122, "TM"},
    };
    char letter = cp >= 0xC0 && cp <= 0xFF     ? kLatin1[cp - 0xC0]
                  : cp >= 0x100 && cp <= 0x17F ? kLatinA[cp - 0x100]
                                               : '*';
    if (letter != '*') {
        return std::string(1, letter);
    }
    for (const Sign& s : kSigns) {
        if (s.cp == cp) {
            return s.text;
        }
    }
    return "";
}

// Warns of a character that does not reach the display as itself; returns
// the cells it takes there.
int CheckCharacter(RowCheck* rc, size_t at, size_t n, const char* key, int column) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(rc->places.text + at);
    std::string ch(rc->places.text + at, n);
    std::string wire = CaptureText(rc->cap, ch);
    int cells = static_cast<int>(wire.size() / 3);  // the wire holds escapes only
    if (n == 2 && p[0] == 0xC3 && wire.size() == 3) {
        return cells;  // one of the module's own six letters
    }
    std::string shown = wire.empty() ? std::string("vanishes on the display")
                                     : "shows as '" + Letters(wire) + "' on the display";
    if (n == 1) {
        Warn(rc->places, rc->warnings, at,
             "byte 0x%02X in %s is not UTF-8 and %s (display column %d)", p[0], key, shown.c_str(),
             column);
        return cells;
    }
    unsigned cp = CodePoint(p, n);
    Fix fix{at, at + n, PlainLetters(cp)};
    if (fix.text.empty()) {
        Warn(rc->places, rc->warnings, at, "'%s' (U+%04X) in %s %s (display column %d)", ch.c_str(),
             cp, key, shown.c_str(), column);
    } else {
        WarnFix(rc->places, rc->warnings, at, fix,
                "'%s' (U+%04X) in %s %s (display column %d); write %s instead", ch.c_str(), cp, key,
                shown.c_str(), column, fix.text.c_str());
    }
    return cells;
}

void CheckRow(RowCheck* rc, const RowPlaces& row, int r) {
    const Places& p = rc->places;
    const char* key = kRowKeys[r];
    size_t len = row.close - row.value;
    size_t kept = std::min(len, static_cast<size_t>(ROW_SIZE - 1));
    if (len > kept) {
        Warn(p, rc->warnings, row.value + kept,
             "the %s value is %zu bytes: marquell keeps the first %zu and drops the rest from "
             "here",
             key, len, kept);
    }
    size_t end = row.value + kept;
    int cells = 0;
    size_t cut_at = kNowhere;
    bool byte_127 = false;
    for (size_t at = row.value; at < end;) {
        const unsigned char* c = reinterpret_cast<const unsigned char*>(p.text + at);
        size_t n = c[0] < 0x80 ? 1 : CharLength(c, end - at);
        int shown = 0;
        if (c[0] < 32) {
            Warn(p, rc->warnings, at, "control byte %d%s in %s %s", c[0], ControlName(c[0]), key,
                 ControlMeaning(c[0]));
        } else if (c[0] < 0x80) {
            shown = 1;
        } else {
            shown = CheckCharacter(rc, at, n, key, cells + 1);
        }
        if (c[0] == 127 && !byte_127) {
            Warn(p, rc->warnings, at,
                 "byte 127 in %s is sent as a text byte: what it shows depends on the display's "
                 "character set (drawn here as \u2592)",
                 key);
            byte_127 = true;
        }
        if (shown > 0 && cells + shown > rc->width && cut_at == kNowhere) {
            cut_at = at;
        }
        cells += shown;
        at += n;
    }
    if (cut_at != kNowhere) {
        Warn(p, rc->warnings, cut_at,
             "%s shows %d characters on a display %d wide: from here on (display column %d) "
             "nothing shows",
             key, cells, rc->width, rc->width + 1);
    }
}

}  // namespace

void CheckRowRules(const Places& p, const Capture* cap, int width, std::vector<Warning>* warnings) {
    RowCheck rc{p, cap, width, warnings};
    for (size_t i = 0; i < p.record->count; ++i) {
        const DisplayPlaces& d = p.record->displays[i];
        for (int r = 0; r < d.rows_read; ++r) {
            CheckRow(&rc, d.rows[r], r);
        }
    }
}
