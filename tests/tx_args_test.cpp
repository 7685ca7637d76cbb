// pitchr's command line: every documented form, and the ones that used to be misread.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "args.h"
#include "expand.h"

namespace {

// A world with the files "a", "a.txt", "d", "2024", "10.9.0.7", "TO:x" and "notes.txt", and
// the hosts "rxhost" and "box.lan".
tx::Args parse(const std::vector<std::string>& args) {
    static const std::set<std::string> files{"a", "a.txt", "d", "2024", "10.9.0.7", "TO:x", "notes.txt"};
    static const std::set<std::string> hosts{"rxhost", "box.lan"};
    const tx::World world{[](const std::string& p) { return files.count(p) > 0; },
                          [](const std::string& h) { return hosts.count(h) > 0; }};
    return tx::parse_args(args, world);
}

using FileSpecs = std::vector<std::string>;

struct SendCase {
    std::vector<std::string> args;
    FileSpecs fspecs;
    std::string address;  // empty: the default, not given
    std::uint16_t port;
    std::string destdir;
};

TEST(PitchrArgs, EachArgumentIsTakenForOneThing) {
    const SendCase cases[] = {
        // The free-order form, in any order.
        {{"a.txt", "192.168.0.9"}, {"a.txt"}, "192.168.0.9", 9500, ""},
        {{"192.168.0.9", "a.txt", "9600", "to:/tmp"}, {"a.txt"}, "192.168.0.9", 9600, "/tmp"},
        {{"TO:", "a.txt", "10.0.0.7"}, {"a.txt"}, "10.0.0.7", 9500, ""},
        {{"9500", "192.168.0.9", "a.txt"}, {"a.txt"}, "192.168.0.9", 9500, ""},
        // Existing files are file-specs whatever they look like.
        {{"2024", "10.0.0.7"}, {"2024"}, "10.0.0.7", 9500, ""},
        {{"10.9.0.7", "10.0.0.1"}, {"10.9.0.7"}, "10.0.0.1", 9500, ""},
        {{"TO:x", "10.0.0.1"}, {"TO:x"}, "10.0.0.1", 9500, ""},
        // A bare number is the port, never an address.
        {{"a", "9611", "10.9.0.1"}, {"a"}, "10.9.0.1", 9611, ""},
        // Host names that resolve, and ":port" after either kind.
        {{"rxhost", "a"}, {"a"}, "rxhost", 9500, ""},
        {{"a", "box.lan:9700"}, {"a"}, "box.lan", 9700, ""},
        {{"a", "10.0.0.7:9700", "9700"}, {"a"}, "10.0.0.7", 9700, ""},
        // A "*" in the last part makes a pattern, whether or not anything matches it.
        {{"*.txt", "no/such/dir/x*", "10.0.0.7"}, {"*.txt", "no/such/dir/x*"}, "10.0.0.7", 9500, ""},
        // With no address anywhere, the default one.
        {{"a", "d"}, {"a", "d"}, "", 9500, ""},
        // Options, joined or apart, and "--".
        {{"-p", "9600", "-t", "in", "a", "10.0.0.7"}, {"a"}, "10.0.0.7", 9600, "in"},
        {{"-p9600", "-tin", "a"}, {"a"}, "", 9600, "in"},
        {{"a", "--", "-k", "9500", "10.0.0.7", "TO:y"}, {"a", "-k", "9500", "10.0.0.7", "TO:y"}, "", 9500, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const tx::Args a = parse(c.args);
        ASSERT_EQ(a.action, tx::Args::Action::send) << a.error;
        EXPECT_EQ(a.fspecs, c.fspecs);
        EXPECT_EQ(a.address_given, !c.address.empty());
        EXPECT_EQ(a.address, c.address.empty() ? tx::default_address : c.address);
        EXPECT_EQ(a.port, c.port);
        EXPECT_EQ(a.destdir, c.destdir);
    }
}

TEST(PitchrArgs, FlagsAndTheirLongForms) {
    tx::Args a = parse({"-rak", "d"});
    EXPECT_TRUE(a.recursive && a.hidden && a.keep_going && !a.verbose);
    a = parse({"--keep-going", "d"});
    EXPECT_TRUE(a.keep_going && !a.recursive && !a.hidden);
    EXPECT_TRUE(parse({"-v", "d"}).verbose);
    for (const auto& arg : {"-h", "--help", "-kh"}) EXPECT_EQ(parse({"a", arg}).action, tx::Args::Action::help);
    for (const auto& arg : {"-V", "--version"}) EXPECT_EQ(parse({arg}).action, tx::Args::Action::version);
    a = parse({"--classic", "d"});
    EXPECT_TRUE(a.classic);
    EXPECT_EQ(a.retries, 3u);
    EXPECT_FALSE(parse({"d"}).classic);
}

TEST(PitchrArgs, RetriesTakeACountApartOrJoined) {
    const std::pair<std::vector<std::string>, unsigned> counts[] = {
        {{"--retries", "0", "a"}, 0}, {{"--retries=7", "a"}, 7}, {{"a", "--retries", "10"}, 10},
    };
    for (const auto& [args, n] : counts) {
        SCOPED_TRACE(testing::PrintToString(args));
        const tx::Args a = parse(args);
        ASSERT_EQ(a.action, tx::Args::Action::send) << a.error;
        EXPECT_EQ(a.retries, n);
        EXPECT_EQ(a.fspecs, FileSpecs{"a"});
    }
    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{"a", "--retries"}, "option --retries needs a value"},
        {{"a", "--retries=11"}, "--retries needs a count from 0 to 10, not \"11\""},
        {{"a", "--retries=-1"}, "--retries needs a count from 0 to 10, not \"-1\""},
        {{"a", "--retries="}, "--retries needs a count from 0 to 10, not \"\""},
        {{"a", "--retries", "007"}, "--retries needs a count from 0 to 10, not \"007\""},
        // The value is the option's, whatever else it could be: a file here, or a port.
        {{"--retries", "2024", "a"}, "--retries needs a count from 0 to 10, not \"2024\""},
    };
    for (const auto& [args, why] : bad) {
        const tx::Args a = parse(args);
        EXPECT_EQ(a.action, tx::Args::Action::usage_error) << testing::PrintToString(args);
        EXPECT_EQ(a.error, why);
    }
}

TEST(PitchrArgs, JobsUpdateAndDryRun) {
    const struct {
        std::vector<std::string> args;
        unsigned jobs;
        bool update, dry_run;
    } cases[] = {
        {{"a"}, 0, false, false},
        {{"-j", "4", "a"}, 4, false, false},
        {{"-j16", "-un", "a"}, 16, true, true},
        {{"--jobs=1", "--update", "--dry-run", "a"}, 1, true, true},
        {{"a", "--jobs", "2", "-n"}, 2, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const tx::Args a = parse(c.args);
        ASSERT_EQ(a.action, tx::Args::Action::send) << a.error;
        EXPECT_EQ(a.fspecs, FileSpecs{"a"});
        EXPECT_EQ(std::tuple(a.jobs, a.update, a.dry_run), std::tuple(c.jobs, c.update, c.dry_run));
    }
    for (const auto& [args, shown] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"a", "-j", "0"}, "-j"}, {{"a", "-j17"}, "-j"}, {{"a", "--jobs=x"}, "--jobs"}, {{"a", "--jobs", "2024"}, "--jobs"}}) {
        const tx::Args a = parse(args);
        EXPECT_EQ(a.action, tx::Args::Action::usage_error) << testing::PrintToString(args);
        EXPECT_TRUE(a.error.starts_with(shown + " needs a number of connections from 1 to 16, not \"")) << a.error;
    }
}

TEST(PitchrArgs, WhatCannotBeToldApartIsAUsageError) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"10.0.0.7"}, "nothing to send: name at least one file-spec"},
        {{"-x", "a"}, "unknown option -x"},
        {{"--fast", "a"}, "unknown option --fast"},
        {{"a", "-p"}, "option -p needs a value"},
        {{"a", "-p", "70000"}, "-p needs a port from 0 to 65535, not \"70000\""},
        {{"a", "9600", "9700"}, "two ports: 9600 and 9700"},
        {{"a", "-p", "9600", "10.0.0.7:9700"}, "two ports: 9600 and 10.0.0.7:9700"},
        {{"a", "10.0.0.7", "10.0.0.8"}, "two addresses: 10.0.0.7 and 10.0.0.8"},
        {{"a", "TO:x1", "-t", "x2"}, "two destination directories: \"x1\" and \"x2\""},
        {{"a", "0.0.0.0"}, "0.0.0.0 is no receiver's address"},
        // A file named like an address may have been meant as one when no other is given.
        {{"10.9.0.7"}, "\"10.9.0.7\" is a file here and also an address: name the receiver's address too, or "
                       "write \"./10.9.0.7\" for the file"},
    };
    for (const auto& [args, why] : cases) {
        const tx::Args a = parse(args);
        EXPECT_EQ(a.action, tx::Args::Action::usage_error) << testing::PrintToString(args);
        EXPECT_EQ(a.error, why);
    }
    // What is neither a file here nor an address is no guess at either: nothing goes to the
    // default address because of a typo. Loose numeric forms are no addresses.
    const std::pair<std::vector<std::string>, std::string> neither[] = {
        {{"a", "10.9.3.l"}, "10.9.3.l"},           {{"notes.txt", "10.0.0.7", "nots.txt"}, "nots.txt"},
        {{"a", "10.1"}, "10.1"},                   {{"a", "010.0.0.1"}, "010.0.0.1"},
        {{"a", "1.2.3.256"}, "1.2.3.256"},         {{"a", "0x7f000101"}, "0x7f000101"},
        {{"a", "rxhots"}, "rxhots"},               {{"a", "box.lan:99999"}, "box.lan:99999"},
        {{"a", "rxhost:"}, "rxhost:"},             {{"a*/b.txt", "10.0.0.7"}, "a*/b.txt"},
        {{"a", "\x1b[2Jx"}, "\\x1B[2Jx"},
    };
    for (const auto& [args, shown] : neither) {
        const tx::Args a = parse(args);
        EXPECT_EQ(a.action, tx::Args::Action::usage_error) << testing::PrintToString(args);
        EXPECT_EQ(a.error, "\"" + shown + "\" is neither a file here nor an address");
    }
    // Saying the same thing twice is no conflict.
    EXPECT_EQ(parse({"a", "9600", "-p", "9600", "TO:d", "-t", "d"}).action, tx::Args::Action::send);
}

TEST(PitchrTrees, DestinationRebuildsTheTreeUnderItsOwnName) {
    const struct {
        const char *dest, *fspec, *rel, *want;
    } cases[] = {
        {"backup", "photos", "2024/a.jpg", "backup/photos/2024"},
        {"", "photos", "2024/a.jpg", "photos/2024"},
        {"", "/home/u/photos/", "a.jpg", "photos"},
        {"/srv/in/", "photos", "x/y/a.jpg", "/srv/in/photos/x/y"},
        {"in", ".", "sub/a", "in/sub"},
        {"", "..", "a", ""},
        {"/", "p", "a", "/p"},
    };
    for (const auto& c : cases) EXPECT_EQ(tx::tree_destdir(c.dest, c.fspec, c.rel), c.want) << c.fspec << " " << c.rel;
}

}  // namespace
