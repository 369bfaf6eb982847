// A model of one four-row serial character display: it takes the bytes the
// display receives, in any number of pieces, and keeps what the module shows.
//
// Byte forms the module documents:
//   20, 24          set-up: noted, the screen is left as it is
//   17, col, row    cursor to column col of row row (row 0 is the top row)
//   15, level       contrast
//   14, level       level
//   30, 1, code     one of the module's own glyphs: 0xAE Å, 0xBC Æ, 0xAB Ø,
//                   0xAF å, 0xBD æ, 0xAC ø
//   32..127         text, written at the cursor, which moves one column on
//
// What the module's documentation leaves open, the model decides so that a
// fault shows instead of being guessed away:
//   - The screen starts blank; blank cells show as spaces.
//   - Text past the last column, or on a row below the fourth, is not shown
//     (no wrap is guessed) but counted; the rendered row gets a '>' for a
//     right-hand border.
//   - Any other byte from 0 to 31, and any byte from 128 to 255 where a
//     command or text is expected, is a command the model does not know: it
//     changes nothing on the screen and is counted, with where the cursor was.
//   - An escape whose second byte is not 1 or whose code is none of the six
//     takes its two bytes all the same and shows as '?'.
//   - Byte 127 is text whose glyph belongs to the module; it shows as '▒'.
//   - A command cut off by the end of the stream waits for its bytes: the next
//     piece fed goes on with it, and ModelPending tells it is still open.
#ifndef MARQUELL_CHECKER_DISPLAY_MODEL_H
#define MARQUELL_CHECKER_DISPLAY_MODEL_H

#include <cstddef>
#include <string>

enum { MODEL_ROWS = 4, MODEL_DEFAULT_WIDTH = 20, MODEL_MAX_WIDTH = 80 };

// A cell holds 0 (blank), a text byte 32..127, or MODEL_GLYPH | code.
enum { MODEL_GLYPH = 0x100 };

struct DisplayModel {
    int width;
    int cells[MODEL_ROWS][MODEL_MAX_WIDTH];
    int row;  // cursor
    int col;
    int contrast;  // -1 until a contrast command came
    int level;     // -1 until a level command came
    long level_commands;
    long setup_bytes;
    long bytes;  // every byte fed
    // The command being read: its first byte, 0 for none, and the argument
    // bytes it has so far.
    int opener;
    int args[2];
    int have;
    // What the screen cannot show.
    long past_width[MODEL_ROWS];  // text bytes cut at the right edge, per row
    long off_screen;              // text bytes on a row below the fourth
    long unknown_commands;
    int first_unknown;  // its byte, and the cursor then
    int first_unknown_row;
    int first_unknown_col;
    long bad_escapes;
};

// A blank screen width columns wide (clamped to 1..MODEL_MAX_WIDTH).
void ModelInit(DisplayModel* m, int width);

// Takes the next n bytes of the stream.
void ModelFeed(DisplayModel* m, const void* bytes, size_t n);

// True while the stream so far ends inside a command.
bool ModelPending(const DisplayModel* m);

// The letter of a glyph code (UTF-8), or null when the module has no such code.
const char* GlyphLetter(int code);

// Same cells, contrast and level.
bool ModelSameScreen(const DisplayModel* a, const DisplayModel* b);

// The screen in a frame with label (the port), the contrast and the level
// beside it, then a line for each thing the screen could not show.
std::string ModelRender(const DisplayModel* m, const char* label);

// The screen a blank display width columns wide shows after bytes, rendered
// as ModelRender does.
std::string ModelScreen(const std::string& bytes, int width, const char* label);

// Columns text takes on a terminal: its UTF-8 characters.
size_t TextColumns(const std::string& text);

// Two blocks of lines next to each other, the left one padded to one width.
std::string SideBySide(const std::string& left, const std::string& right, int gap);

#endif
