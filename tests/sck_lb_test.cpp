// Sockets: the layer's switches, address texts, host address enumeration, listening and
// connecting, receiving, and the buffer, text, byte and file senders.
//
// Every test that opens a connection or resolves a name runs again inside a private
// network namespace of its own (loopback only, its own host name and /etc/hosts), so no
// packet can leave the machine and tests cannot collide on ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lb.h"
#include "lb_own.h"
#include "test_netns.h"
#include "test_support.h"

namespace {

using namespace lbtest;

std::string str(const char* s) { return text(s); }

std::string dotted(const sockaddr_in& sai) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sai.sin_addr, text, sizeof text);
    return text;
}

std::string slot_text(const sockaddr_in& sai) {
    if (sai.sin_family == 0) return "-";
    return dotted(sai) + ":" + std::to_string(ntohs(sai.sin_port));
}

std::string table_text(const std::vector<sockaddr_in>& table) {
    std::string s;
    for (const auto& slot : table) s += (s.empty() ? "" : " ") + slot_text(slot);
    return s;
}

int open_fds() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// ---- The private network --------------------------------------------------------------------

struct Net : lbtest::NetNs {
    explicit Net(std::string name = "sckhost", std::string hosts_file = "127.0.0.1 localhost\n") {
        host = std::move(name);
        hosts = std::move(hosts_file);
    }
};

// The host name "rxhost" at 127.0.1.1, with more lines of /etc/hosts after it.
Net rxhost(const std::string& more = "") { return Net("rxhost", "127.0.0.1 localhost\n127.0.1.1 rxhost\n" + more); }

bool isolated(const Net& net = Net()) { return lbtest::isolated(net); }

// ---- Raw peers, written without the library ---------------------------------------------------

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in sai{};
    sai.sin_family = AF_INET;
    sai.sin_port = htons(port);
    sai.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sai;
}

std::uint16_t port_of(int sd) {
    sockaddr_in sai{};
    socklen_t len = sizeof sai;
    getsockname(sd, reinterpret_cast<sockaddr*>(&sai), &len);
    return ntohs(sai.sin_port);
}

// A listening socket on 127.0.0.1 and an ephemeral port.
int raw_listener(int backlog = 16) {
    int sd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sai = loopback(0);
    if (bind(sd, reinterpret_cast<sockaddr*>(&sai), sizeof sai) != 0 || listen(sd, backlog) != 0) {
        close(sd);
        return -1;
    }
    return sd;
}

// A connection made with IP_CONN (the library's end) and the peer accepted raw.
struct Link {
    int lsd = -1;
    int sd = -1;    // library end, non-blocking
    int peer = -1;  // raw end, blocking
    std::uint16_t port = 0;
    Link() {
        lsd = raw_listener();
        port = port_of(lsd);
        sd = IP_CONN("127.0.0.1", port, 5);
        if (sd >= 0) peer = accept(lsd, nullptr, nullptr);
    }
    ~Link() {
        if (sd >= 0) close(sd);
        if (peer >= 0) close(peer);
        close(lsd);
    }
    // Drops the peer with a reset instead of an orderly close; true once the library end
    // has seen it.
    bool reset_peer() {
        linger lg{1, 0};
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(peer);
        peer = -1;
        pollfd pfd{sd, POLLIN, 0};
        return poll(&pfd, 1, 2000) == 1;
    }
};

// Everything the raw end can read within wait_ms of quiet.
std::string drain(int sd, int wait_ms = 100) {
    std::string got;
    char buf[65536];
    for (;;) {
        pollfd pfd{sd, POLLIN, 0};
        if (poll(&pfd, 1, wait_ms) <= 0) return got;
        const ssize_t r = recv(sd, buf, sizeof buf, 0);
        if (r <= 0) return got;
        got.append(buf, static_cast<std::size_t>(r));
    }
}

// All the library end has handed to the kernel: its sending side is shut, then the peer
// reads to the end of the stream.
std::string rest_of_stream(Link& link) {
    shutdown(link.sd, SHUT_WR);
    std::string got;
    char buf[65536];
    for (;;) {
        pollfd pfd{link.peer, POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0) return got + "<stuck>";
        const ssize_t r = recv(link.peer, buf, sizeof buf, 0);
        if (r <= 0) return got;
        got.append(buf, static_cast<std::size_t>(r));
    }
}

// Reads exactly n bytes on another thread; chunk and pause_ms make a slow reader.
class Reader {
public:
    Reader(int sd, std::size_t n, std::size_t chunk = 1 << 16, int pause_ms = 0)
        : thread_([this, sd, n, chunk, pause_ms] {
              // A sender that gives up must not leave the reader waiting for ever.
              timeval limit{10, 0};
              setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
              std::vector<char> buf(chunk);
              while (got_.size() < n) {
                  const ssize_t r = recv(sd, buf.data(), std::min(chunk, n - got_.size()), 0);
                  if (r <= 0) break;
                  got_.append(buf.data(), static_cast<std::size_t>(r));
                  if (pause_ms) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
              }
          }) {}
    const std::string& join() {
        thread_.join();
        return got_;
    }

private:
    std::string got_;
    std::thread thread_;
};

void small_buffers(int sender, int receiver, int size = 4096) {
    setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Works in a fresh directory of its own: the debug trail is written to the current one.
class Scratch : public lbtest::TrailInTempDir {
protected:
    Scratch() : TrailInTempDir("sck_lb_") {}
};

// Suites that look at the debug trail or at files.
class HostInfoTrace : public Scratch {};
class ConnectionTrace : public Scratch {};
class SendTrail : public Scratch {};
class FileSend : public Scratch {};

}  // namespace

// ---- Socket system and address texts ----------------------------------------------------------

TEST(SocketSystem, OpenIgnoresSigpipeAndSetsTheAddresses) {
    std::signal(SIGPIPE, SIG_DFL);
    SCK_SYS_OP();
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    EXPECT_EQ(sck_lcl_in_addr.s_addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(sck_null_in_addr.s_addr, 0u);
    // Closing leaves SIGPIPE ignored; opening again after closing works.
    SCK_SYS_CL();
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sck_lcl_ip = "127.0.0.2";
    SCK_SYS_OP();
    EXPECT_EQ(sck_lcl_in_addr.s_addr, inet_addr("127.0.0.2"));
    EXPECT_EQ(err_, 0);
}

TEST(Addresses, TextToAddressAcceptsTheDottedForms) {
    EXPECT_EQ(IP_UL("192.168.0.1", 1), inet_addr("192.168.0.1"));
    EXPECT_EQ(IP_UL("9500", 1), htonl(9500));  // one part: 0.0.37.28
    EXPECT_EQ(IP_UL("0x7f.1", 1), inet_addr("127.0.0.1"));
    EXPECT_EQ(IP_UL("0.0.0.0", 1), 0u);
    EXPECT_EQ(err_, 0);
}

TEST(Addresses, TextThatIsNoAddressGivesZero) {
    for (const char* bad : {"abc", "", "255.255.255.255", "1.2.3.256"}) {
        EXPECT_EQ(IP_UL(bad, 0), 0u) << bad;
        EXPECT_EQ(err_, 0) << bad;
        EXPECT_EQ(IP_UL(bad, 1), 0u) << bad;
        EXPECT_EQ(pending(), std::string(bad) + " is invalid");
    }
    // It converts even while an error is pending, and leaves that error alone.
    S_ERR("first");
    EXPECT_EQ(IP_UL("10.1.2.3", 1), inet_addr("10.1.2.3"));
    EXPECT_EQ(IP_UL("abc", 1), 0u);
    EXPECT_EQ(pending(), "first");
}

TEST(Addresses, SocketAddressText) {
    sockaddr_in sai{};
    sai.sin_family = AF_INET;
    sai.sin_port = htons(8080);
    sai.sin_addr.s_addr = inet_addr("10.0.0.2");
    EXPECT_EQ(str(SAI_IP(&sai, 1, 1)), "10.0.0.2:8080");
    EXPECT_EQ(str(SAI_IP(&sai, 0, 1)), "10.0.0.2");
    EXPECT_EQ(str(SAI_IP(nullptr, 1, 0)), "?");
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(str(SAI_IP(nullptr, 1, 1)), "?");
    EXPECT_EQ(pending(), "SAI_IP:saip=NULL");
    // Usable inside error messages: it answers while an error is pending and keeps it.
    S_ERR("first");
    EXPECT_EQ(str(SAI_IP(&sai, 1, 1)), "10.0.0.2:8080");
    EXPECT_EQ(str(SAI_IP(nullptr, 1, 1)), "?");
    EXPECT_EQ(pending(), "first");
}

TEST(Addresses, PrivateAndLoopbackAreNotRemote) {
    for (const char* local : {"127.0.0.1", "127.255.0.9", "172.16.0.1", "172.31.255.255", "192.168.1.1"})
        EXPECT_EQ(REMOTE_IP(local), 0) << local;
    for (const char* remote : {"172.32.0.1", "172.15.255.255", "10.0.0.1", "8.8.8.8", "192.169.0.1", "128.0.0.1"})
        EXPECT_EQ(REMOTE_IP(remote), 1) << remote;
    EXPECT_EQ(REMOTE_IP("not an address"), 0);
    EXPECT_EQ(REMOTE_IP("0.0.0.0"), 0);
    in_addr a{};
    a.s_addr = inet_addr("8.8.4.4");
    EXPECT_EQ(REMOTE_IP(a), 1);
    a.s_addr = inet_addr("172.20.1.1");
    EXPECT_EQ(REMOTE_IP(a), 0);
    EXPECT_EQ(err_, 0);
}

TEST(Addresses, LookupFailuresOfAnUnconnectedSocket) {
    const int sd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sd, 0);
    EXPECT_EQ(str(SD_IP(sd, 1, 1)), "0.0.0.0:0");  // not bound yet
    EXPECT_EQ(str(SD_PEER_IP(sd, 1, 0)), "?");
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(str(SD_PEER_IP(sd, 1, 1)), "?");
    EXPECT_EQ(pending(), "SD_PEER_SAI:getpeername (err #107:Transport endpoint is not connected)");
    // While an error is pending the lookup's own failure is dropped.
    S_ERR("first");
    EXPECT_EQ(str(SD_PEER_IP(sd, 1, 1)), "?");
    EXPECT_EQ(pending(), "first");
    close(sd);

    EXPECT_EQ(str(SD_IP(-1, 1, 1)), "?");
    EXPECT_EQ(err_, 0);
    sockaddr_in out{};
    SD_SAI(sd, &out);  // closed by now
    EXPECT_EQ(pending(), "SD_SAI:getsockname (err #9:Bad file descriptor)");
    SD_SAI(sd, nullptr);
    EXPECT_EQ(err_, 0);
}

TEST(Addresses, LocalAndPeerOfAConnection) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    const std::string port = std::to_string(link.port);
    EXPECT_EQ(str(SD_PEER_IP(link.sd, 1, 1)), "127.0.0.1:" + port);
    EXPECT_EQ(str(SD_PEER_IP(link.sd, 0, 1)), "127.0.0.1");
    EXPECT_EQ(str(SD_IP(link.lsd, 1, 1)), "127.0.0.1:" + port);
    EXPECT_EQ(str(SD_IP(link.peer, 1, 1)), "127.0.0.1:" + port);
    EXPECT_EQ(str(SD_PEER_IP(link.peer, 1, 1)), str(SD_IP(link.sd, 1, 1)));
    EXPECT_EQ(err_, 0);
}

// ---- Host address enumeration -------------------------------------------------------------------

namespace {

std::vector<sockaddr_in> host_table(hostent* host = nullptr, const char* name = nullptr,
                                    const char* ip = nullptr) {
    std::vector<sockaddr_in> table(sck_host_mxc);
    SCK_HOST_INFO(host, table.data(), name, ip);
    return table;
}

}  // namespace

TEST(HostInfo, NameThenLoopbackThenInterfaces) {
    Net net = rxhost();
    net.setup = {iface("eth9", "192.168.0.5/24")};
    if (!isolated(net)) return;
    hostent host{};
    const auto table = host_table(&host);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(table_text(table), "127.0.1.1:0 127.0.0.1:0 192.168.0.5:0 - -");
    EXPECT_EQ(str(host.h_name), "rxhost");
    EXPECT_EQ(str(sck_host_nam), "rxhost");
    // Empty slots are zero throughout; filled ones carry no stray bytes either.
    const sockaddr_in zero{};
    EXPECT_EQ(std::memcmp(&table[3], &zero, sizeof zero), 0);
    sockaddr_in lo{};
    lo.sin_family = AF_INET;
    lo.sin_addr.s_addr = inet_addr("127.0.0.1");
    EXPECT_EQ(std::memcmp(&table[1], &lo, sizeof lo), 0);
    // The buffer lives until the layer is closed.
    SCK_SYS_CL();
    EXPECT_EQ(sck_host_nam, nullptr);
}

TEST(HostInfo, NameOnAnInterfaceAddressIsListedOnce) {
    // Names are only ever mapped to loopback addresses, so eth8 gets one of those.
    Net net("rxhost", "127.0.0.1 localhost\n127.0.5.5 rxhost\n");
    net.setup = {iface("eth8", "127.0.5.5/32"), iface("eth9", "192.168.7.9/24")};
    if (!isolated(net)) return;
    const auto table = host_table();
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(table_text(table), "127.0.5.5:0 127.0.0.1:0 192.168.7.9:0 - -");
}

TEST(HostInfo, KeepsTheFirstFive) {
    Net net = rxhost();
    for (int i = 1; i <= 4; ++i) net.setup.push_back(iface("eth" + std::to_string(i), "10.9.0." + std::to_string(i) + "/24"));
    if (!isolated(net)) return;
    // The interfaces' order is that of /proc/net/dev, whatever it is.
    std::vector<std::string> listed;
    std::ifstream dev("/proc/net/dev");
    for (std::string line; std::getline(dev, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = line.substr(line.find_first_not_of(' '), colon - line.find_first_not_of(' '));
        if (name.rfind("eth", 0) == 0) listed.push_back("10.9.0." + name.substr(3) + ":0");
    }
    ASSERT_EQ(listed.size(), 4u);
    const auto table = host_table();
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(table_text(table), "127.0.1.1:0 127.0.0.1:0 " + listed[0] + " " + listed[1] + " " + listed[2]);
}

TEST(HostInfo, GivenNameOrAddress) {
    Net net = rxhost("127.0.2.2 other\n");
    if (!isolated(net)) return;
    hostent host{};
    auto table = host_table(&host, "other");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(table_text(table), "127.0.2.2:0 127.0.0.1:0 - - -");
    EXPECT_EQ(str(sck_host_nam), "other");

    table = host_table(&host, nullptr, "127.0.1.1");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(str(host.h_name), "rxhost");
    EXPECT_EQ(table_text(table), "127.0.1.1:0 127.0.0.1:0 - - -");

    table = host_table(nullptr, nullptr, "abc");
    EXPECT_EQ(pending(), "abc is invalid [SCK_HOST_INFO]");
}

TEST(HostInfo, UnknownHostNameFallsBackToLocalhost) {
    Net net("nowhere");
    if (!isolated(net)) return;
    const auto table = host_table();
    EXPECT_EQ(pending(), "<none>");
    // localhost gave 127.0.0.1 itself, so it is not added a second time.
    EXPECT_EQ(table_text(table), "127.0.0.1:0 - - - -");
}

TEST(HostInfo, NothingResolvesLeavesTheTableAlone) {
    Net net("nowhere", "");
    if (!isolated(net)) return;
    std::vector<sockaddr_in> table(sck_host_mxc);
    std::memset(table.data(), 0x5A, sizeof(sockaddr_in) * table.size());
    const std::vector<sockaddr_in> before = table;
    SCK_HOST_INFO(nullptr, table.data(), nullptr, nullptr);
    // The resolver reports no system error number here, so the message has no such part.
    EXPECT_EQ(pending(), "SCK_HOST_INFO:gethostbyname");
    EXPECT_EQ(std::memcmp(table.data(), before.data(), sizeof(sockaddr_in) * table.size()), 0);

    SCK_HOST_INFO(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(pending(), "SCK_HOST_INFO:hsa0p=NULL");
}

TEST_F(HostInfoTrace, ShowsTheLookupAndTheTable) {
    Net net("nowhere", "127.0.0.1 localhost localhost.localdomain\n");
    net.setup = {iface("eth9", "192.168.0.5/24")};
    if (!isolated(net)) return;
    sck_dbg = 1;
    host_table();
    EXPECT_EQ(pending(), "<none>");
    const std::string log = trail();
    EXPECT_EQ(log.find("SCK_HOST_INFO:sck_host_nam=nowhere\n"), 0u) << log;
    EXPECT_NE(log.find("\nSCK_HOST_INFO:SCK_HOST_INFO:gethostbyname (OK)\n"), std::string::npos) << log;
    const std::string dump =
        "SCK_HOST_INFO_DMP:\n"
        "\tsck_host_nam=nowhere\n"
        "\th_name=localhost addrtype=0x2 length=4\n"
        "\th_aliases:\n"
        "\t\tlocalhost.localdomain\n"
        "\th_addr_list:\n"
        "\t\t127.0.0.1\n"
        "\tlisten addresses:\n"
        "\t\t127.0.0.1:0\n"
        "\t\t192.168.0.5:0\n";
    ASSERT_GE(log.size(), dump.size());
    EXPECT_EQ(log.substr(log.size() - dump.size()), dump) << log;
}

// ---- Connections ------------------------------------------------------------------------------

TEST(Connections, NonBlockingListenerAndConnect) {
    if (!isolated()) return;
    sockaddr_in sai = loopback(0);
    const int lsd = HOST_SAI_SD(&sai, 0);
    ASSERT_GE(lsd, 0) << pending();
    EXPECT_NE(fcntl(lsd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(accept(lsd, nullptr, nullptr), -1);  // nothing waiting: at once
    EXPECT_EQ(errno, EAGAIN);

    const int sd = IP_CONN("127.0.0.1", port_of(lsd), 5);
    ASSERT_GE(sd, 0) << pending();
    EXPECT_NE(fcntl(sd, F_GETFL) & O_NONBLOCK, 0);
    pollfd pfd{lsd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);
    const int peer = accept(lsd, nullptr, nullptr);
    EXPECT_GE(peer, 0);
    close(peer);
    SCK_CL(sd);
    SCK_CL(lsd);

    const int blocking = HOST_SAI_SD(&sai, 1);
    ASSERT_GE(blocking, 0) << pending();
    EXPECT_EQ(fcntl(blocking, F_GETFL) & O_NONBLOCK, 0);
    SCK_CL(blocking);
}

TEST(Connections, AddressInUseNamesTheAddressAndLeavesNothingOpen) {
    if (!isolated()) return;
    const int taken = raw_listener();
    const std::uint16_t port = port_of(taken);
    sockaddr_in sai = loopback(port);
    const int fds = open_fds();
    EXPECT_EQ(HOST_SAI_SD(&sai, 0), -1);
    EXPECT_EQ(pending(), "HOST_SAI_SD:bind (err #98:Address already in use) (127.0.0.1:" + std::to_string(port) + ")");
    EXPECT_EQ(open_fds(), fds);
    close(taken);
}

TEST(Connections, RefusedConnectFailsAtOnce) {
    if (!isolated()) return;
    const int gone = raw_listener();
    const std::uint16_t port = port_of(gone);
    close(gone);  // nothing listens on the port now
    const int fds = open_fds();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(IP_CONN("127.0.0.1", port, 5), -1);
    EXPECT_LT(ms_since(t0), 1000);
    EXPECT_EQ(pending(), "connect (err #111:Connection refused)");
    EXPECT_EQ(open_fds(), fds);
}

TEST(Connections, TimeOutWhenTheListenerCannotTakeMore) {
    if (!isolated()) return;
    // A backlog of 0 holds one connection; later handshakes go unanswered.
    const int lsd = raw_listener(0);
    const std::uint16_t port = port_of(lsd);
    const int first = IP_CONN("127.0.0.1", port, 2);
    ASSERT_GE(first, 0) << pending();
    const int fds = open_fds();

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(IP_CONN("127.0.0.1", port, 1), -1);
    const long waited = ms_since(t0);
    EXPECT_EQ(pending(), "Connect timeout (tmo=1)");
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 4000);

    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(IP_CONN("127.0.0.1", port, 0), -1);
    EXPECT_LT(ms_since(t0), 500);
    EXPECT_EQ(pending(), "Connect timeout (tmo=0)");
    EXPECT_EQ(open_fds(), fds);
    close(first);
    close(lsd);
}

TEST(Connections, ArgumentChecks) {
    if (!isolated()) return;
    EXPECT_EQ(IP_CONN(nullptr, 80, 1), -1);
    EXPECT_EQ(pending(), "IP_CONN:ip=NUL");
    EXPECT_EQ(IP_CONN("abc", 80, 1), -1);
    EXPECT_EQ(pending(), "abc is invalid");
    EXPECT_EQ(SAI_CONN(nullptr, 1), -1);
    EXPECT_EQ(pending(), "SAI_CONN:saip=NUL");
    // With an error pending nothing is attempted.
    const int fds = open_fds();
    S_ERR("first");
    sockaddr_in sai = loopback(1);
    EXPECT_EQ(SAI_CONN(&sai, 1), -1);
    EXPECT_EQ(HOST_SAI_SD(&sai, 0), -1);
    EXPECT_EQ(pending(), "first");
    EXPECT_EQ(open_fds(), fds);
}

TEST(Connections, BlockingModeLingerAndClose) {
    const int sd = socket(AF_INET, SOCK_STREAM, 0);
    SCK_BLOCK(sd, 0);
    EXPECT_NE(fcntl(sd, F_GETFL) & O_NONBLOCK, 0);
    SCK_BLOCK(sd, 1);
    EXPECT_EQ(fcntl(sd, F_GETFL) & O_NONBLOCK, 0);

    linger lg{};
    socklen_t len = sizeof lg;
    SCK_LINGER(sd, 2);
    getsockopt(sd, SOL_SOCKET, SO_LINGER, &lg, &len);
    EXPECT_EQ(lg.l_onoff, 1);
    EXPECT_EQ(lg.l_linger, 2);
    SCK_LINGER(sd, 0);
    getsockopt(sd, SOL_SOCKET, SO_LINGER, &lg, &len);
    EXPECT_EQ(lg.l_onoff, 0);
    EXPECT_EQ(err_, 0);

    // Closing works while an error is pending; -1 is ignored.
    S_ERR("first");
    SCK_CL(-1);
    SCK_CL(sd);
    EXPECT_EQ(fcntl(sd, F_GETFD), -1);
    EXPECT_EQ(pending(), "first");

    SCK_BLOCK(sd, 0);
    EXPECT_EQ(pending(), "SCK_BLOCK:fcntl (err #9:Bad file descriptor)");
    SCK_LINGER(sd, 2);
    EXPECT_EQ(pending(), "SCK_LINGER:setsockopt (err #9:Bad file descriptor)");
    SCK_BLOCK(-1, 0);
    SCK_LINGER(-1, 2);
    EXPECT_EQ(err_, 0);
}

TEST_F(ConnectionTrace, SocketAndLocalAddress) {
    const int sd = socket(AF_INET, SOCK_STREAM, 0);
    const std::string n = std::to_string(sd);
    SCK_BLOCK(sd, 0);  // level 0: nothing written
    EXPECT_EQ(trail(), "");
    dbg_ = 2;
    SCK_BLOCK(sd, 0);
    SCK_LINGER(sd, 2);
    SCK_CL(sd);
    dbg_ = 0;
    EXPECT_EQ(trail(), "SCK_BLOCK:sd=" + n + "/0.0.0.0:0 block=0\n"
                       "SCK_LINGER:sd=" + n + "/0.0.0.0:0 tmo=2\n"
                       "SCK_CL:sd=" + n + "/0.0.0.0:0\n");
}

TEST(Connections, AddressPatterns) {
    EXPECT_EQ(SAI_TXT_MT("192.168.3.4", "10.0.0.1, 192.168.*.*"), 1);
    EXPECT_EQ(SAI_TXT_MT("192.168.3.4", "  10.0.0.1,192.168.*"), 1);
    EXPECT_EQ(SAI_TXT_MT("192.168.3.4", "192.168.3"), 1);
    EXPECT_EQ(SAI_TXT_MT("192.168.3.4", "192.168.3.5"), 0);
    EXPECT_EQ(SAI_TXT_MT("192.168.3.4", "*.*.*.4"), 1);
    EXPECT_EQ(SAI_TXT_MT("192.168.3.4", "192.x.3.4, 10.*"), 0);
    EXPECT_EQ(SAI_TXT_MT("192.168.3.4", ""), 0);
    // Missing parts of the text count as 0.
    EXPECT_EQ(SAI_TXT_MT("10", "10.0.0.0"), 1);
    EXPECT_EQ(SAI_TXT_MT("10.1", "10.0"), 0);
    // A text that is not an address matches nothing, and no error stays behind.
    EXPECT_EQ(SAI_TXT_MT("192.168.3.400", "*"), 0);
    EXPECT_EQ(SAI_TXT_MT("host", "*"), 0);
    EXPECT_EQ(err_, 0);
    S_ERR("first");
    EXPECT_EQ(SAI_TXT_MT("192.168.3.4", "*"), 0);
    EXPECT_EQ(pending(), "first");
}

// ---- Receiving ----------------------------------------------------------------------------------

TEST(Receive, NothingWaitingThenPeekThenRead) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    char st = 9;
    EXPECT_EQ(SCK_RECV(link.sd, buf, sizeof buf, 0, &st), 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(err_, 0);

    ASSERT_EQ(send(link.peer, "hel\0o", 5, 0), 5);
    pollfd pfd{link.sd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);
    EXPECT_EQ(SCK_RECV(link.sd, buf, sizeof buf, 1, &st), 5u);
    EXPECT_EQ(SCK_RECV(link.sd, buf, sizeof buf, 1, &st), 5u);
    EXPECT_EQ(SCK_RECV(link.sd, buf, 3, 0, &st), 3u);
    EXPECT_EQ(std::string(buf, 3), "hel");
    EXPECT_EQ(SCK_RECV(link.sd, buf, sizeof buf, 0, &st), 2u);
    EXPECT_EQ(std::string(buf, 2), std::string("\0o", 2));
    EXPECT_EQ(SCK_RECV(link.sd, nullptr, 5, 0, &st), 0u);
    EXPECT_EQ(SCK_RECV(link.sd, buf, 0, 0, &st), 0u);
    EXPECT_EQ(err_, 0);
}

TEST(Receive, PeerClosedIsNotConnected) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    const std::string peer = "127.0.0.1:" + std::to_string(link.port);
    close(link.peer);
    link.peer = -1;
    pollfd pfd{link.sd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);
    char buf[4];
    char st = 0;
    EXPECT_EQ(SCK_RECV(link.sd, buf, sizeof buf, 0, &st), 0u);
    EXPECT_EQ(st, 5);
    EXPECT_EQ(pending(), "SCK_RECV:recv (err #107:Transport endpoint is not connected) (sd=" +
                             std::to_string(link.sd) + " sai=" + peer + ")");
    // With an error pending it reads nothing and leaves the status alone.
    S_ERR("first");
    st = 9;
    EXPECT_EQ(SCK_RECV(link.sd, buf, sizeof buf, 0, &st), 0u);
    EXPECT_EQ(st, 9);
    EXPECT_EQ(pending(), "first");
}

TEST(Receive, PeerResetIsConnectionReset) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    ASSERT_TRUE(link.reset_peer());
    char buf[4];
    char st = 0;
    EXPECT_EQ(SCK_RECV(link.sd, buf, sizeof buf, 0, &st), 0u);
    EXPECT_EQ(st, 2);
    // A reset connection has no peer any more.
    EXPECT_EQ(pending(), "SCK_RECV:recv (err #104:Connection reset by peer) (sd=" + std::to_string(link.sd) +
                             " sai=?)");
}

// ---- Sending ------------------------------------------------------------------------------------

TEST(Send, ExplicitLengthsTextsAndBytes) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    char st = 9;
    const char ten[10] = {0, 'a', 'b', 0, 'c', 'd', 'e', 'f', 'g', 0};
    EXPECT_EQ(BF_SCK(link.sd, ten, 10, &st, 1), 1);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(drain(link.peer), std::string(ten, 10));

    // Nothing to send: success without a byte on the wire.
    EXPECT_EQ(BF_SCK(link.sd, ten, 0, &st, 1), 1);
    EXPECT_EQ(BF_SCK(link.sd, nullptr, 5, &st, 1), 1);
    EXPECT_EQ(S_SCK(link.sd, "", &st, 1), 1);
    EXPECT_EQ(SM_SCK(link.sd, &st, 1, nullptr), 1);
    EXPECT_EQ(SM_SCK(link.sd, &st, 1, "", "", nullptr), 1);
    EXPECT_EQ(drain(link.peer), "");

    // A length of 4294967295 takes the text's; SM_SCK joins its texts into one piece.
    EXPECT_EQ(BF_SCK(link.sd, "text\0more", 4294967295u, &st, 0xFFFF), 1);
    EXPECT_EQ(S_SCK(link.sd, "name", &st, 0xFFFF), 1);
    EXPECT_EQ(SM_SCK(link.sd, &st, 0xFFFF, "abc", "\r", nullptr), 1);
    EXPECT_EQ(B_SCK(link.sd, '\0', &st), 1);
    EXPECT_EQ(drain(link.peer), std::string("textnameabc\r\0", 13));
    EXPECT_EQ(err_, 0);
}

TEST(Send, JoinedTextsOverTheLimit) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    const std::string half(32767, 'h');
    char st = 9;
    EXPECT_EQ(SM_SCK(link.sd, &st, 1, half.c_str(), half.c_str(), "x", nullptr), 0);
    EXPECT_EQ(pending(), "String overflow [SM_SCK]");
    EXPECT_EQ(drain(link.peer), "");
    // 65,534 bytes is still one piece.
    Reader reader(link.peer, 65534);
    EXPECT_EQ(SM_SCK(link.sd, &st, 5, half.c_str(), half.c_str(), nullptr), 1);
    EXPECT_EQ(reader.join(), half + half);
}

// A send (time-out 1 s) to a peer that never reads gives up after about a second with
// status 10; the peer holds exactly the start of data that the message counts as sent.
template <class Send>
void expect_stall(Link& link, const std::string& data, Send send, const std::string& trail) {
    small_buffers(link.sd, link.peer);
    char st = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(send(&st), 0);
    const long waited = ms_since(t0);
    EXPECT_EQ(st, 10);
    const std::string message = pending();
    const std::string got = rest_of_stream(link);
    ASSERT_GT(got.size(), 0u);
    ASSERT_LT(got.size(), data.size());
    EXPECT_EQ(got, data.substr(0, got.size()));
    EXPECT_EQ(message, "send BLOCKED (txtmo=1, bfsz=" + std::to_string(data.size()) +
                           " txsz=" + std::to_string(got.size()) + ") " + trail);
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 4000);
}

TEST(Send, StalledPeerTimesOutWithWhatWasSent) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    const std::string data = random_bytes(4 << 20, 1);
    expect_stall(link, data, [&](char* st) {
        return BF_SCK(link.sd, data.data(), static_cast<std::uint32_t>(data.size()), st, 1);
    }, "[BF_SCK]");
}

TEST_F(SendTrail, NoTimeOutFailsAtTheFirstFullSocketUntraced) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    small_buffers(link.sd, link.peer);
    const std::string data(1 << 20, 'z');
    char st = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(BF_SCK(link.sd, data.data(), static_cast<std::uint32_t>(data.size()), &st, 0), 0);
    EXPECT_LT(ms_since(t0), 500);
    EXPECT_EQ(st, 10);
    const std::string message = pending();
    const std::string got = rest_of_stream(link);
    EXPECT_EQ(message, "send BLOCKED (txtmo=0, bfsz=1048576 txsz=" + std::to_string(got.size()) + ") [BF_SCK]");
    // A full socket is no news for the debug trail unless socket tracing is on.
    EXPECT_EQ(trail(), "");
}

TEST_F(SendTrail, PeerGoneFailsWithTheSendErrorAndItsTrail) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    ASSERT_TRUE(link.reset_peer());
    char st = 0;
    EXPECT_EQ(SM_SCK(link.sd, &st, 0xFFFF, "a.txt", "\r", nullptr), 0);
    EXPECT_EQ(st, 2);
    EXPECT_EQ(pending(), "send (err #104:Connection reset by peer) [BF_SCK] [SM_SCK]");
    EXPECT_EQ(S_SCK(link.sd, "x", &st, 0xFFFF), 0);
    EXPECT_EQ(st, 6);
    EXPECT_EQ(pending(), "send (err #32:Broken pipe) [BF_SCK] [S_SCK]");
    EXPECT_EQ(B_SCK(link.sd, 'x', &st), 0);
    EXPECT_EQ(pending(), "send (err #32:Broken pipe) [BF_SCK] [B_SCK]");
    // With tracing off nothing reaches the debug trail; at any debug level such failures
    // are written there, quietly.
    EXPECT_EQ(trail(), "");
    dbg_ = 1;
    EXPECT_EQ(B_SCK(link.sd, 'x', &st), 0);
    pending();
    dbg_ = 0;
    const std::string sd = std::to_string(link.sd);
    EXPECT_EQ(trail(), "BF_SCK:ERROR:send (err #32:Broken pipe) sd=" + sd + "/?:x\n");
}

TEST_F(SendTrail, TraceShowsTheBufferEscaped) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    sck_dbg = 1;
    EXPECT_EQ(SM_SCK(link.sd, nullptr, 5, "abc", "\r", nullptr), 1);
    const std::string longer(300, 'L');
    EXPECT_EQ(S_SCK(link.sd, longer.c_str(), nullptr, 5), 1);
    sck_dbg = 0;
    const std::string head = "BF_SCK:sd=" + std::to_string(link.sd) + "/127.0.0.1:" + std::to_string(link.port) + ":";
    EXPECT_EQ(trail(), head + "abc\\x0D\n" + head + std::string(256, 'L') + " ...\n");
}

TEST(Send, ResumesAsSoonAsThePeerReads) {
    // A local socket pair with a tiny send buffer fills at every step: a sender that paused
    // a fixed 5 ms each time would need more than two seconds for these four megabytes, so
    // the bound leaves room for a loaded machine.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int size = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    const std::string data = random_bytes(4 << 20, 2);
    Reader reader(pair[1], data.size());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(BF_SCK(pair[0], data.data(), static_cast<std::uint32_t>(data.size()), nullptr, 5), 1);
    const long took = ms_since(t0);
    EXPECT_EQ(reader.join(), data);
    EXPECT_LT(took, 1000);
    close(pair[0]);
    close(pair[1]);
}

// ---- Sending files ------------------------------------------------------------------------------

TEST_F(FileSend, EmptyOrStartingWithZero) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    char st = 9;
    put_file("empty", "");
    EXPECT_EQ(FILE_SCK(link.sd, "empty", &st, 60), 1);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(drain(link.peer), "");
    const std::string zero("\0\0abc\0", 6);
    put_file("zero", zero);
    EXPECT_EQ(FILE_SCK(link.sd, "zero", &st, 60), 1);
    EXPECT_EQ(drain(link.peer), zero);
    EXPECT_EQ(err_, 0);

    EXPECT_EQ(FILE_SCK(link.sd, "absent", &st, 60), 0);
    EXPECT_EQ(pending(), "\"absent\" not found [FILE_SCK]");
    EXPECT_EQ(drain(link.peer), "");
}

TEST_F(FileSend, LargerThanOneBlock) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    const std::string data = random_bytes((5 << 20) / 2 + 7, 3);
    put_file("big", data);
    Reader reader(link.peer, data.size());
    EXPECT_EQ(FILE_SCK(link.sd, "big", nullptr, 0xFFFF), 1);
    EXPECT_EQ(reader.join(), data);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileSend, StalledPeerTimesOutCountingTheWholeFile) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    const std::string data = random_bytes(3 << 20, 4);
    put_file("big", data);
    expect_stall(link, data, [&](char* st) { return FILE_SCK(link.sd, "big", st, 1); }, "[BF_SCK] [FILE_SCK]");
}

// FD_SCK, once through the kernel's zero-copy send and once reading and sending.
class DescriptorSend : public FileSend, public testing::WithParamInterface<char> {
protected:
    void SetUp() override {
        FileSend::SetUp();
        sck_zero_copy = GetParam();
    }
    void TearDown() override {
        sck_zero_copy = 1;
        FileSend::TearDown();
    }
    static void count(void* ctx, std::uint64_t sent) { static_cast<std::vector<std::uint64_t>*>(ctx)->push_back(sent); }
};

TEST_P(DescriptorSend, FromTheCurrentPositionWithProgress) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    const std::string data = random_bytes((5 << 20) / 2 + 7, 6);
    put_file("big", "skip" + data);
    LbFd fd(::open("big", O_RDONLY));
    ASSERT_EQ(::lseek(fd.get(), 4, SEEK_SET), 4);
    Reader reader(link.peer, data.size());
    std::vector<std::uint64_t> seen;
    EXPECT_EQ(FD_SCK(link.sd, fd.get(), "big", data.size(), nullptr, 60, count, &seen), data.size()) << pending();
    EXPECT_EQ(reader.join(), data);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), data.size());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST_P(DescriptorSend, AFileShorterThanAnnouncedFailsAtItsEnd) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    put_file("short", std::string(1000, 's'));
    LbFd fd(::open("short", O_RDONLY));
    Reader reader(link.peer, 1000);
    EXPECT_EQ(FD_SCK(link.sd, fd.get(), "short", 5000, nullptr, 60, nullptr, nullptr), 1000u);
    EXPECT_EQ(pending(), "\"short\" shrank while being sent (1000 of 5000 bytes) [FD_SCK]");
    EXPECT_EQ(reader.join(), std::string(1000, 's'));
}

// A peer that accepts and never reads, with the buffers the kernel gives and may grow, and
// the socket blocking or not as the caller left it: the send fails within a second of its
// time-out, counts what the peer holds, and leaves the socket's mode as it was.
TEST_P(DescriptorSend, PeerThatNeverReadsFailsWithinTheTimeOut) {
    if (!isolated()) return;
    const std::string data = random_bytes(16 << 20, 7);
    put_file("big", data);
    for (const char block : {char{0}, char{1}}) {
        SCOPED_TRACE(block ? "blocking socket" : "non-blocking socket");
        Link link;
        ASSERT_GE(link.sd, 0) << pending();
        SCK_BLOCK(link.sd, block);
        LbFd fd(::open("big", O_RDONLY));
        char st = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const std::uint64_t sent = FD_SCK(link.sd, fd.get(), "big", data.size(), &st, 1, nullptr, nullptr);
        const long waited = ms_since(t0);
        EXPECT_EQ(st, 10);
        EXPECT_EQ(pending(), "send BLOCKED (txtmo=1, bfsz=" + std::to_string(data.size()) +
                                 " txsz=" + std::to_string(sent) + ") [BF_SCK] [FD_SCK]");
        EXPECT_GE(waited, 950);
        EXPECT_LT(waited, 2500);  // the whole time-out, not the kernel's own much longer one
        EXPECT_EQ(::fcntl(link.sd, F_GETFL) & O_NONBLOCK, block ? 0 : O_NONBLOCK);
        const std::string got = rest_of_stream(link);
        EXPECT_GT(got.size(), 0u);
        EXPECT_EQ(got.size(), sent);
        EXPECT_TRUE(got == data.substr(0, got.size())) << "the peer holds other bytes than the file's start";
    }
}

// A reader slower than the file but never silent for the time-out: about 2 MB/s, so the
// file takes longer than the time-out yet is not cut off.
TEST_P(DescriptorSend, SlowReaderIsNotCutOff) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    small_buffers(link.sd, link.peer, 64 << 10);
    const std::string data = random_bytes(3 << 20, 8);
    put_file("big", data);
    LbFd fd(::open("big", O_RDONLY));
    Reader reader(link.peer, data.size(), 64 << 10, 30);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FD_SCK(link.sd, fd.get(), "big", data.size(), nullptr, 1, nullptr, nullptr), data.size()) << pending();
    const long took = ms_since(t0);
    EXPECT_TRUE(reader.join() == data);
    EXPECT_GT(took, 1200);
}

INSTANTIATE_TEST_SUITE_P(ZeroCopyOrNot, DescriptorSend, testing::Values(char{1}, char{0}));

TEST_F(FileSend, SlowLinkIsNotCutOff) {
    if (!isolated()) return;
    Link link;
    ASSERT_GE(link.sd, 0) << pending();
    small_buffers(link.sd, link.peer, 64 << 10);
    // About 2 MB/s: each block of the file moves in a quarter of the time-out, while the
    // whole file takes longer than it.
    const std::string data = random_bytes(6 << 20, 5);
    put_file("big", data);
    Reader reader(link.peer, data.size(), 64 << 10, 30);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FILE_SCK(link.sd, "big", nullptr, 2), 1) << pending();
    const long took = ms_since(t0);
    EXPECT_EQ(reader.join(), data);
    EXPECT_GT(took, 2500);
}
