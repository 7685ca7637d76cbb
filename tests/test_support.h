// Helpers the unit tests share: the pending error message, whole files, a fresh directory
// per test, and (on request) a clock the test sets.
#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "lb.h"

namespace lbtest {

// Takes (and clears) the pending error message; `none` when no error is pending.
inline std::string pending(const char* none = "<none>") {
    const char* m = ERR_S();
    return m ? m : none;
}

// A text a routine returned, with a null pointer shown as `null_text`.
inline std::string text(const char* s, const char* null_text = "<null>") { return s ? s : null_text; }

inline void put_file(const std::filesystem::path& name, const std::string& data) {
    std::ofstream(name, std::ios::binary) << data;
}

// The whole file; "" when it cannot be read.
inline std::string get_file(const std::filesystem::path& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Anything under that name, a dangling link included.
inline bool exists(const std::string& name) {
    struct stat st {};
    return lstat(name.c_str(), &st) == 0;
}

// Permission bits of what the name leads to; 010000 when there is nothing.
inline unsigned perm(const std::string& name) {
    struct stat st {};
    if (stat(name.c_str(), &st) != 0) return 07777 + 1;
    return st.st_mode & 07777;
}

inline std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// Access and modification time both set to t, of a link itself or of what it leads to.
inline void set_mtime(const std::string& name, std::time_t t, bool link_itself = false) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, name.c_str(), ts, link_itself ? AT_SYMLINK_NOFOLLOW : 0), 0) << name;
}

// mkdtemp on a pattern ending in XXXXXX; "" when it fails.
inline std::string make_temp_dir(std::string pattern) {
    if (!mkdtemp(pattern.data())) return "";
    return pattern;
}

// A fresh directory /tmp/<prefix>XXXXXX (its real path, "" when none could be made),
// removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::string& prefix) : dir_(make_temp_dir("/tmp/" + prefix + "XXXXXX")) {
        if (!dir_.empty()) dir_ = std::filesystem::canonical(dir_).string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Writes a file in the directory and returns its full name.
    std::string write(const std::string& name, const std::string& bytes) const {
        put_file(path(name), bytes);
        return path(name);
    }

private:
    std::string dir_;
};

// Runs each test inside a TempDir of its own, as the current directory, and goes back
// before it is removed. Dir is the type the tests build names from dir_ with (std::string
// or std::filesystem::path); a umask is set for the test when one is given.
template <class Dir = std::string>
class InTempDir : public ::testing::Test {
protected:
    explicit InTempDir(const std::string& prefix, int test_umask = -1) : tmp_(prefix), umask_(test_umask) {}
    void SetUp() override {
        ASSERT_FALSE(tmp_.dir().empty());
        dir_ = tmp_.dir();
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        if (umask_ >= 0) umask(static_cast<mode_t>(umask_));
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
    }
    Dir dir_;
    std::filesystem::path old_;

private:
    TempDir tmp_;
    int umask_;
};

// A test in a TempDir of its own, whose debug trail lines are written there unstamped and
// not echoed.
class TrailInTempDir : public InTempDir<> {
protected:
    using InTempDir::InTempDir;
    void SetUp() override {
        InTempDir::SetUp();
        dbg_tm_fmt = nullptr;
        dbg_vd = 0;
        s_dbg_spacer_secs = 0;
    }
    // The trail's line ends are the file layer's business; lines are compared with LF.
    std::string trail() const {
        std::string log = get_file(dir_ + "/dbg.log");
        for (std::size_t at; (at = log.find("\r\n")) != std::string::npos;) log.erase(at, 1);
        return log;
    }
};

inline long ms_since(std::chrono::steady_clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace lbtest

// A test program that defines LBTEST_FAKE_CLOCK before including this header gets its own
// time() and gettimeofday(), which take precedence over the C library's: while the fake is
// on, "now" is the time the test set; while it is off they pass the real clock through.
#ifdef LBTEST_FAKE_CLOCK

namespace lbtest::fake_clock {
inline bool on = false;
inline std::time_t secs = 0;
inline long usecs = 0;
inline long gtod_ahead = 0;  // seconds gettimeofday runs ahead of time(), to catch a second boundary
}  // namespace lbtest::fake_clock

extern "C" std::time_t time(std::time_t* out) noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::time_t t = lbtest::fake_clock::on ? lbtest::fake_clock::secs : ts.tv_sec;
    if (out) *out = t;
    return t;
}

extern "C" int gettimeofday(timeval* tv, void*) noexcept {
    namespace fake = lbtest::fake_clock;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (fake::on) {
        tv->tv_sec = fake::secs + fake::gtod_ahead;
        tv->tv_usec = fake::usecs;
    } else {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    return 0;
}

namespace lbtest {

// Central European time with its summer time.
inline constexpr char cet_zone[] = "CET-1CEST,M3.5.0,M10.5.0/3";

inline std::time_t utc_secs(int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return timegm(&tm);
}

// Stops the clock at a UTC instant.
inline void set_now(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, long us = 0) {
    fake_clock::on = true;
    fake_clock::secs = utc_secs(y, mo, d, h, mi, s);
    fake_clock::usecs = us;
}

inline void set_zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

}  // namespace lbtest

#endif  // LBTEST_FAKE_CLOCK

#endif  // TESTS_TEST_SUPPORT_H
