#pragma once
// Handshakes and keep-alive links.  An HTTP-source task sends a GET to the
// stream server on its source connection and takes the stream from the
// bytes after the answer head; a chained task sends a "keep-alive" control
// request to a remote daemon, which relays to this daemon for as long as
// that connection stays open, so the connection is kept and watched for the
// whole relay phase.  A client's keep-alive link (kafd) carries nothing:
// its end, an error on it or any byte on it removes the task.
//
// The reply buffer's init_resp_buf and purge_http_resp_buf are declared
// with the task record (rtask.h).
#include <cstddef>

#include "rtask.h"

// Directions of err_task_socket.
inline constexpr char IN_DIRECTION[] = "inbound";
inline constexpr char OUT_DIRECTION[] = "outbound";
inline constexpr char KA_DIRECTION[] = "keep-alive";

// Room of the handshake reply head.
constexpr size_t HSHK_RESP_LEN = 1024;
// Room of the keep-alive read buffer (reads take one byte less).
constexpr size_t KA_BUF_LEN = 65536;
// Local input after which a still-open handshake duplicate is closed.
constexpr uint64_t HSHK_DETACH_BYTES = 1048576;

// On the handshake's write event in state "hsw": sends the GET (HTTP/1.0
// for an HTTP-source task), then reads the reply ("hsr").  0, or -1 / the
// failing registration's error.
int send_handshake(rtask *task) noexcept;
// On the handshake's read event in state "hsr": reads more of the reply
// head; on a complete 2xx head sets up the decoding of a chunked body and
// puts the bytes after the head into the byte ring (stream tasks), then
// starts relaying ("rly").  0 (also while the head is incomplete); 13 for
// another status, 7 for a head over 1024 bytes or a tail larger than the
// ring's room, 22 for a tail that is not a transport stream, -1 for
// malformed chunk framing in the tail, -1 or a registration's error
// otherwise.
int recv_handshake(rtask *task) noexcept;
// Moves the bytes after the reply head into the byte ring (the payload
// alone when the body comes in chunks), from the first transport packet
// on; a tail too short to tell is kept whole for the ring to decide with
// more data.  0, 7, 22 or -1 as above, or the ring's result.
int copy_http_tail(rtask *task) noexcept;
// A read event (err: its error bits) on a keep-alive link: the client's
// connection or a chained task's handshake connection while relaying.  An
// error, a hang-up, the end of data or any byte queues the task's removal
// whatever its client count; a read that would block changes nothing.  0.
int read_keepalive(rtask *task, int sockfd, int err) noexcept;
// Logs the error bits err (RQS_SOCKERR, RQS_SOCKHUP) of sockfd.  On a
// keep-alive link any error bit queues the task's removal; elsewhere a
// hang-up queues a suspension (inbound, while revivals remain) or a
// removal.  0.
int err_task_socket(rtask *task, int sockfd, const char *direction, int err) noexcept;
// After a read: closes a handshake duplicate still open once 1 MiB has
// arrived.  A chained task's connection is its keep-alive link and stays.
void ck_detach_hshk(rtask *task) noexcept;
