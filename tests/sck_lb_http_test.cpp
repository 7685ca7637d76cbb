// The HTTP client: the session record, its URL and connection with the name cache, the
// requests on the wire, the response reader's completion rules and checks, the downloads,
// and the network probes.
//
// Every test that connects, resolves a name or pings runs again inside a private network
// namespace of its own (loopback only, its own host name and /etc/hosts), and talks to a
// scripted server the test starts on 127.0.0.1 there. Nothing can leave the machine.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lb.h"
#include "test_netns.h"
#include "test_support.h"

namespace {

using namespace lbtest;

// The quiet rules count whole milliseconds on the library's clock, so a quiet second can end
// up to one millisecond of wall time early.
constexpr long tick_ms = 1;

std::string str(const char* s) { return text(s); }

// A file's lines with their line ends taken off, joined by "|".
std::string lines_of(const std::string& name) {
    std::string text = get_file(name), out;
    for (char c : text) {
        if (c == '\r') continue;
        out += c == '\n' ? '|' : c;
    }
    return out;
}

// ---- The private network --------------------------------------------------------------------

struct Net : lbtest::NetNs {
    Net() { host = "httphost"; hosts = "127.0.0.1 localhost\n127.0.0.1 webhost\n"; }
};

bool isolated(const Net& net = {}) { return lbtest::isolated(net); }

// ---- A scripted HTTP server -----------------------------------------------------------------

// What the server does on one connection: read the request (up to its empty line and a
// body of its Content-Length plus the line end after it), then each step's pause and bytes,
// then close, or hold the connection open until the client closes or the server stops.
struct Reply {
    std::vector<std::pair<int, std::string>> steps;
    bool close = true;
    bool read_request = true;
};

Reply says(std::string bytes, bool close = true) { return Reply{{{0, std::move(bytes)}}, close}; }

class Server {
public:
    explicit Server(std::vector<Reply> replies) : replies_(std::move(replies)) {
        lsd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sai{};
        sai.sin_family = AF_INET;
        sai.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        setsockopt(lsd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(lsd_, reinterpret_cast<sockaddr*>(&sai), sizeof sai) == 0 && listen(lsd_, 8) == 0) {
            socklen_t len = sizeof sai;
            getsockname(lsd_, reinterpret_cast<sockaddr*>(&sai), &len);
            port_ = ntohs(sai.sin_port);
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~Server() { stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path = "") const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }
    // What each connection sent before the server's first step, once every connection
    // expected has been served (or a few seconds have passed); the server stops then.
    std::vector<std::string> requests() {
        const auto t0 = std::chrono::steady_clock::now();
        while (served_ < replies_.size() && ms_since(t0) < 3000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop();
        return requests_;
    }

private:
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (lsd_ >= 0) close(lsd_);
        lsd_ = -1;
    }

    bool wait_in(int sd, int ms) {
        pollfd pfd{sd, POLLIN, 0};
        return poll(&pfd, 1, ms) > 0;
    }

    std::string read_request(int sd) {
        std::string got;
        std::size_t want = std::string::npos;
        const auto t0 = std::chrono::steady_clock::now();
        while (!stopping_ && ms_since(t0) < 3000 && got.size() < want) {
            if (!wait_in(sd, 20)) continue;
            char buf[4096];
            const ssize_t r = recv(sd, buf, sizeof buf, 0);
            if (r <= 0) break;
            got.append(buf, static_cast<std::size_t>(r));
            const auto end = got.find("\r\n\r\n");
            if (end != std::string::npos && want == std::string::npos) {
                want = end + 4;
                const auto cl = got.find("Content-Length: ");
                if (cl != std::string::npos && cl < end) want += std::stoul(got.substr(cl + 16)) + 2;
            }
        }
        return got;
    }

    void serve() {
        for (const Reply& reply : replies_) {
            int sd = -1;
            while (!stopping_ && sd < 0)
                if (wait_in(lsd_, 20)) sd = accept(lsd_, nullptr, nullptr);
            if (sd < 0) return;
            requests_.push_back(reply.read_request ? read_request(sd) : "");
            ++served_;
            for (const auto& [pause, bytes] : reply.steps) {
                if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                if (!bytes.empty()) send(sd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            }
            if (!reply.close) {
                // Held open until the client is done or the test ends.
                while (!stopping_) {
                    if (!wait_in(sd, 20)) continue;
                    char buf[4096];
                    if (recv(sd, buf, sizeof buf, 0) <= 0) break;
                }
            }
            close(sd);
        }
    }

    std::vector<Reply> replies_;
    std::vector<std::string> requests_;
    int lsd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> served_{0};  // requests_ is complete up to this count
    std::thread thread_;
};

std::string ok_with_length(const std::string& type, const std::string& body, const std::string& more = "") {
    return "HTTP/1.0 200 OK\r\nContent-Type: " + type + "\r\nContent-length: " + std::to_string(body.size()) +
           "\r\n" + more + "\r\n" + body;
}

// A session on url, released at the end of the scope.
struct Session {
    SS ss;
    explicit Session(const std::string& url = "") {
        SS_INIT(&ss, 1);
        if (!url.empty()) ss.url = S_CP(url.c_str());
    }
    ~Session() { SS_CL(&ss); }
    std::string text() const { return ss.rx_bf ? std::string(ss.rx_bf, ss.rxcnt) : ""; }
    std::string body() const { return text().substr(ss.hdrsz); }
};

// Polls the reader as a caller would, every 10 ms; false when it did not finish in time.
bool poll_response(SS* ss, int limit_ms = 5000) {
    const auto t0 = std::chrono::steady_clock::now();
    while (!SCK_SS(ss, 0)) {
        if (ms_since(t0) > limit_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Works in a fresh directory of its own: the debug trail and the name cache live in the
// current one.
class Scratch : public lbtest::TrailInTempDir {
protected:
    Scratch() : TrailInTempDir("sck_http_") {}
};

class HttpConnect : public Scratch {};
class HttpRequest : public Scratch {};
class HttpResponse : public Scratch {};
class HttpDownload : public Scratch {};
class NetProbe : public Scratch {};

const std::string agent = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n";

}  // namespace

// ---- Session record and URL ---------------------------------------------------------------------

TEST(HttpSession, InitFullOrKeepingTheCallersSettings) {
    SS ss;
    std::memset(static_cast<void*>(&ss), 0x5A, sizeof ss);
    SS_INIT(&ss, 1);
    EXPECT_EQ(ss.url, nullptr);
    EXPECT_EQ(ss.end_s, nullptr);
    EXPECT_EQ(ss.htm + ss.xml + ss.end_ch + ss.end_sz, 0);
    EXPECT_EQ(ss.conn_tmo, 5);
    EXPECT_EQ(ss.tx_tmo, 10);
    EXPECT_EQ(ss.rx_tmo, 30);
    EXPECT_EQ(ss.poll_ms, 10);
    EXPECT_EQ(ss.sd, -1);
    EXPECT_EQ(ss.port, 80);
    EXPECT_EQ(ss.content_len, 0xFFFFFFFFu);
    EXPECT_EQ(ss.tic0, 0xFFFFFFFFu);
    EXPECT_EQ(ss.tic1, 0xFFFFFFFFu);
    EXPECT_EQ(ss.rx_bf, nullptr);
    EXPECT_EQ(ss.hdr, nullptr);
    EXPECT_EQ(ss.rx_bfsz + ss.rxcnt + ss.hdrsz + ss.blkx + ss.blkcnt, 0u);

    char url[] = "x";
    ss.url = url;
    ss.xml = 1;
    ss.end_ch = '\n';
    ss.rx_tmo = 3;
    ss.port = 8080;
    ss.rxcnt = 7;
    SS_INIT(&ss, 0);
    EXPECT_EQ(ss.url, url);
    EXPECT_EQ(ss.xml, 1);
    EXPECT_EQ(ss.end_ch, '\n');
    EXPECT_EQ(ss.rx_tmo, 3);
    EXPECT_EQ(ss.port, 80);
    EXPECT_EQ(ss.rxcnt, 0u);
    ss.url = nullptr;

    // Nothing is touched while an error is pending.
    ss.port = 1;
    S_ERR("first");
    SS_INIT(&ss, 1);
    EXPECT_EQ(ss.port, 1);
    EXPECT_EQ(pending(), "first");
}

TEST(HttpSession, CloseReleasesEverythingAndKeepsTheSettings) {
    mem_al_dbg = 1;
    SS ss;
    SS_INIT(&ss, 1);
    ss.url = S_CP("http://h:81/p");
    ss.rx_tmo = 4;
    ss.htm = 1;
    SS_URL(&ss);
    ss.ip = S_CP("10.0.0.1");
    ss.rx_bf = S_CP("abc");
    ss.rxcnt = 3;
    ss.rx_bfsz = 4;
    ss.hdr = S_CP("h");
    ss.hdrsz = 1;
    ss.content_type = S_CP("t");
    ss.mod_date = S_CP("d");
    const int sd = socket(AF_INET, SOCK_STREAM, 0);
    ss.sd = sd;
    // Eight owned strings: url, host, file, ip, rx_bf, hdr, content_type, mod_date.
    const std::int32_t before = mem_al_cnt;
    SS_CL(&ss);
    EXPECT_EQ(mem_al_cnt, before - 8);
    EXPECT_EQ(fcntl(sd, F_GETFD), -1);  // closed
    EXPECT_EQ(ss.url, nullptr);
    EXPECT_EQ(ss.host, nullptr);
    EXPECT_EQ(ss.sd, -1);
    EXPECT_EQ(ss.port, 80);
    EXPECT_EQ(ss.rxcnt + ss.rx_bfsz + ss.hdrsz, 0u);
    EXPECT_EQ(ss.rx_tmo, 4);
    EXPECT_EQ(ss.htm, 1);

    // Also with an error pending the counts go with the strings they describe.
    ss.rx_bf = S_CP("abc");
    ss.rxcnt = 3;
    ss.rx_bfsz = 4;
    S_ERR("first");
    const std::int32_t with_rx = mem_al_cnt;
    SS_CL(&ss);
    EXPECT_EQ(mem_al_cnt, with_rx - 1);
    EXPECT_EQ(ss.rx_bf, nullptr);
    EXPECT_EQ(ss.rxcnt + ss.rx_bfsz, 0u);
    EXPECT_EQ(pending(), "first");
    SS_CL(nullptr);
}

TEST(HttpSession, ResetForTheNextResponse) {
    SS ss;
    SS_INIT(&ss, 1);
    const int sd = socket(AF_INET, SOCK_STREAM, 0);
    ss.sd = sd;
    ss.rx_bf = S_CP("x");
    ss.rxcnt = 1;
    ss.rx_bfsz = 2;
    ss.blkx = 1;
    ss.blkcnt = 5;
    ss.done = 1;
    ss.st = 5;
    ss.content_len = 3;
    ss.streaming_video = 1;
    ss.tic0 = ss.tic1 = 7;
    S_ERR("first");  // it works while an error is pending
    SS_RESET(&ss, 0, 0);
    EXPECT_EQ(pending(), "first");
    EXPECT_EQ(ss.rx_bf, nullptr);
    EXPECT_EQ(ss.rxcnt + ss.rx_bfsz, 0u);
    EXPECT_EQ(ss.blkx, 1u);  // the unread rest of the block stays for the next response
    EXPECT_EQ(ss.blkcnt, 5u);
    EXPECT_EQ(ss.done + ss.st + ss.streaming_video, 0);
    EXPECT_EQ(ss.content_len, 0xFFFFFFFFu);
    EXPECT_EQ(ss.tic0, 0xFFFFFFFFu);
    EXPECT_EQ(ss.sd, sd);
    SS_RESET(&ss, 1, 1);
    EXPECT_EQ(ss.blkx + ss.blkcnt, 0u);
    EXPECT_EQ(ss.sd, -1);
    EXPECT_EQ(fcntl(sd, F_GETFD), -1);
}

TEST(HttpUrl, SplitsHostPathAndPort) {
    Session s("http://Host:8080/dir/page.html");
    SS_URL(&s.ss);
    EXPECT_EQ(str(s.ss.host), "Host");
    EXPECT_EQ(str(s.ss.file), "dir/page.html");
    EXPECT_EQ(s.ss.port, 8080);

    s.ss.url = S_RP(s.ss.url, "hostonly");
    SS_URL(&s.ss);
    EXPECT_EQ(str(s.ss.host), "hostonly");
    EXPECT_EQ(str(s.ss.file), "");
    EXPECT_EQ(s.ss.port, 8080);  // no port given: the one before stays

    s.ss.url = S_RP(s.ss.url, "HTTP://h/");
    SS_URL(&s.ss);
    EXPECT_EQ(str(s.ss.host), "h");
    EXPECT_EQ(str(s.ss.file), "");

    s.ss.url = S_RP(s.ss.url, "h:abc/x");
    SS_URL(&s.ss);
    EXPECT_EQ(str(s.ss.host), "h:abc");
    EXPECT_EQ(str(s.ss.file), "x");
    EXPECT_EQ(s.ss.port, 80);
    EXPECT_EQ(pending(), "<none>");
}

TEST(HttpUrl, ArgumentChecks) {
    if (!isolated()) return;
    SS_URL(nullptr);
    EXPECT_EQ(pending(), "SS_URL:ssp=NUL");
    Session s;
    SS_URL(&s.ss);
    EXPECT_EQ(pending(), "SS_URL:url=NUL");
    EXPECT_EQ(SS_CONN(nullptr), 0);
    EXPECT_EQ(pending(), "SS_CONN:ssp=NUL");
    EXPECT_EQ(SS_CONN(&s.ss), 0);
    EXPECT_EQ(pending(), "SS_CONN:url=NUL");
    s.ss.url = S_CP("127.0.0.1");
    s.ss.sd = 0;
    EXPECT_EQ(SS_CONN(&s.ss), 0);
    EXPECT_EQ(pending(), "SS_CONN:sd >= 0");
    s.ss.sd = -1;
    HTTP_GET(nullptr);
    EXPECT_EQ(pending(), "HTTP_GET:ssp=NUL [HTTP_GET]");
    HTTP_POST(nullptr);
    EXPECT_EQ(pending(), "HTTP_POST:ssp=NUL");
    MEM_FR(&s.ss.url);
    HTTP_GET(&s.ss);
    EXPECT_EQ(pending(), "HTTP_GET:url=NUL [HTTP_GET]");
    HTTP_POST(&s.ss);
    EXPECT_EQ(pending(), "HTTP_POST:url=NUL");
    EXPECT_EQ(SCK_SS(nullptr, 0), 1);
    EXPECT_EQ(pending(), "SCK_SS:ssp=NUL");
    HTTP_DL("http://127.0.0.1/", nullptr, 1, 1);
    EXPECT_EQ(pending(), "HTTP_DL:fnam=NULL");
    XML_DL("http://127.0.0.1/", nullptr, 1, 1);
    EXPECT_EQ(pending(), "XML_DL:fnam=NULL");
}

// ---- Connection and the name cache ---------------------------------------------------------------

TEST_F(HttpConnect, DottedAddressLeavesTheCacheAlone) {
    if (!isolated()) return;
    Server server({says("", false)});
    Session s(server.url("x"));
    EXPECT_EQ(SS_CONN(&s.ss), 1) << pending();
    EXPECT_GE(s.ss.sd, 0);
    EXPECT_EQ(str(s.ss.ip), "127.0.0.1");
    EXPECT_EQ(str(SD_PEER_IP(s.ss.sd, 1, 0)), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_FALSE(exists("host_ip.txt"));
}

TEST_F(HttpConnect, NameIsLookedUpCachedAndThenTakenFromTheCache) {
    if (!isolated()) return;
    Server server({says("", false), says("", false)});
    const std::string url = "webhost:" + std::to_string(server.port()) + "/index.html";
    {
        Session s(url);
        EXPECT_EQ(SS_CONN(&s.ss), 1) << pending();
        EXPECT_EQ(lines_of("host_ip.txt"), "webhost|127.0.0.1|");
    }
    // The cache answers by name without regard to case; the file is not written again.
    put_file("host_ip.txt", "other\n10.0.0.5\nWEBHOST\n127.0.0.1\n");
    Session s(url);
    EXPECT_EQ(SS_CONN(&s.ss), 1) << pending();
    EXPECT_EQ(get_file("host_ip.txt"), "other\n10.0.0.5\nWEBHOST\n127.0.0.1\n");
}

TEST_F(HttpConnect, CachedAddressMayCarryThePort) {
    if (!isolated()) return;
    Server server({says("", false)});
    put_file("host_ip.txt", "printserver\n127.0.0.1:" + std::to_string(server.port()) + "\n");
    Session s("http://printserver/status");
    EXPECT_EQ(SS_CONN(&s.ss), 1) << pending();
    EXPECT_EQ(s.ss.port, server.port());
    EXPECT_EQ(str(s.ss.ip), "127.0.0.1");
}

TEST_F(HttpConnect, StaleCacheEntryIsReplacedByAFreshLookup) {
    if (!isolated()) return;
    Server server({says("", false)});
    // Nothing listens on 127.0.0.9 inside the namespace: the stale address is refused.
    put_file("host_ip.txt", "webhost\n127.0.0.9\nother\n10.0.0.5\n");
    Session s("webhost:" + std::to_string(server.port()) + "/");
    dbg_ = 1;
    EXPECT_EQ(SS_CONN(&s.ss), 1) << pending();
    EXPECT_EQ(str(s.ss.ip), "127.0.0.1");
    EXPECT_EQ(lines_of("host_ip.txt"), "other|10.0.0.5|webhost|127.0.0.1|");
    EXPECT_FALSE(exists("url_sr_xxx.tmp"));
    const std::string port = std::to_string(server.port());
    const std::string log = get_file("dbg.log");
    for (const std::string& step : std::vector<std::string>{"SS_CONN:ip(2)=127.0.0.9", "SS_CONN:Connect to 127.0.0.9:" + port,
          "SS_CONN:connect (err #111:Connection refused) (retry...)", "SS_CONN:gethost webhost",
          "SS_CONN:ip(4)=127.0.0.1 port=" + port, "SS_CONN:Connect to 127.0.0.1:" + port})
        EXPECT_NE(log.find(step), std::string::npos) << step << "\n" << log;
}

TEST_F(HttpConnect, UnwritableCacheCostsOnlyTheLookup) {
    if (!isolated()) return;
    Server server({says("", false)});
    // The current directory becomes read-only (inside the test's own mount namespace).
    const std::string here = std::filesystem::current_path();
    ASSERT_EQ(system(("mount --bind '" + here + "' '" + here + "' && mount -o remount,ro,bind '" + here + "'").c_str()), 0);
    std::filesystem::current_path(here);
    Session s("webhost:" + std::to_string(server.port()) + "/");
    EXPECT_EQ(SS_CONN(&s.ss), 1) << pending();
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(str(HOST_IP("webhost")), "127.0.0.1");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("host_ip.txt"));
    std::filesystem::current_path("/");
    EXPECT_EQ(system(("umount '" + here + "'").c_str()), 0);
}

TEST_F(HttpConnect, FailuresCloseAndReport) {
    if (!isolated()) return;
    Session s("http://nosuchhost/x");
    EXPECT_EQ(SS_CONN(&s.ss), 0);
    EXPECT_EQ(pending(), "SS_CONN:gethostbyname:host=nosuchhost");
    EXPECT_EQ(s.ss.sd, -1);
    EXPECT_FALSE(exists("host_ip.txt"));

    // A literal address that refuses is reported as it is, without a retry.
    const int lsd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sai{};
    sai.sin_family = AF_INET;
    sai.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lsd, reinterpret_cast<sockaddr*>(&sai), sizeof sai);
    socklen_t len = sizeof sai;
    getsockname(lsd, reinterpret_cast<sockaddr*>(&sai), &len);
    close(lsd);  // the port is free again: nothing listens there
    Session r("127.0.0.1:" + std::to_string(ntohs(sai.sin_port)));
    EXPECT_EQ(SS_CONN(&r.ss), 0);
    EXPECT_EQ(pending(), "connect (err #111:Connection refused)");
    EXPECT_EQ(r.ss.sd, -1);
    EXPECT_EQ(r.ss.ip, nullptr);
}

TEST_F(HttpConnect, ReusedAfterCloseWithANewUrl) {
    if (!isolated()) return;
    Server one({says(ok_with_length("text/plain", "one"))});
    Server two({says(ok_with_length("text/plain", "two"))});
    Session s(one.url("a.htm"));
    HTTP_GET(&s.ss);
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(s.body(), "one");
    SS_CL(&s.ss);
    s.ss.url = S_CP(two.url("b.htm").c_str());
    HTTP_GET(&s.ss);
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.body(), "two");
}

// ---- Requests on the wire ---------------------------------------------------------------------------

TEST_F(HttpRequest, GetWithDefaults) {
    if (!isolated()) return;
    Server server({says("")});
    Session s("127.0.0.1:" + std::to_string(server.port()) + "/dir/a.txt");
    HTTP_GET(&s.ss);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_NE(s.ss.tic0, 0xFFFFFFFFu);
    const auto got = server.requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0],
              "GET /dir/a.txt HTTP/1.0\r\n"
              "Accept: */*\r\n" + agent +
              "Host: 127.0.0.1\r\n"
              "\r\n");
}

TEST_F(HttpRequest, GetWithEveryLineInOrder) {
    if (!isolated()) return;
    Server server({says("")});
    Session s(server.url());
    HTTP_GET(&s.ss, "1.1", "close", "text/html", "en", "http://r/", "text/plain", "no-cache", "probe/1",
             "keep-alive", "a=b", "Basic eA==");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(server.requests().at(0),
              "GET / HTTP/1.1\r\n"
              "Connection: close\r\n"
              "Accept: text/html\r\n"
              "Accept-Language: en\r\n"
              "Referer: http://r/\r\n"
              "Content-Type: text/plain\r\n"
              "Pragma: no-cache\r\n"
              "User-Agent: probe/1\r\n"
              "Host: 127.0.0.1\r\n"
              "Proxy-Connection: keep-alive\r\n"
              "Cookie: a=b\r\n"
              "Authorization: Basic eA==\r\n"
              "\r\n");
}

TEST_F(HttpRequest, GetVersionAndCookieOnly) {
    if (!isolated()) return;
    Server server({says("")});
    Session s(server.url("p"));
    HTTP_GET(&s.ss, "1.1", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "id=7");
    EXPECT_EQ(server.requests().at(0),
              "GET /p HTTP/1.1\r\nAccept: */*\r\n" + agent + "Host: 127.0.0.1\r\nCookie: id=7\r\n\r\n");
}

TEST_F(HttpRequest, UrlEndingSetsTheSwitches) {
    if (!isolated()) return;
    Server server({says(""), says(""), says("")});
    Session s(server.url("PAGE.HTML"));
    s.ss.xml = 1;
    HTTP_GET(&s.ss);
    EXPECT_EQ(s.ss.htm, 1);
    EXPECT_EQ(s.ss.xml, 0);
    SS_CL(&s.ss);
    s.ss.url = S_CP(server.url("feed.xml").c_str());
    HTTP_GET(&s.ss);
    EXPECT_EQ(s.ss.htm, 0);
    EXPECT_EQ(s.ss.xml, 1);
    SS_CL(&s.ss);
    s.ss.url = S_CP(server.url("data.json").c_str());
    HTTP_GET(&s.ss);
    EXPECT_EQ(s.ss.xml, 1);  // other endings leave the switches as they were
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(HttpRequest, PostWithAndWithoutBody) {
    if (!isolated()) return;
    Server server({says(""), says("")});
    Session s(server.url("form"));
    HTTP_POST(&s.ss, nullptr, nullptr, nullptr, nullptr, nullptr, "application/x-www-form-urlencoded", nullptr,
              nullptr, nullptr, "c=1", "a=1");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.ss.tic0, 0xFFFFFFFFu);  // a POST does not start the receive clock
    SS_RESET(&s.ss, 1, 1);
    HTTP_POST(&s.ss);
    EXPECT_EQ(pending(), "<none>");
    const auto got = server.requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0],
              "POST /form HTTP/1.0\r\n"
              "Accept: */*\r\n"
              "Content-Type: application/x-www-form-urlencoded\r\n" + agent +
              "Host: 127.0.0.1\r\n"
              "Content-Length: 3\r\n"
              "Cookie: c=1\r\n"
              "\r\n"
              "a=1\r\n");
    EXPECT_EQ(got[1],
              "POST /form HTTP/1.0\r\nAccept: */*\r\n" + agent +
              "Host: 127.0.0.1\r\nContent-Length: 0\r\n\r\n\r\n");
}

TEST_F(HttpRequest, LargePostBodyGoesOutWhole) {
    if (!isolated()) return;
    Server server({says("")});
    Session s(server.url("up"));
    const std::string body(70000, 'b');
    dbg_ = 1;  // a request too long for one trail line is still sent
    HTTP_POST(&s.ss, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
              body.c_str());
    EXPECT_EQ(pending(), "<none>");
    const std::string got = server.requests().at(0);
    EXPECT_NE(got.find("Content-Length: 70000\r\n"), std::string::npos);
    EXPECT_EQ(got.size(), got.find("\r\n\r\n") + 4 + body.size() + 2);
}

// ---- Response reader --------------------------------------------------------------------------------

TEST_F(HttpResponse, LengthEndsTheBodyAndTheRestWaitsForTheNextResponse) {
    if (!isolated()) return;
    const std::string first =
        ok_with_length("text/html", "<p>hi</p>", "Date: Mon, 01 Jan 2024\r\nLast-Modified: Sun, 31 Dec 2023\r\n");
    const std::string second = "HTTP/1.0 200 OK\r\ncontent-type: image/png\r\nDate: D2\r\nContent-length: 2\r\n\r\nXY";
    Server server({says(first + second, false)});
    Session s(server.url("a.htm"));
    HTTP_GET(&s.ss);
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.ss.done, 1);
    EXPECT_EQ(s.text(), first);
    EXPECT_EQ(s.ss.hdrsz, first.size() - 9);
    EXPECT_EQ(str(s.ss.hdr), first.substr(0, first.size() - 9));
    EXPECT_EQ(s.ss.content_len, 9u);
    EXPECT_EQ(str(s.ss.content_type), "text/html");
    EXPECT_EQ(str(s.ss.mod_date), "Sun, 31 Dec 2023");
    EXPECT_EQ(s.ss.rx_bf[s.ss.rxcnt], 0);
    EXPECT_EQ(s.ss.rx_bfsz % 4096, 0u);
    EXPECT_NE(s.ss.tic1, 0xFFFFFFFFu);

    // The next call starts the next response, from the bytes already read.
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.text(), second);
    EXPECT_EQ(s.body(), "XY");
    EXPECT_EQ(str(s.ss.content_type), "image/png");
    EXPECT_EQ(str(s.ss.mod_date), "D2");
}

TEST_F(HttpResponse, LargeBodyGrowsTheBufferInSteps) {
    if (!isolated()) return;
    std::string body(300000, 0);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    Server server({says(ok_with_length("application/octet-stream", body), false)});
    Session s(server.url("big.htm"));
    HTTP_GET(&s.ss);
    ASSERT_TRUE(SCK_SS(&s.ss, 1));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.body(), body);
    EXPECT_EQ(s.ss.rx_bfsz % 4096, 0u);
    EXPECT_GT(s.ss.rx_bfsz, s.ss.rxcnt);
}

TEST_F(HttpResponse, TextWithoutLengthEndsAtTheClosingHtmlTag) {
    if (!isolated()) return;
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 99\r\n\r\n";
    Server server({Reply{{{0, head + "<html><body>"}, {150, "</body></HTML>\r\n"}}, false}});
    Session s(server.url("a.htm"));
    HTTP_GET(&s.ss);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(poll_response(&s.ss, 900));  // well before any quiet rule could apply
    EXPECT_GE(ms_since(t0), 100);
    EXPECT_EQ(pending(), "<none>");
    // "Content-Length" is not the spelling that gives a length.
    EXPECT_EQ(s.ss.content_len, 0xFFFFFFFFu);
    EXPECT_EQ(s.body(), "<html><body></body></HTML>\r\n");
}

TEST_F(HttpResponse, UnreadableLengthCountsAsNone) {
    if (!isolated()) return;
    Server server({says("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-length: 12x\r\n\r\n<html></html>", false)});
    Session s(server.url("a.htm"));
    HTTP_GET(&s.ss);
    ASSERT_TRUE(poll_response(&s.ss, 900));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.ss.content_len, 0xFFFFFFFFu);
    EXPECT_EQ(s.body(), "<html></html>");
}

TEST_F(HttpResponse, OtherTypesWithoutLengthEndAfterASecondOfQuiet) {
    if (!isolated()) return;
    Server server({says("HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\nGIF89a</html>", false)});
    Session s(server.url("a.htm"));
    HTTP_GET(&s.ss);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(poll_response(&s.ss, 3000));
    EXPECT_GE(ms_since(t0), 1000 - tick_ms);
    EXPECT_LT(ms_since(t0), 1800);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.body(), "GIF89a</html>");
}

TEST_F(HttpResponse, PeerClosingEndsABodyWithoutLength) {
    if (!isolated()) return;
    Server server({Reply{{{0, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nsome"}, {50, " text"}}, true}});
    Session s(server.url("a.htm"));
    HTTP_GET(&s.ss);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_LT(ms_since(t0), 900);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.body(), "some text");
    EXPECT_EQ(s.ss.sd, -1);  // the next request connects anew
    EXPECT_EQ(s.ss.st, 5);
}

TEST_F(HttpResponse, PeerClosingBeforeTheLengthIsAnError) {
    if (!isolated()) return;
    Server server({says("HTTP/1.0 200 OK\r\nContent-length: 10\r\n\r\nshort")});
    Session s(server.url("a.htm"));
    HTTP_GET(&s.ss);
    ASSERT_TRUE(poll_response(&s.ss));
    const std::string why = pending();
    EXPECT_EQ(why.rfind("SCK_RECV:recv (err #107:Transport endpoint is not connected) (sd=", 0), 0u) << why;
    EXPECT_TRUE(why.ends_with(") [SCK_SS] (URL=" + server.url("a.htm") + ")")) << why;
    EXPECT_EQ(s.ss.st, 5);
    EXPECT_EQ(s.ss.done, 1);
}

TEST_F(HttpResponse, PeerClosingInsideTheHeaderIsAnError) {
    if (!isolated()) return;
    const std::string cut = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n";
    // A document without any header ends where the peer closes, as before.
    const std::string doc = "<?xml version=\"1.0\"?><a>1</a>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a.htm", cut}, {"a.xml", cut}, {"a.htm", "HT"}, {"b.xml", doc}};
    std::vector<Reply> replies;
    for (const auto& c : cases) replies.push_back(says(c.second));
    Server server(replies);
    const std::string port = std::to_string(server.port());
    for (const auto& [path, response] : cases) {
        SCOPED_TRACE(path + ": " + response);
        Session s(server.url(path));
        HTTP_GET(&s.ss);
        ASSERT_TRUE(poll_response(&s.ss));
        EXPECT_EQ(s.ss.st, 5);
        EXPECT_EQ(s.ss.done, 1);
        if (response == doc) {
            EXPECT_EQ(pending(), "<none>");
            EXPECT_EQ(s.text(), doc);
            continue;
        }
        EXPECT_EQ(pending(), "SCK_RECV:recv (err #107:" + std::string(std::strerror(107)) + ") (sd=" +
                                 std::to_string(s.ss.sd) + " sai=127.0.0.1:" + port + ") [SCK_SS] (URL=" +
                                 server.url(path) + ")");
    }
}

TEST_F(HttpResponse, EndTextIsCutOffAndTheRestWaits) {
    if (!isolated()) return;
    Server server({Reply{{{0, "line one\r\nline"}, {20, " two\r\n"}}, false, false}});
    Session s;
    s.ss.sd = IP_CONN("127.0.0.1", server.port(), 2);
    s.ss.end_s = "\r\n";
    s.ss.end_sz = 2;
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.text(), "line one");
    EXPECT_EQ(s.ss.rx_bf[s.ss.rxcnt], 0);
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(s.text(), "line two");
}

TEST_F(HttpResponse, EndTextCountsOnlyAfterTheHeader) {
    // No network needed: the peer is the other end of a socket pair.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    Session s;
    s.ss.sd = pair[0];
    s.ss.htm = 1;
    s.ss.end_s = "\r\nEND";
    s.ss.end_sz = 5;
    // The header's last line end and the body's first bytes spell the end text.
    const std::string header = "HTTP/1.0 200 OK\r\n\r\n";
    const std::string response = header + "ENDbody\r\nEND";
    ASSERT_EQ(write(pair[1], response.data(), response.size()), static_cast<ssize_t>(response.size()));
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.ss.hdrsz, header.size());
    EXPECT_EQ(s.text(), header + "ENDbody");
    close(pair[1]);
}

TEST_F(HttpResponse, EndCharacterNeedsAQuietMoment) {
    if (!isolated()) return;
    Server server({Reply{{{0, "a>"}, {40, "b>"}}, false, false}});
    Session s;
    s.ss.sd = IP_CONN("127.0.0.1", server.port(), 2);
    s.ss.end_ch = '>';
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(poll_response(&s.ss));
    // The first ">" was followed by more within 99 ms; the second one ends it.
    EXPECT_EQ(s.text(), "a>b>");
    EXPECT_GE(ms_since(t0), 140 - tick_ms);
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(HttpResponse, XmlEndsAtItsClosingTagOrAfterQuietWithADeclaration) {
    if (!isolated()) return;
    const std::string doc = "<?xml version=\"1.0\"?>\r\n\r\n<xml><a>1</a></XML>\r\n";
    const std::string feed = "<?xml version=\"1.0\"?><rss><b>2</b></rss>";
    Server server({says(doc, false), says(feed, false)});
    Session s(server.url("doc.xml"));
    HTTP_GET(&s.ss);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(poll_response(&s.ss, 900));
    EXPECT_EQ(pending(), "<none>");
    // A text that begins with the declaration has no header, nor is it checked for one.
    EXPECT_EQ(s.ss.hdr, nullptr);
    EXPECT_EQ(s.text(), doc);
    EXPECT_LT(ms_since(t0), 900);

    SS_RESET(&s.ss, 1, 1);
    HTTP_GET(&s.ss);
    t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_GE(ms_since(t0), 1000 - tick_ms);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.text(), feed);
}

TEST_F(HttpResponse, StatusChecks) {
    if (!isolated()) return;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"HTTP/1.1 302 Found\r\nContent-length: 0\r\n\r\n", "<none>"},
        {"HTTP/1.1 100 Continue\r\nContent-length: 0\r\n\r\n", "<none>"},
        {"HTTP/1.1 204 No Content\r\nContent-length: 0\r\n\r\n", "<none>"},
        {"HTTP/1.0 500 Internal Server Error\r\nContent-length: 0\r\n\r\n", "HTTP:500 Internal Server Error"},
        {"HTTP/1.0 1000 Odd\r\nContent-length: 0\r\n\r\n", "HTTP:1000 Odd"},
        {"ICY 200 OK\r\nContent-length: 0\r\n\r\n", "Invalid header (no \"HTTP/\")"},
        {"HTTP/1.0\r\nContent-length: 0\r\n\r\n", "Invalid header (no status)"},
        {"GET /x HTTP/1.0\r\nContent-length: 0\r\n\r\n", "<none>"},
        {"POST /x HTTP/1.0\r\nHost: h\r\n\r\n", "No content-length"},
        // Without any header, the text of an HTML session is checked as one.
        {"<html>no header</html>", "Invalid header (no \"HTTP/\")"},
    };
    std::vector<Reply> replies;
    for (const auto& c : cases) replies.push_back(says(c.first));
    Server server(replies);
    for (const auto& [response, message] : cases) {
        Session s(server.url("a.htm"));
        HTTP_GET(&s.ss);
        EXPECT_TRUE(poll_response(&s.ss)) << response;
        const std::string suffix = " [SCK_SS] (URL=" + server.url("a.htm") + ")";
        EXPECT_EQ(pending(), message == "<none>" ? message : message + suffix) << response;
        EXPECT_EQ(s.ss.done, 1);
    }
}

TEST_F(HttpResponse, NotFoundForgetsTheCachedAddress) {
    if (!isolated()) return;
    Server server({says("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>gone</html>")});
    const std::string port = std::to_string(server.port());
    put_file("host_ip.txt", "webhost\n127.0.0.1:" + port + "\nother\n10.0.0.5\n");
    Session s("webhost/old.htm");
    dbg_ = 1;
    HTTP_GET(&s.ss);
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(pending(), "HTTP:404 Not Found [SCK_SS] (URL=webhost/old.htm)");
    EXPECT_EQ(lines_of("host_ip.txt"), "other|10.0.0.5|");
    EXPECT_FALSE(exists("sck_ss_xxx.tmp"));
    // The trail shows the failure and the start of the text.
    const std::string log = get_file("dbg.log");
    EXPECT_NE(log.find("SCK_SS:HTTP:404 Not Found [SCK_SS] (URL=webhost/old.htm)"), std::string::npos) << log;
    EXPECT_NE(log.find("SCK_SS:rx=HTTP/1.0 404 Not Found\\x0D\\x0AContent-Type"), std::string::npos) << log;
}

TEST_F(HttpResponse, ReceiveTimeOutWithoutAnswer) {
    if (!isolated()) return;
    Server server({says("HTTP/1.0 200 OK\r\n", false)});
    Session s(server.url("slow.htm"));
    s.ss.rx_tmo = 1;
    HTTP_GET(&s.ss);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(SCK_SS(&s.ss, 1), 1);
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_LT(ms_since(t0), 2500);
    EXPECT_EQ(pending(), "Socket rx tmo (rxcnt=17 rxtmo=1) [SCK_SS] (URL=" + server.url("slow.htm") + ")");
    EXPECT_EQ(s.ss.st, 9);
    EXPECT_EQ(s.ss.done, 1);
}

TEST_F(HttpResponse, SecondRequestOnTheConnectionHasItsOwnTimeOut) {
    if (!isolated()) return;
    // The server answers the first request and then stays silent.
    Server server({says(ok_with_length("text/plain", "one"), false)});
    Session s(server.url("a.htm"));
    s.ss.rx_tmo = 1;
    HTTP_GET(&s.ss);
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(s.body(), "one");
    HTTP_GET(&s.ss);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_NE(s.ss.tic0, 0xFFFFFFFFu);
    EXPECT_EQ(s.ss.rxcnt, 0u);
    ASSERT_TRUE(poll_response(&s.ss, 3000));
    EXPECT_EQ(pending(), "Socket rx tmo (rxcnt=0 rxtmo=1) [SCK_SS] (URL=" + server.url("a.htm") + ")");
    EXPECT_EQ(s.ss.st, 9);
}

TEST_F(HttpResponse, WaitWithoutRequestIsBoundedToo) {
    if (!isolated()) return;
    Server server({Reply{{}, false, false}});
    Session s;
    s.ss.sd = IP_CONN("127.0.0.1", server.port(), 2);
    s.ss.rx_tmo = 1;
    EXPECT_EQ(SCK_SS(&s.ss, 1), 1);
    EXPECT_EQ(pending(), "Socket rx tmo (rxcnt=0 rxtmo=1) [SCK_SS] (sd=" + std::to_string(s.ss.sd) + ")");
}

TEST_F(HttpResponse, PendingErrorOrStatusEndsAtOnce) {
    Session s;
    S_ERR("first");
    EXPECT_EQ(SCK_SS(&s.ss, 1), 1);
    EXPECT_EQ(s.ss.done, 1);
    EXPECT_EQ(pending(), "first");
    s.ss.done = 0;
    s.ss.st = 2;
    EXPECT_EQ(SCK_SS(&s.ss, 1), 1);
    EXPECT_EQ(s.ss.done, 1);
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(HttpResponse, MultipartVideoStreamPartByPart) {
    if (!isolated()) return;
    const std::string head =
        "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=--myboundary\r\n\r\n";
    const std::string part1 = "--myboundary\r\nContent-Type: image/jpeg\r\nContent-length: 4\r\n\r\nJPG1";
    const std::string part2 = "\r\n--myboundary\r\nContent-Type: image/jpeg\r\nContent-length: 3\r\n\r\nJP2";
    Server server({says(head + part1 + part2, false)});
    Session s(server.url("video.htm"));
    HTTP_GET(&s.ss);
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.ss.streaming_video, 1);
    EXPECT_EQ(s.ss.hdrsz, head.size() + part1.size() - 4);
    EXPECT_EQ(str(s.ss.content_type), "image/jpeg");
    EXPECT_EQ(s.body(), "JPG1");
    ASSERT_TRUE(poll_response(&s.ss));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(s.body(), "JP2");
    EXPECT_EQ(s.ss.streaming_video, 1);
}

TEST_F(HttpResponse, IntoTheCallersBuffer) {
    if (!isolated()) return;
    const std::string response = ok_with_length("text/plain", "0123456789");
    Server server({says(response + response, false)});
    Session s(server.url("a.htm"));
    HTTP_GET(&s.ss);
    char bf[128];
    std::memset(bf, 'z', sizeof bf);
    const auto t0 = std::chrono::steady_clock::now();
    while (!SCK_BF(&s.ss, bf, sizeof bf, 0) && ms_since(t0) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(std::string(bf), response);
    EXPECT_EQ(s.ss.rx_bf, nullptr);
    // One byte short of the text and its terminator: the response does not fit.
    char small[40];
    EXPECT_EQ(SCK_BF(&s.ss, small, sizeof small, 1), 1);
    EXPECT_EQ(pending(), "SCK_BF:response too large (rxcnt=39) [SCK_BF] (URL=" + server.url("a.htm") + ")");
}

// ---- Downloads --------------------------------------------------------------------------------------

TEST_F(HttpDownload, BodyGoesToTheFile) {
    if (!isolated()) return;
    const std::string page = "<html><body>\r\n\r\ntext</body></html>";
    const std::string doc = "<?xml version=\"1.0\"?><xml><v>1</v></xml>";
    Server server({says(ok_with_length("text/html", page)),
                   says("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + doc)});
    put_file("page.html", "old contents that are longer");
    HTTP_DL(server.url("page").c_str(), "page.html", 2, 5);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file("page.html"), page);
    XML_DL(server.url("feed").c_str(), "feed.xml", 2, 5);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file("feed.xml"), doc);
}

TEST_F(HttpDownload, FailureLeavesNoFile) {
    if (!isolated()) return;
    Server server({says("HTTP/1.0 404 Not Found\r\nContent-length: 0\r\n\r\n")});
    put_file("gone.html", "old");
    HTTP_DL(server.url("gone.html").c_str(), "gone.html", 2, 5);
    EXPECT_EQ(pending(), "HTTP:404 Not Found [SCK_SS] (URL=" + server.url("gone.html") + ") [HTTP_DL]");
    EXPECT_FALSE(exists("gone.html"));

    const std::uint16_t port = server.port();
    server.requests();  // stopped: nothing listens there any more
    put_file("x.xml", "old");
    XML_DL(("127.0.0.1:" + std::to_string(port) + "/x.xml").c_str(), "x.xml", 2, 5);
    EXPECT_EQ(pending(), "connect (err #111:Connection refused) [HTTP_GET] [XML_DL]");
    EXPECT_FALSE(exists("x.xml"));
}

TEST_F(HttpDownload, HeaderCutOffLeavesNoFile) {
    if (!isolated()) return;
    const std::string cut = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n";
    Server server({says(cut), says(cut)});
    const std::string head = "SCK_RECV:recv (err #107:" + std::string(std::strerror(107)) + ") (sd=";
    for (const bool xml : {false, true}) {
        const std::string file = xml ? "cut.xml" : "cut.html";
        SCOPED_TRACE(file);
        put_file(file, "old");
        if (xml)
            XML_DL(server.url(file).c_str(), file.c_str(), 2, 5);
        else
            HTTP_DL(server.url(file).c_str(), file.c_str(), 2, 5);
        const std::string why = pending();
        const std::string tail = " sai=127.0.0.1:" + std::to_string(server.port()) + ") [SCK_SS] (URL=" +
                                 server.url(file) + ") [" + (xml ? "XML_DL" : "HTTP_DL") + "]";
        EXPECT_EQ(why.rfind(head, 0), 0u) << why;
        EXPECT_TRUE(why.ends_with(tail)) << why;
        EXPECT_FALSE(exists(file));
    }
}

// ---- Probes -----------------------------------------------------------------------------------------

TEST_F(NetProbe, HostAddressFromTheCacheFirst) {
    if (!isolated()) return;
    put_file("host_ip.txt", "PrintServer\n10.0.0.5:8080\nlast\n");
    // Neither name resolves: the answers come from the cache alone.
    EXPECT_EQ(str(HOST_IP("printserver")), "10.0.0.5");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(HOST_IP("last"), nullptr);
    EXPECT_EQ(pending(), "gethostbyname:host=last");
}

TEST_F(NetProbe, HostAddressLookedUpIsCached) {
    if (!isolated()) return;
    EXPECT_EQ(str(HOST_IP("localhost")), "127.0.0.1");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(lines_of("host_ip.txt"), "localhost|127.0.0.1|");
    std::filesystem::remove("host_ip.txt");
    EXPECT_EQ(str(HOST_IP("webhost")), "127.0.0.1");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(lines_of("host_ip.txt"), "webhost|127.0.0.1|");
    put_file("host_ip.txt", "webhost\n127.0.0.7\n");
    EXPECT_EQ(str(HOST_IP("webhost")), "127.0.0.7");
}

TEST_F(NetProbe, PingOfLoopback) {
    if (system("command -v ping > /dev/null 2>&1") != 0) GTEST_SKIP() << "ping is not installed";
    if (!isolated()) return;
    EXPECT_EQ(IP_PING("127.0.0.1", 2), 1);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("ip_ping.tmp"));
    // A name nobody knows gives no answer and no error.
    EXPECT_EQ(IP_PING("nosuchhost", 1), 0);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("ip_ping.tmp"));
}

TEST_F(NetProbe, PingWithoutAnAnswer) {
    if (system("command -v ping > /dev/null 2>&1") != 0) GTEST_SKIP() << "ping is not installed";
    Net net;
    net.setup = {"ip link set lo down"};
    if (!isolated(net)) return;
    EXPECT_EQ(IP_PING("127.0.0.1", 1), 0);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("ip_ping.tmp"));
}

// A stand-in ping on the PATH prints the summary line a test chooses and notes its
// arguments; nothing is sent.
TEST_F(NetProbe, SummaryLinesOfEitherPingAreRead) {
    // In the namespace all the same: should the stand-in not run, nothing leaves.
    if (!isolated()) return;
    std::filesystem::create_directory("bin");
    put_file("bin/ping", "#!/bin/sh\necho \"$@\" >> args.txt\ncat summary.txt\n");
    std::filesystem::permissions("bin/ping", std::filesystem::perms::owner_all);
    const std::string path = getenv("PATH");
    setenv("PATH", (std::filesystem::current_path().string() + "/bin:" + path).c_str(), 1);
    const std::vector<std::pair<std::string, char>> cases = {
        {"1 packets transmitted, 1 received, 0% packet loss, time 0ms\n", 1},
        {"1 packets transmitted, 0 received, 100% packet loss, time 0ms\n", 0},
        {"    Packets: Sent = 1, Received = 1, Lost = 0 (0% loss),\n", 1},
        {"    Packets: Sent = 1, Received = 0, Lost = 1 (100% loss),\n", 0},
        {"", 0},
    };
    for (const auto& [summary, answered] : cases) {
        put_file("summary.txt", "PING 127.0.0.1\n" + summary);
        EXPECT_EQ(IP_PING("127.0.0.1", 3), answered) << summary;
        ASSERT_TRUE(exists("args.txt")) << "the stand-in ping did not run";
        EXPECT_EQ(pending(), "<none>");
        EXPECT_FALSE(exists("ip_ping.tmp"));
    }
    std::string calls;
    for (std::size_t i = 0; i < cases.size(); ++i) calls += "127.0.0.1 -c 1 -w 3|";
    EXPECT_EQ(lines_of("args.txt"), calls);
    // An address is one argument, whatever it holds.
    std::filesystem::remove("args.txt");
    EXPECT_EQ(IP_PING("127.0.0.1; touch pwned `touch pwned2` $(touch pwned3)", 1), 0);
    EXPECT_FALSE(exists("pwned") || exists("pwned2") || exists("pwned3"));
    EXPECT_EQ(lines_of("args.txt"), "127.0.0.1; touch pwned `touch pwned2` $(touch pwned3) -c 1 -w 1|");
    setenv("PATH", path.c_str(), 1);
}

TEST(NetProbes, PrivateAddressesOnlyAreNoInternet) {
    Net net;
    net.setup = {iface("eth9", "192.168.1.10/24")};
    if (!isolated(net)) return;
    EXPECT_EQ(ISP_CONNECTED(), 0);
    EXPECT_EQ(pending(), "<none>");
}

TEST(NetProbes, APublicAddressCounts) {
    Net net;
    net.setup = {iface("eth9", "192.168.1.10/24"), iface("eth8", "203.0.113.7/24")};
    if (!isolated(net)) return;
    EXPECT_EQ(ISP_CONNECTED(), 1);
    EXPECT_EQ(pending(), "<none>");
    S_ERR("first");
    EXPECT_EQ(ISP_CONNECTED(), 0);
    EXPECT_EQ(pending(), "first");
}
