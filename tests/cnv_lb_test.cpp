// Text to number and number to text: values, exact messages and error positions.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "lb.h"
#include "test_support.h"

namespace {

std::string take_err() { return lbtest::pending(""); }

constexpr std::uint16_t unset = 12345;

}  // namespace

// ---- Decimal text ---------------------------------------------------------------------------

TEST(DecimalText, BlanksAroundSignAndDigitsAreAllowed) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_I4("  -  42  ", &pos, 0), -42);
    EXPECT_EQ(pos, 65535);
    EXPECT_EQ(S10_I4("\t+7\t", &pos, 0), 7);
    EXPECT_EQ(S10_I4("0", &pos, 0), 0);
    EXPECT_EQ(S10_I4("-0", &pos, 0), 0);
    EXPECT_EQ(err_, 0);
}

TEST(DecimalText, LettersAfterDigitsFailUnlessModeTwo) {
    std::uint16_t pos = unset;
    for (char mode : {0, 1}) {
        EXPECT_EQ(S10_I4("42abc", &pos, mode), 0);
        EXPECT_EQ(take_err(), "Unexp dec digit \"a\" in \"42abc\"");
        EXPECT_EQ(pos, 2);
    }
    EXPECT_EQ(S10_I4("42abc", &pos, 2), 42);
    EXPECT_EQ(pos, 65535);
    EXPECT_EQ(err_, 0);
}

TEST(DecimalText, PunctuationAfterDigitsFailsOnlyInStrictMode) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_I4("42,5", &pos, 1), 42);
    EXPECT_EQ(S10_I4("42,5", &pos, 2), 42);
    EXPECT_EQ(pos, 65535);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(S10_I4("42 ,5", &pos, 0), 0);
    EXPECT_EQ(take_err(), "Unexp trailing char \",\" in \"42 ,5\"");
    EXPECT_EQ(pos, 3);
}

TEST(DecimalText, OffendingControlCharactersAreShownReadably) {
    std::uint16_t pos = unset;
    S10_I4("12\r", &pos, 0);
    EXPECT_EQ(take_err(), "Unexp trailing char \"<CR>\" in \"12\r\"");
    EXPECT_EQ(pos, 2);
    S10_I4("\x07", &pos, 0);
    EXPECT_EQ(take_err(), "Unexp dec digit \"<BELL>\" in \"\x07\"");
    EXPECT_EQ(pos, 0);
}

TEST(DecimalText, EmptyBlankOrSignOnlyHasNoDigits) {
    for (const char* text : {"", "   ", "-", " + \t"}) {
        std::uint16_t pos = unset;
        EXPECT_EQ(S10_I4(text, &pos, 0), 0);
        EXPECT_EQ(take_err(), "No digits found") << '"' << text << '"';
        EXPECT_EQ(pos, 0);
    }
}

TEST(DecimalText, NonDigitWhereTheNumberShouldStart) {
    std::uint16_t pos = unset;
    S10_I4("- x1", &pos, 2);
    EXPECT_EQ(take_err(), "Unexp dec digit \"x\" in \"- x1\"");
    EXPECT_EQ(pos, 2);
    S10_I4("--1", &pos, 0);
    EXPECT_EQ(take_err(), "Unexp dec digit \"-\" in \"--1\"");
    EXPECT_EQ(pos, 1);
}

TEST(DecimalText, ThirtyTwoBitLimits) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_I4("-2147483648", &pos, 0), INT32_MIN);
    EXPECT_EQ(S10_I4("2147483647", &pos, 0), INT32_MAX);
    EXPECT_EQ(S10_I4("000000000000123", &pos, 0), 123);
    EXPECT_EQ(err_, 0);

    EXPECT_EQ(S10_I4("2147483648", &pos, 0), 0);
    EXPECT_EQ(take_err(), "Dec overflow (2147483648)");
    EXPECT_EQ(pos, 9);
    S10_I4("-2147483649", &pos, 0);
    EXPECT_EQ(take_err(), "Dec overflow (-2147483649)");
    EXPECT_EQ(pos, 10);
    // Value so far above 214748364: the tenth digit already overflows.
    S10_I4(" 3000000000", &pos, 0);
    EXPECT_EQ(take_err(), "Dec overflow ( 3000000000)");
    EXPECT_EQ(pos, 10);
    // No digit may follow the most negative value, not even in mode 2.
    S10_I4("-21474836480", &pos, 2);
    EXPECT_EQ(take_err(), "Dec overflow (-21474836480)");
    EXPECT_EQ(pos, 11);
    S10_I4("00012345678901", &pos, 0);
    EXPECT_EQ(take_err(), "Dec overflow (00012345678901)");
    EXPECT_EQ(pos, 13);
}

TEST(DecimalText, NullTextNamesTheRoutine) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_I4(nullptr, &pos, 0), 0);
    EXPECT_EQ(take_err(), "S10_I4:Null str");
    EXPECT_EQ(pos, unset);
    // The narrow forms pass the text on, so the base routine names itself.
    S10_U2(nullptr, nullptr, 0);
    EXPECT_EQ(take_err(), "S10_I4:Null str");
    S16_U1(nullptr, nullptr, 0, 0);
    EXPECT_EQ(take_err(), "S16_U4:Null str");
}

// ---- Narrow decimal forms --------------------------------------------------------------------

TEST(NarrowDecimal, RangeErrorsQuoteLimitAndText) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_U2("65535", &pos, 0), 65535);
    EXPECT_EQ(S10_U2("65536", &pos, 0), 0);
    EXPECT_EQ(take_err(), "Integer > 65535 (65536)");
    EXPECT_EQ(pos, 0);
    S10_U2("-1", &pos, 0);
    EXPECT_EQ(take_err(), "Integer < 0 (-1)");

    EXPECT_EQ(S10_U1("255", &pos, 0), 255);
    S10_U1("256", &pos, 0);
    EXPECT_EQ(take_err(), "Integer > 255 (256)");

    EXPECT_EQ(S10_I2("-32768", &pos, 0), -32768);
    EXPECT_EQ(S10_I2("32767", &pos, 0), 32767);
    S10_I2("-32769", &pos, 0);
    EXPECT_EQ(take_err(), "Integer < -32768 (-32769)");
    S10_I2("32768", &pos, 0);
    EXPECT_EQ(take_err(), "Integer > 32767 (32768)");
    EXPECT_EQ(pos, 0);
}

TEST(NarrowDecimal, SyntaxErrorsOfTheBaseComeThroughUnchanged) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_U2("80x", &pos, 0), 0);
    EXPECT_EQ(take_err(), "Unexp dec digit \"x\" in \"80x\"");
    EXPECT_EQ(pos, 2);
    EXPECT_EQ(S10_U2("8080:", &pos, 1), 8080);
    EXPECT_EQ(pos, 65535);
}

TEST(NarrowDecimal, UnsignedThirtyTwoBit) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_U4("2147483647", &pos, 1), 2147483647u);
    S10_U4(" - 5", &pos, 0);
    EXPECT_EQ(take_err(), "Integer < 0 ( - 5)");
    EXPECT_EQ(pos, 3);  // first digit
    S10_U4("3000000000", &pos, 0);
    EXPECT_EQ(take_err(), "Dec overflow (3000000000)");
    EXPECT_EQ(pos, 9);
}

TEST(NarrowDecimal, UnsignedSixtyFourBitValues) {
    const struct {
        const char* text;
        char mode;
        std::uint64_t want;
    } cases[] = {
        {"2147483647", 0, 2147483647u},
        {"2147483648", 0, 2147483648u},
        {"4294967296", 0, 4294967296u},
        {"9223372036854775807", 0, 9223372036854775807u},
        // Leading zeros are not digits of the value, as in the 32-bit forms.
        {"00000000000000000001", 0, 1},
        {"000000000009223372036854775807", 0, 9223372036854775807u},
        {" + 12\t", 0, 12},
        {"-0", 0, 0},
        {"12,", 1, 12},
        {"12x", 2, 12},
    };
    for (const auto& c : cases) {
        std::uint16_t pos = unset;
        EXPECT_EQ(S10_U8(c.text, &pos, c.mode), c.want) << c.text;
        EXPECT_EQ(pos, 65535) << c.text;
        EXPECT_EQ(take_err(), "") << c.text;
    }
}

TEST(NarrowDecimal, UnsignedSixtyFourBitFailures) {
    const struct {
        const char* text;
        char mode;
        const char* message;
        std::uint16_t pos;
    } cases[] = {
        {"9223372036854775808", 0, "Dec overflow (9223372036854775808)", 18},
        // Above 922337203685477580 before the nineteenth digit.
        {"9300000000000000000", 0, "Dec overflow (9300000000000000000)", 18},
        {"18446744073709551615", 0, "Dec overflow (18446744073709551615)", 19},
        {"10000000000000000000", 2, "Dec overflow (10000000000000000000)", 19},
        {"-9223372036854775809", 0, "Dec overflow (-9223372036854775809)", 19},
        // The most negative value converts, then is refused for its sign.
        {"-9223372036854775808", 0, "Integer < 0 (-9223372036854775808)", 1},
        {"-1", 0, "Integer < 0 (-1)", 1},
        {" - 5", 2, "Integer < 0 ( - 5)", 3},
        {"", 0, "No digits found", 0},
        {" -", 0, "No digits found", 0},
        {"12x", 0, "Unexp dec digit \"x\" in \"12x\"", 2},
        {"12x", 1, "Unexp dec digit \"x\" in \"12x\"", 2},
        {"12 x", 0, "Unexp trailing char \"x\" in \"12 x\"", 3},
        {"x12", 2, "Unexp dec digit \"x\" in \"x12\"", 0},
    };
    for (const auto& c : cases) {
        std::uint16_t pos = unset;
        EXPECT_EQ(S10_U8(c.text, &pos, c.mode), 0u) << c.text;
        EXPECT_EQ(take_err(), c.message) << c.text;
        EXPECT_EQ(pos, c.pos) << c.text;
    }
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_U8(nullptr, &pos, 0), 0u);
    EXPECT_EQ(take_err(), "S10_U8:Null str");
    EXPECT_EQ(pos, unset);
}

TEST(NarrowDecimal, UnsignedSixtyFourBitPredicate) {
    const struct {
        const char* text;
        char want;
    } cases[] = {
        {"9223372036854775807", 1}, {" 4294967296 ", 1},  {"9223372036854775808", 0},
        {"-1", 0},                  {"5368709120 x", 0}, {nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(S10_U8_OK(c.text), c.want) << (c.text ? c.text : "null");
        EXPECT_EQ(err_, 0);
    }
}

// ---- Hexadecimal, octal and binary text -------------------------------------------------------

TEST(RadixText, LeadLetterIsRequiredInEitherCase) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S16_U4("x1f", &pos, 0, 'X'), 31u);
    EXPECT_EQ(S16_U4("  X1F ", &pos, 0, 'X'), 31u);
    EXPECT_EQ(S2_U4("b101", &pos, 0, 'B'), 5u);
    EXPECT_EQ(pos, 65535);
    EXPECT_EQ(S16_U4("1f", &pos, 0, 'X'), 0u);
    EXPECT_EQ(take_err(), "No leading \"X\" in \"1f\"");
    EXPECT_EQ(pos, 0);
    S16_U4(" \t1f", &pos, 0, 'X');
    EXPECT_EQ(take_err(), "No leading \"X\" in \" \t1f\"");
    EXPECT_EQ(pos, 2);
    // A lead with nothing after it: the terminator is the unexpected digit.
    S16_U4("X", &pos, 0, 'X');
    EXPECT_EQ(take_err(), "Unexp hex digit \"<NUL>\" in \"X\"");
    EXPECT_EQ(pos, 1);
}

TEST(RadixText, SignificantDigitLimits) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S16_U4("000012345678", &pos, 0, 0), 0x12345678u);
    EXPECT_EQ(S16_U4("ffffFFFF", &pos, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(S16_U4("123456789", &pos, 0, 0), 0u);
    EXPECT_EQ(take_err(), "Hex overflow (123456789)");
    EXPECT_EQ(pos, 8);

    const std::string ones(32, '1');
    EXPECT_EQ(S2_U4(("00" + ones).c_str(), &pos, 0, 0), 0xFFFFFFFFu);
    S2_U4((ones + "0").c_str(), &pos, 0, 0);
    EXPECT_EQ(take_err(), "Bin overflow (" + ones + "0)");
    EXPECT_EQ(pos, 32);

    EXPECT_EQ(S8_U4("37777777777", &pos, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(S8_U4("0777", &pos, 0, 0), 0777u);
    // Eleven octal digits above 32 bits are refused rather than cut.
    S8_U4("40000000000", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Oct overflow (40000000000)");
    EXPECT_EQ(pos, 10);
    S8_U4("100000000000", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Oct overflow (100000000000)");
    EXPECT_EQ(pos, 11);
}

TEST(RadixText, DigitsOfAnotherRadixEndTheNumberOnlyInModeTwo) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S2_U4("1021", &pos, 0, 0), 0u);
    EXPECT_EQ(take_err(), "Unexp bin digit \"2\" in \"1021\"");
    EXPECT_EQ(pos, 2);
    S2_U4("1021", &pos, 1, 0);
    EXPECT_EQ(take_err(), "Unexp bin digit \"2\" in \"1021\"");
    EXPECT_EQ(S2_U4("1021", &pos, 2, 0), 2u);
    EXPECT_EQ(S8_U4("178", &pos, 2, 0), 15u);
    EXPECT_EQ(S16_U4("ffg", &pos, 2, 0), 255u);
    EXPECT_EQ(S16_U4("ff.g", &pos, 1, 0), 255u);
    EXPECT_EQ(err_, 0);
    S16_U4("ff g", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Unexp trailing char \"g\" in \"ff g\"");
    EXPECT_EQ(pos, 3);
    S16_U4("  ", &pos, 0, 0);
    EXPECT_EQ(take_err(), "No digits found");
    EXPECT_EQ(pos, 0);
    S8_U4("-1", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Unexp oct digit \"-\" in \"-1\"");  // no signs
}

TEST(RadixText, NarrowFormsCheckTheirUpperLimit) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S8_U1("377", &pos, 0, 0), 255);
    S8_U1("400", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Octal > 255 (400)");
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(S8_U2("177777", &pos, 0, 0), 65535);
    S8_U2("200000", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Octal > 65535 (200000)");

    EXPECT_EQ(S2_U1("11111111", &pos, 0, 0), 255);
    S2_U1("100000000", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Binary > 255 (100000000)");
    EXPECT_EQ(S2_U2("1111111111111111", &pos, 0, 0), 65535);
    S2_U2("10000000000000000", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Binary > 65535 (10000000000000000)");
    EXPECT_EQ(pos, 0);
}

TEST(RadixText, NarrowHexPositionIsEndOfLeadingDigitRun) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S16_U1("ff", &pos, 0, 0), 255);
    EXPECT_EQ(S16_U1("1FF", &pos, 0, 0), 0);
    EXPECT_EQ(take_err(), "Hex overflow (1FF)");
    EXPECT_EQ(pos, 2);
    S16_U1(" 1FF", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Hex overflow ( 1FF)");
    EXPECT_EQ(pos, 65535);
    EXPECT_EQ(S16_U2("X1234", &pos, 0, 'X'), 0x1234);
    S16_U2("10000", &pos, 0, 0);
    EXPECT_EQ(take_err(), "Hex overflow (10000)");
    EXPECT_EQ(pos, 4);
}

// ---- Floating point ---------------------------------------------------------------------------

TEST(FloatText, ValuesAndPositions) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S_F8("1.5", &pos), 1.5);
    EXPECT_EQ(pos, 65535);
    EXPECT_EQ(S_F8("-2.5e3", &pos), -2500.0);
    EXPECT_EQ(S_F4(" 1.5", &pos), 1.5f);
    EXPECT_EQ(S_F4("1E2 ", &pos), 100.0f);
    EXPECT_EQ(err_, 0);
}

TEST(FloatText, RefusedCharactersAndFailedScans) {
    std::uint16_t pos = unset;
    EXPECT_EQ(S_F8(" 1.5", &pos), 0.0);
    EXPECT_EQ(take_err(), "Unexp float char \" \" in \" 1.5\"");
    EXPECT_EQ(pos, 0);
    S_F8("1,5", &pos);
    EXPECT_EQ(take_err(), "Unexp float char \",\" in \"1,5\"");
    EXPECT_EQ(pos, 1);
    S_F4("1\t", &pos);
    EXPECT_EQ(take_err(), "Unexp float char \"        \" in \"1\t\"");
    EXPECT_EQ(pos, 1);

    pos = unset;
    S_F8("+-", &pos);
    EXPECT_EQ(take_err(), "Float conv err on \"+-\"");
    EXPECT_EQ(pos, 0);
    S_F4("", &pos);
    EXPECT_EQ(take_err(), "Float conv err on \"\"");
    S_F8(nullptr, &pos);
    EXPECT_EQ(take_err(), "S_F8:Null str");
}

// ---- Predicates -------------------------------------------------------------------------------

TEST(ConvertsPredicates, AnswerWithoutLeavingAnErrorBehind) {
    EXPECT_EQ(S10_U2_OK("8080"), 1);
    EXPECT_EQ(S10_U2_OK("70000"), 0);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(S10_U2_OK("80 x"), 0);
    EXPECT_EQ(S10_U1_OK("255"), 1);
    EXPECT_EQ(S10_U1_OK("256"), 0);
    EXPECT_EQ(S10_I2_OK("-32768"), 1);
    EXPECT_EQ(S10_I4_OK(" -5 "), 1);
    EXPECT_EQ(S10_U4_OK("-5"), 0);
    EXPECT_EQ(S10_U4_OK(nullptr), 0);
    EXPECT_EQ(S_F8_OK("1e3"), 1);
    EXPECT_EQ(S_F8_OK("1.0f"), 0);
    EXPECT_EQ(err_, 0);
}

// ---- Character tables ---------------------------------------------------------------------

TEST(CharacterTables, DigitValuesOfEveryCode) {
    for (int c = 0; c < 256; ++c) {
        int want = 255;
        if (c >= '0' && c <= '9') want = c - '0';
        if (c >= 'A' && c <= 'Z') want = c - 'A' + 10;
        if (c >= 'a' && c <= 'z') want = c - 'a' + 10;
        ASSERT_EQ(c_v[c], want) << "code " << c;
        if (want != 255) {
            EXPECT_EQ(v_c[want], std::toupper(c));
        }
    }
}

// ---- Number to text -----------------------------------------------------------------------

TEST(NumberText, DecimalFormsAndGrouping) {
    EXPECT_STREQ(V_S10(-32768, nullptr, 0), "-32768");
    EXPECT_STREQ(V_S10(0, nullptr, 0), "0");
    EXPECT_STREQ(V_S10(INT32_MIN, nullptr, 0), "-2147483648");
    EXPECT_STREQ(V_S10(999, nullptr, 1), "999");
    EXPECT_STREQ(V_S10(1234, nullptr, 1), "1,234");
    EXPECT_STREQ(V_S10(123456, nullptr, 1), "123,456");
    EXPECT_STREQ(V_S10(1234567, nullptr, 1), "1,234,567");
    EXPECT_STREQ(V_S10(INT32_MAX, nullptr, 1), "2,147,483,647");
    // Only the digits are grouped: the sign and padding stay in front.
    EXPECT_STREQ(V_S10(-1234567, nullptr, 1), "-1,234,567");
    EXPECT_STREQ(V_S10(-123, nullptr, 1), "-123");
    EXPECT_STREQ(V_S10(1234, "%8ld", 1), "    1,234");
}

TEST(NumberText, DecimalWithCallersFormat) {
    EXPECT_STREQ(V_S10(7, "%03ld", 0), "007");
    EXPECT_STREQ(V_S10(123, "% 12ld", 0), "         123");
    EXPECT_STREQ(V_S10(-5, "[%d]", 0), "[-5]");
    EXPECT_STREQ(V_S10(5, "100%% of %ld", 0), "100% of 5");
    // Formats that would read a second or a wrong argument fall back to "%ld".
    EXPECT_STREQ(V_S10(5, "%s", 0), "5");
    EXPECT_STREQ(V_S10(5, "%ld %ld", 0), "5");
    EXPECT_STREQ(V_S10(5, "%*ld", 0), "5");
    EXPECT_STREQ(V_S10(5, "%n", 0), "5");
    EXPECT_STREQ(V_S10(5, "abc%", 0), "5");
    // Output is cut below 100 characters.
    EXPECT_EQ(std::string(V_S10(1, "%0150ld", 0)), std::string(99, '0'));
}

TEST(NumberText, SixtyFourBitDecimal) {
    const struct {
        std::uint64_t value;
        const char* format;
        char commas;
        const char* want;
    } cases[] = {
        {0, nullptr, 0, "0"},
        {0, nullptr, 1, "0"},
        {9223372036854775807u, nullptr, 0, "9223372036854775807"},
        {9223372036854775807u, nullptr, 1, "9,223,372,036,854,775,807"},
        {UINT64_MAX, nullptr, 0, "18446744073709551615"},
        {UINT64_MAX, nullptr, 1, "18,446,744,073,709,551,615"},
        {UINT64_MAX, "%22lu", 1, "  18,446,744,073,709,551,615"},
        {5368709120u, "[%llu]", 0, "[5368709120]"},
        {UINT64_MAX, "%lX", 0, "FFFFFFFFFFFFFFFF"},
        // A conversion without "l" would print only part of the number: the default is used.
        {5368709120u, "%u", 0, "5368709120"},
        {5368709120u, "[%hd]", 1, "5,368,709,120"},
        {5, "%s", 0, "5"},
        {5, "%lu %lu", 0, "5"},
        {5, "%*lu", 0, "5"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(V8_S10(c.value, c.format, c.commas), c.want)
            << c.value << ' ' << (c.format ? c.format : "null");
    }
    EXPECT_EQ(std::string(V8_S10(1, "%0150lu", 0)), std::string(99, '0'));
}

TEST(NumberText, HexAndOctal) {
    EXPECT_STREQ(V_S16(255, nullptr, "0x"), "0xff");
    EXPECT_STREQ(V_S16(0, nullptr, nullptr), "0");
    EXPECT_STREQ(V_S16(0xFFFFFFFFu, nullptr, nullptr), "ffffffff");
    EXPECT_STREQ(V_S16(255, "%08lX", "X"), "X000000FF");
    EXPECT_STREQ(V_S16(255, "%04x", nullptr), "00ff");
    EXPECT_STREQ(V_S8(8, nullptr, "0"), "010");
    EXPECT_STREQ(V_S8(0755, "%lo", nullptr), "755");
    const std::string long_prefix(120, 'p');
    EXPECT_EQ(std::string(V_S16(1, nullptr, long_prefix.c_str())), std::string(99, 'p'));
}

TEST(NumberText, BinaryZeroFilledToWidth) {
    EXPECT_STREQ(V_S2(5, 8, "b"), "b0000101");
    EXPECT_STREQ(V_S2(0, 0, nullptr), "0");
    EXPECT_STREQ(V_S2(5, 2, nullptr), "101");
    EXPECT_STREQ(V_S2(0, 4, "B"), "B000");
    EXPECT_STREQ(V_S2(0x80000001u, 0, nullptr), "10000000000000000000000000000001");
    EXPECT_EQ(std::string(V_S2(1, 65535, nullptr)), std::string(98, '0') + "1");
}

TEST(NumberText, FloatingPoint) {
    EXPECT_STREQ(V_S(1.25, nullptr), "1.25");
    EXPECT_STREQ(V_S(2.0, nullptr), "2.0");
    EXPECT_STREQ(V_S(3.14, nullptr), "3.14");
    EXPECT_STREQ(V_S(-0.5, nullptr), "-0.5");
    EXPECT_STREQ(V_S(100.0, nullptr), "100.0");
    EXPECT_STREQ(V_S(3.14159, "%.2f"), "3.14");
    EXPECT_STREQ(V_S(2.5, "%s"), "2.5");  // refused format: plain form
    // Large values come out whole, not cut at the buffer.
    std::string big = V_S(1e300, nullptr);
    EXPECT_EQ(big.size(), 303u);
    EXPECT_EQ(big.substr(big.size() - 2), ".0");
}

// ---- Pending error ------------------------------------------------------------------------

TEST(PendingError, ConversionsDoNothingButNumbersAreStillWritten) {
    S_ERR("first");
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_I4("5", &pos, 0), 0);
    EXPECT_EQ(S10_U2("5", &pos, 0), 0);
    EXPECT_EQ(S16_U4("5", &pos, 0, 0), 0u);
    EXPECT_EQ(S_F8("5", &pos), 0.0);
    EXPECT_EQ(S10_I4(nullptr, &pos, 0), 0);
    EXPECT_EQ(pos, unset);
    EXPECT_EQ(S10_U2_OK("80"), 0);
    EXPECT_EQ(S_F8_OK("1"), 0);
    EXPECT_STREQ(V_S(1.25, nullptr), "?");
    // Messages are composed with these, so they work while the error waits.
    EXPECT_STREQ(V_S10(42, nullptr, 1), "42");
    EXPECT_STREQ(V_S16(255, nullptr, "0x"), "0xff");
    EXPECT_STREQ(V_S8(8, nullptr, nullptr), "10");
    EXPECT_STREQ(V_S2(5, 0, nullptr), "101");
    EXPECT_EQ(err_, 1);
    EXPECT_EQ(take_err(), "first");
}

TEST(PendingError, SixtyFourBitFormsAsTheirSiblings) {
    S_ERR("first");
    std::uint16_t pos = unset;
    EXPECT_EQ(S10_U8("5", &pos, 0), 0u);
    EXPECT_EQ(S10_U8(nullptr, &pos, 0), 0u);
    EXPECT_EQ(pos, unset);
    EXPECT_EQ(S10_U8_OK("5"), 0);
    EXPECT_STREQ(V8_S10(5368709120u, nullptr, 1), "5,368,709,120");
    EXPECT_EQ(take_err(), "first");
}
