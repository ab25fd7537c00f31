#pragma once
// Shared parts of the relay-benchmark tools (generator, sink, reference
// forwarders, TS server): the sequence stamp carried by every test datagram
// and transport packet, socket set-up from "address:port" texts, CPU
// pinning, the quit signals and the clock.
//
// Stamp layout, host byte order (the tools only talk to each other on one
// machine):
//   offset 0  u32  STAMP_MAGIC
//   offset 4  u32  stream number
//   offset 8  u64  sequence number, from 0 in each stream
// A datagram of the generator starts with the stamp.  A transport packet of
// the TS server carries it right after its 4-byte header.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace benchkit {

constexpr uint32_t STAMP_MAGIC = 0x31425654;  // "TVB1" in memory
constexpr size_t STAMP_LEN = 16;
constexpr size_t TS_LEN = 188;
constexpr size_t TS_HEAD_LEN = 4;
constexpr uint8_t TS_SYNC = 0x47;
constexpr uint16_t TS_PID = 0x100;
// Largest datagram the tools receive or send.
constexpr size_t MAX_DGRAM = 65536;
// Datagrams moved per system call by the batched tools.
constexpr unsigned BATCH = 64;

// Writes the stamp at p (STAMP_LEN bytes of room).
void put_stamp(uint8_t *p, uint32_t stream, uint64_t seq) noexcept;
// Reads a stamp from len bytes at p: true with *stream and *seq set, false
// when the room is short or the magic is not there.
bool get_stamp(const uint8_t *p, size_t len, uint32_t *stream, uint64_t *seq) noexcept;
// Fills one TS_LEN-byte transport packet: sync byte, TS_PID, payload only,
// continuity counter seq mod 16, the stamp, then 0xff filler.
void fill_ts_packet(uint8_t *pkt, uint32_t stream, uint64_t seq) noexcept;

// A socket address with its length.
struct endpoint {
    sockaddr_storage ss;
    socklen_t len;
};

// Resolves "address:port" (IPv4, or IPv6 such as ::1:5000) into *ep; port
// may be 0.  0, or -1 with a message on stderr.
int parse_endpoint(const char *text, endpoint *ep) noexcept;
// The same address with its port raised by add (the next ports of a range).
endpoint endpoint_plus(const endpoint &ep, unsigned add) noexcept;
// Port of an address.
unsigned endpoint_port(const endpoint &ep) noexcept;
// "address:port" of ep into buf (at most size - 1 characters).
const char *endpoint_str(const endpoint &ep, char *buf, size_t size) noexcept;

// A close-on-exec datagram socket of ep's family; bound to ep when bind_it
// (ep then gets the port the system chose when it asked for 0); receive
// and send buffer sizes set when above 0 (beyond the system's cap for root:
// SO_RCVBUFFORCE/SO_SNDBUFFORCE).  The descriptor, or -1 with a message on
// stderr.
int open_udp(endpoint *ep, bool bind_it, long rcvbuf, long sndbuf, bool nonblock) noexcept;
// Sets the buffer sizes of an open socket as open_udp does; 0 or -1.
int set_buffers(int fd, long rcvbuf, long sndbuf) noexcept;

// Pins the calling process to cpu when cpu >= 0; 0 or -1 (message on stderr).
int pin_cpu(int cpu) noexcept;
// SIGTERM, SIGINT and SIGQUIT set g_quit and interrupt blocking calls
// (no SA_RESTART); SIGPIPE is ignored.
void catch_quit_signals() noexcept;
// Monotonic clock in nanoseconds.
uint64_t now_ns() noexcept;
// Sleeps until the monotonic time t_ns or until a signal arrives.
void sleep_until_ns(uint64_t t_ns) noexcept;

// Number arguments of the tools: the whole text must be a number in
// [lo, hi]; otherwise a message on stderr and false.
bool arg_long(const char *opt, const char *text, long lo, long hi, long *out) noexcept;
bool arg_double(const char *opt, const char *text, double lo, double hi, double *out) noexcept;

// Drops counted by the kernel for the socket fd, read from its line of
// /proc/net/udp or /proc/net/udp6 (matched by inode); -1 when not found.
long proc_udp_drops(int fd) noexcept;
// The drops of every UDP socket of the namespace by inode, read once, and
// the drops of one socket from such a table (-1 when it is not there): a
// receiver of many sockets reads the tables once, not once a socket.
std::unordered_map<uint64_t, long> proc_udp_drops_table();
long udp_drops_of(const std::unordered_map<uint64_t, long> &table, int fd) noexcept;

}  // namespace benchkit
