// Key names and the display form of one character.
#include <gtest/gtest.h>

#include <string>

#include "lb.h"

TEST(KeyNames, CoverEveryCodeInTheirDocumentedPlaces) {
    for (int c = 0; c < 256; ++c) ASSERT_NE(ky_ech[c], nullptr) << c;
    const struct {
        int code;
        const char* name;
    } cases[] = {
        {0, "<Ctrl-@>"},     {1, "<Ctrl-A>"},       {8, "<BS>"},          {9, "<Tab>"},
        {10, "<Ctrl-J>"},    {13, "<Enter>"},       {26, "<Ctrl-Z>"},     {27, "<Esc>"},
        {28, "<Ctrl-\\>"},   {29, "<Ctrl-]>"},      {30, "<Ctrl-`>"},     {31, "<Ctrl-->"},
        {32, "<Space>"},     {33, "!"},             {126, "~"},           {127, "<DEL>"},
        {128, "<Ctrl-Dwn>"}, {129, "<Ctrl-End>"},   {130, "<Ctrl-F1>"},   {131, "<Ctrl-F10>"},
        {134, "<Ctrl-F2>"},  {141, "<Ctrl-F9>"},    {142, "<Ctrl-Home>"}, {147, "<Ctrl-Up>"},
        {148, "<Delete>"},   {150, "<End>"},        {151, "<F1>"},        {154, "<F12>"},
        {155, "<F2>"},       {162, "<F9>"},         {163, "<Home>"},      {166, "<PageDown>"},
        {169, "<Shft-Tab>"}, {170, "<Up>"},         {171, "<Alt-0>"},     {180, "<Alt-9>"},
        {181, "<Alt-A>"},    {206, "<Alt-Z>"},      {207, "<Alt-Up>"},    {210, "<Alt-Rgt>"},
        {211, "<KP:->"},     {212, "<KP:+>"},       {213, "<KP:Enter>"},  {214, "\xD6"},
        {254, "\xFE"},       {255, "<?>"},
    };
    for (const auto& c : cases) EXPECT_STREQ(ky_ech[c.code], c.name) << c.code;
    // Printable ASCII and the Latin-1 letters name themselves.
    const auto self = [](int c) { return std::string(1, static_cast<char>(c)); };
    for (int c = 33; c < 127; ++c) EXPECT_EQ(ky_ech[c], self(c));
    for (int c = 214; c < 255; ++c) EXPECT_EQ(ky_ech[c], self(c));
}

TEST(CharDisplay, TabFillsToTheNextStopOfEight) {
    EXPECT_STREQ(CH_ECHT('\t', 0), "        ");
    EXPECT_STREQ(CH_ECHT('\t', 5), "   ");
    EXPECT_STREQ(CH_ECHT('\t', 7), " ");
    EXPECT_STREQ(CH_ECHT('\t', 8), "        ");
    EXPECT_STREQ(CH_ECHT('\t', 65535), " ");
}

TEST(CharDisplay, OtherBytesTakeTheirDisplayString) {
    EXPECT_STREQ(CH_ECHT('\n', 0), "<LF>");
    EXPECT_STREQ(CH_ECHT('\x07', 3), "<BELL>");
    EXPECT_STREQ(CH_ECHT('\xFF', 0), "<?>");
    EXPECT_STREQ(CH_ECHT('A', 0), "A");
    EXPECT_STREQ(CH_ECHT('\0', 0), "<NUL>");
    // Results are temporaries of their own, not one shared buffer.
    char* a = CH_ECHT('a', 0);
    char* b = CH_ECHT('b', 0);
    EXPECT_STREQ(a, "a");
    EXPECT_STREQ(b, "b");
}

TEST(CharDisplay, PendingErrorGivesQuestionMark) {
    S_ERR("earlier");
    EXPECT_STREQ(CH_ECHT('A', 0), "?");
    EXPECT_STREQ(ERR_S(), "earlier");
}
