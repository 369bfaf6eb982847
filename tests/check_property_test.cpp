// For generated display list files full of the format's traps, with several
// displays on each port, every display's screen as marquell-check predicts it
// must be the screen decoded from the bytes the real program sent its port up
// to the end of that display's serving.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "check.h"
#include "display_model.h"
#include "program_run.h"

namespace {

const int kFiles = 24;

struct Generator {
    std::mt19937 rng;
    explicit Generator(unsigned seed) : rng(seed) {}

    int Number(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
    bool OneIn(int n) { return Number(1, n) == 1; }

    // Plain letters, the six glyph letters, characters that vanish or change,
    // control bytes, and bytes that are not UTF-8.
    std::string Text(int most) {
        static const char* const pieces[] = {"a",        "Z",
                                             " ",        "7",
                                             ",",        "-",
                                             "\xC3\x85", "\xC3\x86",
                                             "\xC3\x98", "\xC3\xA5",
                                             "\xC3\xA6", "\xC3\xB8",
                                             "\xC3\xA9", "\xE2\x82\xAC",
                                             "\xC3\xBC", "\xE2\x80\xA6",
                                             "\t",       "\n",
                                             "\x11",     "\x0e",
                                             "\x1e",     "\xC5",
                                             "~",        "\x7f"};
        std::string text;
        int n = Number(0, most);
        for (int i = 0; i < n; ++i) {
            text += pieces[Number(0, sizeof pieces / sizeof pieces[0] - 1)];
        }
        return text;
    }

    std::string Command() {
        if (OneIn(10)) {
            return "cmd_attention=1 ";
        }
        return OneIn(2) ? "cmd_contrast=" + std::to_string(Number(-300, 300)) + " " : "";
    }

    std::string Display() {
        std::string d;
        if (OneIn(8)) {
            d += "# lcdtest\n";
        }
        d += OneIn(8) ? "lcd = 1\n" : "lcd=" + std::to_string(Number(1, 2)) + "\n";
        d += Command();
        bool line1_first = OneIn(10);
        for (int r = 1; r <= 4; ++r) {
            if (r == 4 && OneIn(15)) {
                break;  // reading stops here
            }
            std::string value = OneIn(12) ? std::string(260, 'L') : Text(30);
            if (r == 4 && OneIn(10)) {
                value += " lcd=2 ";
            }
            if (r == 1 && OneIn(5)) {
                value += "\x11\x0f\x1e"[Number(0, 2)];  // left open for the next display
            }
            d += "line" + std::to_string(r) + "=\"" + value + "\"\n";
            if (r == 1) {
                d += Command();
            }
        }
        return line1_first ? "line1=\"early\"\n" + d : d;
    }

    std::string File() {
        static const int rates[] = {1200, 2400, 4800, 9600, 19200};
        std::string file = OneIn(10) ? "baudrate = 9600\n"
                                     : "baudrate=" + std::to_string(rates[Number(0, 4)]) + "\n";
        int displays = Number(2, 6);
        for (int i = 0; i < displays; ++i) {
            file += Display();
        }
        return file;
    }
};

class PredictedScreens : public testing::TestWithParam<int> {};

TEST_P(PredictedScreens, EqualTheScreensDecodedFromTheProgramsBytes) {
    Generator gen(static_cast<unsigned>(GetParam()) * 7919u + 1u);
    std::string ini = gen.File();
    WorkDir dir;
    dir.Write("marquell.ini", ini);
    CheckResult predicted;
    ASSERT_TRUE(CheckFile((dir.path() + "/marquell.ini").c_str(), MODEL_DEFAULT_WIDTH, &predicted));

    RunResult run = RunWith(ini, {"1", "2"});
    REQUIRE_NAMESPACE(run);
    ASSERT_EQ(0, run.status) << run.out;
    if (!predicted.rate_ok) {
        EXPECT_EQ("", run.ports[1] + run.ports[2]) << ini;
        return;
    }
    std::map<int, size_t> served;  // bytes each port has had so far
    for (size_t i = 0; i < predicted.displays.size(); ++i) {
        const DisplayCheck& d = predicted.displays[i];
        int port = d.entry.LCD_number;
        if (port != 1 && port != 2) {
            continue;  // not simulated: the program cannot open it
        }
        const std::string& got = run.ports[port];
        served[port] += d.bytes.size();
        ASSERT_LE(served[port], got.size()) << "display " << i + 1 << "\n" << ini;
        EXPECT_EQ(ModelScreen(got.substr(0, served[port]), MODEL_DEFAULT_WIDTH,
                              ("/dev/ttyS" + std::to_string(port)).c_str()),
                  d.screen)
            << "display " << i + 1 << "\nfile:\n"
            << ini;
    }
    for (int port : {1, 2}) {
        EXPECT_TRUE(PortStream(predicted, port) == run.ports[port])
            << "port " << port << ": other bytes\n"
            << ini;
    }
}

INSTANTIATE_TEST_SUITE_P(GeneratedFiles, PredictedScreens, testing::Range(0, kFiles));

}  // namespace
