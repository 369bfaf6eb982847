// For generated display list files full of the format's traps, the screens
// marquell-check predicts must be the screens decoded from the bytes the real
// program sends to simulated ports.
#include <gtest/gtest.h>

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
        int displays = Number(1, 3);
        for (int i = 0; i < displays; ++i) {
            file += Display();
        }
        return file;
    }
};

std::string Screen(const std::string& bytes, DisplayModel* m) {
    ModelInit(m, MODEL_DEFAULT_WIDTH);
    ModelFeed(m, bytes.data(), bytes.size());
    return ModelRender(m, "");
}

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
    for (int port : {1, 2}) {
        std::string want = PortStream(predicted, port);
        DisplayModel from_check;
        DisplayModel from_wire;
        std::string want_screen = Screen(want, &from_check);
        std::string got_screen = Screen(run.ports[port], &from_wire);
        EXPECT_TRUE(ModelSameScreen(&from_check, &from_wire)) << "port " << port << "\npredicted:\n"
                                                              << want_screen << "received:\n"
                                                              << got_screen << "file:\n"
                                                              << ini;
        EXPECT_EQ(want.size(), run.ports[port].size()) << "port " << port << "\n" << ini;
        EXPECT_TRUE(want == run.ports[port]) << "port " << port << ": other bytes\n" << ini;
    }
}

INSTANTIATE_TEST_SUITE_P(GeneratedFiles, PredictedScreens, testing::Range(0, kFiles));

}  // namespace
