// marquell-check on one small file per trap of the format: each warning must
// be given, at the place in the file where the trap stands.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "check.h"
#include "program_run.h"

namespace {

const char kRows[] = R"(line1="a" line2="b" line3="c" line4="d")";

struct Checked {
    bool readable = false;
    CheckResult result;
    std::string all;  // every warning as "line:column: text", one a line
};

Checked Check(const std::string& text, int width = 20) {
    WorkDir dir;
    dir.Write("marquell.ini", text);
    Checked c;
    c.readable = CheckFile((dir.path() + "/marquell.ini").c_str(), width, &c.result);
    for (const Warning& w : c.result.warnings) {
        c.all += std::to_string(w.line) + ":" + std::to_string(w.column) + ": " + w.text + "\n";
    }
    return c;
}

// True when a warning at line:column contains words.
bool Warned(const Checked& c, int line, int column, const std::string& words) {
    for (const Warning& w : c.result.warnings) {
        if (w.line == line && w.column == column && w.text.find(words) != std::string::npos) {
            return true;
        }
    }
    return false;
}

#define EXPECT_WARNING(c, line, column, words)                             \
    EXPECT_TRUE(Warned(c, line, column, words))                            \
        << "want " << line << ":" << column << ": " << words << "\ngot:\n" \
        << (c).all

TEST(CheckClean, TheExampleFileHasNoWarnings) {
    CheckResult r;
    ASSERT_TRUE(CheckFile(MARQUELL_EXAMPLE, 20, &r));
    EXPECT_TRUE(r.warnings.empty()) << r.warnings[0].text;
    ASSERT_EQ(2u, r.displays.size());
    EXPECT_EQ(1, r.displays[0].entry.LCD_number);
    EXPECT_EQ(2, r.displays[1].entry.LCD_number);
}

TEST(CheckClean, AMissingFileIsUnreadable) {
    CheckResult r;
    EXPECT_FALSE(CheckFile("/nonexistent/marquell.ini", 20, &r));
}

TEST(CheckDisplayStart, LcdInsideAWordStartsADisplayAndItsOwnLcdIsPassedOver) {
    Checked c = Check(std::string("baudrate=9600\n# lcdtest\nlcd=1 ") + kRows + "\n");
    EXPECT_WARNING(c, 2, 3, "\"lcd\" inside a word starts display 1 here, on /dev/ttyS0");
    EXPECT_WARNING(c, 3, 1, "is passed over");
    EXPECT_EQ(0, c.result.displays[0].entry.LCD_number);
}

TEST(CheckDisplayStart, LcdInsideALine4ValueStartsTheNextDisplayThere) {
    Checked c = Check(R"(baudrate=9600
lcd=1 line1="a" line2="b" line3="c" line4="see lcd=2"
line1="e" line2="" line3="" line4=""
)");
    EXPECT_WARNING(c, 2, 48, "\"lcd\" inside the line4 value of display 1 starts display 2");
    EXPECT_EQ(2u, c.result.displays.size());
}

TEST(CheckDisplayStart, BlanksBeforeTheEqualsSignOfLcdServePortZero) {
    Checked c = Check(std::string("baudrate=9600\n\nlcd = 1 ") + kRows);
    EXPECT_WARNING(c, 3, 1, "lcd has blanks before its '=': display 1 is served on /dev/ttyS0");
}

TEST(CheckDisplayStart, NoLcdAtAllServesOneEmptyDisplayOnPortZero) {
    Checked c = Check("baudrate=9600\n");
    EXPECT_WARNING(c, 1, 1, "no \"lcd\" in the file");
    ASSERT_EQ(1u, c.result.displays.size());
}

TEST(CheckDisplayStart, TwoDisplaysOnOnePortAreNamedWithTheFirstOnesPlace) {
    Checked c = Check(std::string("baudrate=9600\nlcd=3 ") + kRows + "\nlcd=3 " + kRows);
    EXPECT_WARNING(c, 3, 1, "display 2 is on /dev/ttyS3, as display 1 (at 2:1) is");
}

TEST(CheckPorts, ALaterDisplayLeavesTheCellsItDoesNotWriteAndTheContrastAsTheyWere) {
    Checked c = Check(R"(baudrate=9600
lcd=1 cmd_contrast=5 line1="Long" line2="" line3="" line4=""
lcd=1 line1="Hi" line2="" line3="" line4=""
)");
    EXPECT_WARNING(c, 3, 1,
                   "display 2 leaves 2 characters of earlier displays on /dev/ttyS1 showing "
                   "(line1 from display column 3)");
    ASSERT_EQ(2u, c.result.displays.size());
    const std::string& screen = c.result.displays[1].screen;
    EXPECT_NE(std::string::npos, screen.find("|Hing                | /dev/ttyS1\n")) << screen;
    EXPECT_NE(std::string::npos, screen.find("| contrast 5\n")) << screen;
}

TEST(CheckPorts, ACommandLeftOpenAtTheEndOfOneServingTakesTheNextServingsFirstByte) {
    Checked c = Check(
        "baudrate=9600\nlcd=1 line1=\"a\x0f\" line2=\"\" line3=\"\" line4=\"\"\n"
        "lcd=1 line1=\"b\" line2=\"\" line3=\"\" line4=\"\"\n");
    EXPECT_WARNING(c, 3, 1,
                   "display 2 on /dev/ttyS1 begins inside a command (byte 15) that display 1 "
                   "(at 2:1) left unfinished: it takes this display's first byte (20) as its own");
    EXPECT_NE(std::string::npos, c.result.displays[1].screen.find("| contrast 20\n"))
        << c.result.displays[1].screen;
}

TEST(CheckCommand, AKeyAfterTheClosingQuoteOfLine1IsTakenByNoDisplay) {
    Checked c = Check(R"(baudrate=9600
lcd=1
line1="a"
  cmd_contrast=60
line2="b" line3="c" line4="d"
)");
    EXPECT_WARNING(c, 4, 3,
                   "no display takes this cmd_contrast: it stands after the closing "
                   "quote of line1 of display 1 (at 3:9)");
    EXPECT_EQ(0, c.result.displays[0].entry.command);
}

TEST(CheckCommand, ALine1BeforeItsLcdTakesALaterDisplaysCommand) {
    Checked c = Check(R"(baudrate=9600
lcd=1 line1="a" line2="b" line3="c" line4="d"
line1="x"
lcd=2 line2="" line3="" line4=""
lcd=3 cmd_contrast=5 line1="z" line2="" line3="" line4=""
)");
    EXPECT_WARNING(c, 3, 1, "line1 of display 2 stands before its lcd (at 4:1)");
    EXPECT_WARNING(c, 5, 7, "display 2 (lcd at 4:1) takes this cmd_contrast from outside");
    EXPECT_EQ(2, c.result.displays[1].entry.command);
    EXPECT_FALSE(Warned(c, 5, 7, "no display takes")) << c.all;
}

TEST(CheckCommand, AttentionBesideContrastIsIgnored) {
    Checked c = Check("baudrate=9600\nlcd=1 cmd_attention=1 cmd_contrast=40 " + std::string(kRows));
    EXPECT_WARNING(c, 2, 7,
                   "this cmd_attention is ignored: display 1 also has cmd_contrast "
                   "(at 2:23)");
    EXPECT_FALSE(Warned(c, 2, 23, "")) << c.all;
}

TEST(CheckCommand, BlanksBeforeTheEqualsSignStillSendTheCommand) {
    Checked c = Check("baudrate=9600\nlcd=1 cmd_contrast = 60 " + std::string(kRows));
    EXPECT_WARNING(c, 2, 7,
                   "cmd_contrast has blanks before its '=': display 1 still gets the "
                   "contrast command, with level 0");
}

TEST(CheckCommand, AContrastOutside0To255IsNamedWithTheLevelSent) {
    Checked c = Check("baudrate=9600\nlcd=1 cmd_contrast=300 " + std::string(kRows) +
                      "\nlcd=2 cmd_contrast=-1 " + kRows + "\nlcd=3 cmd_contrast=255 " + kRows);
    EXPECT_WARNING(c, 2, 7, "cmd_contrast 300 is outside 0..255: display 1 gets contrast level 44");
    EXPECT_WARNING(c, 3, 7, "cmd_contrast -1 is outside 0..255: display 2 gets contrast level 255");
    EXPECT_EQ(2u, c.result.warnings.size()) << c.all;
}

// 21474836470 is INT_MAX with one more digit: it must not pass as INT_MAX.
TEST(CheckNumbers, ANumberThatDoesNotFitAnIntIsNamedWithWhatItReadsAs) {
    Checked c = Check("baudrate=4294986496\nlcd=21474836470 cmd_contrast=99999999999 " +
                      std::string(kRows) + "\nlcd=2 cmd_attention=-99999999999 " + kRows);
    EXPECT_WARNING(c, 1, 1,
                   "baudrate has a number that does not fit an int: it reads as rate 2147483647");
    EXPECT_WARNING(c, 2, 1,
                   "lcd has a number that does not fit an int: display 1 is served on "
                   "/dev/ttyS2147483647");
    EXPECT_WARNING(c, 2, 17,
                   "cmd_contrast has a number that does not fit an int: it reads as 2147483647, "
                   "and display 1 gets contrast level 255");
    EXPECT_WARNING(c, 3, 7,
                   "cmd_attention has a number that does not fit an int: it reads as -2147483648");
}

TEST(CheckRate, ARateOutsideTheTableOrMissingSendsNothing) {
    Checked c = Check("\n  baudrate=115200\nlcd=1 " + std::string(kRows));
    EXPECT_WARNING(c, 2, 3, "rate 115200 is not 1200, 2400, 4800, 9600 or 19200");
    EXPECT_FALSE(c.result.rate_ok);
    EXPECT_EQ("", PortStream(c.result, 1));
    Checked none = Check("lcd=1 " + std::string(kRows));
    EXPECT_WARNING(none, 1, 1, "no baudrate in the file");
    Checked blanks = Check("baudrate = 9600\nlcd=1 " + std::string(kRows));
    EXPECT_WARNING(blanks, 1, 1, "baudrate has blanks before its '=': it reads as rate 0");
}

TEST(CheckRate, ASecondBaudrateIsIgnored) {
    Checked c = Check("baudrate=9600\nlcd=1 " + std::string(kRows) + "\nbaudrate=1200\n");
    EXPECT_WARNING(c, 3, 1, "this baudrate is ignored: only the first one (at 1:1) counts");
    EXPECT_EQ(9600, c.result.rate);
}

TEST(CheckReading, AValueLongerThan255BytesIsCutWhereTheCutFalls) {
    std::string row(300, 'x');
    Checked c = Check("baudrate=9600\nlcd=1\nline1=\"" + row +
                      "\" line2=\"\" line3=\"\" "
                      "line4=\"\"");
    EXPECT_WARNING(c, 3, 263, "the line1 value is 300 bytes: marquell keeps the first 255");
}

TEST(CheckReading, AMissingKeyOrQuoteStopsReadingThere) {
    Checked open = Check("baudrate=9600\nlcd=1 line1=\"a\" line2=\"b\" line3=\"c\n");
    EXPECT_WARNING(open, 2, 33, "reading stops here: the line3 value opened here is never closed");
    Checked missing = Check("baudrate=9600\nlcd=1 line1=\"a\" line2=\"b\"\n");
    EXPECT_WARNING(missing, 2, 24, "reading stops here: no line3 key from here on; display 1");
    Checked quote = Check("baudrate=9600\nlcd=1 line1=\"a\" line2=\"b\" line3\n");
    EXPECT_WARNING(quote, 2, 27, "line3 has no opening quote");
    Checked last =
        Check("baudrate=9600\nlcd=1 line1=\"a\" line2=\"b\" line3=\"c\" line4=\"lcd=3\"\n");
    EXPECT_WARNING(last, 2, 44,
                   "reading stops here: no line1 key from here on; the display the \"lcd\" at 2:44 "
                   "begins is not served");
    EXPECT_EQ(1u, last.result.displays.size());
    EXPECT_EQ(1u, last.result.warnings.size()) << last.all;
}

// Each with the letter or sign to write instead where there is one.
TEST(CheckText, CharactersThatVanishOrChangeAreNamedWithTheirColumnsAndWhatToWrite) {
    Checked c = Check(
        "baudrate=9600\nlcd=1\nline1=\"caf\xC3\xA9 \xE2\x82\xAC"
        "5 \xC3\xBC! Stra\xC3\x9F"
        "e\" "
        "line2=\"wait\xE2\x80\xA6\" line3=\"\xC5se \xC5\xBB\xC3\xB3\xC5\x82w \xF0\x9F\x98\x80\" "
        "line4=\"Bl\xC3\xA5"
        "b\xC3\xA6r\"");
    EXPECT_WARNING(c, 3, 11,
                   "'\xC3\xA9' (U+00E9) in line1 vanishes on the display (display "
                   "column 4); write e instead");
    EXPECT_WARNING(c, 3, 13,
                   "'\xE2\x82\xAC' (U+20AC) in line1 vanishes on the display (display "
                   "column 5); write EUR instead");
    EXPECT_WARNING(c, 3, 16, "'\xC3\xBC' (U+00FC) in line1 vanishes");
    EXPECT_WARNING(c, 3, 23, "write ss instead");
    EXPECT_WARNING(c, 3, 38,
                   "'\xE2\x80\xA6' (U+2026) in line2 shows as '\xC3\xA6' on the "
                   "display (display column 5); write ... instead");
    EXPECT_WARNING(c, 3, 48, "byte 0xC5 in line3 is not UTF-8 and vanishes");
    EXPECT_WARNING(c, 3, 52, "(display column 4); write Z instead");
    EXPECT_WARNING(c, 3, 53, "write o instead");
    EXPECT_WARNING(c, 3, 54, "write l instead");
    EXPECT_WARNING(c, 3, 57, "(U+1F600) in line3 shows as '\xC3\x98' on the display");
    EXPECT_FALSE(Warned(c, 3, 57, "write")) << "nothing to suggest\n" << c.all;
    EXPECT_EQ(10u, c.result.warnings.size()) << "the six letters are no trap\n" << c.all;
}

TEST(CheckText, BytesThatAreNotUtf8AreNamedOneByOneWithWhatTheyShow) {
    // A lead byte no character has, a surrogate's and an overlong form's
    // bytes, and a lone second byte of one of the six letters.
    Checked c = Check(
        "baudrate=9600\nlcd=1 line1=\"\xF8\x88\x80\" line2=\"\xED\xA0\x80\" "
        "line3=\"\xE0\x80\x80\" line4=\"\xA5\"\n");
    EXPECT_WARNING(c, 2, 14, "byte 0xF8 in line1 is not UTF-8 and vanishes on the display");
    EXPECT_WARNING(c, 2, 15, "byte 0x88 in line1 is not UTF-8 and vanishes on the display");
    EXPECT_WARNING(c, 2, 24, "byte 0xED in line2 is not UTF-8");
    EXPECT_WARNING(c, 2, 34, "byte 0xE0 in line3 is not UTF-8");
    EXPECT_WARNING(c, 2, 44,
                   "byte 0xA5 in line4 is not UTF-8 and shows as '\xC3\xA5' on the display");
    EXPECT_EQ(std::string::npos, c.all.find("U+")) << c.all;
}

TEST(CheckText, WarningsComeInFileOrderAndThoseAtOnePlaceInTheOrderOfTheRules) {
    Checked c = Check(
        "baudrate=9600\nlcd=1 line1=\"\xC3\xA9\" line2=\"b\" line3=\"c\" line4=Bye\n"
        "LCD=2\n");
    ASSERT_EQ(4u, c.result.warnings.size()) << c.all;
    EXPECT_TRUE(std::is_sorted(c.result.warnings.begin(), c.result.warnings.end(), EarlierPlace))
        << c.all;
    // At line4: the reader's own stop first, then the slip that caused it.
    EXPECT_EQ(0u, c.result.warnings[1].text.find("reading stops here")) << c.all;
    EXPECT_EQ(0u, c.result.warnings[2].text.find("line4's value, Bye,")) << c.all;
}

TEST(CheckText, ControlBytesInARowAreCommandsToTheDisplay) {
    Checked c = Check(
        "baudrate=9600\nlcd=1\nline1=\"a\tb\" line2=\"two\nlines\" "
        "line3=\"x\x11y\" line4=\"\"");
    EXPECT_WARNING(c, 3, 9, "control byte 9 (tab) in line1");
    EXPECT_WARNING(c, 3, 23, "control byte 10 (line break) in line2");
    EXPECT_WARNING(c, 4, 16, "control byte 17 in line3 opens a position command");
}

TEST(CheckText, Byte127IsNamedOncePerRowAsATextByteWhoseLookIsTheDisplays) {
    Checked c =
        Check("baudrate=9600\nlcd=1 line1=\"a\x7f\x7f\" line2=\"\x7f\" line3=\"\" line4=\"\"");
    EXPECT_WARNING(c, 2, 15,
                   "byte 127 in line1 is sent as a text byte: what it shows depends on the "
                   "display's character set");
    EXPECT_WARNING(c, 2, 26, "byte 127 in line2");
    EXPECT_EQ(2u, c.result.warnings.size()) << c.all;
}

TEST(CheckText, ARowWiderThanTheDisplayIsCutAtTheFirstCharacterPastTheEdge) {
    std::string text =
        "baudrate=9600\nlcd=1\nline1=\"\xC3\xA6"
        "bcdefghijklmnopqrstu\" "
        "line2=\"\" line3=\"\" line4=\"\"";
    Checked c = Check(text);
    EXPECT_WARNING(c, 3, 28, "line1 shows 21 characters on a display 20 wide");
    Checked narrow = Check(text, 10);
    EXPECT_WARNING(narrow, 3, 18, "line1 shows 21 characters on a display 10 wide");
    Checked fits = Check(text, 21);
    EXPECT_TRUE(fits.result.warnings.empty()) << fits.all;
}

// Slips made when editing by hand: each is named where it was made, with
// the fix in the owner's words, though the reader's own warnings land
// elsewhere.
const char kShop[] = "lcd=1\nline1=\"Welcome\"\nline2=\"Open\"\nline3=\"\"\nline4=\"\"\n";
const char kHall[] = "lcd=2\nline1=\"Hall B\"\nline2=\"\"\nline3=\"\"\nline4=\"Doors\"\n";

TEST(CheckSlip, AKeyInAnotherLetterCaseIsNamedWhereItStands) {
    Checked lcd = Check("baudrate=9600\n" + std::string(kShop) + "LCD=2 line1=\"x\"\n");
    EXPECT_WARNING(lcd, 7, 1,
                   "'LCD' is not the key lcd: marquell reads keys in lower case only, so no "
                   "display starts here; write lcd=2");
    Checked cmd = Check("baudrate=9600\nlcd=1\ncmd_Contrast=60\n" + std::string(kShop).substr(6));
    EXPECT_WARNING(cmd, 3, 1, "'cmd_Contrast' is not the key cmd_contrast");
    EXPECT_WARNING(cmd, 3, 1, "write cmd_contrast=60");
    Checked row = Check("Baudrate=9600\nlcd=1\nLine1=\"x\" line2=\"\" line3=\"\" line4=\"\"\n");
    EXPECT_WARNING(row, 1, 1, "'Baudrate' is not the key baudrate");
    EXPECT_WARNING(row, 3, 1,
                   "'Line1' is not the key line1: marquell reads keys in lower case "
                   "only, so this row is not read here; write line1=\"x\"");
    // Notes and row texts may name keys in capitals.
    Checked notes = Check(
        "#   LCD=n starts a display\nbaudrate=9600\nlcd=1 line1=\"LCD=2\" line2=\"\" "
        "line3=\"\" line4=\"\"\n");
    EXPECT_TRUE(notes.result.warnings.empty()) << notes.all;
}

TEST(CheckSlip, ARowValueWithoutStraightDoubleQuotesIsNamedAtItsKeyWithTheFix) {
    Checked bare = Check(
        "baudrate=9600\nlcd=1\nline1=Hello there\nline2=\"b\" line3=\"c\" "
        "line4=\"d\"\n");
    EXPECT_WARNING(bare, 3, 1,
                   "line1's value, Hello there, is not in double quotes: marquell takes the text "
                   "after the next double quote (at 4:7) as its value; write "
                   "line1=\"Hello there\"");
    Checked curly = Check("baudrate=9600\n" + std::string(kShop) + "lcd=2\n" +
                          "line1=\u201CHall B\u201D\nline2=\"\" line3=\"\" line4=\"\"\n");
    EXPECT_WARNING(curly, 8, 1,
                   "line1's value opens with '\u201C', a typographic quote, which marquell does "
                   "not take for a double quote: it takes the text after the next double quote "
                   "(at 9:7) as its value; write line1=\"Hall B\"");
    Checked last = Check("baudrate=9600\nlcd=1 line1=\"a\" line2=\"b\" line3=\"c\" line4=Bye\n");
    EXPECT_WARNING(last, 2, 37, "reading stops here: line4 has no opening quote");
    EXPECT_WARNING(last, 2, 37,
                   "no double quote after it, so reading stops here; "
                   "write line4=\"Bye\"");
}

TEST(CheckSlip, AQuoteLeftOpenAtTheEndOfItsLineIsNamedAtItsOpeningQuote) {
    Checked c = Check(
        "baudrate=9600\nlcd=1\nline1=\"Welcome to the shop\nline2=\"Open\"\n"
        "line3=\"\" line4=\"\"\n");
    EXPECT_WARNING(c, 3, 7,
                   "the line1 value opened here is not closed on its line: marquell reads on to "
                   "the double quote after 'line2' at 4:7, so line1 takes the line break and the "
                   "text up to it; close it on line 3: write line1=\"Welcome to the shop\"");
    Checked curly = Check(
        "baudrate=9600\nlcd=1\nline1=\"Welcome\u201D\nline2=\"Open\"\n"
        "line3=\"\" line4=\"\"\n");
    EXPECT_WARNING(curly, 3, 7,
                   "not closed on its line (its '\u201D' is not a straight double "
                   "quote)");
    // A value that spans lines on purpose ends in text, not in a key.
    Checked spans = Check(
        "baudrate=9600\nlcd=1 line1=\"two\nlines\" line2=\"\" line3=\"\" "
        "line4=\"\"\n");
    EXPECT_FALSE(Warned(spans, 2, 13, "")) << spans.all;
}

TEST(CheckSlip, ADisplayShortOfRowsTakesTheNextDisplaysRowsWhichIsThenNeverServed) {
    Checked c = Check("baudrate=9600\nlcd=1\nline1=\"a\"\nline2=\"b\"\n" + std::string(kHall));
    EXPECT_WARNING(c, 2, 1,
                   "display 1 takes line3 (8:1) and line4 (9:1) from the display of the lcd=2 at "
                   "5:1, and that display is never served: give display 1 its own four rows");
    EXPECT_EQ(1u, c.result.displays.size());
    Checked whole = Check("baudrate=9600\n" + std::string(kShop) + kHall);
    EXPECT_TRUE(whole.result.warnings.empty()) << whole.all;
}

// Rows as a correct file writes them: padded, so no note either.
const char kPadded[] =
    "line1=\"Welcome to the shop \"\nline2=\"Open 9-18 Mon-Sat   \"\n"
    "line3=\"                    \"\nline4=\"                    \"\n";

// The owner's notes, from a '#' or ';' first on a line or between blanks to
// the line's end, are read as notes: nothing in one is a slip.
TEST(CheckNotes, ANoteAnywhereOnALineMakesNoSlip) {
    for (const std::string& text : {
             "baudrate=19200\nlcd=1   # LCD=1 is the shop window\n" + std::string(kPadded),
             "baudrate=19200\nlcd=1\ncmd_contrast=60  ; CMD_CONTRAST=60 is about half\n" +
                 std::string(kPadded),
             "\xEF\xBB\xBF# LCD=1 is the shop\nbaudrate=19200\nlcd=1\n" + std::string(kPadded),
             "\xEF\xBB\xBFlcd=1\n" + std::string(kPadded) + "baudrate=19200\n",
             // An lcd in a note that the reader passes over starts nothing.
             "baudrate=19200\nlcd=1\n" + std::string(kPadded).substr(0, 86) + "  # not lcd=9" +
                 std::string(kPadded).substr(86),
             // A command after line1 or a second rate, in a note, is not a setting.
             "baudrate=19200\nlcd=1\n" + std::string(kPadded) + "# cmd_contrast=60 was too dark\n" +
                 "; baudrate=9600 for the old signs\n",
             // An lcd in a closing note begins a display that is never served.
             "baudrate=19200\nlcd=1\n" + std::string(kPadded) + "# lcd=3 is the hall\n",
         }) {
        Checked c = Check(text);
        EXPECT_EQ("", c.all) << text;
        EXPECT_TRUE(c.result.notes.empty()) << c.result.notes[0].text << "\n" << text;
        ASSERT_EQ(1u, c.result.displays.size()) << text;
        EXPECT_EQ(1, c.result.displays[0].entry.LCD_number) << text;
    }
    Checked bom = Check("\xEF\xBB\xBFlcd=1 LCD=2\n");
    EXPECT_WARNING(bom, 1, 7, "'LCD' is not the key lcd");  // columns after the mark
    Checked text =
        Check("baudrate=19200\nlcd=1 line1=\"Shop #1 LCD=2\" line2=\"\" line3=\"\" line4=\"\"\n");
    EXPECT_FALSE(Warned(text, 2, 1, "")) << text.all;
    Checked before = Check("baudrate=19200\nLCD=2   # the hall\n");
    EXPECT_WARNING(before, 2, 1,
                   "'LCD' is not the key lcd: marquell reads keys in lower case only, "
                   "so no display starts here; write lcd=2");
}

TEST(CheckNotes, KeysTheReaderTakesFromANoteAreNamed) {
    Checked cmd = Check("baudrate=19200\nlcd=1   # cmd_contrast=60 later\n" + std::string(kPadded));
    EXPECT_WARNING(cmd, 2, 11,
                   "display 1 (lcd at 2:1) takes this cmd_contrast in a note: marquell reads keys "
                   "in notes too");
    EXPECT_EQ(COMMAND_CONTRAST, cmd.result.displays[0].entry.command);
    Checked lcd =
        Check("baudrate=19200\nlcd=1\n" + std::string(kPadded) + "# lcd=3 is spare\n" + kPadded);
    EXPECT_WARNING(lcd, 7, 3, "this \"lcd\" in a note starts display 2 here, on /dev/ttyS3");
}

TEST(CheckSlip, ARowValueOnALaterLineIsReadAsMarquellReadsIt) {
    Checked next = Check("baudrate=19200\nlcd=1\nline1=\n\"Welcome to the shop \"\n" +
                         std::string(kPadded).substr(29));
    EXPECT_EQ("", next.all);
    EXPECT_NE(std::string::npos, next.result.displays[0].screen.find("|Welcome to the shop |"))
        << next.result.displays[0].screen;
    Checked note =
        Check("baudrate=19200\nlcd=1\nline1=   # the top row\n   \"Welcome to the shop \"\n" +
              std::string(kPadded).substr(29));
    EXPECT_EQ("", note.all);
    Checked bare =
        Check("baudrate=19200\nlcd=1\nline1=\nWelcome\n" + std::string(kPadded).substr(29));
    EXPECT_WARNING(bare, 3, 1, "line1's value, Welcome, is not in double quotes");
    EXPECT_WARNING(bare, 3, 1, "write line1=\"Welcome\"");
    Checked none = Check("baudrate=19200\nlcd=1\nline1=\n" + std::string(kPadded).substr(29));
    EXPECT_WARNING(none, 3, 1,
                   "line1 has no value after its '=': marquell takes the text after "
                   "the next double quote (at 4:7) as its value; write line1=\"\"");
}

// Advice leads to the fix: the setting or letter to write, or the link a
// port needs.
TEST(CheckAdvice, ADevicesNameForLcdLeadsToItsLinkOrItsNumber) {
    Checked usb = Check("baudrate=19200\nlcd=/dev/ttyUSB0\n" + std::string(kPadded) + "lcd=40\n" +
                        kPadded + "lcd=ttyUSB1\n" + kPadded);
    EXPECT_WARNING(usb, 2, 1,
                   "lcd takes the n of /dev/ttyS<n>, not a device's name, so display 1 is served "
                   "on /dev/ttyS0; marquell opens only /dev/ttyS<n>: give /dev/ttyUSB0 a link "
                   "/dev/ttyS41 with a udev rule "
                   "(/usr/share/doc/marquell/README.md#a-display-on-a-usb-serial-adapter) and "
                   "write lcd=41");
    EXPECT_WARNING(usb, 12, 1, "give ttyUSB1 a link /dev/ttyS42");
    Checked board = Check("baudrate=19200\nlcd=/dev/ttyAMA0\n" + std::string(kPadded));
    EXPECT_WARNING(board, 2, 1,
                   "a link /dev/ttyS50 with a udev rule "
                   "(/usr/share/doc/marquell/README.md#on-a-raspberry-pi)");
    Checked uart = Check("baudrate=19200\nlcd=/dev/ttyS2\n" + std::string(kPadded));
    EXPECT_WARNING(uart, 2, 1, "so display 1 is served on /dev/ttyS0; write lcd=2");
}

TEST(CheckAdvice, BlanksBeforeTheEqualsSignNameTheSettingAsItShouldBe) {
    Checked c = Check("baudrate = 9600\nlcd = 1\ncmd_contrast =\t60\n" + std::string(kPadded) +
                      "LCD = 2\n");
    EXPECT_WARNING(c, 1, 1,
                   "baudrate has blanks before its '=': it reads as rate 0; write "
                   "baudrate=9600");
    EXPECT_WARNING(c, 2, 1,
                   "lcd has blanks before its '=': display 1 is served on /dev/ttyS0; "
                   "write lcd=1");
    EXPECT_WARNING(c, 3, 1, "with level 0; write cmd_contrast=60");
    EXPECT_WARNING(c, 8, 1, "write lcd=2");
}

// What a sign showed before the run is not in the file: rows that leave
// cells unwritten get a note, which does not fail the check.
TEST(CheckNote, RowsShorterThanTheDisplayGetOneNoteAndFullRowsNone) {
    Checked c = Check("baudrate=9600\n" + std::string(kShop));
    EXPECT_TRUE(c.result.warnings.empty()) << c.all;
    ASSERT_EQ(1u, c.result.notes.size());
    EXPECT_EQ(2, c.result.notes[0].line);
    EXPECT_EQ(
        "display 1 does not write every cell (line1 from display column 8, line2 from display "
        "column 5, line3 from display column 1, line4 from display column 1): what an earlier "
        "paint left there stays, as the set-up bytes clear nothing; pad its rows with blanks to 20 "
        "characters to clear it",
        c.result.notes[0].text);
    std::string full(20, 'x');
    Checked padded = Check("baudrate=9600\nlcd=1 line1=\"" + full + "\" line2=\"" + full +
                           "\" line3=\"" + full + "\" line4=\"" + full + "\"\n");
    EXPECT_TRUE(padded.result.notes.empty()) << padded.result.notes[0].text;
    Checked narrow = Check(
        "baudrate=9600\nlcd=1 line1=\"abcd\" line2=\"abcd\" line3=\"abcd\" "
        "line4=\"abcd\"\n",
        4);
    EXPECT_TRUE(narrow.result.notes.empty()) << narrow.result.notes[0].text;
}

// The program itself: its status, its options and its report.
struct CheckRun {
    int status;
    std::string out;
};

CheckRun RunCheck(const std::string& args, const std::string& ini) {
    WorkDir dir;
    if (!ini.empty()) {
        dir.Write("marquell.ini", ini);
    }
    // 2>&1 first, so args may close descriptors.
    std::string cmd = "cd '" + dir.path() + "' && '" MARQUELL_CHECK_BIN "' 2>&1 " + args;
    FILE* p = popen(cmd.c_str(), "r");
    CheckRun run{-1, ""};
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0) {
        run.out.append(buf, got);
    }
    int status = pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const char kClean[] =
    "baudrate=1200\nlcd=1 cmd_attention=1 line1=\"Hall\" line2=\"\" line3=\"\" "
    "line4=\"\"\n";

TEST(CheckProgram, StatusIsZeroCleanOneWithWarningsTwoUnreadable) {
    EXPECT_EQ(0, RunCheck("", kClean).status);
    EXPECT_EQ(1, RunCheck("", "baudrate=1200\nlcd=1 " + std::string(kRows) + " lcdx").status);
    EXPECT_EQ(1, RunCheck("", kClean + std::string("LCD=2 ") + kRows).status);
    CheckRun missing = RunCheck("", "");
    EXPECT_EQ(2, missing.status);
    EXPECT_NE(std::string::npos, missing.out.find("cannot read marquell.ini")) << missing.out;
    EXPECT_EQ(2, RunCheck("--width 0", kClean).status);
    EXPECT_EQ(2, RunCheck("--frobnicate", kClean).status);
}

TEST(CheckProgram, ClosedStandardDescriptorsAreNotTakenForTheFileOrTheCapture) {
    CheckRun in = RunCheck("<&-", kClean);
    EXPECT_EQ(0, in.status) << in.out;
    EXPECT_NE(std::string::npos, in.out.find("no warnings\n")) << in.out;
    EXPECT_EQ(0, RunCheck("<&- >&- 2>&-", kClean).status);
    EXPECT_EQ(1, RunCheck("<&- >&- 2>&-", kClean + std::string("lcdx")).status);
}

TEST(CheckProgram, QuietPrintsNothingAndKeepsTheStatus) {
    CheckRun run = RunCheck("--quiet", "baudrate=7\nlcd=1 " + std::string(kRows));
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", RunCheck("--quiet", "").out);
}

TEST(CheckProgram, TheReportGivesPortRateCommandBytesWireTimeAndScreen) {
    CheckRun run = RunCheck("marquell.ini", kClean);
    EXPECT_NE(std::string::npos, run.out.find("  port     /dev/ttyS1\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("  rate     1200 baud\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("  command  attention pulse\n")) << run.out;
    EXPECT_NE(std::string::npos,
              run.out.find("  bytes    10018, 91.83 s on the wire at 1200 baud (the attention "
                           "pulse alone: 10000 bytes, 91.7 s)\n"))
        << run.out;
    EXPECT_NE(std::string::npos, run.out.find("|Hall                | /dev/ttyS1\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("no warnings\n")) << run.out;
}

TEST(CheckProgram, WarningsNameTheFileLineAndColumn) {
    CheckRun run = RunCheck("--width 3",
                            "baudrate=9600\nlcd=1 line1=\"abcd\" line2=\"\" line3=\"\" line4=\"\"");
    EXPECT_NE(std::string::npos,
              run.out.find("marquell.ini:2:17: warning: line1 shows 4 characters on a display "
                           "3 wide"))
        << run.out;
    EXPECT_NE(std::string::npos, run.out.find("|abc> /dev/ttyS1")) << run.out;
}

TEST(CheckProgram, NotesArePrintedInFileOrderAndLeaveTheStatusClean) {
    CheckRun run = RunCheck("", kClean);
    EXPECT_EQ(0, run.status);
    EXPECT_NE(std::string::npos,
              run.out.find("marquell.ini:2:1: note: display 1 does not write every cell"))
        << run.out;
    EXPECT_NE(std::string::npos, run.out.find("no warnings\n")) << run.out;
}

TEST(CheckProgram, BytesReceivedOnSimulatedPortsLeaveThisMachinesPortsOutOfIt) {
    // No machine has a ttyS77 of its own kernel or link.
    const std::string ini = "baudrate=9600\nlcd=77 line1=\"a\" line2=\"\" line3=\"\" line4=\"\"\n";
    const std::string missing = "note: /dev/ttyS77 is not on this machine";
    CheckRun here = RunCheck("", ini);
    EXPECT_NE(std::string::npos, here.out.find(missing)) << here.out;
    CheckRun simulated = RunCheck("--received .", ini);
    EXPECT_EQ(std::string::npos, simulated.out.find(missing)) << simulated.out;
    EXPECT_NE(std::string::npos, simulated.out.find("nothing was kept for ttyS77"))
        << simulated.out;
}

TEST(CheckProgram, HelpNamesEveryOption) {
    CheckRun run = RunCheck("--help", "");
    EXPECT_EQ(0, run.status);
    for (const char* option : {"--width N", "--quiet", "--received DIR", "Exit status"}) {
        EXPECT_NE(std::string::npos, run.out.find(option)) << option;
    }
}

}  // namespace
