// The reader finds a key only in lower case and a value only between two
// straight double quotes, wherever they stand. A slip in either therefore
// shows up far from where it was made: the next quote or key in the file is
// taken instead, often the next display's. These rules point back at the
// slip itself and give its fix built from what the owner wrote.
#include "slip_rules.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace {

// How much of an owner's line a fix repeats.
const size_t kShown = 40;

// Quotes a phone or a word processor puts in, which the reader does not take
// for a double quote.
const char* const kOtherQuotes[] = {"\u201C", "\u201D", "\u201E", "\u201F", "\u2018", "\u2019",
                                    "\u201A", "\u00AB", "\u00BB", "\u2033", "'"};

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

size_t SkipBlanks(const Places& p, size_t at) {
    while (at < p.len && Blank(p.text[at])) {
        ++at;
    }
    return at;
}

// The quote other than a straight double quote that stands at at, or null.
const char* OtherQuoteAt(const Places& p, size_t at) {
    for (const char* q : kOtherQuotes) {
        size_t n = strlen(q);
        if (at + n <= p.len && memcmp(p.text + at, q, n) == 0) {
            return q;
        }
    }
    return nullptr;
}

// A line the owner meant as a note: its first non-blank is '#' or ';'.
bool InNote(const Places& p, size_t at) {
    int line;
    int column;
    LineColumn(p, at, &line, &column);
    size_t start = SkipBlanks(p, p.line_starts[static_cast<size_t>(line - 1)]);
    return start < at && (p.text[start] == '#' || p.text[start] == ';');
}

// Where the line holding at ends, without its trailing blanks and '\r'.
size_t LineEnd(const Places& p, size_t at) {
    const void* nl = memchr(p.text + at, '\n', p.len - at);
    size_t end = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - p.text) : p.len;
    while (end > at && (Blank(p.text[end - 1]) || p.text[end - 1] == '\r')) {
        --end;
    }
    return end;
}

// The owner's text [from, to), cut to kShown bytes on a character boundary.
std::string Shown(const Places& p, size_t from, size_t to) {
    if (to - from <= kShown) {
        return std::string(p.text + from, to - from);
    }
    size_t end = from + kShown;
    while (end > from && (static_cast<unsigned char>(p.text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(p.text + from, end - from) + "...";
}

// The owner's value after a row key's '=', without the quotes of any kind
// around it.
std::string BareValue(const Places& p, size_t from, size_t to) {
    for (bool trimmed = true; trimmed && from < to;) {
        trimmed = false;
        for (const char* q : kOtherQuotes) {
            size_t n = strlen(q);
            if (to - from >= n && memcmp(p.text + from, q, n) == 0) {
                from += n;
                trimmed = true;
            }
            if (to - from >= n && memcmp(p.text + to - n, q, n) == 0) {
                to -= n;
                trimmed = true;
            }
        }
        if (from < to && p.text[from] == '"') {
            ++from;
            trimmed = true;
        }
        if (from < to && p.text[to - 1] == '"') {
            --to;
            trimmed = true;
        }
    }
    return Shown(p, from, to);
}

// --- keys in another letter case ----------------------------------------

const char* MissedEffect(const char* key) {
    if (strcmp(key, "baudrate") == 0) {
        return "no rate is read from it";
    }
    if (strcmp(key, "lcd") == 0) {
        return "no display starts here";
    }
    return strncmp(key, "cmd_", 4) == 0 ? "no display takes this command"
                                        : "this row is not read here";
}

// The setting from after its key: the whole line for a row, else up to the
// first blank after its value.
std::string SettingRest(const Places& p, size_t from, bool row) {
    size_t end = LineEnd(p, from);
    if (!row) {
        size_t at = SkipBlanks(p, from);
        at = at < end && p.text[at] == '=' ? SkipBlanks(p, at + 1) : at;
        while (at < end && !Blank(p.text[at])) {
            ++at;
        }
        end = at;
    }
    return Shown(p, from, end);
}

// True when key stands at at in another letter case; then, when it is
// written as a setting (blanks, then '=') outside the values and the
// owner's notes, warns.
bool CheckLetterCaseOf(const Places& p, size_t at, const char* key, bool row,
                       std::vector<Warning>* warnings) {
    size_t n = strlen(key);
    if (at + n > p.len || strncasecmp(p.text + at, key, n) != 0 ||
        strncmp(p.text + at, key, n) == 0) {
        return false;
    }
    size_t eq = SkipBlanks(p, at + n);
    if (eq < p.len && p.text[eq] == '=' && InsideValue(p, at) == nullptr && !InNote(p, at)) {
        std::string owners(p.text + at, n);
        Warn(p, warnings, at,
             "'%s' is not the key %s: marquell reads keys in lower case only, so %s; write %s%s",
             owners.c_str(), key, MissedEffect(key), key, SettingRest(p, at + n, row).c_str());
    }
    return true;
}

void CheckLetterCase(const Places& p, std::vector<Warning>* warnings) {
    const char* const kFileKeys[] = {"baudrate", "lcd"};
    for (size_t at = 0; at < p.len; ++at) {
        char c = p.text[at];
        bool starts = c == 'b' || c == 'B' || c == 'l' || c == 'L' || c == 'c' || c == 'C';
        if (!starts || (at > 0 && WordByte(p.text[at - 1]))) {
            continue;
        }
        bool found = false;
        for (const char* key : kFileKeys) {
            found = found || CheckLetterCaseOf(p, at, key, false, warnings);
        }
        for (const char* key : kCommandKeys) {
            found = found || CheckLetterCaseOf(p, at, key, false, warnings);
        }
        for (const char* key : kRowKeys) {
            found = found || CheckLetterCaseOf(p, at, key, true, warnings);
        }
    }
}

// --- row values without straight double quotes --------------------------

// Row r's key at key, whose value the reader took from the double quote at
// quote (kNowhere: there is none, and reading stopped at the key).
void CheckRowQuote(const Places& p, size_t key, int r, size_t quote,
                   std::vector<Warning>* warnings) {
    const char* name = kRowKeys[r];
    size_t eq = SkipBlanks(p, key + strlen(name));
    if (eq >= p.len || p.text[eq] != '=') {
        return;
    }
    size_t value = SkipBlanks(p, eq + 1);
    if (value == quote) {
        return;
    }
    size_t end = LineEnd(p, value);
    std::string fix = std::string(name) + "=\"" + BareValue(p, value, end) + "\"";
    std::string taken = quote == kNowhere
                            ? std::string("finds no double quote after it, so reading stops here")
                            : "takes the text after the next double quote (at " + Place(p, quote) +
                                  ") as its value";
    const char* other = OtherQuoteAt(p, value);
    if (other != nullptr && other[0] != '\'') {
        Warn(p, warnings, key,
             "%s's value opens with '%s', a typographic quote, which marquell does not take "
             "for a double quote: it %s; write %s",
             name, other, taken.c_str(), fix.c_str());
    } else if (value == end) {
        Warn(p, warnings, key, "%s has no value after its '=': marquell %s; write %s", name,
             taken.c_str(), fix.c_str());
    } else {
        Warn(p, warnings, key, "%s's value, %s, is not in double quotes: marquell %s; write %s",
             name, Shown(p, value, end).c_str(), taken.c_str(), fix.c_str());
    }
}

// A value that runs past the end of its line into "key=" on a later one: the
// owner's closing quote is missing (or is not a straight one), and the
// reader closed the value at the next setting's opening quote.
void CheckOpenValue(const Places& p, const RowPlaces& row, int r, std::vector<Warning>* warnings) {
    const void* nl = memchr(p.text + row.value, '\n', row.close - row.value);
    if (nl == nullptr) {
        return;
    }
    size_t first_end = static_cast<size_t>(static_cast<const char*>(nl) - p.text);
    size_t last_nl = row.close;
    while (p.text[last_nl - 1] != '\n') {
        --last_nl;
    }
    // The tail must be "name=" and blanks only.
    size_t at = SkipBlanks(p, last_nl);
    size_t name = at;
    while (at < row.close &&
           (isalnum(static_cast<unsigned char>(p.text[at])) || p.text[at] == '_')) {
        ++at;
    }
    size_t name_end = at;
    at = SkipBlanks(p, at);
    if (name_end == name || at >= row.close || p.text[at] != '=' ||
        SkipBlanks(p, at + 1) != row.close) {
        return;
    }
    size_t end = LineEnd(p, row.value);
    end = std::min(end, first_end);
    std::string why;
    for (size_t i = row.value; i < end; ++i) {
        const char* other = OtherQuoteAt(p, i);
        if (other != nullptr) {
            why = std::string(" (its '") + other + "' is not a straight double quote)";
        }
    }
    int line;
    int column;
    LineColumn(p, row.value, &line, &column);
    Warn(p, warnings, row.value - 1,
         "the %s value opened here is not closed on its line%s: marquell reads on to the "
         "double quote after '%s' at %s, so %s takes the line break and the text up to it; end "
         "line %d with a double quote: %s=\"%s\"",
         kRowKeys[r], why.c_str(), std::string(p.text + name, name_end - name).c_str(),
         Place(p, row.close).c_str(), kRowKeys[r], line, kRowKeys[r],
         BareValue(p, row.value, end).c_str());
}

void CheckQuotes(const Places& p, std::vector<Warning>* warnings) {
    const ReadRecord& rec = *p.record;
    for (size_t i = 0; i < rec.count; ++i) {
        const DisplayPlaces& d = rec.displays[i];
        for (int r = 0; r < d.rows_read; ++r) {
            CheckRowQuote(p, d.rows[r].key, r, d.rows[r].value - 1, warnings);
            CheckOpenValue(p, d.rows[r], r, warnings);
        }
    }
    if (rec.end == READ_NO_OPENING_QUOTE) {
        CheckRowQuote(p, rec.end_at, rec.end_row, kNowhere, warnings);
    }
}

// --- rows taken from the next display -----------------------------------

// An "lcd" written as a setting that starts a display in the owner's eyes:
// outside the values and notes, followed by blanks and '='.
bool MeantLcd(const Places& p, size_t at) {
    size_t eq = SkipBlanks(p, at + 3);
    return eq < p.len && p.text[eq] == '=' && InsideValue(p, at) == nullptr && !InNote(p, at);
}

// "line2 (10:1) and line3 (11:1)".
std::string RowList(const std::vector<int>& rows, const std::vector<std::string>& places) {
    std::string list;
    for (size_t k = 0; k < rows.size(); ++k) {
        list += k == 0 ? "" : k + 1 == rows.size() ? " and " : ", ";
        list += std::string(kRowKeys[rows[k]]) + " (" + places[k] + ")";
    }
    return list;
}

bool Served(const Places& p, size_t lcd) {
    long i = DisplayAround(p, lcd);
    return i >= 0 && p.record->displays[i].lcd == lcd;
}

// A display whose row keys stand past the next display's "lcd" took them
// from that display: its own are missing (or were not read).
void CheckTakenRows(const Places& p, std::vector<Warning>* warnings) {
    const ReadRecord& rec = *p.record;
    size_t next = kNowhere;
    for (size_t i = 0; i < rec.count; ++i) {
        const DisplayPlaces& d = rec.displays[i];
        // The displays' "lcd"s stand in file order, so the search only moves on.
        if (next == kNowhere || next <= d.lcd) {
            next = FindFrom(p, d.lcd + 1, "lcd");
            while (next != kNowhere && !MeantLcd(p, next)) {
                next = FindFrom(p, next + 1, "lcd");
            }
        }
        if (next == kNowhere) {
            return;
        }
        // A display the owner did not mean to start has warnings of its own.
        if (!MeantLcd(p, d.lcd)) {
            continue;
        }
        std::vector<int> taken;
        std::vector<std::string> where;
        for (int r = 0; r < d.rows_read; ++r) {
            if (d.rows[r].key > next) {
                taken.push_back(r);
                where.push_back(Place(p, d.rows[r].key));
            }
        }
        if (taken.empty()) {
            continue;
        }
        std::string fate = Served(p, next) ? "" : ", and that display is never served";
        std::string lcd = "lcd" + SettingRest(p, next + 3, false);
        Warn(p, warnings, d.lcd,
             "display %zu takes %s from the display of the %s at %s%s: give display %zu its own "
             "four rows before that lcd, each key in lower case and each value in double quotes",
             i + 1, RowList(taken, where).c_str(), lcd.c_str(), Place(p, next).c_str(),
             fate.c_str(), i + 1);
    }
}

}  // namespace

void CheckSlipRules(const Places& p, std::vector<Warning>* warnings) {
    CheckLetterCase(p, warnings);
    CheckQuotes(p, warnings);
    CheckTakenRows(p, warnings);
}
