// The extension's lines: what each end writes is what the other reads, and nothing that is
// almost a line of the extension passes for one.
#include <gtest/gtest.h>

#include <string>

#include "digest.h"
#include "ext.h"
#include "wire.h"

namespace {

using Tag = wire::Answer::Tag;

TEST(Hello, RoundTripsAndAgreesOnTheCommonPart) {
    wire::Hello ours = wire::our_hello();
    EXPECT_EQ(wire::hello_header(ours), "\r\rCATCHR-EXT 1 verify resume times batch\r");
    wire::Hello theirs;
    ASSERT_TRUE(wire::parse_hello("CATCHR-EXT 3 resume batch", theirs));
    const wire::Hello both = wire::agreed(ours, theirs);
    EXPECT_EQ(both.version, 1u);
    EXPECT_EQ(both.features, (std::vector<std::string>{"resume", "batch"}));
    // No older receiver's answer, and no size line, is a hello.
    for (const char* line : {"bad size line \"CATCHR-EXT 1 verify\": digits only", "CATCHR-EXT", "CATCHR-EXT 0",
                             "CATCHR-EXT 01 verify", "CATCHR-EXT 1  verify", "CATCHR-EXT x", "catchr-ext 1", "12", ""})
        EXPECT_FALSE(wire::parse_hello(line, theirs)) << line;
}

TEST(Request, CarriesTimeAndModeToTheNanosecond) {
    const wire::Attrs sent{1700000000, 5, 0755};
    const std::string req = wire::request("a.txt", "d", 5, sent);
    EXPECT_EQ(req, "a.txt\rd\r5\rmtime=1700000000.000000005 mode=755\r");
    wire::Attrs got;
    EXPECT_EQ(wire::parse_attrs("mtime=-12.999999999 mode=4755 later=x", got), "");
    EXPECT_EQ(got.mtime_sec, -12);
    EXPECT_EQ(got.mtime_nsec, 999999999u);
    EXPECT_EQ(got.mode, 0755u);  // set-id and sticky bits never travel
    for (const char* bad : {"mtime=1.5 mode=644", "mtime=1.000000000", "mode=644", "mtime=1.00000000x mode=644",
                            "mtime=+1.000000000 mode=644", "mtime=1.000000000 mode=9", "mtime=1.000000000 mode=",
                            "mtime=1.000000000 mode=17777", "mtime=1.000000000 mode", ""})
        EXPECT_NE(wire::parse_attrs(bad, got), "") << bad;
}

TEST(Answer, TagsAreExactAndTextsComeBack) {
    struct Case {
        std::string line;
        Tag tag;
        std::uint64_t offset;
        std::string text;
    } cases[] = {
        {"GO 0", Tag::go, 0, ""},
        {"GO 3221225472", Tag::go, 3221225472ULL, ""},
        {"OK", Tag::ok, 0, ""},
        {"NO a: not stored: it exists", Tag::no, 0, "a: not stored: it exists"},
        {"BADSUM a: differs", Tag::badsum, 0, "a: differs"},
        {"STALE a: gone", Tag::stale, 0, "a: gone"},
        {"GO", Tag::other, 0, ""},
        {"GO -1", Tag::other, 0, ""},
        {"GO 01", Tag::other, 0, ""},
        {"OK then", Tag::other, 0, ""},
        {"ok", Tag::other, 0, ""},
        {"bad size line", Tag::other, 0, ""},
    };
    for (const Case& c : cases) {
        const wire::Answer a = wire::parse_answer(c.line);
        EXPECT_EQ(a.tag, c.tag) << c.line;
        if (c.tag == Tag::go) {
            EXPECT_EQ(a.offset, c.offset) << c.line;
        }
        if (c.tag != Tag::other) {
            EXPECT_EQ(a.text, c.text) << c.line;
        }
    }
    EXPECT_EQ(wire::go_line(7), "GO 7\r");
    const std::string long_no = wire::answer_line(Tag::no, std::string(2000, 'x'));
    EXPECT_EQ(long_no.size(), wire::reply_mxsz + 1);
    EXPECT_EQ(wire::parse_answer(long_no.substr(0, long_no.size() - 1)).tag, Tag::no);
}

TEST(Body, FromAndSumFrameItExactly) {
    std::uint64_t n = 1;
    EXPECT_TRUE(wire::parse_from("FROM 0", n));
    EXPECT_EQ(n, 0u);
    for (const char* bad : {"FROM", "FROM ", "FROM -1", "FROM 1 ", "from 1", "FROM 007"})
        EXPECT_FALSE(wire::parse_from(bad, n)) << bad;
    const std::string empty = wire::Digest::of("", 0), hello = wire::Digest::of("hello", 5);
    EXPECT_EQ(empty, "99aa06d3014798d86001c324468d497f");
    std::string prefix, whole;
    const std::string line = wire::sum_line(empty, hello);
    ASSERT_TRUE(wire::parse_sum(line.substr(0, line.size() - 1), prefix, whole));
    EXPECT_EQ(prefix, empty);
    EXPECT_EQ(whole, hello);
    const std::string upper = "SUM " + empty + " B5E9C1AD071B3E7FC779CFAA5E523818";
    for (const std::string& bad : {upper, "SUM " + empty, "SUM " + empty + " " + hello + " x", "SUM  " + empty + " " + hello})
        EXPECT_FALSE(wire::parse_sum(bad, prefix, whole)) << bad;
}

TEST(Batch, ControlRequestsAndCountsAreStrict) {
    wire::Attrs a{1, 2, 0700, true};
    EXPECT_EQ(wire::request("f", "", 3, a), "f\r\r3\rmtime=1.000000002 mode=700 body=now\r");
    EXPECT_EQ(wire::check_entry("f", "d", 3, a), "f\rd\r3\rmtime=1.000000002 mode=700\r");
    EXPECT_EQ(wire::dir_request("d/e", a), "\rd/e\rDIR\rmtime=1.000000002 mode=700\r");
    EXPECT_EQ(wire::check_request(2), "\r\rCHECK 2\rmtime=0.000000000 mode=0\r");
    wire::Attrs got;
    EXPECT_EQ(wire::parse_attrs("mtime=0.000000000 mode=0 body=now", got), "");
    EXPECT_TRUE(got.body_now);
    EXPECT_NE(wire::parse_attrs("mtime=0.000000000 mode=0 body=later", got), "");
    std::size_t n = 0;
    EXPECT_TRUE(wire::parse_check("CHECK 100000", n));
    EXPECT_EQ(n, 100000u);
    EXPECT_TRUE(wire::parse_checked("CHECKED 7", n));
    EXPECT_EQ(n, 7u);
    for (const char* bad : {"CHECK 0", "CHECK 100001", "CHECK", "CHECK ", "CHECK 01", "CHECKX 1", "CHECKED 1"})
        EXPECT_FALSE(wire::parse_check(bad, n)) << bad;
    EXPECT_FALSE(wire::parse_checked("CHECK 1", n));
}

TEST(Digest, InPiecesEqualsWholeAndCanBeReadMidway) {
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 9));
    wire::Digest d;
    d.update(data.data(), 1000);
    EXPECT_EQ(d.hex(), wire::Digest::of(data.data(), 1000));  // reading it changes nothing
    d.update(data.data() + 1000, data.size() - 1000);
    EXPECT_EQ(d.hex(), wire::Digest::of(data.data(), data.size()));
    data[777777] ^= 1;
    EXPECT_NE(d.hex(), wire::Digest::of(data.data(), data.size()));
}

}  // namespace
