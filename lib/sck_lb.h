// Sockets, connections, data transfer, HTTP client and network probes.
#ifndef LB_SCK_LB_H
#define LB_SCK_LB_H

#include <netdb.h>
#include <netinet/in.h>

#include "err_lb.h"

// ---- Socket system, addresses and host enumeration ----------------------------------------
//
// IPv4 TCP only. A host address table is an array of sck_host_mxc sockaddr_in records; a
// slot whose family is 0 is empty. Address texts returned here are temporary strings, or
// the constant "?" for an unknown address.

extern std::uint16_t sck_host_mxc;    // slots of a host address table (5)
extern const char* sck_null_ip;       // "0.0.0.0"
extern const char* sck_lcl_ip;        // "127.0.0.1"
extern const char* host_ip_fl;        // name cache of the network probes, "host_ip.txt"
extern std::uint16_t sck_tx_tmo;      // send time-out in seconds that 0xFFFF stands for (15)
extern char sck_dbg;                  // socket tracing whatever the debug level
extern char sck_zero_copy;            // 1: FD_SCK lets the kernel move file bytes (sendfile)
extern char* sck_host_nam;            // owned host-name buffer, made by SCK_HOST_INFO
extern in_addr sck_null_in_addr;      // sck_null_ip in network byte order, set by SCK_SYS_OP
extern in_addr sck_lcl_in_addr;       // sck_lcl_ip in network byte order, set by SCK_SYS_OP

// Whether a socket routine traces at this debug level: sck_dbg traces whatever the level.
inline bool sck_trc(char level) { return sck_dbg || dbg_ >= level; }

// Opens the layer (SIGPIPE ignored from then on); again while open does nothing.
void SCK_SYS_OP();
// Releases the host-name buffer and marks the layer closed; sockets stay open.
void SCK_SYS_CL();
// Dotted text (inet_addr forms) to an address in network byte order; 0 for a text that is
// not an address ("<text> is invalid" with report) and for 0.0.0.0. Works with an error
// pending.
std::uint32_t IP_UL(const char* text, char report);
// The socket's local or peer address into out (nothing for a null out).
void SD_SAI(int sd, sockaddr_in* out);
void SD_PEER_SAI(int sd, sockaddr_in* out);
// Dotted text of an address, ":" and the port with with_port; "?" for none. Works with an
// error pending and leaves it as it was.
const char* SAI_IP(const sockaddr_in* sai, char with_port, char report);
// Text of the socket's local or peer address; "?" when unknown. With an error pending the
// lookup's own failure is discarded and the pending error stays as it was; otherwise it is
// kept only with report.
const char* SD_IP(int sd, char with_port, char report);
const char* SD_PEER_IP(int sd, char with_port, char report);
// 1 for a public address, 0 for 127.x.x.x, 172.16-31.x.x and 192.168.x.x (and for a text
// that is not an address).
char REMOTE_IP(in_addr address);
char REMOTE_IP(const char* text);
// Fills table (sck_host_mxc slots, port 0) with the host's IPv4 addresses: those of its
// name (or of host_name, or of the address text ip) at their list positions, then
// 127.0.0.1 unless already there, then the interfaces' addresses not yet present. host_out
// (may be null) receives the resolver's record, whose pointers stay the resolver's.
void SCK_HOST_INFO(hostent* host_out, sockaddr_in* table, const char* host_name,
                   const char* ip);
// Every IPv4 address of the host, however many interfaces it has: those its name resolves
// to, then each address of each interface (127.0.0.1 among them), once each, into at most
// n slots of table (port 0; the rest cleared). Gives the count. A name that does not
// resolve is no error.
std::uint16_t SCK_HOST_ADDRS(sockaddr_in* table, std::uint16_t n);
// Writes the host record and the non-empty slots of table to the debug trail.
void SCK_HOST_INFO_DMP(const char* text1, const char* text2, const hostent* host,
                       const sockaddr_in* table);

// ---- Connections ------------------------------------------------------------------------

// A listening socket (backlog 128) bound to sai, non-blocking unless block; -1 on failure,
// then nothing stays open and the message ends with " (<address:port>)".
int HOST_SAI_SD(const sockaddr_in* sai, char block);
// A connected non-blocking socket, or -1 ("Connect timeout (tmo=<s>)" after tmo seconds).
int SAI_CONN(const sockaddr_in* sai, std::uint16_t tmo);
int IP_CONN(const char* ip, std::uint16_t port, std::uint16_t tmo);
void SCK_BLOCK(int sd, char block);
// Linger on with secs, off with 0.
void SCK_LINGER(int sd, std::uint16_t secs);
// Closes sd (>= 0) even while an error is pending.
void SCK_CL(int sd);
// 1 when the dotted text matches an entry of the comma-separated list of patterns, each
// of up to four dotted parts, a part "*" matching any number and missing parts anything.
char SAI_TXT_MT(const char* text, const char* list);

// ---- Data transfer ------------------------------------------------------------------------
//
// status (may be null) is cleared on entry and set on failure: 2 reset, 3 aborted,
// 4 refused, 5 not connected or closed by the peer, 6 broken pipe, 7 invalid argument,
// 8 host unreachable, 10 the send could not proceed in time. A send time-out of 0xFFFF
// means sck_tx_tmo; 0 means no waiting on a full socket.

// The statuses above, by name.
inline constexpr char sck_st_reset = 2;        // the peer reset the connection
inline constexpr char sck_st_aborted = 3;      // the connection was aborted
inline constexpr char sck_st_refused = 4;      // the peer refused
inline constexpr char sck_st_closed = 5;       // not connected, or closed by the peer
inline constexpr char sck_st_broken_pipe = 6;  // sent on a connection the peer has ended
inline constexpr char sck_st_invalid = 7;      // invalid argument
inline constexpr char sck_st_unreachable = 8;  // host unreachable
inline constexpr char sck_st_rx_tmo = 9;       // SS::st of a response that timed out
// The status of a send that could not proceed in time.
inline constexpr char sck_st_blocked = 10;

// The line end of the transfer protocol's header and reply lines.
inline constexpr char cr_[] = "\r";

// Bytes received (not terminated), 0 when none is waiting; 0 with an error pending when
// the connection is finished. With peek the bytes stay queued.
std::uint32_t SCK_RECV(int sd, char* bf, std::uint32_t size, char peek, char* status);
// Sends len bytes (4294967295: the text's length); 1 when all were sent.
char BF_SCK(int sd, const char* bf, std::uint32_t len, char* status, std::uint16_t tmo);
char S_SCK(int sd, const char* text, char* status, std::uint16_t tmo);
// The texts joined and sent as one piece (at most 65,534 bytes).
char SM_SCK_list(int sd, char* status, std::uint16_t tmo, const char* const* texts,
                 std::size_t n);
template <typename... T>
char SM_SCK(int sd, char* status, std::uint16_t tmo, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_SCK takes texts only");
    const char* texts[] = {first, rest...};
    return SM_SCK_list(sd, status, tmo, texts, sizeof...(T) + 1);
}
char B_SCK(int sd, char c, char* status);
// Sends the file's bytes in blocks; tmo limits how long the peer may stall one block.
char FILE_SCK(int sd, const char* path, char* status, std::uint16_t tmo);
// Sends size bytes of the open descriptor fd of the file fnam (its current position on),
// straight from the kernel's cache where it allows (sck_zero_copy), else read and sent in
// blocks; the peer may stall the send for tmo seconds at most, as for FILE_SCK. progress
// (may be null) hears the count sent after each block. Gives the bytes sent, also when it
// fails. A file that ends first raises "\"<fnam>\" shrank while being sent (<sent> of <size>
// bytes)".
std::uint64_t FD_SCK(int sd, int fd, const char* fnam, std::uint64_t size, char* status,
                     std::uint16_t tmo, void (*progress)(void* ctx, std::uint64_t sent), void* ctx);

// ---- HTTP session record and connection ---------------------------------------------------
//
// A small HTTP/1.0 client. One SS record holds a session: the URL and its parts, the
// connection, the time-outs and the response as it arrives. Owned strings are released
// with MEM_FR by SS_CL / SS_RESET; end_s is the caller's.

inline constexpr std::uint32_t ss_blk_sz = 4096;  // socket read size and rx_bf growth step

struct SS {
    char* url = nullptr;              // owned; "http://" in front is optional
    char htm = 0;                     // the response is an HTML page (header expected)
    char xml = 0;                     // the response is an XML document (header expected)
    char end_ch = 0;                  // complete once this is the last byte and 99 ms passed
    const char* end_s = nullptr;      // complete once the text ends with it (then cut off)
    std::uint16_t end_sz = 0;         // length of end_s
    std::uint16_t conn_tmo = 5;       // connect time-out, seconds
    std::uint16_t tx_tmo = 10;        // send time-out of the request, seconds
    std::uint16_t rx_tmo = 30;        // receive time-out from tic0, seconds; 0 none
    std::uint32_t rx_bfsz = 0;        // bytes allocated for rx_bf
    char* rx_bf = nullptr;            // owned; the response so far, zero-terminated
    char blk[ss_blk_sz] = {};         // the last block read from the socket
    int sd = -1;                      // the connection, -1 for none
    char* host = nullptr;             // owned; host part of the URL
    char* file = nullptr;             // owned; path part without its leading "/"
    char* ip = nullptr;               // owned; dotted address, maybe ":" and a port
    std::uint16_t port = 80;
    std::uint32_t blkx = 0;           // read position in blk
    std::uint32_t blkcnt = 0;         // bytes in blk
    std::uint32_t rxcnt = 0;          // bytes in rx_bf
    char* hdr = nullptr;              // owned; copy of the response header once complete
    std::uint32_t hdrsz = 0;          // header length (rxcnt when it ended)
    std::uint32_t content_len = 0xFFFFFFFFu;  // "Content-length: " value; 0xFFFFFFFF none
    char* content_type = nullptr;     // owned; "Content-Type: " value
    char* mod_date = nullptr;         // owned; "Last-Modified: ", else "Date: " value
    char streaming_video = 0;         // the header announces a multipart video stream
    std::uint16_t poll_ms = 10;       // sleep between receive attempts while nothing comes
    std::uint32_t tic0 = 0xFFFFFFFFu; // request sent (or first byte); 0xFFFFFFFF none
    std::uint32_t tic1 = 0xFFFFFFFFu; // last byte received; 0xFFFFFFFF none
    char done = 0;                    // the response is complete or has failed
    char st = 0;                      // status of the last send or receive; 9 rx time-out
};

// full: URL, switches and time-outs too; otherwise they are kept. Nothing is released.
void SS_INIT(SS* ss, char full);
// Closes the connection and releases every owned string; switches and time-outs survive.
void SS_CL(SS* ss);
// Prepares the next response (also while an error is pending); close ends the connection,
// drop_block discards the unread rest of blk.
void SS_RESET(SS* ss, char close, char drop_block);
// Splits url into host, file and port (a bad port text stays in host, port 80).
void SS_URL(SS* ss);
// Connects to ip, or to host as a dotted address, from the name cache (a stale entry is
// dropped and looked up afresh) or looked up and added to the cache. 1 when connected.
char SS_CONN(SS* ss);

// ---- HTTP requests and downloads ------------------------------------------------------------

// Sends a GET request (connecting first when needed); a null value leaves its line out.
void HTTP_GET(SS* ss, const char* version = nullptr, const char* connection = nullptr,
              const char* accept = nullptr, const char* accept_language = nullptr,
              const char* referer = nullptr, const char* content_type = nullptr,
              const char* pragma = nullptr, const char* user_agent = nullptr,
              const char* proxy_connection = nullptr, const char* cookie = nullptr,
              const char* authorization = nullptr);
// Sends a POST request with a Content-Length line and the body.
void HTTP_POST(SS* ss, const char* version = nullptr, const char* connection = nullptr,
               const char* accept = nullptr, const char* accept_language = nullptr,
               const char* referer = nullptr, const char* content_type = nullptr,
               const char* pragma = nullptr, const char* user_agent = nullptr,
               const char* proxy_connection = nullptr, const char* cookie = nullptr,
               const char* body = nullptr);
// Reads the response into rx_bf: 1 once it is complete or has failed (done set), 0 while
// more is expected. With wait it keeps reading, pausing up to poll_ms, until then. A call
// after done starts the next response on the same connection.
char SCK_SS(SS* ss, char wait);
// As SCK_SS, with the response kept in the caller's buffer of size bytes (text and its
// terminating zero) instead of rx_bf; every call of one response passes the same buffer.
// A response that does not fit fails.
char SCK_BF(SS* ss, char* bf, std::uint32_t size, char wait);
// GET url and write the body to file (replaced); a failure leaves no file behind.
void XML_DL(const char* url, const char* file, std::uint16_t conn_tmo, std::uint16_t rx_tmo);
void HTTP_DL(const char* url, const char* file, std::uint16_t conn_tmo, std::uint16_t rx_tmo);

// ---- Network probes -------------------------------------------------------------------------
//
// The name cache host_ip_fl holds pairs of lines: a host name, then its address (maybe with
// ":" and a port, which readers cut off). Pairs are appended; only a stale pair is removed.

// 1 when the address answers one ping within wait seconds (through "ip_ping.tmp").
char IP_PING(const char* address, std::uint16_t wait);
// Temporary dotted address of a host name, from the cache or looked up (and then cached).
char* HOST_IP(const char* name);
// 1 when one of the host's addresses is public.
char ISP_CONNECTED();

// Cache helpers shared by the HTTP session and the probes. host_ip_find: owned copy of the
// address line that follows the first name line equal to name (letter case ignored), null
// when there is none; the file layer's errors stay pending. host_ip_add: appends a pair.
// host_ip_drop: rewrites the cache without the pairs of name, through the work file work.
char* host_ip_find(const char* name);
void host_ip_add(const char* name, const char* address);
void host_ip_drop(const char* name, const char* work);

#endif
