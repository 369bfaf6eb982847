// The display list reader: where each search starts decides which key belongs
// to which display, and real files depend on every one of those quirks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "entries.h"

namespace {

struct Parsed {
    int rate = 0;
    std::vector<Entry> entries;
};

// Parses a copy of text and keeps the records by value.
Parsed Parse(const std::string& text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    baudrate = -12345;
    Parsed result;
    Entry* head = ParseEntries(buf.data());
    for (Entry* e = head; e != nullptr; e = e->next) {
        result.entries.push_back(*e);
    }
    FreeEntries(head);
    result.rate = baudrate;
    EXPECT_EQ(text, std::string(buf.data(), text.size())) << "the text was not restored";
    return result;
}

std::string Display(int port,
                    const std::string& rows = R"(line1="a" line2="b" line3="c" line4="d")") {
    return "lcd=" + std::to_string(port) + "\n" + rows + "\n";
}

class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/marquell-entries-XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
        close(fd);
        path_ = name;
    }
    ~TempFile() { unlink(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

TEST(RateScan, TakesOnlyTheFirstBaudrateAndNeedsTheEqualsSignRightAfterIt) {
    EXPECT_EQ(9600, Parse("baudrate=9600 baudrate=19200").rate);
    EXPECT_EQ(0, Parse("baudrate = 9600 baudrate=19200").rate);
    EXPECT_EQ(0, Parse("mybaudrate: fast, baudrate=19200").rate);
    EXPECT_EQ(0, Parse("no rate here").rate);
    EXPECT_EQ(4800, Parse("baudrate=\n\t +4800x").rate);
    EXPECT_EQ(19200, Parse("baudrate=+019200").rate) << "decimal, never octal";
    EXPECT_EQ(-1200, Parse("baudrate=-1200").rate);
    EXPECT_EQ(0, Parse("baudrate=+").rate);
    EXPECT_EQ(0, Parse("baudrate=0x10").rate);
}

TEST(RateScan, NumbersBeyondTheIntRangeSaturateInsteadOfWrapping) {
    EXPECT_EQ(INT_MAX, Parse("baudrate=2147483648").rate);
    EXPECT_EQ(INT_MAX, Parse("baudrate=999999999999999999999999999999").rate);
    EXPECT_EQ(INT_MIN, Parse("baudrate=-2147483648").rate);
    EXPECT_EQ(INT_MIN, Parse("baudrate=-999999999999999999999999999999").rate);
    EXPECT_EQ(INT_MAX, Parse("lcd=2147483647").entries[0].LCD_number);
}

TEST(PortScan, ReadsThePortAndGivesZeroWhenTheKeyDoesNotScan) {
    EXPECT_EQ(3, Parse(Display(3)).entries[0].LCD_number);
    EXPECT_EQ(0, Parse("lcd = 1\n"
                       R"(line1="a" line2="b" line3="c" line4="d")")
                     .entries[0]
                     .LCD_number);
    EXPECT_EQ(0, Parse("lcd=x\n"
                       R"(line1="a" line2="b" line3="c" line4="d")")
                     .entries[0]
                     .LCD_number);
}

TEST(PortScan, AFileWithoutLcdStillYieldsOneEmptyDisplayOnPortZero) {
    for (const char* text : {"", "baudrate=9600\nline1=\"ignored\"\n"}) {
        Parsed p = Parse(text);
        ASSERT_EQ(1u, p.entries.size()) << text;
        const Entry& e = p.entries[0];
        EXPECT_EQ(0, e.LCD_number);
        EXPECT_EQ(0, e.command);
        EXPECT_STREQ("", e.line1);
        EXPECT_STREQ("", e.line4);
        EXPECT_EQ(nullptr, e.next);
    }
    EXPECT_EQ(0, Parse("").rate);
}

TEST(Displays, AreListedInFileOrderWithTheirRows) {
    Parsed p = Parse("baudrate=19200\n" +
                     Display(4, R"(line1="top" line2="" line3="x y" line4="bottom")") + Display(2));
    ASSERT_EQ(2u, p.entries.size());
    EXPECT_EQ(4, p.entries[0].LCD_number);
    EXPECT_STREQ("top", p.entries[0].line1);
    EXPECT_STREQ("", p.entries[0].line2);
    EXPECT_STREQ("x y", p.entries[0].line3);
    EXPECT_STREQ("bottom", p.entries[0].line4);
    EXPECT_EQ(2, p.entries[1].LCD_number);
}

TEST(Displays, AValueMaySpanLinesAndTheKeyNeedsNoEqualsSign) {
    Parsed p = Parse("lcd=1 line1 \"two\nlines\" line2\"\" line3: \"c\" line4=\"d\"");
    EXPECT_STREQ("two\nlines", p.entries[0].line1);
    EXPECT_STREQ("c", p.entries[0].line3);
}

TEST(Displays, LcdInsideAWordStartsADisplayThereAndItsOwnPortIsPassedOver) {
    Parsed p = Parse(
        "# lcdtest\nlcd=5\n"
        R"(line1="a" line2="b" line3="c" line4="d")");
    ASSERT_EQ(1u, p.entries.size());
    EXPECT_EQ(0, p.entries[0].LCD_number);
}

TEST(Displays, LcdInsideALine4ValueStartsTheNextDisplay) {
    Parsed p = Parse(Display(1, R"(line1="a" line2="b" line3="c" line4="see lcd=7")") +
                     R"(line1="e" line2="f" line3="g" line4="h")");
    ASSERT_EQ(2u, p.entries.size());
    EXPECT_STREQ("see lcd=7", p.entries[0].line4);
    EXPECT_EQ(7, p.entries[1].LCD_number);
    EXPECT_STREQ("e", p.entries[1].line1);
}

TEST(Displays, TheNextRowKeyIsSearchedFromTheFirstByteOfThePreviousValue) {
    Parsed p = Parse(R"(lcd=1 line1="see line2 "x" line2="b" line3="c" line4="d")");
    EXPECT_STREQ("see line2 ", p.entries[0].line1);
    EXPECT_STREQ("x", p.entries[0].line2);
}

TEST(Commands, CountFromLcdToTheEndOfTheLine1ValueOnly) {
    EXPECT_EQ(2, Parse(Display(1, R"(cmd_contrast=60 line1="a" line2="b" line3="c" line4="d")"))
                     .entries[0]
                     .command);
    Parsed inside = Parse(Display(1, R"(line1="a cmd_attention=1" line2="b" line3="c" line4="d")"));
    EXPECT_EQ(1, inside.entries[0].command);
    Parsed after = Parse(Display(1, R"(line1="a" cmd_contrast=60 line2="b" line3="c" line4="d")") +
                         Display(2));
    EXPECT_EQ(0, after.entries[0].command) << "taken after line1's closing quote";
    EXPECT_EQ(0, after.entries[1].command) << "taken before the display's own lcd";
}

TEST(Commands, ContrastWinsOverAttentionAndKeepsItsNumber) {
    for (const char* rows :
         {R"(cmd_attention=1 cmd_contrast=40 line1="a" line2="" line3="" line4="")",
          R"(cmd_contrast=40 cmd_attention=1 line1="a" line2="" line3="" line4="")"}) {
        Parsed p = Parse(Display(1, rows));
        EXPECT_EQ(2, p.entries[0].command) << rows;
        EXPECT_EQ(40, p.entries[0].command_param) << rows;
    }
}

TEST(Commands, AreSelectedEvenWhenTheirNumberDoesNotScan) {
    Parsed p = Parse(
        Display(1, R"(cmd_attention=1 cmd_contrast = 9 line1="" line2="" line3="" line4="")"));
    EXPECT_EQ(2, p.entries[0].command);
    EXPECT_EQ(1, p.entries[0].command_param);
}

TEST(Commands, Line1BeforeItsLcdLetsTheDisplayTakeALaterDisplaysCommand) {
    Parsed p = Parse(Display(1) +
                     R"(line1="early" lcd=2 line2="" line3="" line4="")"
                     "\n" +
                     Display(3, R"(cmd_contrast=77 line1="" line2="" line3="" line4="")"));
    ASSERT_EQ(3u, p.entries.size());
    EXPECT_STREQ("early", p.entries[1].line1);
    EXPECT_EQ(2, p.entries[1].command);
    EXPECT_EQ(77, p.entries[1].command_param);
    EXPECT_EQ(2, p.entries[2].command);
}

// Such searches reuse the last one's answer while it still holds; a stale
// answer would hand display 5 the command it searched past.
TEST(Commands, SearchesToTheEndTakeTheNextLaterCommandAndNoneOnceItIsBehindThem) {
    Parsed p = Parse(Display(1) +
                     R"(line1="p" line2="" line3="" lcd=2 line4="")"
                     "\n"
                     R"(line1="q" line2="" line3="" lcd=3 line4="")"
                     "\n" +
                     Display(4, R"(cmd_contrast=77 line1="" line2="" line3="" line4="")") +
                     R"(line1="r" line2="" line3="" lcd=5 line4="")");
    ASSERT_EQ(5u, p.entries.size());
    for (int i : {1, 2, 3}) {
        EXPECT_EQ(2, p.entries[i].command) << "display " << i + 1;
        EXPECT_EQ(77, p.entries[i].command_param) << "display " << i + 1;
    }
    EXPECT_STREQ("r", p.entries[4].line1);
    EXPECT_EQ(0, p.entries[4].command);
}

TEST(MissingKeys, StopTheReadingAndKeepWhatWasRead) {
    Parsed p = Parse(Display(1) + R"(lcd=2 cmd_contrast=5 line1="x" line2="y" line4="z")");
    ASSERT_EQ(2u, p.entries.size());
    EXPECT_EQ(2, p.entries[1].LCD_number);
    EXPECT_STREQ("x", p.entries[1].line1);
    EXPECT_STREQ("y", p.entries[1].line2);
    EXPECT_STREQ("", p.entries[1].line3);
    EXPECT_EQ(2, p.entries[1].command);
}

// Only the first display is kept without a line1: a file must give one.
TEST(MissingKeys, ADisplayWithoutALine1ValueIsLeftOutUnlessItIsTheFirst) {
    for (const char* rows : {R"(cmd_contrast=5 line1="never closed)",
                             "cmd_contrast=5 line1 no quote", "cmd_contrast=5"}) {
        Parsed later = Parse(Display(1) + "lcd=2 " + rows);
        ASSERT_EQ(1u, later.entries.size()) << rows;
        EXPECT_EQ(nullptr, later.entries[0].next) << rows;
        Parsed first = Parse(std::string("lcd=2 ") + rows);
        ASSERT_EQ(1u, first.entries.size()) << rows;
        EXPECT_EQ(2, first.entries[0].LCD_number) << rows;
        EXPECT_EQ(0, first.entries[0].command) << rows;
        EXPECT_STREQ("", first.entries[0].line1) << rows;
    }
    Parsed note = Parse(Display(1, R"(line1="a" line2="b" line3="c" line4="the lcd desk")") +
                        "# lcd numbers are the ttyS ports\n");
    EXPECT_EQ(1u, note.entries.size());
}

TEST(LongValues, AreCutTo255BytesAndTheNextSearchStartsInsideThem) {
    std::string big(300, 'x');
    big.replace(280, 5, "line2");
    Parsed p = Parse("lcd=1 line1=\"" + big + "\" \"second\" line3=\"c\" line4=\"d\"");
    EXPECT_EQ(std::string(255, 'x'), p.entries[0].line1);
    EXPECT_STREQ(" ", p.entries[0].line2) << "line2 is found inside line1's value";
}

TEST(LoadFile, TheTextEndsAtTheFirstNul) {
    const char raw[] = "lcd=1 line1=\"a\0b\" line2=\"\" line3=\"\" line4=\"\"";
    TempFile file(std::string(raw, sizeof raw - 1));
    char* text = LoadFile(file.path());
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("lcd=1 line1=\"a", text);
    free(text);
}

TEST(LoadFile, ReadsAPipeToItsEndAndRefusesADirectory) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::string text(20000, 'q');
    pid_t writer = fork();
    if (writer == 0) {
        close(fds[0]);
        (void)!write(fds[1], text.data(), text.size());
        _exit(0);
    }
    close(fds[1]);
    char* got = LoadFile(("/proc/self/fd/" + std::to_string(fds[0])).c_str());
    close(fds[0]);
    waitpid(writer, nullptr, 0);
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(text, got);
    free(got);
    EXPECT_EQ(nullptr, LoadFile("/tmp"));
    EXPECT_EQ(nullptr, LoadFile("/nonexistent/marquell.ini"));
}

TEST(LoadEntries, PrintsTheRateLineOnlyWhenTheFileWasRead) {
    TempFile file("baudrate=2400\n" + Display(1));
    testing::internal::CaptureStdout();
    Entry* head = LoadEntries(file.path());
    fflush(stdout);
    EXPECT_EQ("Baudrate = 2400\r\n", testing::internal::GetCapturedStdout());
    ASSERT_NE(nullptr, head);
    FreeEntries(head);
    EXPECT_EQ(2400, baudrate);

    baudrate = 77;
    testing::internal::CaptureStdout();
    EXPECT_EQ(nullptr, LoadEntries("/nonexistent/marquell.ini"));
    fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(77, baudrate) << "a missing file must leave the rate alone";
}

}  // namespace
