// The reader finds a key only in lower case and a value only between two
// straight double quotes, wherever they stand. A slip in either therefore
// shows up far from where it was made: the next quote or key in the file is
// taken instead, often the next display's. These rules point back at the
// slip itself and give its fix built from what the owner wrote. A note is
// the owner's own text: nothing in one is a slip.
#include "slip_rules.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace {

// How much of an owner's line a warning repeats where it is not the fix.
const size_t kShown = 40;

// Quotes a phone or a word processor puts in, which the reader does not take
// for a double quote.
const char* const kOtherQuotes[] = {"\u201C", "\u201D", "\u201E", "\u201F", "\u2018", "\u2019",
                                    "\u201A", "\u00AB", "\u00BB", "\u2033", "'"};

bool White(char c) {
    return Blank(c) || c == '\r' || c == '\n';
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

// The owner's value [from, to) without the quotes of any kind around it,
// whole, as a fix writes it between straight double quotes: one inside it
// would end the value there, so it becomes a single quote.
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
    std::string value(p.text + from, to - from);
    std::replace(value.begin(), value.end(), '"', '\'');
    return value;
}

// The setting of a row, as a fix writes it.
std::string RowSetting(int r, const std::string& value) {
    return std::string(kRowKeys[r]) + "=\"" + value + "\"";
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

// The setting whose key, written in another letter case, stands at at with
// its '=' at eq: the key in lower case, '=', and the owner's value (a row's
// up to its closing quote on the line, a number's up to the first blank).
Fix SettingFix(const Places& p, size_t at, size_t eq, const char* key, bool row) {
    size_t end = SettingEnd(p, at);
    size_t from = SkipBlanks(p, eq + 1);
    size_t to = from;
    if (row && from < end && p.text[from] == '"') {
        const void* close = memchr(p.text + from + 1, '"', end - from - 1);
        to = close != nullptr ? static_cast<size_t>(static_cast<const char*>(close) - p.text) + 1
                              : end;
    } else {
        while (to < end && (row || !Blank(p.text[to]))) {
            ++to;
        }
    }
    return Fix{at, to, std::string(key) + "=" + std::string(p.text + from, to - from)};
}

// Warns when the text at at is key in another letter case, written as a
// setting (blanks, then '=') outside the owner's notes.
void CheckLetterCaseOf(const Places& p, size_t at, const char* key, bool row,
                       std::vector<Warning>* warnings) {
    size_t n = strlen(key);
    size_t eq = SkipBlanks(p, at + n);
    if (eq >= p.len || p.text[eq] != '=' || InNote(p, at)) {
        return;
    }
    // Blanks before the '=' go too: the fix is the setting as it should be.
    Fix fix = SettingFix(p, at, eq, key, row);
    std::string owners(p.text + at, n);
    WarnFix(p, warnings, at, fix,
            "'%s' is not the key %s: marquell reads keys in lower case only, so %s; write %s",
            owners.c_str(), key, MissedEffect(key), fix.text.c_str());
}

// The keys that start with the letter first, and whether they are row keys.
struct KeyGroup {
    char first;
    const char* keys[5];
    bool row[5];
};

const KeyGroup kKeyGroups[] = {
    {'b', {"baudrate"}, {false}},
    {'c', {kCommandKeys[0], kCommandKeys[1]}, {false, false}},
    {'l',
     {"lcd", kRowKeys[0], kRowKeys[1], kRowKeys[2], kRowKeys[3]},
     {false, true, true, true, true}},
};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

// The key that the text at at spells in any letter case, or null.
const char* KeyAt(const Places& p, size_t at, bool* row) {
    char c = Lower(p.text[at]);
    for (const KeyGroup& g : kKeyGroups) {
        if (g.first != c) {
            continue;
        }
        for (int k = 0; k < 5 && g.keys[k] != nullptr; ++k) {
            const char* key = g.keys[k];
            size_t i = 1;
            while (key[i] != '\0' && at + i < p.len && Lower(p.text[at + i]) == key[i]) {
                ++i;
            }
            if (key[i] == '\0') {
                *row = g.row[k];
                return key;
            }
        }
    }
    return nullptr;
}

// Every word outside the values that is a key in another letter case. Most
// words are not keys at all, and most keys are written right: both are
// passed over after a byte or two.
void CheckLetterCase(const Places& p, std::vector<Warning>* warnings) {
    auto value = p.values.begin();
    size_t at = p.start;
    while (at < p.len) {
        // The text up to the next value, then past its closing quote.
        size_t end = value != p.values.end() ? value->begin : p.len;
        for (; at < end; ++at) {
            char c = p.text[at];
            if ((c != 'l' && c != 'c' && c != 'b' && c != 'L' && c != 'C' && c != 'B') ||
                WordBefore(p, at)) {
                continue;
            }
            bool row = false;
            const char* key = KeyAt(p, at, &row);
            if (key != nullptr && memcmp(p.text + at, key, strlen(key)) != 0) {
                CheckLetterCaseOf(p, at, key, row, warnings);
            }
        }
        if (value != p.values.end()) {
            at = value->close + 1;
            ++value;
        }
    }
}

// --- row values without straight double quotes --------------------------

// The first byte after end that is not white space nor in a note; kNowhere
// at the end of the text.
size_t NextText(const Places& p, size_t end) {
    for (size_t at = end; at < p.len; ++at) {
        if (InNote(p, at)) {
            const void* nl = memchr(p.text + at, '\n', p.len - at);
            if (nl == nullptr) {
                return kNowhere;
            }
            at = static_cast<size_t>(static_cast<const char*>(nl) - p.text);
        } else if (!White(p.text[at])) {
            return at;
        }
    }
    return kNowhere;
}

// True when a setting ("name=", blanks allowed before the '=') starts at at.
bool StartsSetting(const Places& p, size_t at) {
    size_t end = at;
    while (end < p.len &&
           (isalnum(static_cast<unsigned char>(p.text[end])) || p.text[end] == '_')) {
        ++end;
    }
    end = SkipBlanks(p, end);
    return end > at && end < p.len && p.text[end] == '=';
}

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
    if (value == quote || InNote(p, key)) {
        return;
    }
    size_t end = SettingEnd(p, value);
    if (value == end) {
        // Nothing after the '=' on its line: the value may stand on a later
        // line, as the reader takes it. Any other text there that starts no
        // setting is the owner's value without its quotes.
        size_t next = NextText(p, end);
        if (next != kNowhere && next == quote) {
            return;
        }
        if (next != kNowhere && !StartsSetting(p, next)) {
            value = next;
            end = SettingEnd(p, next);
        }
    }
    std::string taken = quote == kNowhere
                            ? std::string("finds no double quote after it, so reading stops here")
                            : "takes the text after the next double quote (at " + Place(p, quote) +
                                  ") as its value";
    if (value == end) {
        Fix fix{key, end, RowSetting(r, "")};
        WarnFix(p, warnings, key, fix, "%s has no value after its '=': marquell %s; write %s", name,
                taken.c_str(), fix.text.c_str());
        return;
    }
    Fix fix{key, end, RowSetting(r, BareValue(p, value, end))};
    const char* other = OtherQuoteAt(p, value);
    if (other != nullptr && other[0] != '\'') {
        WarnFix(p, warnings, key, fix,
                "%s's value opens with '%s', a typographic quote, which marquell does not take "
                "for a double quote: it %s; write %s",
                name, other, taken.c_str(), fix.text.c_str());
    } else {
        WarnFix(p, warnings, key, fix,
                "%s's value, %s, is not in double quotes: marquell %s; write %s", name,
                Shown(p, value, end).c_str(), taken.c_str(), fix.text.c_str());
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
    // Its own line ends where the first line break inside it stands; the
    // blanks before it were typed inside the quote.
    size_t end = first_end;
    while (end > row.value && p.text[end - 1] == '\r') {
        --end;
    }
    std::string why;
    for (size_t i = row.value; i < end; ++i) {
        const char* other = OtherQuoteAt(p, i);
        if (other != nullptr) {
            why = std::string(" (its '") + other + "' is not a straight double quote)";
        }
    }
    std::string bare = BareValue(p, row.value, end);
    // The key on the same line is written over with the quote; a key on an
    // earlier line keeps its place.
    int key_line;
    int quote_line;
    int column;
    LineColumn(p, row.key, &key_line, &column);
    LineColumn(p, row.value, &quote_line, &column);
    Fix fix = key_line == quote_line ? Fix{row.key, end, RowSetting(r, bare)}
                                     : Fix{row.value - 1, end, "\"" + bare + "\""};
    WarnFix(p, warnings, row.value - 1, fix,
            "the %s value opened here is not closed on its line%s: marquell reads on to the "
            "double quote after '%s' at %s, so %s takes the line break and the text up to it; "
            "close it on line %d: write %s",
            kRowKeys[r], why.c_str(), std::string(p.text + name, name_end - name).c_str(),
            Place(p, row.close).c_str(), kRowKeys[r], quote_line, fix.text.c_str());
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
    return eq < p.len && p.text[eq] == '=' && !InNote(p, at) && InsideValue(p, at) == nullptr;
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

// "lcd=2": the owner's setting at at, up to the first blank after its value.
std::string LcdSetting(const Places& p, size_t at) {
    size_t end = SettingEnd(p, at);
    size_t to = SkipBlanks(p, at + 3);
    to = to < end && p.text[to] == '=' ? SkipBlanks(p, to + 1) : to;
    while (to < end && !Blank(p.text[to])) {
        ++to;
    }
    return Shown(p, at, to);
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
        if (d.rows_read == 0 || d.rows[d.rows_read - 1].key < next || !MeantLcd(p, d.lcd)) {
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
        std::string fate = Served(p, next) ? "" : ", and that display is never served";
        Warn(p, warnings, d.lcd,
             "display %zu takes %s from the display of the %s at %s%s: give display %zu its own "
             "four rows before that lcd, each key in lower case and each value in double quotes",
             i + 1, RowList(taken, where).c_str(), LcdSetting(p, next).c_str(),
             Place(p, next).c_str(), fate.c_str(), i + 1);
    }
}

}  // namespace

void CheckSlipRules(const Places& p, std::vector<Warning>* warnings) {
    CheckLetterCase(p, warnings);
    CheckQuotes(p, warnings);
    CheckTakenRows(p, warnings);
}
