#include "display_model.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "protocol.h"

namespace {

// Argument bytes each opener takes; -1 for a byte that opens no command.
int ArgumentCount(int b) {
    switch (b) {
        case kPosition:
        case kEscape: return 2;
        case kContrast:
        case kLevel: return 1;
        default: return -1;
    }
}

void Put(DisplayModel* m, int cell) {
    if (m->row < 0 || m->row >= MODEL_ROWS) {
        ++m->off_screen;
    } else if (m->col < 0 || m->col >= m->width) {
        ++m->past_width[m->row];
    } else {
        m->cells[m->row][m->col] = cell;
    }
    ++m->col;
}

void Unknown(DisplayModel* m, int b) {
    if (m->unknown_commands == 0) {
        m->first_unknown = b;
        m->first_unknown_row = m->row;
        m->first_unknown_col = m->col;
    }
    ++m->unknown_commands;
}

void RunCommand(DisplayModel* m) {
    switch (m->opener) {
        case kPosition:
            m->col = m->args[0];
            m->row = m->args[1];
            break;
        case kContrast: m->contrast = m->args[0]; break;
        case kLevel:
            m->level = m->args[0];
            ++m->level_commands;
            break;
        case kEscape:
            if (m->args[0] != kEscapeGlyph || GlyphLetter(m->args[1]) == nullptr) {
                ++m->bad_escapes;
                Put(m, MODEL_GLYPH);  // no glyph has code 0: shows as '?'
            } else {
                Put(m, MODEL_GLYPH | m->args[1]);
            }
            break;
    }
    m->opener = 0;
    m->have = 0;
}

void TakeByte(DisplayModel* m, int b) {
    ++m->bytes;
    if (m->opener != 0) {
        m->args[m->have++] = b;
        if (m->have == ArgumentCount(m->opener)) {
            RunCommand(m);
        }
        return;
    }
    if (b >= 32 && b <= 127) {
        Put(m, b);
    } else if (b == kSetupFirst || b == kSetupSecond) {
        ++m->setup_bytes;
    } else if (ArgumentCount(b) > 0) {
        m->opener = b;
        m->have = 0;
    } else {
        Unknown(m, b);
    }
}

void AppendCell(std::string* out, int cell) {
    if (cell == 0) {
        *out += ' ';
    } else if (cell == 127) {
        *out += "\u2592";
    } else if (cell < MODEL_GLYPH) {
        *out += static_cast<char>(cell);
    } else {
        const char* letter = GlyphLetter(cell & 0xFF);
        *out += letter != nullptr ? letter : "?";
    }
}

std::string Num(long n) {
    return std::to_string(n);
}

std::string Beside(const DisplayModel* m, int row, const char* label) {
    switch (row) {
        case 0: return label;
        case 1: return m->contrast < 0 ? "contrast not set" : "contrast " + Num(m->contrast);
        case 2:
            if (m->level < 0) {
                return "level not set";
            }
            return "level " + Num(m->level) + " (" + Num(m->level_commands) + " level commands)";
        default: return "";
    }
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

void ModelInit(DisplayModel* m, int width) {
    memset(m, 0, sizeof *m);
    m->width = width;
    if (m->width < 1) {
        m->width = 1;
    } else if (m->width > MODEL_MAX_WIDTH) {
        m->width = MODEL_MAX_WIDTH;
    }
    m->contrast = -1;
    m->level = -1;
}

void ModelFeed(DisplayModel* m, const void* bytes, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < n; ++i) {
        TakeByte(m, p[i]);
    }
}

bool ModelPending(const DisplayModel* m) {
    return m->opener != 0;
}

const char* GlyphLetter(int code) {
    for (const Glyph& g : kGlyphs) {
        if (g.code == code) {
            return g.letter;
        }
    }
    return nullptr;
}

bool ModelSameScreen(const DisplayModel* a, const DisplayModel* b) {
    if (a->width != b->width || a->contrast != b->contrast || a->level != b->level) {
        return false;
    }
    return memcmp(a->cells, b->cells, sizeof a->cells) == 0;
}

std::string ModelRender(const DisplayModel* m, const char* label) {
    // A file of many displays renders each one's screen: built in place.
    const size_t width = static_cast<size_t>(m->width);
    std::string out;
    out.reserve((width + 40) * (MODEL_ROWS + 2));
    out += '+';
    out.append(width, '-');
    out += "+\n";
    for (int r = 0; r < MODEL_ROWS; ++r) {
        out += '|';
        for (int c = 0; c < m->width; ++c) {
            AppendCell(&out, m->cells[r][c]);
        }
        out += m->past_width[r] > 0 ? '>' : '|';
        std::string beside = Beside(m, r, label);
        if (!beside.empty()) {
            out += ' ';
            out += beside;
        }
        out += '\n';
    }
    out += '+';
    out.append(width, '-');
    out += "+\n";
    for (int r = 0; r < MODEL_ROWS; ++r) {
        if (m->past_width[r] > 0) {
            out += "line" + Num(r + 1) +
                   ": characters past the right edge, not shown: " + Num(m->past_width[r]) + "\n";
        }
    }
    if (m->off_screen > 0) {
        out += "characters written below the bottom row, not shown: " + Num(m->off_screen) + "\n";
    }
    if (m->unknown_commands > 0) {
        // Rows are named as the file names them, columns counted from 1.
        int row = m->first_unknown_row;
        std::string where =
            row >= 0 && row < MODEL_ROWS
                ? "line" + Num(row + 1) + ", display column " + Num(m->first_unknown_col + 1)
                : "a row below the bottom row";
        out += "unknown command bytes: " + Num(m->unknown_commands) + ", the first (" +
               Num(m->first_unknown) + ") at " + where + "\n";
    }
    if (m->bad_escapes > 0) {
        out += "character escapes with no glyph, shown as ?: " + Num(m->bad_escapes) + "\n";
    }
    if (ModelPending(m)) {
        out += "the stream ends inside a command (byte " + Num(m->opener) + ")\n";
    }
    return out;
}

std::string ModelScreen(const std::string& bytes, int width, const char* label) {
    DisplayModel m;
    ModelInit(&m, width);
    ModelFeed(&m, bytes.data(), bytes.size());
    return ModelRender(&m, label);
}

size_t TextColumns(const std::string& text) {
    size_t columns = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) {
            ++columns;
        }
    }
    return columns;
}

std::string SideBySide(const std::string& left, const std::string& right, int gap) {
    std::vector<std::string> a = Lines(left);
    std::vector<std::string> b = Lines(right);
    size_t width = 0;
    for (const std::string& line : a) {
        width = TextColumns(line) > width ? TextColumns(line) : width;
    }
    std::string out;
    for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
        std::string line = i < a.size() ? a[i] : "";
        if (i < b.size()) {
            line += std::string(width - TextColumns(line) + static_cast<size_t>(gap), ' ') + b[i];
        }
        out += line + "\n";
    }
    return out;
}
