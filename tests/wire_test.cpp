// The protocol's lines as both programs read them.
#include <gtest/gtest.h>

#include <string>

#include "wire.h"

namespace {

TEST(SizeLine, DigitsOnlyWithinSixtyFourBits) {
    using namespace std::string_literals;
    const std::pair<std::string, std::uint64_t> good[] = {
        {"0", 0}, {"5", 5}, {"1000", 1000}, {"18446744073709551615", UINT64_MAX}, {"9223372036854775808", 1ULL << 63},
    };
    for (const auto& [line, want] : good) {
        std::uint64_t size = 1;
        EXPECT_EQ(wire::parse_size(line, size), "") << line;
        EXPECT_EQ(size, want) << line;
    }
    const std::pair<std::string, const char*> bad[] = {
        {"+5", "digits only"}, {" 5", "digits only"}, {"5 ", "digits only"}, {"-0", "digits only"},
        {"5\0"s, "digits only"}, {"-1", "digits only"}, {"0x10", "digits only"}, {"1e3", "digits only"},
        {"", "empty"}, {"05", "no leading zeros"}, {"00", "no leading zeros"},
        {"18446744073709551616", "larger than 18446744073709551615"},
        {"99999999999999999999", "larger than 18446744073709551615"},
        {"100000000000000000000", "larger than 18446744073709551615"},
    };
    for (const auto& [line, why] : bad) {
        std::uint64_t size = 7;
        const std::string got = wire::parse_size(line, size);
        EXPECT_EQ(got.substr(got.find("\": ") + 3), why) << got;
        EXPECT_EQ(size, 7u) << line;  // untouched
    }
    std::uint64_t size = 0;
    EXPECT_EQ(wire::parse_size("5\0"s, size), "bad size line \"5\\x00\": digits only");  // shown, not cut
}

TEST(Reply, OkInAnyCaseAndLinesUpToTheLimit) {
    EXPECT_EQ(wire::header("a.txt", "", 3), "a.txt\r\r3\r");
    for (const char* ok : {"OK", "ok", "Ok", "oK"}) EXPECT_TRUE(wire::stored(ok)) << ok;
    for (const char* no : {"", "O", "OK ", "OKAY", "No room"}) EXPECT_FALSE(wire::stored(no)) << no;

    wire::ReplyReader pieces;  // a byte at a time, and bytes after the CR ignored
    for (char c : std::string("No room\rjunk")) pieces.take(std::string_view(&c, 1));
    EXPECT_EQ(pieces.take(""), wire::ReplyReader::State::line);
    EXPECT_EQ(pieces.line(), "No room");

    wire::ReplyReader longest;
    EXPECT_EQ(longest.take(std::string(wire::reply_mxsz, 'x') + "\r"), wire::ReplyReader::State::line);
    wire::ReplyReader too_long;
    EXPECT_EQ(too_long.take(std::string(wire::reply_mxsz, 'x')), wire::ReplyReader::State::more);
    EXPECT_EQ(too_long.take("y"), wire::ReplyReader::State::too_long);
    EXPECT_EQ(too_long.line().size(), wire::reply_mxsz);
}

}  // namespace
