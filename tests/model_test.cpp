// The display model against hand-made byte streams: every command form, text
// that runs off the screen, bytes the module does not know, and commands cut
// between two pieces of a stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display_model.h"
#include "report_expect.h"

namespace {

using expect::Bytes;

struct Model {
    DisplayModel m;
    explicit Model(int width = MODEL_DEFAULT_WIDTH) { ModelInit(&m, width); }
    Model& Feed(const std::string& bytes) {
        ModelFeed(&m, bytes.data(), bytes.size());
        return *this;
    }
    // Row r as shown between the borders, blanks included.
    std::string Row(int r) const {
        std::string shown = ModelRender(&m, "");
        size_t begin = 0;
        for (int line = 0; line <= r; ++line) {
            begin = shown.find('\n', begin) + 1;
        }
        ++begin;  // the left border
        size_t end = begin;
        for (int c = 0; c < m.width; ++c) {
            do {
                ++end;
            } while ((static_cast<unsigned char>(shown[end]) & 0xC0) == 0x80);
        }
        return shown.substr(begin, end - begin);
    }
};

std::string Pad(const std::string& text, size_t width = MODEL_DEFAULT_WIDTH) {
    return text + std::string(width - TextColumns(text), ' ');
}

TEST(ModelCommands, PositionPutsTheFollowingTextAtThatColumnAndRow) {
    Model model;
    model.Feed(Bytes({17, 0, 3}) + "bottom" + Bytes({17, 5, 1}) + "mid" + Bytes({17, 0, 0}) +
               "top");
    EXPECT_EQ(Pad("top"), model.Row(0));
    EXPECT_EQ(Pad("     mid"), model.Row(1));
    EXPECT_EQ(Pad(""), model.Row(2));
    EXPECT_EQ(Pad("bottom"), model.Row(3));
}

TEST(ModelCommands, TextOverwritesFromTheCursorAndKeepsWhatItDoesNotReach) {
    Model model;
    model.Feed(Bytes({17, 0, 0}) + "abcdef" + Bytes({17, 2, 0}) + "XY");
    EXPECT_EQ(Pad("abXYef"), model.Row(0));
}

TEST(ModelCommands, ContrastAndLevelKeepTheirLastValueAndCountTheLevelCommands) {
    Model model;
    model.Feed(Bytes({15, 60, 14, 3, 14, 99, 15, 200}));
    EXPECT_EQ(200, model.m.contrast);
    EXPECT_EQ(99, model.m.level);
    EXPECT_EQ(2, model.m.level_commands);
    EXPECT_EQ(Pad(""), model.Row(0)) << "argument bytes must not show as text";
    std::string shown = ModelRender(&model.m, "/dev/ttyS4");
    EXPECT_NE(std::string::npos, shown.find("| /dev/ttyS4\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("| contrast 200\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("| level 99 (2 level commands)\n")) << shown;
}

TEST(ModelCommands, SetupBytesLeaveTheScreenAndCursorAlone) {
    Model model;
    model.Feed(Bytes({17, 0, 2}) + "ab" + Bytes({20, 24}) + "cd");
    EXPECT_EQ(Pad("abcd"), model.Row(2));
    EXPECT_EQ(2, model.m.setup_bytes);
    EXPECT_EQ(0, model.m.unknown_commands);
}

TEST(ModelCommands, EachOfTheSixEscapesShowsItsLetterInOneCell) {
    Model model;
    model.Feed(Bytes({17,   0,  0, 30,   1,  0xAE, 30,   1,  0xBC, 30,  1,
                      0xAB, 30, 1, 0xAF, 30, 1,    0xBD, 30, 1,    0xAC}) +
               "!");
    EXPECT_EQ(Pad("ÅÆØåæø!"), model.Row(0));
}

TEST(ModelCommands, AnEscapeWithAnotherSetOrCodeTakesItsBytesAndShowsAQuestionMark) {
    Model model;
    model.Feed(Bytes({17, 0, 0, 30, 2, 0xAE, 30, 1, 'A'}) + "z");
    EXPECT_EQ(Pad("??z"), model.Row(0));
    EXPECT_EQ(2, model.m.bad_escapes);
}

TEST(ModelEdges, TextPastTheWidthIsCutCountedAndMarkedOnTheBorder) {
    Model model(10);
    model.Feed(Bytes({17, 0, 1}) + "0123456789abc");
    EXPECT_EQ("0123456789", model.Row(1));
    EXPECT_EQ(3, model.m.past_width[1]);
    std::string shown = ModelRender(&model.m, "");
    EXPECT_NE(std::string::npos, shown.find("|0123456789>")) << shown;
    EXPECT_NE(std::string::npos, shown.find("line2: characters past the right edge, not shown: 3"))
        << shown;
    EXPECT_EQ(Pad("", 10), model.Row(2)) << "no wrap onto the next row is guessed";
}

TEST(ModelEdges, TheWidthIsAParameterAndIsKeptInRange) {
    Model narrow(1);
    narrow.Feed("ab");
    EXPECT_EQ("a", narrow.Row(0));
    Model zero(0);
    EXPECT_EQ(1, zero.m.width);
    Model wide(1000);
    EXPECT_EQ(MODEL_MAX_WIDTH, wide.m.width);
}

TEST(ModelEdges, ARowBelowTheFourthShowsNothing) {
    Model model;
    model.Feed(Bytes({17, 0, 4}) + "lost" + Bytes({17, 0, 255}) + "x");
    for (int r = 0; r < MODEL_ROWS; ++r) {
        EXPECT_EQ(Pad(""), model.Row(r));
    }
    EXPECT_EQ(5, model.m.off_screen);
}

TEST(ModelEdges, UnknownControlBytesWriteNothingAndAreCountedWithTheFirstPlace) {
    Model model;
    model.Feed(Bytes({17, 0, 2}) + "a\tb\nc" + Bytes({0, 200}));
    EXPECT_EQ(Pad("abc"), model.Row(2));
    EXPECT_EQ(4, model.m.unknown_commands);
    EXPECT_EQ('\t', model.m.first_unknown);
    EXPECT_EQ(2, model.m.first_unknown_row);
    EXPECT_EQ(1, model.m.first_unknown_col);
}

TEST(ModelEdges, ByteOneHundredTwentySevenIsTextWithTheModulesOwnGlyph) {
    Model model;
    model.Feed(Bytes({17, 0, 0, 'a', 127, 'b'}));
    EXPECT_EQ(Pad("a\u2592b"), model.Row(0));
}

TEST(ModelSplit, ACommandSplitBetweenTwoPiecesActsAsIfItCameWhole) {
    const std::string stream =
        Bytes({20, 24, 17, 3, 1, 30, 1, 0xBD, 'x', 15, 42, 14, 7, 17, 0, 3, 30, 1, 0xAB});
    Model whole;
    whole.Feed(stream);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        Model split;
        split.Feed(stream.substr(0, cut));
        split.Feed(stream.substr(cut));
        EXPECT_TRUE(ModelSameScreen(&whole.m, &split.m)) << "cut after byte " << cut;
        EXPECT_FALSE(ModelPending(&split.m));
    }
}

TEST(ModelSplit, AStreamEndingInsideAnEscapeWritesNothingAndStaysPending) {
    Model model;
    model.Feed(Bytes({17, 0, 0, 'a', 30, 1}));
    EXPECT_TRUE(ModelPending(&model.m));
    EXPECT_EQ(Pad("a"), model.Row(0));
    std::string shown = ModelRender(&model.m, "");
    EXPECT_NE(std::string::npos, shown.find("the stream ends inside a command (byte 30)")) << shown;
    model.Feed(Bytes({0xAF}));
    EXPECT_FALSE(ModelPending(&model.m));
    EXPECT_EQ(Pad("aå"), model.Row(0));
}

TEST(ModelSplit, APositionCutBeforeItsRowDoesNotMoveTheCursorYet) {
    Model model;
    model.Feed(Bytes({17, 0, 1, 'a', 17, 5}));
    EXPECT_EQ(1, model.m.row);
    EXPECT_EQ(1, model.m.col);
    model.Feed(Bytes({3}) + "b");
    EXPECT_EQ(Pad("     b"), model.Row(3));
}

TEST(ModelCompare, ScreensDifferByCellContrastOrLevel) {
    Model a;
    Model b;
    a.Feed("x");
    b.Feed("x");
    EXPECT_TRUE(ModelSameScreen(&a.m, &b.m));
    b.Feed(Bytes({15, 1}));
    EXPECT_FALSE(ModelSameScreen(&a.m, &b.m));
    a.Feed(Bytes({15, 1, 14, 0}));
    EXPECT_FALSE(ModelSameScreen(&a.m, &b.m));
    b.Feed(Bytes({14, 0, 'y'}));
    a.Feed(Bytes({'z'}));
    EXPECT_FALSE(ModelSameScreen(&a.m, &b.m));
}

TEST(ModelRender, SideBySidePadsByCharactersNotBytes) {
    std::string joined = SideBySide("æø\nab\nlonger", "1\n2", 2);
    EXPECT_EQ("æø      1\nab      2\nlonger\n", joined);
}

}  // namespace
