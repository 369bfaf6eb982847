#include "text.h"

#include "protocol.h"

int TextByteOnDisplay(ubyte b, ubyte out[kMostBytesPerTextByte]) {
    const ubyte glyph = GlyphCode(b);
    if (glyph != 0) {
        out[0] = kEscape;
        out[1] = kEscapeGlyph;
        out[2] = glyph;
        return 3;
    }
    if (b >= 1 && b < 0x80) {
        out[0] = b;
        return 1;
    }
    return 0;  // a UTF-8 lead byte or another high byte: the display has no glyph for it
}
