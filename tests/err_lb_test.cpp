// Error state: first error wins, trails, operating-system messages, the push/pop stack,
// and the debug trail's handling of a pending error.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lb.h"
#include "test_support.h"

namespace {

std::string take_error() { return lbtest::pending(); }
std::string read_file(const char* name) { return lbtest::get_file(name); }

}  // namespace

TEST(ErrorState, FirstErrorWins) {
    S_ERR("first");
    S_ERR("second");
    SM_ERR("third", nullptr);
    OS_ERR("X", ":y", 2);
    EXPECT_EQ(err_, 1);
    EXPECT_EQ(take_error(), "first");
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(ERR_S(), nullptr);
}

TEST(ErrorState, NullOrEmptyTexts) {
    S_ERR(nullptr);
    EXPECT_EQ(take_error(), "(null)");
    S_ERR("");
    EXPECT_EQ(take_error(), "(null)");
    SM_ERR(nullptr);
    EXPECT_EQ(err_, 1);
    EXPECT_EQ(take_error(), "");
}

TEST(ErrorState, SmErrJoinsAtMost49Texts) {
    SM_ERR("a", "b", nullptr, "c", nullptr);
    EXPECT_EQ(take_error(), "ab");

    const char* texts[60];
    std::string expected;
    static char digits[60][3];
    for (int i = 0; i < 60; ++i) {
        std::snprintf(digits[i], sizeof digits[i], "%c", 'A' + (i % 26));
        texts[i] = digits[i];
        if (i < 49) expected += digits[i];
    }
    SM_ERR_list(texts, 60);
    EXPECT_EQ(take_error(), expected);
}

TEST(ErrorState, AppendingExtendsTheLastMessage) {
    S_ERRA("fresh");
    EXPECT_EQ(err_, 1);
    EXPECT_EQ(take_error(), "fresh");
    S_ERRA(" more");  // no error pending: extends the fetched text and raises again
    EXPECT_EQ(take_error(), "fresh more");
    S_ERRA("");
    EXPECT_EQ(err_, 1);
    EXPECT_EQ(take_error(), "fresh more");
    SM_ERRA(nullptr, "ignored", nullptr);
    EXPECT_EQ(err_, 0);
    SM_ERRA(" (sd=", "5", ")", nullptr);
    EXPECT_EQ(take_error(), "fresh more (sd=5)");
}

TEST(ErrorState, TrailOfRoutineNames) {
    EXPECT_EQ(RTN_ERR("S_CP"), 0);
    EXPECT_EQ(err_, 0);
    S_ERR("No digits found");
    EXPECT_EQ(RTN_ERR("S_CP"), 1);
    EXPECT_EQ(RTN_ERR("S_A"), 1);
    EXPECT_EQ(take_error(), "No digits found [S_CP] [S_A]");
    EXPECT_EQ(RTN_ERR("S_CP"), 0);
}

TEST(ErrorState, OsErrShapes) {
    errno = 0;
    EXPECT_EQ(OS_ERR(nullptr, nullptr, 0), 0);
    EXPECT_EQ(err_, 0);

    errno = 0;
    EXPECT_EQ(OS_ERR("SD_SAI", ":getsockname", 0), 0);
    EXPECT_EQ(take_error(), "SD_SAI:getsockname");

    EXPECT_EQ(OS_ERR(nullptr, nullptr, 2), 2);
    EXPECT_EQ(take_error(), std::string("err #2:") + std::strerror(2));
    EXPECT_EQ(os_err, 2);

    errno = EBADF;
    EXPECT_EQ(OS_ERR("SD_SAI", ":getsockname", 0), EBADF);
    EXPECT_EQ(take_error(), std::string("SD_SAI:getsockname (err #9:") + std::strerror(EBADF) + ")");

    errno = 0;
    EXPECT_EQ(OS_ERR("sysinfo", nullptr, 13), 13);
    EXPECT_EQ(take_error(), std::string("sysinfo (err #13:") + std::strerror(13) + ")");

    S_ERR("pending");
    EXPECT_EQ(OS_ERR("X", nullptr, 5), 1);
    EXPECT_EQ(take_error(), "pending");
    EXPECT_EQ(os_err, 13);
}

TEST(ErrorStack, PopRestoresTheSetAsideError) {
    S_ERR("first");
    PSH_ERR();
    EXPECT_EQ(err_, 0);
    S_ERR("second");
    POP_ERR();
    EXPECT_EQ(take_error(), "first");
}

TEST(ErrorStack, ErrorRaisedSinceAnEmptyPushStays) {
    PSH_ERR();
    S_ERR("new");
    POP_ERR();
    EXPECT_EQ(take_error(), "new");
    PSH_ERR();
    POP_ERR();
    EXPECT_EQ(err_, 0);
    POP_ERR();  // nothing on the stack: nothing happens
    EXPECT_EQ(err_, 0);
}

TEST(ErrorStack, TenLevelsAndTheEleventhPushIgnored) {
    for (int i = 0; i < 10; ++i) {
        std::string msg = "level" + std::to_string(i);
        S_ERR(msg.c_str());
        PSH_ERR();
        EXPECT_EQ(err_, 0);
    }
    S_ERR("eleventh");
    PSH_ERR();  // the stack is full: the error stays pending
    EXPECT_EQ(err_, 1);
    EXPECT_EQ(take_error(), "eleventh");
    POP_ERR();  // pairs with the ignored push and so takes the tenth level
    EXPECT_EQ(take_error(), "level9");
    for (int i = 8; i >= 0; --i) {
        POP_ERR();
        EXPECT_EQ(take_error(), "level" + std::to_string(i));
    }
    POP_ERR();
    EXPECT_EQ(err_, 0);
}

TEST(ErrorState, StOk) {
    EXPECT_EQ(ST_OK(nullptr), 0);
    EXPECT_EQ(ST_OK(""), 1);
}

class DebugTrail : public ::testing::Test {
protected:
    void SetUp() override {
        dbg_log = path_.c_str();
        dbg_vd = 0;
        dbg_tm_fmt = nullptr;
    }
    lbtest::TempDir dir_{"lbdbg"};
    std::string path_ = dir_.path("dbg.log");
};

TEST_F(DebugTrail, PendingErrorIsRecordedAndStaysPending) {
    S_ERR("boom [X]");
    SM_DBG("line ", "two", nullptr);
    EXPECT_EQ(err_, 1);
    EXPECT_EQ(take_error(), "boom [X]");
    EXPECT_EQ(read_file(dbg_log), "DBGERR:boom [X]\r\nline two\r\n");
}

TEST_F(DebugTrail, UnstampedWritersDoNothingWhileAnErrorIsPending) {
    S_DBG("start");
    S_ERR("pending");
    S_DBG_UT(1, 1, "not written");
    SM_DBG_UT(1, 1, "not ", "written", nullptr);
    EXPECT_EQ(take_error(), "pending");
    EXPECT_EQ(read_file(dbg_log), "start\r\n");
}

TEST_F(DebugTrail, ErrorDumpWithLabel) {
    EXPECT_EQ(UT_ERR_DMP("main"), 0);
    S_ERR("gone wrong");
    testing::internal::CaptureStderr();
    EXPECT_EQ(UT_ERR_DMP("main"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "err=gone wrong [main]\n");
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(read_file(dbg_log), "gone wrong [main]\r\n");
}

TEST_F(DebugTrail, OpenLineIsContinuedThenEnded) {
    dbg_pgm = "rx";
    B_DBG('x');
    B_DBG('y');
    S_DBG("z");
    dbg_pgm = nullptr;
    EXPECT_EQ(read_file(dbg_log), "xy\r\nrx:z\r\n");
}
