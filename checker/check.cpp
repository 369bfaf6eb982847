// Every place comes from the reader's own record of where its searches
// landed, and every byte from marquell's own display sequence: the checker
// reads nothing a second way.
#include "check.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "capture.h"
#include "file_rules.h"
#include "places.h"
#include "protocol.h"
#include "row_rules.h"
#include "screens.h"
#include "slip_rules.h"

namespace {

// The reader's list, by value, with the bytes each display is sent; each
// record is freed once it is taken, so a large file does not hold its list
// twice. head is null on return.
void TakeDisplays(Entry** head, const Places& p, const Capture* cap, CheckResult* result) {
    result->displays.reserve(p.record->count);
    size_t i = 0;
    while (*head != nullptr) {
        Entry* e = *head;
        result->displays.emplace_back();
        DisplayCheck& d = result->displays.back();
        d.entry = *e;
        d.entry.next = nullptr;
        d.lcd_line = 0;
        d.lcd_column = 0;
        d.port_named = false;
        if (i < p.record->count) {
            LineColumn(p, p.record->displays[i].lcd, &d.lcd_line, &d.lcd_column);
            d.port_named = p.record->displays[i].lcd_scan == SCAN_READ;
        }
        d.bytes = CaptureSequence(cap, e);
        *head = e->next;
        free(e);
        ++i;
    }
}

}  // namespace

bool EarlierPlace(const Warning& a, const Warning& b) {
    return a.line != b.line ? a.line < b.line : a.column < b.column;
}

// Hundreds of thousands of warnings, which come in a few runs already in
// file order (one a rule): their places are sorted, then each warning is
// moved once into its place.
void SortByPlace(std::vector<Warning>* warnings) {
    std::vector<Warning>& w = *warnings;
    if (std::is_sorted(w.begin(), w.end(), EarlierPlace)) {
        return;
    }
    std::vector<size_t> order(w.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&w](size_t a, size_t b) { return EarlierPlace(w[a], w[b]); });
    std::vector<Warning> sorted;
    sorted.reserve(w.size());
    for (size_t i : order) {
        sorted.push_back(std::move(w[i]));
    }
    w.swap(sorted);
}

double WireSeconds(size_t bytes, int rate) {
    return rate > 0 ? static_cast<double>(bytes) * kBitsPerByte / rate : 0;
}

std::string PortStream(const CheckResult& result, int port) {
    std::string stream;
    for (const DisplayCheck& d : result.displays) {
        if (result.rate_ok && d.entry.LCD_number == port) {
            stream += d.bytes;
        }
    }
    return stream;
}

bool CheckFile(const char* path, int width, CheckResult* result) {
    *result = CheckResult();
    char* text = LoadFile(path);
    if (text == nullptr) {
        return false;
    }
    Capture cap;
    if (!CaptureOpen(&cap)) {
        free(text);
        return false;
    }
    ReadRecord record{};
    // The reader changes the text only while it runs and puts it back.
    Entry* head = ParseEntries(text, &record);
    bool ok = head != nullptr && !record.out_of_memory;
    if (ok) {
        result->rate = baudrate;
        result->rate_ok = FindRate(baudrate) != nullptr;
        Places places;
        PlacesInit(&places, text, strlen(text), &record);
        TakeDisplays(&head, places, &cap, result);
        CheckFileRules(places, result);
        CheckRowRules(places, &cap, width, &result->warnings);
        CheckSlipRules(places, &result->warnings);
        CheckScreens(places, width, result);
        SortByPlace(&result->warnings);
        SortByPlace(&result->notes);
    }
    FreeEntries(head);
    FreeReadRecord(&record);
    CaptureClose(&cap);
    free(text);
    return ok;
}
