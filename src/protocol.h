// The display's byte protocol and the line that carries it: every byte value,
// glyph code and rate that the program, the checker and the benchmark use.
#ifndef MARQUELL_PROTOCOL_H
#define MARQUELL_PROTOCOL_H

#include <termios.h>

#include <cstddef>
#include <cstdio>

#include "typedefs.h"

// Command openers. Each takes a fixed number of argument bytes after it.
constexpr ubyte kSetupFirst = 20;   // none; first byte every display gets
constexpr ubyte kSetupSecond = 24;  // none; second byte
constexpr ubyte kPosition = 17;     // column, row (0 top .. 3 bottom)
constexpr ubyte kContrast = 15;     // level 0..255
constexpr ubyte kLevel = 14;        // level 0..100
constexpr ubyte kEscape = 30;       // kEscapeGlyph, glyph code
constexpr ubyte kEscapeGlyph = 1;

// One of the display's own glyphs, reached by the second byte of a letter's
// UTF-8 form (the lead byte 0xC3 is never sent).
struct Glyph {
    ubyte text_byte;
    ubyte code;
    const char* letter;  // UTF-8, for people
};
constexpr Glyph kGlyphs[] = {
    {0x85, 0xAE, "\xC3\x85"},  // Å
    {0x86, 0xBC, "\xC3\x86"},  // Æ
    {0x98, 0xAB, "\xC3\x98"},  // Ø
    {0xA5, 0xAF, "\xC3\xA5"},  // å
    {0xA6, 0xBD, "\xC3\xA6"},  // æ
    {0xB8, 0xAC, "\xC3\xB8"},  // ø
};

// Glyph code for a text byte, 0 when the byte is not one of the six.
constexpr ubyte GlyphCode(ubyte b) {
    for (const Glyph& g : kGlyphs) {
        if (g.text_byte == b) {
            return g.code;
        }
    }
    return 0;
}

// The rates the displays take, with the terminal interface's speed codes.
struct LineRate {
    int baud;
    speed_t speed;
};
constexpr LineRate kRates[] = {
    {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
};

// The rate's entry in kRates; null when the displays do not take it.
constexpr const LineRate* FindRate(int baud) {
    for (const LineRate& r : kRates) {
        if (r.baud == baud) {
            return &r;
        }
    }
    return nullptr;
}

// The rates for people: "1200, 2400, 4800, 9600", last_joiner, "19200",
// written into out; an out too small for them all ends after the last rate
// that fits.
inline void RatesInWords(char* out, size_t size, const char* last_joiner) {
    const size_t count = sizeof kRates / sizeof kRates[0];
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < count; ++i) {
        const char* joiner = i == 0 ? "" : i + 1 == count ? last_joiner : ", ";
        int n = snprintf(out + used, size - used, "%s%d", joiner, kRates[i].baud);
        if (n < 0 || used + static_cast<size_t>(n) >= size) {
            out[used] = '\0';
            return;
        }
        used += static_cast<size_t>(n);
    }
}

// A byte on the line: start bit, 8 data bits, 2 stop bits.
constexpr int kBitsPerByte = 11;

#endif
