#pragma once
// Runs of equal-sized datagrams sent as one message each, which the kernel
// cuts into datagrams of the run's size (UDP segmentation offload): one
// pass down the network stack for up to 64 datagrams instead of one each.
// The receivers get the same datagrams in the same order.  Both relay
// paths use it where the destination takes runs.
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "rtask.h"

// Datagrams a run holds at most, and the most bytes of one send.
constexpr size_t UDP_RUN_MAX = 64;
constexpr size_t UDP_RUN_MAX_BYTES = 65507;

// The headers of a batch of runs over one array of datagrams.
struct udp_runs {
    struct mmsghdr hdr[UDP_RUN_MAX];
    struct ctl_buf {
        alignas(struct cmsghdr) char buf[CMSG_SPACE(sizeof(uint16_t))];
    } ctl[UDP_RUN_MAX];
    size_t first[UDP_RUN_MAX + 1];  // the first datagram of each run; [count] = the batch's end
    size_t count;                   // runs
};

// Groups the datagrams iov[0..n) (n at most UDP_RUN_MAX) into runs, in
// order: a run is datagrams of one size, closed early by a shorter one (a
// run's last datagram may be shorter), of at most UDP_RUN_MAX datagrams
// and UDP_RUN_MAX_BYTES bytes; a run of one is a plain message.  Each run
// goes to addr (addr_len 0: the socket's peer).
void udp_runs_build(udp_runs *r, const struct iovec *iov, size_t n, const struct sockaddr *addr,
                    socklen_t addr_len) noexcept;
// Sends the runs with one sendmmsg.  The datagrams of the runs sent; or
// sendmmsg's failure (-1, errno set) when not even the first run went.
ssize_t udp_runs_send(int fd, const udp_runs *r) noexcept;
// True when the task's destination is a UDP address: only UDP cuts runs,
// any other socket would take a run as one datagram.
bool udp_runs_fit(const rtask *task) noexcept;
// Errors of a send of runs that say the route or socket cannot take runs
// (a path MTU below the datagram size, no segmentation), where the same
// datagrams one by one would pass.
bool is_run_refusal(int err) noexcept;
