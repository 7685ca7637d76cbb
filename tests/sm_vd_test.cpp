// Screen output: VT100 sequences sent to a pseudo-terminal and the screen image kept beside
// them; plain output to a terminal that is not known; the image's files.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "console_pty.h"
#include "lb.h"
#include "test_support.h"

namespace {

std::string pending_message() { return lbtest::pending("(none)"); }

// Characters of an image row with never-written cells as blanks and trailing blanks cut.
std::string img_row(int r) {
    std::string s(vd_img_c[r], vd_x_mx + 1u);
    for (char& c : s)
        if (c == '\0') c = ' ';
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

class Screen : public ::testing::Test {
protected:
    void SetUp() override {
        vd_known = 1;
        vd_auto_lf = 1;
        vd_raw = 0;
        vd_scroll_cnt = 0;
        VD_OP();
        ASSERT_EQ(err_, 0);
        // Line feeds reach the test as they were written.
        KB_LF_CRLF(0);
        ASSERT_EQ(pty.output(), "\x1b[25;1H");
    }
    void TearDown() override {
        ERR_S();
        VD_CL();
        ERR_S();
    }
    std::string out() { return pty.output(); }
    // Puts text at a place and forgets what that sent.
    void put(std::uint16_t y, std::uint16_t x, const char* text) {
        YX_VD(y, x);
        S_VD(text);
        out();
    }
    HangGuard guard;
    ScratchDir dir;
    StdinPty pty;
};

}  // namespace

TEST_F(Screen, OpeningPutsTheCursorOnTheLastRow) {
    EXPECT_EQ(vd_op, 1);
    EXPECT_EQ(kb_op, 1);
    EXPECT_EQ(vd_y, 24);
    EXPECT_EQ(vd_x, 0);
    EXPECT_EQ(vd_rgn_top, 0);
    EXPECT_EQ(vd_rgn_bot, 24);
}

TEST_F(Screen, TextGoesToTheTerminalAndIntoTheImage) {
    YX_VD(2, 3);
    S_VD("hi");
    EXPECT_EQ(out(), "\x1b[3;4Hhi");
    EXPECT_EQ(img_row(2), "   hi");
    EXPECT_EQ(vd_img_a[2][3], 7);
    EXPECT_EQ(vd_x, 5);
    // Moving to where the cursor already is sends nothing.
    YX_VD(2, 5);
    EXPECT_EQ(out(), "");
    A_VD(0x0F);
    SM_VD("B", "", "c", nullptr);
    EXPECT_EQ(out(), "\x1b[1mBc");
    EXPECT_EQ(vd_img_a[2][5], 0x0F);
    EXPECT_EQ(img_row(2), "   hiBc");
}

TEST_F(Screen, WritingPastTheLastColumnGoesOnAtTheNextRow) {
    YX_VD(3, 0);
    out();
    S_VD(repeat('x', 128).c_str());
    EXPECT_EQ(out(), repeat('x', 128) + "\x1b[5;1H");
    EXPECT_EQ(vd_y, 4);
    EXPECT_EQ(vd_x, 0);
    EXPECT_EQ(vd_scroll_cnt, 1);

    EXPECT_EQ(VD_AUTO_LF(0), 1);
    YX_VD(6, 0);
    S_VD((repeat('y', 128) + "z").c_str());
    EXPECT_EQ(out(), "\x1b[7;1H" + repeat('y', 128) + "\x1b[7;1Hz");
    EXPECT_EQ(vd_y, 6);
    EXPECT_EQ(vd_x, 1);
    EXPECT_EQ(img_row(6), "z" + repeat('y', 127));
    EXPECT_EQ(VD_AUTO_LF(1), 0);
}

TEST_F(Screen, LineFeedMovesDownAndScrollsAtTheLastRow) {
    YX_VD(3, 4);
    out();
    B_VD('\n');
    EXPECT_EQ(out(), "\x1b[5;5H");
    EXPECT_EQ(vd_y, 4);
    EXPECT_EQ(vd_x, 4);

    put(0, 0, "top");
    put(1, 0, "second");
    put(24, 5, "end");
    B_VD('\n');
    EXPECT_EQ(out(), "\x1b[25;1H\n\x1b[25;9H");
    EXPECT_EQ(vd_y, 24);
    EXPECT_EQ(vd_x, 8);
    EXPECT_EQ(img_row(0), "second");
    EXPECT_EQ(img_row(23), "     end");
    EXPECT_EQ(img_row(24), "");
    EXPECT_EQ(vd_img_c[24][0], ' ') << "the new row is blank, not empty";
    EXPECT_EQ(vd_scroll_cnt, 2);
}

TEST_F(Screen, TabWritesSpacesUntilTheNextColumnIsAStop) {
    YX_VD(1, 0);
    out();
    B_VD('\t');
    EXPECT_EQ(out(), "       ");
    EXPECT_EQ(vd_x, 7);
    B_VD('\t');
    EXPECT_EQ(out(), "");
    S_VD("a\tb");
    EXPECT_EQ(out(), "a       b");
    EXPECT_EQ(vd_x, 16);
}

TEST_F(Screen, ScrollingRegionKeepsItsRowsApart) {
    put(4, 0, "r4");
    put(5, 0, "r5");
    put(10, 0, "r10");
    put(11, 0, "r11");
    put(12, 0, "r12");
    YX_VD(24, 0);
    out();
    RGN_VD(5, 10);
    EXPECT_EQ(out(), "\x1b[6;11r\x1b[25;1H");
    RGN_VD(5, 10);
    EXPECT_EQ(out(), "");

    // Off the region's bottom: the region scrolls.
    put(10, 3, "");
    B_VD('\n');
    EXPECT_EQ(out(), "\x1b[11;1H\n\x1b[11;4H");
    EXPECT_EQ(vd_y, 10);
    EXPECT_EQ(img_row(4), "r4");
    EXPECT_EQ(img_row(5), "");
    EXPECT_EQ(img_row(9), "r10");
    EXPECT_EQ(img_row(10), "");
    EXPECT_EQ(img_row(11), "r11");

    // From above the region into it: the rows above scroll instead.
    put(4, 1, "");
    B_VD('\n');
    EXPECT_EQ(out(), "\x1b[1;5r\x1b[5;1H\n\x1b[6;11r\x1b[5;2H");
    EXPECT_EQ(vd_y, 4);
    EXPECT_EQ(img_row(3), "r4");
    EXPECT_EQ(img_row(4), "");

    // Below the last row: the rows under the region scroll.
    put(24, 0, "");
    B_VD('\n');
    EXPECT_EQ(out(), "\x1b[12;25r\x1b[25;1H\n\x1b[6;11r\x1b[25;1H");
    EXPECT_EQ(img_row(11), "r12");
    EXPECT_EQ(img_row(9), "r10");
}

TEST_F(Screen, AttributesReduceToFourStylesAndSendOnlyChanges) {
    A_VD(0x70);
    EXPECT_EQ(out(), "\x1b[7m");
    A_VD(0x70);
    EXPECT_EQ(out(), "");
    A_VD(7);
    EXPECT_EQ(out(), "\x1b[0m");
    A_VD(0x0F);
    EXPECT_EQ(out(), "\x1b[1m");
    A_VD(7);
    EXPECT_EQ(out(), "\x1b[0m") << "bold off is a reset, and nothing more";
    A_VD(static_cast<char>(0x8F));
    EXPECT_EQ(out(), "\x1b[1;5m");
    A_VD(0x0F);
    EXPECT_EQ(out(), "\x1b[0m\x1b[1m");
    // A background colour becomes reverse video, bold kept.
    A_VD(0x1F);
    EXPECT_EQ(out(), "\x1b[7m");
    EXPECT_EQ(vd_att, 0x78);
    // A dark foreground becomes normal.
    A_VD(3);
    EXPECT_EQ(out(), "\x1b[0m");
    EXPECT_EQ(vd_att, 7);
    A_VD(2);
    EXPECT_EQ(out(), "");
}

TEST_F(Screen, ClearingSendsTheCheapestSequenceAndBlanksTheImage) {
    put(2, 0, "abcdefgh");
    // Inside a row: spaces where the cells are not blank already.
    VD_CLR(2, 1, 2, 3);
    EXPECT_EQ(out(), "\x1b[3;2H   \x1b[3;9H");
    EXPECT_EQ(img_row(2), "a   efgh");
    EXPECT_EQ(vd_y, 2);
    EXPECT_EQ(vd_x, 8);
    VD_CLR(2, 1, 2, 3);
    EXPECT_EQ(out(), "");

    // Rows reaching the last column: clear to the end of each line.
    put(3, 0, "row3");
    YX_VD(2, 8);
    out();
    VD_CLR(2, 6, 3, 65535);
    EXPECT_EQ(out(), "\x1b[3;7H\x1b[K\x1b[4;1H\x1b[K\x1b[3;9H");
    EXPECT_EQ(img_row(2), "a   ef");
    EXPECT_EQ(img_row(3), "");

    // From a row start to the end of the screen: one sequence.
    put(20, 0, "gone");
    put(24, 0, "gone too");
    YX_VD(2, 8);
    out();
    VD_CLR(20, 0, 24, 127);
    EXPECT_EQ(out(), "\x1b[21;1H\x1b[J\x1b[3;9H");
    EXPECT_EQ(img_row(20), "");
    EXPECT_EQ(img_row(24), "");

    // Defaults: from the cursor to the end of its row.
    YX_VD(5, 3);
    out();
    VD_CLR(65535, 65535, 65535, 65535);
    EXPECT_EQ(out(), "\x1b[K");

    YX_VD_CLR(7, 4, 65535);
    EXPECT_EQ(out(), "\x1b[8;5H\x1b[K\x1b[6;4H\x1b[8;5H");
    EXPECT_EQ(vd_y, 7);
    EXPECT_EQ(vd_x, 4);

    // An end before the start clears nothing.
    put(6, 0, "keep");
    VD_CLR(6, 0, 5, 0);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(img_row(6), "keep");
}

TEST_F(Screen, ControlCharactersActOrBecomeSpaces) {
    put(3, 5, "");
    B_VD('\a');
    EXPECT_EQ(out(), "\a");
    B_VD('\b');
    EXPECT_EQ(out(), "\x1b[4;5H");
    EXPECT_EQ(vd_x, 4);
    B_VD('\r');
    EXPECT_EQ(out(), "\r");
    EXPECT_EQ(vd_x, 0);
    B_VD('\b');
    EXPECT_EQ(out(), "") << "not past column 0";
    B_VD('\0');
    B_VD('\x1b');
    EXPECT_EQ(out(), " ");
    EXPECT_EQ(vd_img_c[3][0], ' ');
    vd_raw = 1;
    B_VD('\n');
    EXPECT_EQ(out(), " ");
    EXPECT_EQ(vd_y, 3);
    vd_raw = 0;
}

TEST_F(Screen, ScrollingABandMovesScreenAndImageAlike) {
    for (int r = 0; r < 5; ++r) put(static_cast<std::uint16_t>(r), 0, std::to_string(r).c_str());
    YX_VD(24, 0);
    out();
    IMG_SCROLL(1, 3, 1);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(img_row(0), "0");
    EXPECT_EQ(img_row(1), "2");
    EXPECT_EQ(img_row(2), "3");
    EXPECT_EQ(img_row(3), "");
    EXPECT_EQ(img_row(4), "4");

    VD_SCROLL(1, 3, -2);
    EXPECT_EQ(out(), "\x1b[2;4r\x1b[2;1H\x1bM\x1bM\x1b[1;25r\x1b[25;1H");
    EXPECT_EQ(img_row(1), "");
    EXPECT_EQ(img_row(2), "");
    EXPECT_EQ(img_row(3), "2");
    EXPECT_EQ(img_row(4), "4");
    EXPECT_EQ(vd_y, 24);

    // Moving below the last row scrolls the rows in.
    YX_VD(26, 0);
    EXPECT_EQ(img_row(1), "2");
    EXPECT_EQ(img_row(2), "4");
    EXPECT_EQ(vd_y, 24);
    EXPECT_EQ(vd_x, 0);
    const std::string sent = out();
    EXPECT_NE(sent.find("\x1b[25;1H\n\n"), std::string::npos) << sent;
}

TEST_F(Screen, TerminalCursorMovesOnlyOnTheScreen) {
    YX_TCRS(25, 0, 0);
    EXPECT_EQ(pending_message(), "YX_TCRS:0");
    YX_TCRS(0, 128, 0);
    EXPECT_EQ(pending_message(), "YX_TCRS:0");
    YX_TCRS(65535, 65535, 0);
    EXPECT_EQ(out(), "");
    YX_TCRS(65535, 65535, 1);
    EXPECT_EQ(out(), "\x1b[25;1H");
    YX_TCRS(3, 4, 0);
    EXPECT_EQ(out(), "\x1b[4;5H");
    // A column beyond the last folds onto the next rows.
    YX_VD(3, 130);
    EXPECT_EQ(out(), "\x1b[5;3H");
    // Raw output moves the terminal's cursor behind the screen's back: the next move is sent.
    B_VD_SYS('!');
    YX_VD(4, 2);
    EXPECT_EQ(out(), "!\x1b[5;3H");
}

TEST_F(Screen, RowCopiesAndDumpFiles) {
    put(0, 2, "x");
    put(1, 0, "abc  ");
    char chars[vd_img_cols + 1], attrs[vd_img_cols + 1];
    VDI_S(1, chars, attrs);
    EXPECT_EQ(std::string(chars, 5), "abc  ");
    EXPECT_EQ(chars[128], '\0');
    EXPECT_EQ(attrs[0], 7);
    EXPECT_EQ(attrs[128], '\0');
    VDI_S(1, nullptr, nullptr);
    EXPECT_EQ(err_, 0);

    VDI_FL();
    put(3, 0, "more");
    VDI_FL();
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(read_file("img0.tmp"), "  x\nabc\n" + repeat('\n', 23));
    EXPECT_EQ(read_file("img1.tmp"), "  x\nabc\n\nmore\n" + repeat('\n', 21));
}

TEST_F(Screen, ImageSavedAndLoadedBackIsRedrawn) {
    put(0, 0, "hello");
    A_VD(0x70);
    put(1, 3, "rev");
    A_VD(7);
    out();
    VDI_SV();
    ASSERT_EQ(err_, 0);
    EXPECT_EQ(read_file("vdimg.tmp").size(), 25u * 2 * 128);
    char saved_c[sizeof vd_img_c], saved_a[sizeof vd_img_a];
    std::memcpy(saved_c, vd_img_c, sizeof vd_img_c);
    std::memcpy(saved_a, vd_img_a, sizeof vd_img_a);
    std::memset(vd_img_c, 0, sizeof vd_img_c);
    std::memset(vd_img_a, 0, sizeof vd_img_a);

    SV_VDI();
    ASSERT_EQ(err_, 0);
    EXPECT_EQ(std::memcmp(saved_c, vd_img_c, sizeof vd_img_c), 0);
    EXPECT_EQ(std::memcmp(saved_a, vd_img_a, sizeof vd_img_a), 0);
    const std::string sent = out();
    EXPECT_EQ(sent.substr(0, 11), "\x1b[1;1Hhello");
    EXPECT_NE(sent.find("\x1b[2;1H   \x1b[7mrev\x1b[0m "), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 6), "\x1b[2;7H") << "cursor back where it was";
    EXPECT_EQ(vd_att, 7);
}

TEST_F(Screen, ClosingResetsTheTerminalAndKeepsAPendingError) {
    RGN_VD(2, 10);
    A_VD(0x0F);
    out();
    S_ERR("boom");
    VD_CL();
    EXPECT_EQ(out(), "\x1b[0m\x1b[1;25r\x1b[25;1H\r\n");
    EXPECT_EQ(pending_message(), "boom");
    EXPECT_EQ(vd_op, 0);
    EXPECT_EQ(kb_op, 0);
    EXPECT_TRUE(same_settings(pty.settings(), pty.initial()));
    // Closed: nothing goes to the terminal any more.
    B_VD_SYS('x');
    EXPECT_EQ(out(), "");
}

TEST_F(Screen, DebugSwitchTracesScreenOperations) {
    dbg_vd = 0;  // into the trail only, not echoed
    vd_dbg = 1;
    YX_VD(1, 2);
    vd_dbg = 0;
    YX_VD(3, 4);
    const std::string trail = read_file("dbg.log");
    EXPECT_NE(trail.find("YX_VD:1,2"), std::string::npos) << trail;
    EXPECT_EQ(trail.find("YX_VD:3,4"), std::string::npos) << trail;
}

// Output before the screen is opened is plain text on standard output, and from then on the
// terminal counts as unknown: no sequences, moves made of line ends, spaces and backspaces.
TEST(PlainScreen, OutputBeforeOpeningIsPlainText) {
    HangGuard guard;
    ScratchDir dir;
    vd_known = 1;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(p[1], 1);

    S_VD("ab\n");
    const char known_after = vd_known;
    S_VD(repeat('x', 130).c_str());
    const std::uint16_t x_after_wrap = vd_x;
    YX_VD(vd_y, 0);
    YX_VD(3, 4);
    B_VD('\b');
    A_VD(0x70);
    RGN_VD(1, 5);
    const std::string rgn_msg = pending_message();
    VDI_SV();
    const std::string sv_msg = pending_message();

    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(p[1]);
    std::string got;
    char bf[4096];
    for (ssize_t n; (n = read(p[0], bf, sizeof bf)) > 0;)
        got.append(bf, static_cast<std::size_t>(n));
    close(p[0]);

    EXPECT_EQ(known_after, 0);
    EXPECT_EQ(x_after_wrap, 2);
    EXPECT_EQ(got, "ab\n" + repeat('x', 128) + "\r\nxx" + "\b\b" + "\r\n    " + "\b");
    EXPECT_EQ(rgn_msg, "RGN_VD:VD unknown");
    EXPECT_EQ(sv_msg, "VDI_SV:VD unknown");
    EXPECT_FALSE(std::ifstream("vdimg.tmp").good());
}
