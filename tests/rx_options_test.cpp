// catchr's command line and its --allow blocks.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

std::uint32_t ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return ntohl(a.s_addr);
}

TEST(CatchrOptions, TheLegacyPortAndEveryOption) {
    rx::Options o = rx::parse_options({"9600", "extra"});
    EXPECT_EQ(o.action, rx::Options::Action::run);
    EXPECT_EQ(o.port, 9600);
    o = rx::parse_options({"-d", "in box", "--confine", "--no-clobber", "--no-exec-bits", "-q", "-p", "0",
                           "--allow", "10.0.0.0/24,127.0.0.1"});
    ASSERT_EQ(o.action, rx::Options::Action::run) << o.error;
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.dir, "in box");
    EXPECT_TRUE(o.confine && o.no_clobber && !o.exec_bits && o.quiet);
    EXPECT_EQ(o.allow.size(), 2u);
    EXPECT_EQ(rx::parse_options({}).port, 9500);
    o = rx::parse_options({"--min-free", "2G", "--max-connections", "100", "--per-address", "3", "--min-rate", "64K",
                           "--rate-window", "5", "--keep-partial", "0"});
    ASSERT_EQ(o.action, rx::Options::Action::run) << o.error;
    EXPECT_EQ(o.min_free, 2ULL << 30);
    EXPECT_EQ(o.max_connections, 100u);
    EXPECT_EQ(o.per_address, 3u);
    EXPECT_EQ(o.min_rate, 64u << 10);
    EXPECT_EQ(o.rate_window_secs, 5u);
    EXPECT_EQ(o.keep_partial_days, 0u);
    EXPECT_EQ(rx::parse_options({}).keep_partial_days, 7u);
    EXPECT_FALSE(rx::parse_options({}).min_free.has_value());
    EXPECT_EQ(rx::parse_options({"-V"}).action, rx::Options::Action::version);
    // --trust exits after its work; the options before and after it still read.
    const std::string fp = "SHA256:" + std::string(43, 'A');
    o = rx::parse_options({"--secure", "--trust", fp, "-q"});
    EXPECT_EQ(o.action, rx::Options::Action::trust);
    EXPECT_EQ(o.trust_fingerprint, fp);
    EXPECT_TRUE(o.secure && o.quiet);
    EXPECT_EQ(rx::parse_options({"9600", "--help"}).action, rx::Options::Action::help);
}

TEST(CatchrOptions, BadValuesNameWhatWasWrong) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"70000"}, "bad port \"70000\": a number from 0 to 65535"},
        {{"-p", "x1"}, "bad port \"x1\": a number from 0 to 65535"},
        {{"-d"}, "option -d needs a value"},
        {{"-d", ""}, "-d needs a directory"},
        {{"--confin"}, "unknown option --confin"},
        {{"--allow", "10.0.0.0/33"}, "bad --allow entry \"10.0.0.0/33\": an IPv4 address or block such as 10.0.0.0/24"},
        {{"--allow", "10.0.0.1,"}, "bad --allow entry \"\": an IPv4 address or block such as 10.0.0.0/24"},
        {{"--allow", "10.1"}, "bad --allow entry \"10.1\": an IPv4 address or block such as 10.0.0.0/24"},
        {{"--min-free", "1.5G"}, "bad --min-free \"1.5G\": a size such as 500M or 2G"},
        {{"--min-free", "99999999999T"}, "bad --min-free \"99999999999T\": a size such as 500M or 2G"},
        {{"--min-free", "G"}, "bad --min-free \"G\": a size such as 500M or 2G"},
        {{"--per-address", "0"}, "bad --per-address \"0\": a whole number from 1 to 100000"},
        {{"--max-connections", "-1"}, "bad --max-connections \"-1\": a whole number from 1 to 100000"},
        {{"--min-rate", "fast"}, "bad --min-rate \"fast\": bytes a second, such as 1K"},
        {{"--keep-partial", "-1"}, "bad --keep-partial \"-1\": a whole number of days (0 keeps none)"},
        {{"--trust", "SHA256:short"}, "bad --trust \"SHA256:short\": a key's fingerprint, SHA256: and 43 characters"},
    };
    for (const auto& [args, why] : cases) {
        const rx::Options o = rx::parse_options(args);
        EXPECT_EQ(o.action, rx::Options::Action::usage_error) << args[0];
        EXPECT_EQ(o.error, why);
    }
}

TEST(CatchrOptions, AllowedPeersByAddressAndBlock) {
    std::vector<rx::Net> nets(2);
    ASSERT_TRUE(rx::parse_net("192.168.7.0/24", nets[0]));
    ASSERT_TRUE(rx::parse_net("10.9.0.5", nets[1]));
    const std::pair<const char*, bool> cases[] = {
        {"192.168.7.0", true}, {"192.168.7.255", true}, {"192.168.8.1", false},
        {"10.9.0.5", true},    {"10.9.0.6", false},     {"127.0.0.1", false},
    };
    for (const auto& [peer, ok] : cases) EXPECT_EQ(rx::allowed(nets, ip(peer)), ok) << peer;
    EXPECT_TRUE(rx::allowed({}, ip("8.8.8.8")));  // no --allow: everyone
    rx::Net all;
    ASSERT_TRUE(rx::parse_net("0.0.0.0/0", all));
    EXPECT_TRUE(rx::allowed({all}, ip("203.0.113.9")));
    ASSERT_TRUE(rx::parse_net("10.9.0.77/30", all));  // host bits of the block do not matter
    EXPECT_TRUE(rx::allowed({all}, ip("10.9.0.76")));
}

}  // namespace
