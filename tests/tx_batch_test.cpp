// The sender's batches against receivers played by scripts: answers matched to their files
// while many are in flight, the window that bounds them, breaks, -j, -u, -n, the directories
// of trees, and receivers that know no batches.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "digest.h"
#include "run.h"
#include "test_support.h"
#include "tx_fake_rx.h"

namespace {

using namespace std::chrono_literals;
using txtest::count;
using txtest::FakeRx;
using txtest::Printed;
using txtest::RxEnd;

const tx::Peer peer{"127.0.0.1", 9500};
const std::string batch_hello = "CATCHR-EXT 1 verify resume times batch";

// One request as a receiver of batches reads it.
struct Req {
    std::string name, dir, size, attrs;  // the four lines
    std::string body, sum;               // of a file sent with body=now
    std::vector<std::string> entries;    // of a CHECK: each entry's four lines, CR-joined

    bool body_now() const { return attrs.ends_with(" body=now"); }
};

// The next request; false when the sender closed instead.
bool read_req(RxEnd& rx, Req& r) {
    r = {};
    for (std::string* line : {&r.name, &r.dir, &r.size, &r.attrs}) {
        *line = rx.line();
        if (rx.closed()) return false;
    }
    if (r.size.starts_with("CHECK ")) {
        for (int n = std::stoi(r.size.substr(6)); n > 0; --n) {
            std::string e;
            for (int i = 0; i < 4; ++i) e += rx.line() + "\r";
            r.entries.push_back(e);
        }
    } else if (r.body_now()) {
        EXPECT_EQ(rx.line(), "FROM 0");
        r.body = rx.bytes(std::stoull(r.size));
        r.sum = rx.line();
    }
    return true;
}

// What the receivers read, over all their connections.
class Log {
public:
    void add(const Req& r) {
        const std::lock_guard lock(m_);
        reqs_.push_back(r);
    }
    std::vector<Req> reqs() {
        const std::lock_guard lock(m_);
        return reqs_;
    }
    // The names of the files sent, in order.
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const Req& r : reqs())
            if (r.body_now()) out.push_back(r.name);
        return out;
    }

private:
    std::mutex m_;
    std::vector<Req> reqs_;
};

// The answer line (without its CR) to a request, seen: how often the same name came before.
using Answers = std::function<std::string(const Req&, int seen)>;

std::string all_ok(const Req&, int) { return "OK"; }

// A receiver of batches: the hello, then each request read, logged and answered; the first
// `hold` requests are all read before the first answer goes.
FakeRx::Script batch_rx(Log& log, Answers answers, std::size_t hold = 0, std::function<void()> after_hello = {}) {
    return [&log, answers, hold, after_hello](RxEnd& rx) {
        EXPECT_EQ(rx.bytes(batch_hello.size() + 3), "\r\r" + batch_hello + "\r");
        rx.say(batch_hello + "\r");
        if (after_hello) after_hello();
        std::map<std::string, int> seen;
        std::vector<Req> held;
        std::size_t wait_for = hold;
        for (Req r; read_req(rx, r);) {
            log.add(r);
            held.push_back(r);
            if (held.size() < wait_for) continue;
            wait_for = 0;
            std::string said;
            // The answer to a CHECK ends in its marks, not a CR.
            for (const Req& h : held) said += answers(h, seen[h.dir + "/" + h.name]++) + (h.entries.empty() ? "\r" : "");
            rx.say(said);
            held.clear();
        }
    };
}

std::string sum_of(const std::string& data) {
    return "SUM " + wire::Digest::of(nullptr, 0) + " " + wire::Digest::of(data.data(), data.size());
}

class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.dir().empty());
        SCK_SYS_OP();
        rules_.hello_wait = 300ms;
        rules_.answer_wait = 3s;
        rules_.first_pause = 10ms;
        args_.jobs = 1;
    }
    void TearDown() override { SCK_SYS_CL(); }

    // n files of size bytes, named f000, f001, ...; data_ keeps their bytes by name.
    void files(std::size_t n, std::size_t size) {
        for (std::size_t i = 0; i < n; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "f%03zu", i);
            data_[name] = lbtest::random_bytes(size, static_cast<unsigned>(i + 1));
            add(name, data_[name]);
        }
    }
    void add(const std::string& name, const std::string& bytes) {
        const std::string path = tmp_.write(name, bytes);
        struct stat st {};
        ::stat(path.c_str(), &st);
        listing_.files.push_back({path, name, "", bytes.size(), {st.st_mtim.tv_sec, 0, 0644}});
    }
    bool run(FakeRx& rx) {
        bool asked = false;
        {
            asked = tx::deliver(listing_, peer, rx.dial(), args_, rules_, tally_, printed_.console());
        }
        rx.join();
        return asked;
    }
    // Each file the log holds came whole, with its digest.
    void expect_whole(Log& log) {
        for (const Req& r : log.reqs())
            if (r.body_now()) {
                EXPECT_TRUE(r.body == data_[r.name]) << r.name;
                EXPECT_EQ(r.sum, sum_of(data_[r.name])) << r.name;
            }
    }

    lbtest::TempDir tmp_{"tx_batch"};
    std::map<std::string, std::string> data_;
    tx::Listing listing_;
    tx::Args args_;
    tx::SendRules rules_;
    tx::Tally tally_;
    Printed printed_;
};

TEST_F(Batch, AnswersAreMatchedToTheirFilesWhileManyAreInFlight) {
    const Answers answers = [](const Req& r, int seen) -> std::string {
        if (r.name == "f001") return "NO f001: not stored: no room";
        if (r.name == "f002" && seen == 0) return "BADSUM f002: differs";
        return "OK";
    };
    for (const bool keep_going : {true, false}) {
        SCOPED_TRACE(keep_going);
        Batch::TearDown();
        Batch::SetUp();
        tally_ = {};
        listing_ = {};
        files(100, 1024);
        args_.keep_going = keep_going;
        Printed printed;
        Log log;
        // No answer before a whole window came: a sender that waited would never get one.
        FakeRx rx({batch_rx(log, answers, tx::flight_mxn)});
        {
            tx::deliver(listing_, peer, rx.dial(), args_, rules_, tally_, printed.console());
        }
        rx.join();
        EXPECT_EQ(rx.dialled(), 1u);
        EXPECT_EQ(tally_.failed, std::vector<std::string>{"f001: not stored: no room"});
        EXPECT_EQ(tally_.retried, 1u);  // f002, once more after its mismatch
        EXPECT_EQ(count(printed.text(), "f002: the copy that arrived differed from this file; sending it again"), 1u);
        // Every file handed out is accounted for, and went (f002 twice).
        EXPECT_EQ(tally_.arrived + tally_.failed.size(), tally_.tried);
        EXPECT_EQ(log.names().size(), tally_.tried + 1);
        if (keep_going) EXPECT_EQ(tally_.tried, 100u);
        // Without -k no file is handed out once the NO came, and one came after the window.
        else EXPECT_TRUE(tally_.tried >= tx::flight_mxn && tally_.tried < 100u) << tally_.tried;
        expect_whole(log);
    }
}

TEST_F(Batch, TheWindowBoundsWhatGoesUnanswered) {
    const struct {
        std::size_t files, size, window;
    } cases[] = {
        {150, 1024, tx::flight_mxn},                      // bound by the count
        {24, 600 << 10, tx::flight_mxsz / (600 << 10)},  // bound by the bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        listing_ = {};
        tally_ = {};
        files(c.files, c.size);
        // A slow receiver: it reads all that comes, and answers only once nothing more does.
        std::vector<std::size_t> runs;
        FakeRx rx({[&](RxEnd& rx) {
            rx.bytes(batch_hello.size() + 3);
            rx.say(batch_hello + "\r");
            for (std::size_t unanswered = 0;;) {
                Req r;
                if (!read_req(rx, r)) break;
                EXPECT_TRUE(r.body == data_[r.name]);
                if (++unanswered, !rx.quiet(200)) continue;
                runs.push_back(unanswered);
                for (; unanswered > 0; --unanswered) rx.say("OK\r");
            }
        }});
        run(rx);
        EXPECT_EQ(tally_.arrived, c.files);
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(*std::max_element(runs.begin(), runs.end()), c.window);
    }
}

TEST_F(Batch, ABreakSendsWhatWasInFlightAgainOnANewConnection) {
    files(30, 100);
    const auto breaks = [](RxEnd& rx) {
        rx.bytes(batch_hello.size() + 3);
        rx.say(batch_hello + "\r");
        Req r;
        for (int i = 0; i < 10; ++i) read_req(rx, r);  // then it goes away, answering none
    };
    for (const unsigned retries : {1u, 0u}) {
        SCOPED_TRACE(retries);
        rules_.retries = retries;
        tally_ = {};
        Printed printed;
        Log log;
        FakeRx rx({breaks, batch_rx(log, all_ok)});
        {
            tx::deliver(listing_, peer, rx.dial(), args_, rules_, tally_, printed.console());
        }
        rx.join();
        if (retries == 0) {
            // Nothing is tried again: the first file in flight is the account of the break.
            EXPECT_EQ(tally_.arrived, 0u);
            ASSERT_FALSE(tally_.failed.empty());
            EXPECT_NE(tally_.failed[0].find("f000: the receiver closed the connection"), std::string::npos)
                << tally_.failed[0];
            continue;
        }
        EXPECT_EQ(tally_.arrived, 30u);
        EXPECT_TRUE(tally_.failed.empty());
        EXPECT_GE(tally_.retried, 1u);
        EXPECT_EQ(count(printed.text(), "; trying again in 1 s (1 of 1)\n"), 1u) << printed.text();
        // The second receiver got every file the first left unanswered, each once.
        const auto names = log.names();
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 30u);
        EXPECT_EQ(names.size(), 30u);
        expect_whole(log);
    }
}

TEST_F(Batch, JobsMatchAnswersPerConnection) {
    files(200, 2000);
    args_.jobs = 3;
    args_.keep_going = true;
    Log logs[3];
    std::mutex m;
    std::condition_variable cv;
    int have_files = 0;
    // No connection answers its first file before all three have one: the first one's window
    // fills, and the others get files of their own, however the threads are scheduled.
    const auto all_there = [&] {
        std::unique_lock lock(m);
        ++have_files;
        cv.notify_all();
        EXPECT_TRUE(cv.wait_for(lock, 10s, [&] { return have_files == 3; }));
    };
    // Each connection refuses other names, so that a mix-up between them shows.
    const Answers answers = [&](const Req& r, int) -> std::string {
        thread_local bool waited = false;
        if (!std::exchange(waited, true)) all_there();
        return r.name.back() == '7' ? "NO " + r.name + ": not stored: sevens are refused" : "OK";
    };
    std::vector<FakeRx::Script> scripts;
    for (Log& log : logs) scripts.push_back(batch_rx(log, answers));
    FakeRx rx(scripts);
    run(rx);
    EXPECT_EQ(rx.dialled(), 3u);
    EXPECT_EQ(tally_.arrived, 180u);
    std::set<std::string> failed(tally_.failed.begin(), tally_.failed.end());
    std::set<std::string> sevens;
    for (const auto& [name, data] : data_)
        if (name.back() == '7') sevens.insert(name + ": not stored: sevens are refused");
    EXPECT_EQ(failed, sevens);
    std::size_t sent = 0;
    for (Log& log : logs) {
        EXPECT_FALSE(log.names().empty());
        sent += log.names().size();
        expect_whole(log);
    }
    EXPECT_EQ(sent, 200u);
}

TEST_F(Batch, MoreConnectionsThanTheReceiverTakesLeaveTheirFilesToTheOthers) {
    files(20, 100);
    args_.jobs = 3;
    Log log;
    FakeRx rx({batch_rx(log, all_ok)});  // then nothing listens
    run(rx);
    EXPECT_EQ(tally_.arrived, 20u);
    EXPECT_TRUE(tally_.failed.empty()) << tally_.failed[0];
    EXPECT_EQ(log.names().size(), 20u);
    EXPECT_EQ(printed_.text().find("ERROR"), std::string::npos) << printed_.text();
}

TEST_F(Batch, UpdateSendsOnlyWhatTheReceiverLacks) {
    add("same", "abc");
    add("longer", "abcd");
    add("touched", "abc");
    // What the receiver has: the same size and time, another size, a time one nanosecond off.
    std::map<std::string, std::string> stored;
    for (const tx::Item& f : listing_.files) {
        std::uint64_t size = f.size;
        wire::Attrs a = f.attrs;
        if (f.name == "longer") --size;
        if (f.name == "touched") a.mtime_nsec = 1;
        stored[f.name] = wire::check_entry(f.name, "", size, a);
    }
    for (const bool dry_run : {false, true}) {
        SCOPED_TRACE(dry_run);
        args_.update = true;
        args_.dry_run = dry_run;
        tally_ = {};
        Printed printed;
        Log log;
        FakeRx rx({batch_rx(log, [&](const Req& r, int) {
            if (r.entries.empty()) return std::string("OK");
            std::string marks;
            for (const std::string& e : r.entries)
                marks += stored[e.substr(0, e.find('\r'))] == e ? wire::check_same : wire::check_send;
            return "CHECKED " + std::to_string(r.entries.size()) + "\r" + marks;
        })});
        ASSERT_TRUE(tx::deliver(listing_, peer, rx.dial(), args_, rules_, tally_, printed.console()));
        rx.join();
        ASSERT_FALSE(log.reqs().empty());
        EXPECT_EQ(log.reqs()[0].entries.size(), 3u);
        EXPECT_EQ(tally_.unchanged, 1u);
        if (dry_run) {
            EXPECT_TRUE(log.names().empty());
            EXPECT_NE(printed.text().find("Would send: 2 files, 7 B; unchanged: 1\n"), std::string::npos)
                << printed.text();
            continue;
        }
        EXPECT_EQ(log.names(), (std::vector<std::string>{"longer", "touched"}));
        EXPECT_EQ(tally_.arrived, 2u);
    }
}

TEST_F(Batch, DryRunListsAndConnectsNowhere) {
    add("a.txt", "abc");
    listing_.files.push_back({tmp_.path("b.txt"), "b.txt", "backup", 2048});
    args_.dry_run = true;
    FakeRx rx({});
    ASSERT_TRUE(run(rx));
    EXPECT_EQ(rx.dialled(), 0u);
    EXPECT_EQ(printed_.text(), tmp_.path("a.txt") + " -> 127.0.0.1:9500 (3 B)\n" + tmp_.path("b.txt") +
                                   " -> 127.0.0.1:9500/backup (2.0 KiB)\nWould send: 2 files, 2.0 KiB\n");
}

TEST_F(Batch, DirectoriesGoDeepestFirstAfterTheFiles) {
    const std::string top = tmp_.path("top");
    for (const char* d : {"top", "top/a", "top/a/b", "top/empty", "top/empty/deeper"})
        ASSERT_EQ(::mkdir(tmp_.path(d).c_str(), 0750), 0);
    tmp_.write("top/a/b/f", "f");
    tmp_.write("top/g", "g");
    const struct timespec t[2] = {{1700000000, 5}, {1700000000, 5}};
    ASSERT_EQ(::utimensat(AT_FDCWD, tmp_.path("top/empty").c_str(), t, 0), 0);
    args_.recursive = true;
    args_.destdir = "dest";
    args_.fspecs = {top};
    std::string error;
    ASSERT_TRUE(tx::expand(args_, listing_, error)) << error;
    data_ = {{"f", "f"}, {"g", "g"}};
    args_.keep_going = true;
    Log log;
    FakeRx rx({batch_rx(log, [](const Req& r, int) -> std::string {
        return r.dir == "dest/top/a" ? "NO dest/top/a: not made: a file is in the way" : "OK";
    })});
    run(rx);
    std::vector<std::string> order;
    for (const Req& r : log.reqs()) order.push_back(r.size == "DIR" ? "DIR " + r.dir : r.name);
    EXPECT_EQ(order, (std::vector<std::string>{"f", "g", "DIR dest/top/a/b", "DIR dest/top/empty/deeper",
                                               "DIR dest/top/a", "DIR dest/top/empty", "DIR dest/top"}));
    EXPECT_EQ(log.reqs()[5].name, "");
    EXPECT_EQ(log.reqs()[5].attrs, "mtime=1700000000.000000005 mode=750");
    EXPECT_EQ(tally_.arrived, 2u);
    EXPECT_EQ(tally_.failed, std::vector<std::string>{"dest/top/a: not made: a file is in the way"});
    expect_whole(log);
}

TEST_F(Batch, AnOlderReceiverGetsOneConnectionAtATimeUnlessJIsGiven) {
    files(6, 10);
    // A receiver of the classic protocol alone: it refuses the hello, takes one file a
    // connection, and answers only once as many connections as asked for are open.
    for (const unsigned jobs : {0u, 2u}) {
        SCOPED_TRACE(jobs);
        args_.jobs = jobs;
        tally_ = {};
        Printed printed;
        std::mutex m;
        std::condition_variable cv;
        int open = 0, most = 0;
        const FakeRx::Script classic = [&](RxEnd& rx) {
            const std::string name = rx.line(), dir = rx.line(), size = rx.line();
            if (size.starts_with("CATCHR-EXT")) return;
            EXPECT_TRUE(rx.bytes(std::stoul(size)) == data_[name]);
            std::unique_lock lock(m);
            most = std::max(most, ++open);
            cv.notify_all();
            cv.wait_for(lock, 300ms, [&] { return open >= 2; });
            --open;
            lock.unlock();
            rx.say("OK\r");
        };
        FakeRx rx(std::vector<FakeRx::Script>(20, classic));
        {
            tx::deliver(listing_, peer, rx.dial(), args_, rules_, tally_, printed.console());
        }
        rx.join();
        EXPECT_EQ(tally_.arrived, 6u);
        EXPECT_EQ(most, jobs ? 2 : 1);
        EXPECT_EQ(count(printed.text(), "speaks only the classic protocol"), 1u) << printed.text();
    }
}

}  // namespace
