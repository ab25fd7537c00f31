#pragma once
// dvt/dvs, the diagnostic traffic tool: its settings, its process-wide
// state, and the roles and exchanges it runs.  The program's name picks the
// role: dvt is the client (connects or sends to an address), dvs the server
// (listens and serves one peer at a time).  The transfer loops are in
// dvtxfer.h, the socket operations in neto.h.
#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// Transfer modes (appcfg::mode bits).
enum dvt_mode : uint32_t {
    M_WRITER = 2,  // write (clear: read)
    M_UDP = 4,
    M_HTTP = 8,
    M_HEAD = 16,  // HTTP HEAD: the transfer loops do no I/O
};

// Socket roles of mk_sock.
enum dvt_sock_role : int {
    CLIENT_SOCK = 0,
    SERVER_SOCK = 1,
};

inline constexpr char DVT_SERVER[] = "DVT (Tavel proxy client/server utility)";
inline constexpr char DVT_CONTENT_TYPE[] = "Content-Type:application/octet-stream";

// The I/O buffer: every message is sent from or received into it.
constexpr size_t DVT_BUFSIZE = 8388608;
constexpr long DEFAULT_MSG_SIZE = 1400;
constexpr size_t DEFAULT_STAT_SEC = 2;
// The RTP header written in front of each message from memory.
constexpr long RTP_HDR_LEN = 12;
// SSRC when -1 gives none: the bytes "ZEF!" in memory order.
constexpr uint32_t DEFAULT_RTP_SSRC = 0x2146455A;
// Longest HTTP head read: a request, and an answer.
constexpr size_t HTTP_RQ_HEAD_MAX = 1023;
constexpr size_t HTTP_RSP_HEAD_MAX = 4095;

// Loss simulation: one message in randn (on average) starts a burst of up
// to maxlen skipped messages; bursts may follow one another.
struct gap_spec {
    size_t maxlen;
    int randn;
};

struct appcfg {
    uint32_t mode;                    // dvt_mode bits
    unsigned plus1_ipv6_port : 1;     // -6
    unsigned addr_is_multicast : 1;   // the resolved address is multicast
    unsigned no_agnostic_mcast : 1;   // -k
    unsigned no_sendfile : 1;         // DVT_NO_SENDFILE odd
    unsigned disconnect : 1;          // -x
    int addr_family;                  // socket type of the socket last opened
    const char *mc_ifc;               // -m
    const char *srcfile;              // -s
    const char *uri_path;             // -U
    size_t sendbuf_len, rcvbuf_len;   // -S, -R; 0: system default
    size_t stats_period_sec;
    uint16_t rtp_seqnum;              // -1: first sequence number
    uint32_t rtp_ssrc;                // -1: SSRC
    gap_spec gap;                     // -2
    long max_iospan_delta;            // DBG_RD1: alert threshold, microseconds
    int log_read_tm, use_udp_recv, time_syscall, use_mmsg;  // DBG_RD1 letters
};

extern appcfg g_cfg;
extern char g_buf[DVT_BUFSIZE];
extern timespec g_dly;                // pause after each I/O
extern sockaddr_storage g_addr_ss;    // peer, group or bound address of the last socket
extern socklen_t g_addr_len;
extern sockaddr_storage g_mif_ss;     // the multicast interface's address
extern unsigned g_mif_idx;            // and index
extern int g_src_fd;                  // -s file, -1 when none
extern const char *g_app_name;        // "dvt"
extern const char *g_prog;            // the base name the program runs under

// Bytes that came after an HTTP head: the first data of the transfer.
struct http_rest {
    char buf[HTTP_RSP_HEAD_MAX];
    size_t len;
};
extern http_rest g_http_rest;

inline bool rtp_framing() noexcept { return g_cfg.rtp_seqnum != 0 || g_cfg.rtp_ssrc != 0; }
inline bool is_http_mode() noexcept { return (g_cfg.mode & M_HTTP) != 0; }
// -v: the per-message progress marks and the DEBUG lines.
bool is_verbose() noexcept;
// Reads DBG_RD1 into the letter switches and max_iospan_delta.
void read_dbg_rd1(const char *value) noexcept;

// --- roles and exchanges -----------------------------------------------------------

// Quit signals set g_quit (interrupting blocking calls), SIGPIPE ignored.
// 0, or -1 (perror).
int setup_signals() noexcept;
// Makes a listener (is_server) or client socket of socktype for address
// (null: wildcard / loopback) and port, trying each resolved address; the
// non-blocking descriptor, or -1.  Records the address in g_addr_ss.
int mk_sock(int is_server, int socktype, int family, const char *address, const char *port) noexcept;
// The roles; 0 or an error (-1 or an errno value).
int run_dvtsrv(const char *address, const char *port, long timeout, long size) noexcept;
int run_dvtli(const char *address, const char *port, long timeout, long size) noexcept;
// One peer of the server: accept and transfer (TCP), or transfer on the
// listening socket itself (UDP).  0 or the error.
int tcp_session(int listener, long timeout, long size) noexcept;
int udp_session(int sock, long timeout, long size) noexcept;
// Joins / leaves the resolved group (g_addr_ss) on the -m interface.
int mcast_join(int sock) noexcept;
int mcast_leave(int sock) noexcept;

// --- the HTTP exchange ----------------------------------------------------------------
// All on a blocking socket; bytes after a head are left in g_http_rest.

// Sends the GET (HEAD with M_HEAD) request.  0 or -1.
int fwd_http_request(int sock, const char *address, const char *port, const char *uri) noexcept;
// Reads and checks the answer's head.  0 for a 2xx status; -1 for a head
// whose status line cannot be parsed (an empty reason phrase is fine), a
// head that does not end within HTTP_RSP_HEAD_MAX bytes or before the
// peer stops, or any other status (logged with its code and reason).
int get_http_response(int sock) noexcept;
// Reads the request's head: an HTTP request (HEAD sets M_HEAD, anything
// else clears it) is answered 200.  0 or -1.
int inbound_http_request(int sock) noexcept;
// Sends the answer head; the body is the test data.  0 (also when sent
// short) or -1.
int fwd_http_response(int sock, int code, const char *reason) noexcept;
