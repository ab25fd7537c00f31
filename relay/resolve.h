#pragma once
// Name look-ups off the event loop.  A job of a few host names is queued;
// worker threads resolve them with getaddrinfo (so /etc/hosts, nsswitch
// and resolv.conf rule as everywhere else) and hand the job back through
// an eventfd watched by the loop (tag "RSV"), whose handler calls the
// job's callback on the loop thread.  The loop itself never waits for a
// resolver.
//
// Jobs are identified by a number that is never reused: the owner of a job
// cancels it before the owner is freed, and a result that comes back for a
// cancelled job is dropped, so no callback meets a freed owner.  The queue
// is bounded (queued and running jobs together); a full queue refuses a
// job at once.  Workers start on the first job (never before the daemon
// forks into the background), with every signal blocked, and are detached:
// a look-up that never returns holds its worker, never the shutdown.
#include <cstddef>
#include <cstdint>

#include "lfxtypes.h"
#include "rqs.h"
#include "wopen.h"

constexpr uint32_t RSV_TAG = mk_tag32("RSV");
// Jobs queued or running at once.
constexpr size_t RSV_QUEUE_MAX = 64;
// Worker threads, at most: a look-up that hangs holds one.
constexpr size_t RSV_WORKERS_MAX = 4;
// Names in one job, and the longest name.
constexpr size_t RSV_NAMES_MAX = 6;
constexpr size_t RSV_NAME_MAX = 255;

// One name to resolve: for a socket of socktype; the worker writes num
// (the numeric text of the first address found whose family this host can
// open a socket of; IPv6 with its "%scope" when it has one) or err.
struct rsv_name {
    char name[RSV_NAME_MAX + 1];
    int socktype;     // SOCK_DGRAM or SOCK_STREAM
    int slot;         // the owner's
    char num[USOCK_HOST_NUM_SIZE];
    int err;          // 0, or a getaddrinfo result (EAI_*); EAI_FAMILY: no usable address
};

struct rsv_job {
    size_t count;
    rsv_name names[RSV_NAMES_MAX];
};

// Called on the loop thread with the job resolved (every name has num or
// err set), for an owner that has not cancelled it.
using rsv_done_cb = void (*)(void *owner, const rsv_job *job);

// The loop's context of the completion descriptor.
struct rsv_ctx {
    n32_tag tag;  // "RSV"
    int efd;
};

// True when host is a numeric address (AI_NUMERICHOST: no resolver asked).
bool rsv_is_numeric(const char *host) noexcept;
// Puts the names the endpoint url opens into job, with slot for its host
// and ssm_slot for its source-specific source (a datagram source only,
// inbound): each host as the endpoint opener reads it, unless numeric.  A
// URL the opener refuses before any look-up adds nothing.  job must have
// room for two.
void rsv_add_url(rsv_job *job, const char *url, bool inbound, int slot, int ssm_slot) noexcept;
// Queues job (count 1..RSV_NAMES_MAX, names shorter than RSV_NAME_MAX)
// for owner, registering the completion descriptor with the loop and
// starting a worker when needed.  The job's id (never 0), or 0 (ERR) when
// the queue is full or the completion descriptor or first worker cannot be
// made; the callback is then never called.
uint64_t rsv_submit(const rsv_job *job, rsv_done_cb cb, void *owner) noexcept;
// Forgets the owner of job id: its result is dropped.  0 and unknown ids
// are ignored.
void rsv_cancel(uint64_t id) noexcept;
// Jobs queued or running (cancelled ones included until they come back).
size_t rsv_busy() noexcept;
// Resolves one name as a worker does (blocking): num or err of n set.
void rsv_resolve_name(rsv_name *n) noexcept;

// Loop handler of the completion descriptor: delivers every finished job.
// 0.
int on_rsv_read(int fd, int events, void *udata, void *aux) noexcept;
