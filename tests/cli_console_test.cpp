// The one sanitizer and the one console both programs print through.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "console.h"
#include "shown.h"

namespace {

using namespace std::chrono_literals;

TEST(Shown, EscapesWhatCouldDriveATerminalAndKeepsText) {
    using namespace std::string_literals;
    const std::pair<std::string, std::string> cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7"},  // UTF-8 stays
        {"a\x1b]0;TITLE\x07", "a\\x1B]0;TITLE\\x07"},                                             // C0
        {"nul\0x"s, "nul\\x00x"}, {"del\x7f", "del\\x7F"},
        {"\xc2\x9b" "2J", "\\xC2\\x9B2J"},                           // C1 in UTF-8 (CSI)
        {"\xc2\x9d" "0;T\xc2\x9c", "\\xC2\\x9D0;T\\xC2\\x9C"},      // OSC ... ST
        {"raw \x9b", "raw \\x9B"},                                  // C1 raw
        {"latin1 \xe9t\xe9", "latin1 \\xE9t\\xE9"},                 // not UTF-8
        {"cut \xe2\x82", "cut \\xE2\\x82"},                         // a character cut short
        {"overlong \xc0\xaf", "overlong \\xC0\\xAF"}, {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80"},
        {"\xc2\xa0nbsp", "\xc2\xa0nbsp"},                           // U+00A0 is no control
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(cli::shown(text), want) << want;
}

std::string read_all(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
    return s;
}

TEST(Console, LinesClearTheStatusAndBellsStayOnTerminals) {
    const auto t0 = cli::Console::Clock::time_point{} + 1h;
    std::FILE* f = std::tmpfile();
    cli::Console term(f, true);
    term.status("50% done", t0);
    EXPECT_TRUE(term.too_soon(t0 + 99ms));
    EXPECT_EQ(term.ms_to_next_draw(t0 + 60ms), 40);
    EXPECT_FALSE(term.too_soon(t0 + 100ms));
    term.error("full");
    term.line("next");
    EXPECT_EQ(read_all(f), "\r50% done\x1b[K\r\x1b[KERROR: full\a\nnext\n");
    std::fclose(f);

    f = std::tmpfile();
    cli::Console log(f, false);
    log.error("full");
    EXPECT_EQ(read_all(f), "ERROR: full\n");
    std::fclose(f);
}

}  // namespace
