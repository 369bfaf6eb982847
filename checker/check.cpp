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

// The reader's list, by value, with the bytes each display is sent.
void TakeDisplays(const Entry* head, const Places& p, const Capture* cap, CheckResult* result) {
    result->displays.reserve(p.record->count);
    size_t i = 0;
    for (const Entry* e = head; e != nullptr; e = e->next, ++i) {
        DisplayCheck d;
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
        result->displays.push_back(std::move(d));
    }
}

}  // namespace

bool EarlierPlace(const Warning& a, const Warning& b) {
    return a.line != b.line ? a.line < b.line : a.column < b.column;
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
        TakeDisplays(head, places, &cap, result);
        CheckFileRules(places, result);
        CheckRowRules(places, &cap, width, &result->warnings);
        CheckSlipRules(places, &result->warnings);
        CheckScreens(places, width, result);
        std::stable_sort(result->warnings.begin(), result->warnings.end(), EarlierPlace);
        std::stable_sort(result->notes.begin(), result->notes.end(), EarlierPlace);
    }
    FreeEntries(head);
    FreeReadRecord(&record);
    CaptureClose(&cap);
    free(text);
    return ok;
}
