// Pins: the key a receiver showed is found again, a changed one is told apart with the line
// that holds the old one, lines that do not read are reported and passed over, and the file
// is private and keeps what a person wrote in it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "pins.h"
#include "test_support.h"

namespace {

using lbtest::get_file;
using lbtest::put_file;
using Pinned = tls::KnownReceivers::Pinned;

const std::string fp1 = "SHA256:0vo0aUmBy0K3fqlOgVlNuf7iTliCk7/+WGBmLHzH8+Q";
const std::string fp2 = "SHA256:Zm9vYmFyYmF6Zm9vYmFyYmF6Zm9vYmFyYmF6Zm9vYmE";

class Pins : public lbtest::InTempDir<> {
protected:
    Pins() : InTempDir("tlspins", 022) {}
    std::string file(const char* name) const { return dir_ + "/" + name; }
    template <class P>
    P loaded() {
        P pins;
        std::string why;
        EXPECT_TRUE(pins.load(dir_, why)) << why;
        return pins;
    }
};

TEST_F(Pins, ReceiverPinnedFoundAgainAndAChangeToldApart) {
    std::string why;
    auto known = loaded<tls::KnownReceivers>();
    EXPECT_EQ(known.check("127.0.0.1:9500", fp1), Pinned::unknown);
    ASSERT_TRUE(known.add("127.0.0.1:9500", fp1, why)) << why;
    ASSERT_TRUE(known.add("127.0.0.2:9500", fp2, why)) << why;
    EXPECT_EQ(lbtest::perm(file("known_receivers")), 0600u);

    const auto again = loaded<tls::KnownReceivers>();
    EXPECT_EQ(again.check("127.0.0.1:9500", fp1), Pinned::same);
    EXPECT_EQ(again.check("127.0.0.1:9500", fp2), Pinned::changed);
    EXPECT_EQ(again.check("127.0.0.1:9501", fp1), Pinned::unknown);
    EXPECT_EQ(again.changed("127.0.0.1:9500", fp2),
              "the receiver at 127.0.0.1:9500 shows the key " + fp2 + ", not the one it showed before (" + fp1 +
                  "): nothing is sent. If its key was really made anew, remove line 2 of " + file("known_receivers") +
                  " to meet it again");
    EXPECT_TRUE(again.problems().empty());
}

TEST_F(Pins, AddingKeepsWhatAPersonWroteAndReplacesTheOldPin) {
    const std::string by_hand = "# mine\n10.1.1.1:22 " + fp1 + "\nnot a pin\n127.0.0.1:9500 " + fp1 + "\n";
    put_file(file("known_receivers"), by_hand);
    chmod(file("known_receivers").c_str(), 0600);
    std::string why;
    auto known = loaded<tls::KnownReceivers>();
    ASSERT_TRUE(known.add("127.0.0.1:9500", fp2, why)) << why;
    EXPECT_EQ(get_file(file("known_receivers")), "# mine\n10.1.1.1:22 " + fp1 + "\nnot a pin\n127.0.0.1:9500 " + fp2 + "\n");
    EXPECT_EQ(known.check("127.0.0.1:9500", fp2), Pinned::same);
}

TEST_F(Pins, LinesThatDoNotReadAreReportedAndPassedOver) {
    const std::string lines[] = {
        "  # a comment",
        "",
        "127.0.0.1:9500 " + fp1,
        "localhost:9500 " + fp1,
        "127.0.0.1:65536 " + fp1,
        "127.0.0.01:9500 " + fp1,
        "127.0.0.3:9500",
        "127.0.0.4:9500 SHA256:short",
        "127.0.0.5:9500 " + fp1 + " extra",
        "127.0.0.1:9500 " + fp2,
        "127.0.0.6:9500\t" + fp2 + "\x1b[2J",
        "127.0.0.7:9500\t" + fp2,
    };
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    put_file(file("known_receivers"), text);
    chmod(file("known_receivers").c_str(), 0600);

    const auto known = loaded<tls::KnownReceivers>();
    const std::string at = file("known_receivers") + " line ";
    const std::vector<std::string> want = {
        at + "4: \"localhost:9500\" is not an address and port (as 192.0.2.7:9500)",
        at + "5: \"127.0.0.1:65536\" is not an address and port (as 192.0.2.7:9500)",
        at + "6: \"127.0.0.01:9500\" is not an address and port (as 192.0.2.7:9500)",
        at + "7: no fingerprint after \"127.0.0.3:9500\"",
        at + "8: \"SHA256:short\" is not a fingerprint (SHA256: and 43 characters)",
        at + "9: more than an address and a fingerprint",
        at + "10: a second line for \"127.0.0.1:9500\" (line 3 counts)",
        at + "11: \"" + fp2 + "\\x1B[2J\" is not a fingerprint (SHA256: and 43 characters)",
    };
    EXPECT_EQ(known.problems(), want);
    EXPECT_EQ(known.check("127.0.0.1:9500", fp1), Pinned::same);
    EXPECT_EQ(known.check("127.0.0.7:9500", fp2), Pinned::same);
    EXPECT_EQ(known.check("127.0.0.5:9500", fp1), Pinned::unknown);
}

TEST_F(Pins, TrustedSendersWithTheirComments) {
    std::string why;
    auto trusted = loaded<tls::TrustedSenders>();
    EXPECT_FALSE(trusted.trusted(fp1));
    ASSERT_TRUE(trusted.add(fp1, "laptop, paired 2024-05-01", why)) << why;
    EXPECT_FALSE(trusted.add(fp2, "two\nlines", why));
    EXPECT_FALSE(trusted.add("SHA256:short", "", why));
    put_file(file("trusted_senders"), get_file(file("trusted_senders")) + "nonsense here\n" + fp2 + "\n");

    const auto again = loaded<tls::TrustedSenders>();
    EXPECT_TRUE(again.trusted(fp1));
    EXPECT_TRUE(again.trusted(fp2));
    ASSERT_NE(again.find(fp1), nullptr);
    EXPECT_EQ(again.find(fp1)->value, "laptop, paired 2024-05-01");
    EXPECT_EQ(again.problems(), std::vector<std::string>{file("trusted_senders") +
                                                         " line 3: \"nonsense\" is not a fingerprint (SHA256: and 43 characters)"});
}

TEST_F(Pins, AFileOthersCanChangeIsRefused) {
    put_file(file("trusted_senders"), fp1 + "\n");
    chmod(file("trusted_senders").c_str(), 0620);
    tls::TrustedSenders trusted;
    std::string why;
    EXPECT_FALSE(trusted.load(dir_, why));
    EXPECT_EQ(why, file("trusted_senders") + " can be changed by other users (mode 0620): chmod go-w " +
                       file("trusted_senders"));
    EXPECT_FALSE(trusted.trusted(fp1));
}

}  // namespace
