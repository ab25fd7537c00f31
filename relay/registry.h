#pragma once
// The runtime context of the daemon (g_app) and the task registry: task
// records in place in a fixed slot list, their keys in a hash table, the
// pending list of tasks to suspend or remove at the end of the event-loop
// turn, the idle sweeps and the freshness of the status report.
//
// Tasks are never freed inside an event callback: callbacks queue them
// (pprm_task, pprmsusp) and pprm_task_cleanup carries the work out after
// the turn.  A hashed task is never quitting; a task is listed at most once
// in the pending list, which is empty between turns.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "gkh.h"
#include "rtask.h"
#include "rui.h"
#include "xvdat.h"

// Time-out registry slots of the daemon.
enum app_tmout_slot : int {
    IDLE_TASK_TMOUT = 0,  // held with idle_task_timeout by each task that has one
    URQ_TMOUT = 1,        // held by every live client request
    TSKL_TMOUT = 2,       // held while the status report is out of date
    REFRESH_TMOUT = 3,    // held for the run with a forced report refresh
    MAX_TMOUT = 4,
};
// Period of TSKL_TMOUT, ms.
constexpr long TSKL_MS = 1000;
// The idle sweep runs IDLE_SWEEP_PARTS times per idle_task_timeout, at most
// once per IDLE_SWEEP_MIN_MS.
constexpr long IDLE_SWEEP_PARTS = 10;
constexpr long IDLE_SWEEP_MIN_MS = 10;
// Bounds of the request sweep's period, ms.
constexpr long URQ_SWEEP_MIN_MS = 10;
constexpr long URQ_SWEEP_MAX_MS = 100;
// The destination of agent tasks.
inline constexpr char OXA_DEST[] = "#OXA";

// Block sizes of the two slot lists.
constexpr size_t TASK_BLKSZ = sizeof(rtask);
constexpr size_t PPRM_BLKSZ = sizeof(rtask *);

// Freshness of the status report.
struct report_ctx {
    const char *fpath;          // report path, null when reporting is off
    struct timespec update_tm;  // monotonic time of the last write
    bool in_sync;               // the report shows the current task set
};

struct tavel_ctx {
    bool is_ready;
    rui_ctx rui;
    xvlst curr_tasks;              // rtask records in place, capacity max_tasks
    skht_t task_ht;                // kind letter and hkey -> slot index
    xvlst pprm_tasks;              // rtask pointers queued this turn
    uint64_t last_task_id;         // counter of rui_mk_trknum
    struct timespec last_io_check; // monotonic time of the last idle sweep
    struct timespec last_urq_sweep; // monotonic time of the last request sweep
    skht_t route_ht;               // redirection routes, or 0
    int oxafd;                     // agent socket
    op_ctx oxa_opx;                // its registration (data = the descriptor)
    report_ctx trep;
    // Descriptors the suspended tasks open again at their revival; the
    // descriptor budget keeps them free.
    size_t reopen_fds;
    // Called for each task removed, or null: the daemon closes there the
    // links of the clients that joined the task.  A hook rather than a
    // call, so that task code links without the control requests.
    void (*on_task_end)(const rtask *task);
};

extern tavel_ctx g_app;

// The task in slot idx of curr_tasks (no check that it is taken).
rtask *task_at(size_t idx) noexcept;
// Tasks in the task list.
size_t task_count() noexcept;

// --- operations ------------------------------------------------------------------------

// Creates, registers and starts a task.  The task takes csock (-1: none)
// over as its keep-alive link; on failure csock is closed.  alt and cid may
// be null; opt null keeps the defaults; dst "#OXA" makes an agent task.
// 0; -1 when the task list is full or a step failed; 22 for an agent task
// without a route; creation's result otherwise.
int add_task(int csock, const char *src, const char *dst, const char *alt, const char *cid,
             const task_options *opt) noexcept;
// The task of the key (src, dst, alt), or of the client id (cid, null,
// null).  A client id finds only a task made with that client id, and a
// source and destination only a task made without one, whatever the texts
// spell.  Null with errno 3 (ESRCH) when none matches, 22 (EINVAL) when the
// key cannot be built or the table fails.
rtask *lookup_task(const char *src, const char *dst, const char *alt) noexcept;
// Releases one client of task (mode non-zero; -1 drops whatever the count).
// 0 when the task is queued for removal; 11 (EAGAIN) when clients remain.
int drop_task(rtask *task, int mode) noexcept;
// Queues task for the end of the turn (suspension when must_suspend, else
// removal: then unhashed and quitting at once).  0; -1 when the pending
// list is full.
int pprm_task(rtask *task) noexcept;
// Decides suspend-or-remove, records the error (errmsg may be null) for a
// suspension, queues.  pprm_task's result.
int pprmsusp(rtask *task, const char *errmsg, int err) noexcept;
// Carries out the queued suspensions and removals; the list is then empty.
void pprm_task_cleanup() noexcept;
// Removes and frees every task (shutdown).
void rm_all_tasks() noexcept;
// The idle sweep of tasks silent past their time-out, on a pass that is
// due (every idle_sweep_ms()): a task is suspended within one period after
// its time-out.  0.
int time_out_tasks() noexcept;
// The idle sweep's period: a tenth of idle_task_timeout, at least
// IDLE_SWEEP_MIN_MS.
long idle_sweep_ms() noexcept;
// ms until the next idle sweep is due (0: due now), by the loop's clock of
// the turn; -1 while no task holds the idle time-out.  The passes are due
// one period apart, each counted from when the one before was due.
long idle_sweep_due_ms() noexcept;
// The request sweep, every urq_sweep_ms(): client requests older than
// urq_tmout_ms() are removed, so none lives longer than the time-out and
// one period.  0.
int time_out_requests() noexcept;
// The request time-out (listener.user_request_timeout; 5000 without a user
// group), and the sweep's period: an eighth of it, within
// URQ_SWEEP_MIN_MS..URQ_SWEEP_MAX_MS.
long urq_tmout_ms() noexcept;
long urq_sweep_ms() noexcept;
// Frees the client requests queued during the turn.
void pprm_requests() noexcept;
// The task set changed: mark the report out of date (holds TSKL_TMOUT).
void unsync_trep() noexcept;
// The report was rewritten: mark it up to date (releases TSKL_TMOUT).
void sync_trep() noexcept;
// True when dst is "#OXA".
bool is_oxa_task(const char *dst) noexcept;

// --- steps used by the other modules of the relay engine -------------------------------

// Takes the lowest free slot, zeroes it and hashes the key (cid, else src,
// dst, alt).  The task, or null (slot given back).
rtask *register_task(const char *src, const char *dst, const char *alt, const char *cid,
                     n64_tag id) noexcept;
// Gives t the idle time-out when one is configured.
void set_task_tmout(rtask *t) noexcept;
// The slot of the client id (is_cid) or task key key: 0 and *idx, else the
// table's result (3 when absent).
int get_hashed_task_idx(bool is_cid, const char *key, ssize_t *idx) noexcept;
// May t be revived after one more failure?  Counts the failure, once per
// task and turn: a task already queued in the turn has been counted.
bool ck_revive_task(rtask *t) noexcept;
// Suspends t; what its revival will open joins g_app.reopen_fds.
void susp_task(rtask *t) noexcept;
// Takes what the revival of t opens out of g_app.reopen_fds: at its
// revival and at its removal.
void forget_reopen_fds(rtask *t) noexcept;
void rm_task(rtask *t) noexcept;
void detach_task(rtask *t) noexcept;
// Unhashes t when it is still hashed.
void expunge_task(rtask *t) noexcept;
// Removes the key from the table: the index stored, or -1 when not hashed.
ssize_t unhash_task(rtask *t) noexcept;
// Slot clean-up of curr_tasks: expunge, then free the record.
void task_rec_free(void *data, size_t i) noexcept;
// Slot clean-up of pprm_tasks.
void pprm_task_free(void *data, size_t i) noexcept;
// The per-task step of time_out_tasks.
int io_tmout_check(void *data, size_t i) noexcept;
// Whether the idle pass is due (stamps last_io_check when it is); decided
// once per pass.
bool is_iocheck_time() noexcept;
