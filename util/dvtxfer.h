#pragma once
// The transfer loops of dvt/dvs: the writer sends test messages (from
// memory, optionally RTP-framed, or from the -s file) with simulated loss
// bursts; the reader receives, checks RTP sequence and source, re-joins a
// multicast group gone quiet and can time its reads.  Both print progress,
// a throughput line every stats period, totals and the I/O probe.
//
// One 8 MiB buffer (g_buf) serves every message; the loops allocate nothing.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "prfm.h"

// Transfer state that lasts for the process: in the server it carries over
// from one exchange to the next.
struct dvt_ctx {
    timespec first_io_tm;   // monotonic; the first transfer of the process
    uint16_t rtp_in_seq;    // last received sequence number; 0 = none
    uint16_t rtp_out_seq;   // next sequence number to send
    uint32_t rtp_in_ssrc;   // last received SSRC
    uint32_t rtp_old_ssrc;  // the SSRC before the last change
    int rtp_seq_gap;        // packets missing before the last received one
    int rtp_wrong_type;     // received messages in a row that were not RTP
    unsigned rseed;         // loss simulation seed; 0 = not seeded
};

// Figures of one transfer loop.
struct app_stats {
    timespec start_tm, end_tm;  // monotonic: loop start, last successful transfer
    ssize_t ntotal, last_total; // bytes so far, and at the last throughput line
    double seconds;             // duration of the summary
    prfm ioperf;                // around each I/O call
    time_t last_stats_sec;      // seconds of the last throughput line
};

extern dvt_ctx g_ctx;
extern app_stats g_stats;

// The writer and the reader on fd; timeout is -i (-1: none), size is -n
// (-1: the whole buffer).  0 or an error number; -1 when the file transfer
// cannot be set up.  The reader may replace *fd (multicast re-join).
int sock_writer(int fd, long timeout, long size) noexcept;
int sock_reader(int *fd, long timeout, long size) noexcept;

// Waits for fd to be writable (M_WRITER) or readable, at most timeout
// seconds (none when negative).  0 when ready or interrupted; ETIMEDOUT
// ("TIME-OUT" on stdout); the errno value of a failed wait.
int wait_io_ready(int fd, long timeout) noexcept;

// How many messages of the current loss burst remain (0: send this one).
// A burst of 1 to maxlen skipped messages starts at one message in randn
// with no burst pending, so bursts may follow one another and randn 1
// skips every message.
int get_gap() noexcept;
// Clears the pending burst (a new process, or a test).
void reset_gap() noexcept;

// One receive of up to size bytes into buf (room bufsize); *count = the
// datagrams received.  Bytes received (a datagram's full length even when
// longer than size), 0, or negative (errno set).
ssize_t read_udp(int fd, char *buf, size_t size, size_t bufsize, int flags, int *count) noexcept;
// Up to 64 datagrams of size bytes in one recvmmsg (as many slots as fit
// wholly inside bufsize); the sum of their lengths, *count the number (or
// the failing result, which is also given back).
ssize_t recv_multi(int fd, char *buf, size_t size, size_t bufsize, int flags, int *count) noexcept;
// Length of the first datagram of the last read_udp / recv_multi.
size_t first_dgram_len() noexcept;

// Checks one received message's RTP header, updating g_ctx.
void parse_rtp_hdr(const uint8_t *msg, size_t len) noexcept;
// The progress mark of the last received message ("." / "r" / "?" / "S",
// with "{gap}"), at most 8 characters.
const char *rcv_mark(char (&buf)[9]) noexcept;

// The summary line and the probe of the loop just ended.
void print_perf_stats() noexcept;
