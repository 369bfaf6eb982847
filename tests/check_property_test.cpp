// For generated display list files full of the format's traps, with several
// displays on each port, every display's screen as marquell-check predicts it
// must be the screen decoded from the bytes the real program sent its port up
// to the end of that display's serving.
//
// And every fix marquell-check names works: applied, it clears its slip, and
// a file with an owner's slips, once fixed, is read as the file the owner
// meant, by the checker and by the real program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "display_model.h"
#include "program_run.h"
#include "support.h"

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

    // A file as the owner meant it, and the same file with slips made in
    // typing it: keys in another letter case, blanks before an '=', a row
    // value without its quotes.
    struct Pair {
        std::string meant;
        std::string slipped;
        void Add(const std::string& both) { Add(both, both); }
        void Add(const std::string& m, const std::string& s) {
            meant += m;
            slipped += s;
        }
    };

    // A command; taken, when it stands before line1, so that blanks before
    // its '=' are a slip (after line1 no display takes it anyway).
    void Command(Pair* f, bool taken) {
        if (OneIn(10)) {
            f->Add("cmd_attention=1 ");
        } else if (OneIn(2)) {
            std::string n = std::to_string(Number(-300, 300));
            f->Add("cmd_contrast=" + n + " ", OneIn(6)            ? "cmd_Contrast=" + n + " "
                                              : taken && OneIn(6) ? "cmd_contrast =" + n + " "
                                                                  : "cmd_contrast=" + n + " ");
        }
    }

    // A value a slip may leave without its quotes: words and blanks inside.
    static bool Plain(const std::string& v) {
        return !v.empty() && v.front() != ' ' && v.back() != ' ' &&
               std::all_of(v.begin(), v.end(), [](char c) { return isalnum(c) || c == ' '; });
    }

    void Display(Pair* f) {
        Pair d;
        if (OneIn(8)) {
            d.Add("# lcdtest\n");
        }
        std::string port = std::to_string(Number(1, 2));
        if (OneIn(8)) {
            d.Add("lcd = 1\n");
        } else {
            d.Add("lcd=" + port + "\n", OneIn(6) ? "LCD=" + port + "\n" : "lcd=" + port + "\n");
        }
        Command(&d, true);
        bool line1_first = OneIn(10);
        for (int r = 1; r <= 4; ++r) {
            if (r == 4 && OneIn(15)) {
                break;  // reading stops here
            }
            std::string value = OneIn(12)  ? std::string(260, 'L')
                                : OneIn(4) ? "Open 9 to 6"
                                           : Text(30);
            if (r == 4 && OneIn(10)) {
                value += " lcd=2 ";
            }
            if (r == 1 && OneIn(5)) {
                value += "\x11\x0f\x1e"[Number(0, 2)];  // left open for the next display
            }
            std::string key = "line" + std::to_string(r);
            std::string meant = key;
            meant += "=\"" + value + "\"\n";
            std::string bare = key;
            bare += "=" + value + "\n";
            std::string slipped = OneIn(8)                   ? "L" + meant.substr(1)
                                  : Plain(value) && OneIn(3) ? bare
                                                             : meant;
            d.Add(meant, slipped);
            if (r == 1) {
                Command(&d, false);
            }
        }
        if (line1_first) {
            f->Add("line1=\"early\"\n");
        }
        f->Add(d.meant, d.slipped);
    }

    Pair File() {
        static const int rates[] = {1200, 2400, 4800, 9600, 19200};
        Pair f;
        if (OneIn(10)) {
            f.Add("baudrate = 9600\n");
        } else {
            std::string rate = std::to_string(rates[Number(0, 4)]);
            f.Add("baudrate=" + rate + "\n",
                  OneIn(8) ? "Baudrate=" + rate + "\n" : "baudrate=" + rate + "\n");
        }
        int displays = Number(2, 6);
        for (int i = 0; i < displays; ++i) {
            Display(&f);
        }
        return f;
    }
};

class PredictedScreens : public testing::TestWithParam<int> {};

TEST_P(PredictedScreens, EqualTheScreensDecodedFromTheProgramsBytes) {
    Generator gen(static_cast<unsigned>(GetParam()) * 7919u + 1u);
    std::string ini = gen.File().slipped;
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

// --- every fix it names works --------------------------------------------

CheckResult CheckText(const std::string& text) {
    WorkDir dir;
    dir.Write("marquell.ini", text);
    CheckResult r;
    EXPECT_TRUE(CheckFile((dir.path() + "/marquell.ini").c_str(), MODEL_DEFAULT_WIDTH, &r));
    return r;
}

std::string Listed(const CheckResult& r) {
    std::string all;
    for (const Warning& w : r.warnings) {
        all += std::to_string(w.line) + ":" + std::to_string(w.column) + ": " + w.text + "\n";
    }
    return all;
}

// Each warning that tells the owner what to write carries that fix, and the
// text names it as it is applied.
void ExpectFixesCarried(const CheckResult& r, const std::string& text) {
    for (const Warning& w : r.warnings) {
        bool says = w.text.find("write ") != std::string::npos;
        EXPECT_EQ(says, !w.fix.text.empty()) << w.text << "\n" << text;
        if (!w.fix.text.empty()) {
            EXPECT_NE(std::string::npos, w.text.find("write " + w.fix.text)) << w.text;
            EXPECT_LE(w.fix.from, w.fix.to);
            EXPECT_LE(w.fix.to, text.size());
        }
    }
}

std::string Apply(std::string text, const Fix& fix) {
    return text.replace(fix.from, fix.to - fix.from, fix.text);
}

// Every fix of one round, from the end of the file back so that the places
// of the others hold; a fix that overlaps one already applied waits for the
// next round.
std::string ApplyAll(std::string text, const CheckResult& r) {
    std::vector<Fix> fixes;
    for (const Warning& w : r.warnings) {
        if (!w.fix.text.empty()) {
            fixes.push_back(w.fix);
        }
    }
    std::sort(fixes.begin(), fixes.end(),
              [](const Fix& a, const Fix& b) { return a.from > b.from; });
    size_t limit = text.size();
    for (const Fix& f : fixes) {
        if (f.to <= limit) {
            text = Apply(text, f);
            limit = f.from;
        }
    }
    return text;
}

// What an owner does: apply what the check names, check again, until it
// names nothing more (a fix may bring a slip it hid into view).
std::string FixedFully(std::string text) {
    for (int round = 0; round < 6; ++round) {
        CheckResult r = CheckText(text);
        ExpectFixesCarried(r, text);
        std::string next = ApplyAll(text, r);
        if (next == text) {
            return text;
        }
        text = next;
    }
    ADD_FAILURE() << "fixes keep coming:\n" << text;
    return text;
}

// Applied alone, a fix clears the warning that named it: no warning at that
// place names it again.
void ExpectEachFixClearsItsSlip(const std::string& text) {
    CheckResult r = CheckText(text);
    ExpectFixesCarried(r, text);
    for (const Warning& w : r.warnings) {
        if (w.fix.text.empty()) {
            continue;
        }
        std::string fixed = Apply(text, w.fix);
        CheckResult after = CheckText(fixed);
        for (const Warning& a : after.warnings) {
            EXPECT_FALSE(
                a.line == w.line && a.column == w.column &&
                (a.text == w.text || (a.fix.text == w.fix.text && a.fix.from == w.fix.from)))
                << "still there after the fix: " << w.text << "\nfile:\n"
                << fixed << "\nwarnings:\n"
                << Listed(after);
        }
    }
}

// What marquell reads from a file and sends: the rate, and every display's
// port, command, rows and bytes.
std::string Reading(const CheckResult& r) {
    std::string reading = "rate " + std::to_string(r.rate) + "\n";
    for (const DisplayCheck& d : r.displays) {
        const Entry& e = d.entry;
        reading += "port " + std::to_string(e.LCD_number) + ", command " +
                   std::to_string(e.command) + " " + std::to_string(e.command_param) + ", rows [" +
                   e.line1 + "][" + e.line2 + "][" + e.line3 + "][" + e.line4 + "]\n" + d.screen;
    }
    return reading;
}

class NamedFixes : public testing::TestWithParam<int> {};

// The generator makes each file twice, as meant and with slips: fixed, both
// are read alike. (Not always to the same text: a fix may also mend text
// that marquell reads in the one and never reaches in the other.)
TEST_P(NamedFixes, MakeAFileWithSlipsReadAsTheFileTheOwnerMeant) {
    Generator gen(static_cast<unsigned>(GetParam()) * 104729u + 7u);
    Generator::Pair f = gen.File();
    ExpectEachFixClearsItsSlip(f.slipped);
    EXPECT_EQ(Reading(CheckText(FixedFully(f.meant))), Reading(CheckText(FixedFully(f.slipped))))
        << "slipped:\n"
        << f.slipped << "\nmeant:\n"
        << f.meant;
}

INSTANTIATE_TEST_SUITE_P(GeneratedFiles, NamedFixes, testing::Range(0, 3 * kFiles));

TEST(NamedFixesOnTheCorpus, EachClearsItsSlip) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(MARQUELL_READER_CORPUS)) {
        std::string text = ReadFile(entry.path().string());
        ExpectEachFixClearsItsSlip(text.substr(0, text.find('\0')));
        ++files;
    }
    EXPECT_GT(files, 10) << "the corpus was not found";
}

// The owners' slips of the last round, each with the file meant: fixed as
// the check says, each file passes and the real program sends every port
// the bytes of the file meant.
struct Slip {
    const char* what;
    std::string slipped;
    std::string meant;
};

const char kRows[] =
    "line1=\"Welcome to the shop \"\nline2=\"Open 9-18 Mon-Sat   \"\n"
    "line3=\"                    \"\nline4=\"                    \"\n";
std::vector<Slip> Slips() {
    const std::string kShop = "baudrate=19200\nlcd=1\n";
    const std::string rows = kRows;
    const std::string rows2to4 = rows.substr(rows.find("line2"));
    return {
        {"a key in capitals", "baudrate=19200\nLCD=1\n" + rows, kShop + rows},
        {"a command in another case", kShop + "cmd_Contrast=60\n" + rows,
         kShop + "cmd_contrast=60\n" + rows},
        {"a row key in another case", kShop + "Line1=\"Welcome to the shop \"\n" + rows2to4,
         kShop + rows},
        {"the rate key in another case", "Baudrate=19200\nlcd=1\n" + rows, kShop + rows},
        {"a key in capitals with blanks", "baudrate=19200\nLCD = 1\n" + rows, kShop + rows},
        {"blanks before an =", "baudrate = 19200\nlcd = 1\ncmd_contrast =\t60\n" + rows,
         kShop + "cmd_contrast=60\n" + rows},
        {"a value without quotes", kShop + "line1=Welcome to the shop\n" + rows2to4,
         kShop + "line1=\"Welcome to the shop\"\n" + rows2to4},
        {"a value without quotes, and a note", kShop + "line1=Welcome   # the top row\n" + rows2to4,
         kShop + "line1=\"Welcome\"   # the top row\n" + rows2to4},
        {"a value without quotes on the next line", kShop + "line1=\nWelcome\n" + rows2to4,
         kShop + "line1=\"Welcome\"\n" + rows2to4},
        {"typographic quotes", kShop + "line1=\u201CWelcome to the shop \u201D\n" + rows2to4,
         kShop + rows},
        {"a quote left open", kShop + "line1=\"Welcome to the shop \n" + rows2to4, kShop + rows},
        {"a typographic closing quote", kShop + "line1=\"Welcome to the shop \u201D\n" + rows2to4,
         kShop + rows},
        {"an empty value without quotes", kShop + rows.substr(0, rows.find("line4")) + "line4=\n",
         kShop + rows.substr(0, rows.find("line4")) + "line4=\"\"\n"},
        {"a row left empty", kShop + "line1=\n" + rows2to4, kShop + "line1=\"\"\n" + rows2to4},
        {"the last row without quotes", kShop + rows.substr(0, rows.find("line4")) + "line4=Bye\n",
         kShop + rows.substr(0, rows.find("line4")) + "line4=\"Bye\"\n"},
        {"an accented letter",
         kShop +
             "line1=\"Caf\xC3\xA9 Stra\xC3\x9F"
             "e        \"\n" +
             rows2to4,
         kShop + "line1=\"Cafe Strasse        \"\n" + rows2to4},
        {"a typographic ellipsis and dash",
         kShop +
             "line1=\"Wait\xE2\x80\xA6 9\xE2\x80\x93"
             "18\"\n" +
             rows2to4,
         kShop + "line1=\"Wait... 9-18\"\n" + rows2to4},
        {"an adapter's device", "baudrate=19200\nlcd=/dev/ttyUSB0\n" + rows,
         "baudrate=19200\nlcd=40\n" + rows},
        {"a UART's device", "baudrate=19200\nlcd=/dev/ttyS2\n" + rows,
         "baudrate=19200\nlcd=2\n" + rows},
        {"two slips in two displays",
         "baudrate=19200\nLCD=1\n" + rows + "lcd=/dev/ttyACM0\n" + rows,
         kShop + rows + "lcd=40\n" + rows},
    };
}

std::set<int> Ports(const CheckResult& r) {
    std::set<int> ports;
    for (const DisplayCheck& d : r.displays) {
        ports.insert(d.entry.LCD_number);
    }
    return ports;
}

TEST(NamedFixesOnSlips, GiveTheFileMeantWhichPassesAndSendsTheBytesMeant) {
    for (const Slip& slip : Slips()) {
        SCOPED_TRACE(slip.what);
        CheckResult slipped = CheckText(slip.slipped);
        ASSERT_FALSE(slipped.warnings.empty()) << "no slip named in\n" << slip.slipped;
        ExpectEachFixClearsItsSlip(slip.slipped);
        std::string fixed = FixedFully(slip.slipped);
        CheckResult r = CheckText(fixed);
        EXPECT_EQ("", Listed(r)) << fixed;
        EXPECT_EQ(slip.meant, fixed);
        CheckResult meant = CheckText(slip.meant);
        ASSERT_EQ(meant.displays.size(), r.displays.size()) << fixed;
        for (size_t i = 0; i < r.displays.size(); ++i) {
            EXPECT_EQ(meant.displays[i].screen, r.displays[i].screen) << "display " << i + 1;
        }
        std::vector<std::string> ports;
        for (int port : Ports(meant)) {
            ports.push_back(std::to_string(port));
        }
        RunResult want = RunWith(slip.meant, ports);
        RunResult got = RunWith(fixed, ports);
        REQUIRE_NAMESPACE(got);
        for (int port : Ports(meant)) {
            EXPECT_FALSE(got.ports[port].empty()) << "port " << port;
            EXPECT_TRUE(want.ports[port] == got.ports[port]) << "port " << port;
        }
    }
}

}  // namespace
