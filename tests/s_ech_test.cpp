// Display forms of bytes, "\x" escapes and hexadecimal dumps.
#include <gtest/gtest.h>

#include <string>

#include "lb.h"
#include "test_support.h"

namespace {

std::string take_err() { return lbtest::pending(""); }

}  // namespace

// ---- Display tables ---------------------------------------------------------------------------

TEST(DisplayTables, ControlCodesHaveReadableForms) {
    EXPECT_STREQ(ch_ech[0], "<NUL>");
    EXPECT_STREQ(ch_ech[7], "<BELL>");
    EXPECT_STREQ(ch_ech[8], "<BS>");
    EXPECT_STREQ(ch_ech[9], "        ");
    EXPECT_STREQ(ch_ech[10], "<LF>");
    EXPECT_STREQ(ch_ech[11], "<VT>");
    EXPECT_STREQ(ch_ech[12], "<FF>");
    EXPECT_STREQ(ch_ech[13], "<CR>");
    EXPECT_STREQ(ch_ech[255], "<?>");
    for (int c : {1, 6, 14, 27, 31, 32, int{'A'}, int{'"'}, int{'\\'}, 127, 128, 254})
        EXPECT_EQ(std::string(ch_ech[c]), std::string(1, static_cast<char>(c))) << "code " << c;
}

TEST(DisplayTables, AsciiNamesForControlCodes) {
    EXPECT_STREQ(asc_ech[0], "<NUL>");
    EXPECT_STREQ(asc_ech[1], "<SOH>");
    EXPECT_STREQ(asc_ech[7], "<BELL>");
    EXPECT_STREQ(asc_ech[9], "<TAB>");
    EXPECT_STREQ(asc_ech[16], "<DLE>");
    EXPECT_STREQ(asc_ech[27], "<ESC>");
    EXPECT_STREQ(asc_ech[31], "<US>");
    EXPECT_STREQ(asc_ech[32], " ");
    EXPECT_STREQ(asc_ech[254], "\xfe");
    EXPECT_STREQ(asc_ech[255], "<?>");
}

TEST(DisplayTables, BytesWithoutANameStandForThemselves) {
    const auto self = [](int c) { return std::string(1, static_cast<char>(c)); };
    for (int c = 32; c < 255; ++c) {
        EXPECT_EQ(ch_ech[c], self(c)) << "code " << c;
        EXPECT_EQ(asc_ech[c], self(c)) << "code " << c;
    }
    // In messages only NUL, BELL to CR and the tab are shown otherwise.
    for (int c = 1; c < 32; ++c) {
        if (c < 7 || c > 13) {
            EXPECT_EQ(ch_ech[c], self(c)) << "code " << c;
        }
    }
}

// ---- Display forms of texts -------------------------------------------------------------------

TEST(DisplayForms, TabsExpandFromTheOutputColumn) {
    EXPECT_EQ(std::string(S_ECH("a\tb")), "a       b");
    EXPECT_EQ(std::string(S_ECH("\t")), "        ");
    EXPECT_EQ(std::string(S_ECH("\r\tx")), "<CR>    x");  // "<CR>" takes four columns
    EXPECT_EQ(std::string(S_ECH("1234567\t.")), "1234567 .");
    EXPECT_STREQ(S_ECH("\r"), "<CR>");
    EXPECT_STREQ(S_ECH(""), "");
    EXPECT_STREQ(S_ECH(nullptr), "");
}

TEST(DisplayForms, AsciiNamesWithoutTabRule) {
    EXPECT_STREQ(ASC_ECH("\t"), "<TAB>");
    EXPECT_STREQ(ASC_ECH("\x1b[2J\x07"), "<ESC>[2J<BELL>");
    EXPECT_STREQ(ASC_ECH("\xff"), "<?>");
    EXPECT_STREQ(ASC_ECH(nullptr), "");
}

TEST(DisplayForms, LongFormsStopAtAWholeEntryBelowTheLimit) {
    // 20,000 CRs would need 80,000 characters.
    const std::string crs(20000, '\r');
    const std::string shown = S_ECH(crs.c_str());
    EXPECT_EQ(shown.size(), 65532u);
    EXPECT_EQ(shown.substr(shown.size() - 4), "<CR>");
    EXPECT_EQ(std::string(ASC_ECH(crs.c_str())).size(), 65532u);
    EXPECT_EQ(err_, 0);
}

TEST(DisplayForms, PendingErrorGivesQuestionMarkOrTheArgument) {
    S_ERR("first");
    EXPECT_STREQ(S_ECH("a"), "?");
    EXPECT_STREQ(ASC_ECH("a"), "?");
    EXPECT_STREQ(HEX_ECH("a", 1, 0), "?");
    EXPECT_STREQ(ASC_HEX("41", 0), "?");
    const char* text = "a\\x41";
    std::uint16_t len = 0;
    EXPECT_EQ(BACKSLASH_X_BF(text, &len), text);
    EXPECT_EQ(BF_BACKSLASH_X(text, 5), text);
    EXPECT_EQ(take_err(), "first");
}

// ---- Hexadecimal dumps and hexadecimal text ---------------------------------------------------

TEST(HexDump, TwoUpperCaseDigitsPerByte) {
    EXPECT_STREQ(HEX_ECH("AB", 2, 1), "41 42");
    EXPECT_STREQ(HEX_ECH("AB", 2, 0), "4142");
    const char bytes[] = {0, '\xff', '\x0a'};
    EXPECT_STREQ(HEX_ECH(bytes, 3, 1), "00 FF 0A");
    EXPECT_STREQ(HEX_ECH("AB", 0, 1), "");
    EXPECT_STREQ(HEX_ECH(nullptr, 5, 1), "");
    const std::string big(65535, '\x5a');
    EXPECT_EQ(std::string(HEX_ECH(big.data(), 65535, 1)).size(), 65535u * 3 - 1);
}

TEST(HexText, PairsBecomeBytes) {
    EXPECT_STREQ(ASC_HEX("414243", 0), "ABC");
    EXPECT_STREQ(ASC_HEX("41424", 0), "AB\x04");
    EXPECT_STREQ(ASC_HEX("4 41", 0), "\x04" "A");  // "4 " reads as 4
    EXPECT_STREQ(ASC_HEX("4100420a", 0), "AB\n");  // a zero byte adds nothing
    EXPECT_STREQ(ASC_HEX("", 0), "");
    EXPECT_STREQ(ASC_HEX(nullptr, 0), "");
    EXPECT_EQ(err_, 0);
}

TEST(HexText, HighEndMarksTheLastByte) {
    EXPECT_STREQ(ASC_HEX("41C2", 1), "AB");
    EXPECT_STREQ(ASC_HEX("41C24344", 1), "AB");
    EXPECT_STREQ(ASC_HEX("418043", 1), "A");
    EXPECT_STREQ(ASC_HEX("41C2", 0), "A\xc2");
}

TEST(HexText, BadPairRaisesWithTrail) {
    EXPECT_STREQ(ASC_HEX("414G43", 0), "?");
    EXPECT_EQ(take_err(), "Unexp hex digit \"G\" in \"4G\" [ASC_HEX]");
    EXPECT_STREQ(ASC_HEX("41  ", 0), "?");
    EXPECT_EQ(take_err(), "No digits found [ASC_HEX]");
}

// ---- Backslash escapes -------------------------------------------------------------------------

TEST(BackslashEscapes, EscapesBecomeBytes) {
    std::uint16_t len = 0;
    EXPECT_EQ(std::string(BACKSLASH_X_BF("a\\x41b", &len)), "aAb");
    EXPECT_EQ(len, 3);
    EXPECT_EQ(std::string(BACKSLASH_X_BF("\\X4a\\x4A", &len)), "JJ");
    EXPECT_EQ(len, 2);
}

TEST(BackslashEscapes, ZeroBytesDoNotEndTheWalk) {
    std::uint16_t len = 0;
    const char* out = BACKSLASH_X_BF("\\x00\\x41z", &len);
    EXPECT_EQ(std::string(out, len), std::string("\0Az", 3));
}

TEST(BackslashEscapes, IncompleteOrBadEscapesStay) {
    std::uint16_t len = 0;
    EXPECT_EQ(std::string(BACKSLASH_X_BF("a\\x4", &len)), "a\\x4");
    EXPECT_EQ(len, 4);
    EXPECT_EQ(std::string(BACKSLASH_X_BF("\\xZZ", &len)), "\\xZZ");
    EXPECT_EQ(std::string(BACKSLASH_X_BF("\\x", &len)), "\\x");
    // A bad escape is stepped over one character at a time.
    EXPECT_EQ(std::string(BACKSLASH_X_BF("\\x\\x41", &len)), "\\xA");
    EXPECT_EQ(len, 3);
    // A produced backslash is not read again.
    EXPECT_EQ(std::string(BACKSLASH_X_BF("\\x5Cx41", &len)), "\\x41");
    EXPECT_EQ(err_, 0);
}

TEST(BackslashEscapes, RestAfterAnEscapeMustFitARecord) {
    std::uint16_t len = 0;
    const std::string fits = "\\x41" + std::string(256, 'r');
    EXPECT_EQ(std::string(BACKSLASH_X_BF(fits.c_str(), &len)), "A" + std::string(256, 'r'));
    EXPECT_EQ(len, 257);

    const std::string too_long = "ab\\x41" + std::string(257, 'r');
    EXPECT_EQ(BACKSLASH_X_BF(too_long.c_str(), &len), too_long.c_str());
    EXPECT_EQ(take_err(), "S_S:Record overflow [BACKSLASH_X_BF]");

    // Without escapes any length is copied.
    const std::string plain(70000, 'p');
    EXPECT_EQ(std::string(BACKSLASH_X_BF(plain.c_str(), nullptr)), plain);
}

TEST(BackslashEscapes, BytesOutsidePrintableBecomeEscapes) {
    EXPECT_STREQ(BF_BACKSLASH_X("a\nb", 3), "a\\x0Ab");
    const char bytes[] = {'\x7e', '\x7f', '\x80', 0, '\x1f', ' '};
    EXPECT_STREQ(BF_BACKSLASH_X(bytes, 6), "~\\x7F\\x80\\x00\\x1F ");
    EXPECT_STREQ(BF_BACKSLASH_X("ab\rcd", 65535), "ab\\x0Dcd");
    EXPECT_STREQ(BF_BACKSLASH_X("abc", 0), "");
    EXPECT_STREQ(BF_BACKSLASH_X(nullptr, 4), "");
}

