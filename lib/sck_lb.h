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

#endif
