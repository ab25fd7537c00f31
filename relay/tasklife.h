#pragma once
// Life of a relay task: turning a registered, empty record into a running
// task (kind, endpoints, storage, first state), taking a failing task out
// of the event loop for a while, bringing it back, and releasing all it
// owns.  The registry (registry.h) decides when each happens.
#include <cstdint>

#include "dchain.h"
#include "lfxtypes.h"
#include "rtask.h"

// Time-out of the endpoints opened here, in seconds.
constexpr int MCAST_TMOUT_SEC = 5;
// The delay of a suspension of 0 seconds, in microseconds.
constexpr long SUSP_MIN_USEC = 50000;
// The longest suspension, in seconds: a day.
constexpr int RTA_MAX_SUSP_SEC = 86400;

// Builds task t (registered, zeroed but for its registry fields) from the
// source, destination and alternate URLs (alt null or empty: none), the
// task id and the redirection route (null: none; a routed source makes a
// chained task).  0 on success; otherwise the task has been freed and the
// result is -1 (destination not a datagram URL: the record is untouched;
// handshake connection failures), 12 (allocation), 22 (unusable source,
// source combination, route URL or endpoint; meter failures), 12, 24 or 28
// (no memory, descriptors or room for the byte ring) or the failing step's
// result.
int rta_mk_task(rtask *t, const char *surl, const char *durl, const char *alsurl, n64_tag tid,
                const redir_route *rrt) noexcept;
// Stale datagrams a kept source reads and drops per read event at most.
constexpr size_t STALE_DRAIN_BATCH = 64;

// Suspends a live task for sec seconds (0: 50 ms; capped at
// RTA_MAX_SUSP_SEC): registrations dropped, multicast and stream sources
// and the handshake closed, destination, keep-alive link and unicast
// datagram sources kept open (unwatched: the task keeps its ports; a
// filter drops what they receive meanwhile, and one whose filter cannot be
// attached is closed instead), revival scheduled with the task as the
// delay's data.  Nothing for a record that is not a live task.
void rta_susp_task(rtask *task, int sec) noexcept;
// Reopens a suspended task with mifc_in as the inbound interface of its
// source and handshake; a source kept open stays filtered until its read
// events have emptied it (rta_drain_stale).  Removes its delay (safe inside that delay's own expiry).  0;
// otherwise the failing step's result, with what was opened so far still
// held: the caller queues the task, whose suspension or removal releases
// it.
int rta_revive_task(rtask *t, const char *mifc_in) noexcept;
// A read event of a kept source (the alternate when alt) that holds what
// came before the revival: reads and drops at most STALE_DRAIN_BATCH
// datagrams; once the queue is empty, detaches the filter, so that the
// source is relayed from then on, and logs (INFO) the count dropped.
// True while the source is still stale (the event is used up), false when
// it is not (any more) and the event may read it.  A filter that cannot be
// detached fails the task (-1 in *rc, error set); *rc is 0 otherwise.
bool rta_drain_stale(rtask *t, bool alt, int *rc) noexcept;
// Releases all a live task owns and clears its tag; idx, tid and hkey stay
// readable.  Nothing for a record that is not a live task.
void rta_free_task(rtask *task) noexcept;
// Descriptors the revival of suspended task t opens: its closed sources
// and the handshake connection (or duplicate) of an HTTP or chained task.
int rta_reopen_fds(const rtask *t) noexcept;
// Every stamp of t.tm = the event loop's now, last_down_tm unset; the
// alternate's stamps (with an alternate) a copy of them.
void reset_task_timestamps(rtask *t) noexcept;
// "UDP://<rcv>" of the route on the heap, or null when it does not fit.
char *rrt_ingress_url(const redir_route *rrt) noexcept;
