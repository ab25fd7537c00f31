#pragma once
// The stream path of HTTP-source tasks ('H'): the read step appends the
// bytes that arrive on the source connection to the task's byte ring, read
// straight into its free area; the write step takes a batch of datagrams
// cut on transport-packet boundaries out of the ring as iovec entries and
// sends them with one sendmmsg (or one sendto each), then consumes exactly
// what was sent.  To a UDP destination the sendmmsg carries runs of
// equal-sized datagrams that the kernel cuts (UDP segmentation offload),
// one pass down the network stack for a run; a destination that refuses
// runs gets the datagrams one by one from then on.  No byte is copied on
// the way.
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

#include "rtask.h"

// The most datagrams one write step sends.
constexpr size_t MMR_MAX_DGRAMS = 64;
// Bytes left in the ring at or below which the writer waits for the next
// read.
constexpr size_t MMR_WRITER_LOWMARK = 375;

// Reads what the source has into the ring, a chunked body decoded on the
// way (chunkin.h).  0 (also when there is nothing to read, or no room: the
// reader then waits for the writer); the ring's -14 for a stream that is
// not a transport stream; a registration's error.  When the peer closed,
// the read failed, or a chunked body ended or broke its framing, the
// source has ended: it is no longer read, and the writer sends what the
// ring holds before the source is treated as ended (stream_write).  With
// hung_up (the source reported an error or hang-up), a read that finds
// nothing ends the source too.  *p_nin (when given) = the bytes read.
int stream_read(rtask *task, size_t *p_nin = nullptr, bool hung_up = false) noexcept;
// Sends one batch of whole-packet datagrams and consumes what was sent.
// Send errors never fail the task, as on the datagram path: a datagram
// that cannot pass now (EAGAIN, ENOBUFS, EINTR) waits for the next write
// event, one that never will is dropped and counted, logged by the rule
// of senderr.h.  0, or the ring's -14, or a registration's error; -1 once
// the source has ended and nothing more can go (task error "connection
// lost", 103; the bytes of no whole packet left are dropped).  *p_nout
// (when given) = the bytes sent.
int stream_write(rtask *task, size_t *p_nout = nullptr) noexcept;
// Sends each entry as one datagram, in order, until one fails.  The count
// sent (errno set when it is short of count because a send failed), or -1
// when the first one failed.  *total (when given) = the bytes sent.  A
// failed send is left to the caller to log; a short one is logged here.
ssize_t Send_iov(int sockfd, const struct iovec *iov, size_t count, const struct sockaddr *addr,
                 socklen_t addr_len, size_t *total) noexcept;
// With use_mmsg, sends the entries (at most MMR_MAX_DGRAMS) with one
// sendmmsg; otherwise as Send_iov.  The number of datagrams sent, or the
// failed call's result (0 or -1, errno set, not logged).  *total = their
// bytes.
ssize_t Send_multi(int sockfd, const struct iovec *iov, size_t count,
                   const struct sockaddr *addr, socklen_t addr_len, size_t *total) noexcept;
