// What the console report and a display's wire bytes should be, for the
// tests of the port, the display model and the whole program.
#ifndef MARQUELL_TESTS_REPORT_EXPECT_H
#define MARQUELL_TESTS_REPORT_EXPECT_H

#include <initializer_list>
#include <string>

namespace expect {

const char kHead[] = "Loading Entries...\r\n";
const char kLoop[] = "Starting traversing of loop\r\n";
const char kDone[] = "Done.\n\n";
const char kFailed[] = "SendByte() failed\n";
const char kOpenFailed[] = "Serial_Init:: Open() failed\n";
const char kNotTerminal[] = "Serial_Init:: tcgetattr() failed\n";
// The report of a run whose file could not be read at all.
const char kBare[] = "Loading Entries...\r\nStarting traversing of loop\r\nDone.\n\n";

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s += static_cast<char>(v);
    }
    return s;
}

inline std::string Rate(int rate) {
    return "Baudrate = " + std::to_string(rate) + "\r\n";
}

inline std::string BadRate(int rate) {
    return "Serial_Init:: Invalid baud rate: " + std::to_string(rate) +
           " (must be 1200, 2400, 4800, 9600, or 19200)\n";
}

// The report of one display that was opened and served.
inline std::string Opened(int port, int rate, const std::string& r0, const std::string& r1,
                          const std::string& r2, const std::string& r3) {
    std::string dev = "/dev/ttyS" + std::to_string(port);
    return "### init serial : " + dev + "\r\nSerial_Init:: success\n\"" + dev + "\" opened at \"" +
           std::to_string(rate) + "\" baud.\n\nlcd = " + std::to_string(port) +
           "\r\n----------------------\r\n|" + r0 + "|\r\n|" + r1 + "|\r\n|" + r2 + "|\r\n|" + r3 +
           "|\r\n----------------------\r\n### uninit serial\r\n";
}

// The report of one display whose port failed with the given Serial_Init line.
inline std::string NotOpened(int port, int rate, const std::string& why) {
    std::string dev = "/dev/ttyS" + std::to_string(port);
    return "### init serial : " + dev + "\r\n" + why + "Could not open port \"" + dev + "\" at \"" +
           std::to_string(rate) + "\" baud.\n";
}

// Set-up, then each row bottom-up behind its position command.
inline std::string Rows(const std::string& r0, const std::string& r1, const std::string& r2,
                        const std::string& r3) {
    return Bytes({20, 24, 17, 0, 3}) + r3 + Bytes({17, 0, 2}) + r2 + Bytes({17, 0, 1}) + r1 +
           Bytes({17, 0, 0}) + r0;
}

inline std::string Display(int port, const std::string& r0, const std::string& r1 = "",
                           const std::string& r2 = "", const std::string& r3 = "") {
    return "lcd=" + std::to_string(port) + " line1=\"" + r0 + "\" line2=\"" + r1 + "\" line3=\"" +
           r2 + "\" line4=\"" + r3 + "\"\n";
}

// The pulse as the display sees it: two rises and falls, then a rise. A rise
// holds each level 0..99 for ten steps; a fall starts at 100 for one step,
// holds 99..1 ten steps each and ends with nine steps at 0.
inline std::string Pulse() {
    std::string levels;
    auto rise = [&] {
        for (int level = 0; level <= 99; ++level) {
            levels += std::string(10, static_cast<char>(level));
        }
    };
    auto fall = [&] {
        levels += static_cast<char>(100);
        for (int level = 99; level >= 1; --level) {
            levels += std::string(10, static_cast<char>(level));
        }
        levels += std::string(9, '\0');
    };
    rise();
    fall();
    rise();
    fall();
    rise();
    std::string wire;
    for (char level : levels) {
        wire += static_cast<char>(14);
        wire += level;
    }
    return wire;
}

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace expect

#endif
