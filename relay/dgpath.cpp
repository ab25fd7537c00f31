#include "dgpath.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.globals.h"
#include "cfg.h"
#include "iflag.h"
#include "log.h"
#include "supervise.h"
#include "timeop.h"
#include "turnflag.h"
#include "udpruns.h"
#include "txtesc.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// The receive flags: MSG_TRUNC unless "T_UFLG" holds a 'T', MSG_DONTWAIT
// when it holds a 'W'.  Read once: the environment does not change under
// a running daemon.
int recv_flags()
{
    static const int flags = [] {
        const char *env = getenv("T_UFLG");
        int f = MSG_TRUNC;
        if (env && strchr(env, 'T')) f &= ~MSG_TRUNC;
        if (env && strchr(env, 'W')) f |= MSG_DONTWAIT;
        return f;
    }();
    return flags;
}

size_t batch_limit() { return g_cfg.max_pkts > 0 ? size_t(g_cfg.max_pkts) : 1; }

// "TRCV1" (a line per receive) and "TVL_ERR_EAGAIN" (a line per receive
// that finds the queue empty), read every 10 ms at most.
turn_flag g_trace_receives([]() noexcept { return iflag("TRCV1"); });
turn_flag g_log_eagain([]() noexcept { return iflag("TVL_ERR_EAGAIN"); });

// Datagrams one recvmmsg or sendmmsg call moves at most; a larger max_pkts
// takes several calls.
constexpr size_t MMSG_BATCH = 64;

// The send headers of one batch, set up once: each points at its own
// iovec entry, so that a batch only fills in the datagrams it sends and
// their destination.  The event loop's thread is the only user.
struct mmsg_batch {
    mmsghdr hdr[MMSG_BATCH];
    iovec iov[MMSG_BATCH];
    mmsg_batch() noexcept : hdr{}, iov{}
    {
        for (size_t i = 0; i < MMSG_BATCH; ++i) {
            hdr[i].msg_hdr.msg_iov = &iov[i];
            hdr[i].msg_hdr.msg_iovlen = 1;
        }
    }
};
mmsg_batch g_tx;
udp_runs g_runs;

// The receive area of write-through.  A read step of the active source
// whose storage is empty, while the writer is not armed, receives here
// instead of into the task's slots, and the write step the handler runs
// right after it sends from here; only what the destination does not take
// then moves into the storage.  So datagrams that leave at once never
// touch the task's own slots: one buffer set, paged in and warm in the
// cache, serves every task, where slots of their own (4 x max_pkts a
// task) would each be paged in on first use and cycle through the cache.
// The event loop's thread is the only user.
struct rx_stage {
    const rtask *task;   // whose datagrams wait here; null when none do
    pkt_storage *ds;     // the storage they were read for
    size_t next, count;  // kept datagrams [next, count) wait, oldest first
    size_t rx_len;       // the buffer length the receive headers give
    iovec kept[MMSG_BATCH];
    mmsghdr hdr[MMSG_BATCH];
    iovec iov[MMSG_BATCH];
    uint8_t buf[MMSG_BATCH][PKT_LEN];
    // The buffers are left alone here: static storage is zeroed already,
    // and the pages are touched only once used.
    rx_stage() noexcept
        : task(nullptr), ds(nullptr), next(0), count(0), rx_len(PKT_LEN), kept{}, hdr{}, iov{}
    {
        for (size_t i = 0; i < MMSG_BATCH; ++i) {
            iov[i] = {buf[i], PKT_LEN};
            hdr[i].msg_hdr.msg_iov = &iov[i];
            hdr[i].msg_hdr.msg_iovlen = 1;
        }
    }
};
rx_stage g_stage;

// Moves the datagrams still waiting in the receive area into the storage
// they were read for, oldest first, as if they had been received there
// (that storage was empty when they came, and nothing was stored since).
void unstage()
{
    pkt_storage *ds = g_stage.ds;
    for (size_t i = g_stage.next; i < g_stage.count; ++i) {
        const iovec &d = g_stage.kept[i];
        data_pkt *p = rta_next_pkt_in(ds);
        lfx_assert(p);
        memcpy(p->data, d.iov_base, d.iov_len);
        p->len = d.iov_len;
        if (rta_add_pkt_in(ds, p) != 0) lfx_abort();
    }
    g_stage.task = nullptr;
    g_stage.ds = nullptr;
    g_stage.next = g_stage.count = 0;
}

// The slot after slot s in ring order.
size_t next_slot(const pkt_storage *ds, size_t s) { return s + 1 == ds->count ? 0 : s + 1; }

// What a received datagram of n bytes (its full length under MSG_TRUNC)
// means for the read step: the length to keep; 0 for one not to keep
// (empty, or larger than buflen: dropped and counted); -1 with errno E2BIG
// once MAX_TRUNC_PKTS oversize datagrams have come.
ssize_t check_dgram(ssize_t n, size_t buflen, int flags, pktstats *pks)
{
    static constexpr const char *fn = "udp_read";
    // An empty datagram carries nothing to relay.
    if (n == 0) return 0;
    if (n > pks->max_ipktlen) {
        pks->max_ipktlen = n;
        if (iflag("TRK_MAXPKT")) log_info("%s: MAX-IPKT-LEN=%zd\n", fn, n);
    }
    if (size_t(n) > buflen) {
        // Only part of it is in the buffer: relaying that part would hand
        // the receivers a corrupt datagram as if it were whole.
        ++pks->ntrunc;
        log_warn("%s: datagram TRUNCATED to %zu bytes (full size=%zd) [%zd/%d]\n", fn, buflen, n,
                 pks->ntrunc, int(MAX_TRUNC_PKTS));
        if (pks->ntrunc < MAX_TRUNC_PKTS) return 0;
        log_crit("%s: DATAGRAM TOO LARGE for the current buffer size=%zu; use special build with "
                 "TVL_PKTLEN > %zu.This task will terminate.\n",
                 fn, buflen, buflen);
        errno = E2BIG;
        return -1;
    }
    // With MSG_TRUNC the length is the datagram's own; only without it can
    // a full buffer hide a cut.
    if (size_t(n) == buflen && !(flags & MSG_TRUNC))
        log_warn("%s: datagram likely TRUNCATED (to %zu bytes)\n", fn, buflen);
    return n;
}

void log_recv_error(int fd, size_t buflen, int flags, int err)
{
    if (err != EAGAIN || iflag("TVL_ERR_EAGAIN"))
        log_err("%s: recv(fd%d, buf, %zu, 0x%04lx) ERROR(%d): %s\n", "udp_read", fd, buflen,
                static_cast<unsigned long>(flags), err, strerror(err));
}

// Either storage holds a datagram: the writer is needed to send the active
// one's or to empty the standby's.
bool has_pending(const rtask *t)
{
    return (t->stg.dgram && !rta_no_pending_data(t->stg.dgram)) ||
           (t->altin.dgram && !rta_no_pending_data(t->altin.dgram));
}

int adjust_writer(rtask *t) { return has_pending(t) ? rta_ensure_writes(t) : rta_drop_writer(t); }

// The reader of a source: dropped while the active source's storage is
// full (the writer re-arms it); the standby is always read, since it
// discards its oldest datagrams and its reads drive the switch-over checks.
int adjust_reader(rtask *t, bool is_alt, bool is_standby, const pkt_storage *ds)
{
    const bool full = !is_standby && rta_no_space(ds);
    if (is_alt) return full ? rta_drop_altrd(t) : rta_ensure_altrd(t);
    return full ? rta_drop_reader(t) : rta_ensure_reads(t);
}

// The trace line of a datagram read in ("IN") or sent ("OUT").
void trace_pkt(const char *dir, const char *mode_tag, int slot, const char *sid, int fd,
               const data_pkt *p)
{
    char tag[IOTRK_TAG_LEN + 1];
    snprintf(tag, sizeof(tag), "#TRK-%s/%s pkt[%d]", dir, mode_tag, slot);
    dump_iotrk(tag, sid, fd, p->data, p->len);
}

}  // namespace

// --- storage ----------------------------------------------------------------------

data_pkt *rta_next_pkt_in(pkt_storage *ds) noexcept
{
    const ssize_t i = rr_next_avail(&ds->rr);
    if (i < 0) return nullptr;
    data_pkt *p = &ds->pkt[i];
    lfx_assert(p->len == 0);
    return p;
}

int rta_add_pkt_in(pkt_storage *ds, const data_pkt *pkt) noexcept
{
    const ssize_t i = rr_push(&ds->rr);
    if (i < 0) return -1;
    lfx_assert(i == pkt->idx);
    return 0;
}

data_pkt *rta_get_tail(pkt_storage *ds) noexcept
{
    const ssize_t i = rr_next_busy(&ds->rr);
    return i < 0 ? nullptr : &ds->pkt[i];
}

ssize_t rta_pop_pkt(pkt_storage *ds) noexcept
{
    if (rta_no_pending_data(ds)) return -2;
    const ssize_t i = rr_pop(&ds->rr);
    lfx_assert(i >= 0);
    ds->pkt[i].len = 0;
    return i;
}

bool rta_no_space(const pkt_storage *ds) noexcept { return rr_slots_avail(&ds->rr) == 0; }

bool rta_no_pending_data(const pkt_storage *ds) noexcept { return rr_slots_busy(&ds->rr) == 0; }

// --- tracing ---------------------------------------------------------------------------

void dump_iotrk(const char *iotag, const char *sid, int fd, const void *buf, size_t len) noexcept
{
    FILE *fp = log_fp(&g_log);
    if (!fp) return;
    unsigned long long sum = 0;
    const auto *b = static_cast<const unsigned char *>(buf);
    for (size_t i = 0; i < len; ++i) sum += b[i];
    struct timespec now;
    set_real_now(&now);
    fprintf(fp, "%s %s #(~) fd%d %lu.%lu %zu 0x%04llx\n", iotag, sid, fd,
            static_cast<unsigned long>(now.tv_sec), static_cast<unsigned long>(now.tv_nsec), len,
            sum);
}

// --- read step -------------------------------------------------------------------------

ssize_t udp_read(int fd, void *buf, size_t buflen, pktstats *pks) noexcept
{
    const int flags = recv_flags();
    const ssize_t n = recv(fd, buf, buflen, flags);
    const int err = n < 0 ? errno : 0;
    if (iflag("TRCV1"))
        log_info("%s: %zd = recv(fd%d, %p, %zu, %u), err=%d\n", "udp_read", n, fd, buf, buflen,
                 unsigned(flags), err);
    if (n < 0) {
        log_recv_error(fd, buflen, flags, err);
        errno = err;
        return n;
    }
    return check_dgram(n, buflen, flags, pks);
}

int pkt_read(rtask *task, int rd_mode, size_t *p_nin, bool *p_write_now) noexcept
{
    static constexpr const char *fn = "pkt_read";
    const bool is_alt = rd_mode == RD_ALTERNATE;
    pkt_storage *ds = is_alt ? task->altin.dgram : task->stg.dgram;
    const int fd = is_alt ? task->altin.sockfd : task->infd;
    const char *tag = is_alt ? "ALT" : "PRI";
    const size_t buflen = task->opt.max_outpkt ? task->opt.max_outpkt : g_cfg.max_outpkt_len;
    lfx_assert(buflen >= 1 && buflen <= PKT_LEN && ds);
    const bool track = g_cfg.must_track_io;
    if (track) log_dbg("%s: BEGIN m=%d (%s)\n", fn, rd_mode, tag);
    lfx_assert(is_alt ? task->altin.reader.is_active : task->reader.is_active);
    if (p_nin) *p_nin = 0;
    if (p_write_now) *p_write_now = false;
    if (task->is_quitting) {
        log_dbg("%s: task %s [%s] is quitting\n", fn, task->tid.sym8,
                esc_str(task->hkey).c_str());
        return 0;
    }
    const bool is_standby = is_alt != task->altin.is_active;
    src_timers *tm = is_alt ? &task->altin.tm : &task->tm;

    size_t nbytes = 0;
    int err = 0;
    const size_t limit = batch_limit();
    const int flags = recv_flags();
    const bool trcv = g_trace_receives.on();
    const char *label = rta_label(task);
    size_t taken = 0;  // datagrams received, kept or not
    // Datagrams that can leave at once go to the receive area; traced
    // ones keep their slots, whose numbers the trace lines give.
    lfx_assert(!g_stage.task);
    const bool stage = p_write_now && !is_standby && !track && !task->writer.is_active &&
                       rta_no_pending_data(ds) && limit <= MMSG_BATCH &&
                       limit <= size_t(rr_slots_avail(&ds->rr));
    if (stage) {
        g_stage.task = task;
        g_stage.ds = ds;
    }
    while (taken < limit && !g_quit && err == 0) {
        if (is_standby && rta_no_space(ds)) {
            const ssize_t slot = rta_pop_pkt(ds);
            if (track) log_dbg("%s: pre-read POP (%s) pkt[%zd]\n", fn, tag, slot);
        }
        const ssize_t first = rr_next_avail(&ds->rr);
        if (first < 0) {
            if (track) log_warn("%s: [%s] no read-in space\n", fn, tag);
            lfx_assert(rta_no_space(ds));
            break;
        }
        // The batch lands in the slots from `first` on, in ring order: the
        // free ones and, for the standby, the oldest stored ones after them,
        // which it gives up one by one as newer datagrams come in.
        const size_t room = is_standby ? ds->count : size_t(rr_slots_avail(&ds->rr));
        const size_t want = std::min({limit - taken, MMSG_BATCH, room});
        mmsghdr *hdr;
        if (stage) {
            // Position taken on: earlier calls of the step filled those before.
            hdr = g_stage.hdr + taken;
            if (g_stage.rx_len != buflen) {
                for (iovec &v : g_stage.iov) v.iov_len = buflen;
                g_stage.rx_len = buflen;
            }
        } else {
            if (ds->rx_len != buflen) {
                for (size_t j = 0; j < 2 * ds->count; ++j) ds->rx_iov[j].iov_len = buflen;
                ds->rx_len = buflen;
            }
            hdr = ds->rx_hdr + first;
        }
        const iovec *iov = hdr->msg_hdr.msg_iov;
        const int got = recvmmsg(fd, hdr, unsigned(want), flags | MSG_DONTWAIT, nullptr);
        if (got < 0) {
            err = errno;
            if (trcv)
                log_info("%s: %zd = recv(fd%d, %p, %zu, %u), err=%d\n", "udp_read", ssize_t(-1),
                         fd, iov[0].iov_base, buflen, unsigned(flags), err);
            log_recv_error(fd, buflen, flags, err);
            break;
        }
        size_t kept = 0;
        for (size_t i = 0; i < size_t(got); ++i) {
            if (i > 0 && is_standby && rta_no_space(ds)) {
                const ssize_t slot = rta_pop_pkt(ds);
                if (track) log_dbg("%s: pre-read POP (%s) pkt[%zd]\n", fn, tag, slot);
            }
            const ssize_t len = ssize_t(hdr[i].msg_len);
            if (trcv)
                log_info("%s: %zd = recv(fd%d, %p, %zu, %u), err=%d\n", "udp_read", len, fd,
                         iov[i].iov_base, buflen, unsigned(flags), 0);
            ++taken;
            const ssize_t n = check_dgram(len, buflen, flags, &task->pks);
            if (n < 0) {
                // The task fails; what came after this datagram goes with it.
                err = errno;
                break;
            }
            if (n == 0) continue;
            nbytes += size_t(n);
            ++kept;
            if (stage) {
                g_stage.kept[g_stage.count++] = {iov[i].iov_base, size_t(n)};
                continue;
            }
            data_pkt *p = rta_next_pkt_in(ds);
            lfx_assert(p);
            // A datagram not kept earlier in the batch leaves a gap that the
            // ring order does not allow: this one moves up into it.
            if (p->data != iov[i].iov_base) memmove(p->data, iov[i].iov_base, size_t(n));
            p->len = size_t(n);
            if (rta_add_pkt_in(ds, p) != 0) lfx_abort();
            if (track) trace_pkt("IN", tag, p->idx, label, fd, p);
        }
        // Received in one call, the batch's datagrams arrived together: one
        // recovery check stands for each of them.
        if (kept > 0) set_recovery_rtime(tag, label, tm);
        // The standby's oldest datagrams that the batch wrote over but that
        // no kept datagram replaced are spoiled: they go.
        for (ssize_t spoiled = ssize_t(size_t(got) - kept) - rr_slots_avail(&ds->rr); spoiled > 0;
             --spoiled)
            rta_pop_pkt(ds);
        // A short batch means the queue ran dry: no call is made just to
        // meet EAGAIN.  The reader is level-triggered, so datagrams that
        // come later wake it again.  The kernel also ends a batch early at
        // a receive error, which it keeps for the next call; a source
        // socket (bound, not connected, without IP_RECVERR) has none to
        // keep, and one that came all the same is a socket error, which
        // the next turn's events report.  The traces of that call stay:
        // with either flag on, the call is made.
        if (err == 0 && size_t(got) < want && !trcv && !g_log_eagain.on()) {
            // A full standby gives up its oldest before every receive, the
            // one that would find the queue empty too.
            if (taken < limit && !g_quit && is_standby && rta_no_space(ds)) {
                const ssize_t slot = rta_pop_pkt(ds);
                if (track) log_dbg("%s: pre-read POP (%s) pkt[%zd]\n", fn, tag, slot);
            }
            break;
        }
    }

    int rc = err;
    if (err == 0 || err == EAGAIN) {
        // Write-through: datagrams of the active source that nothing waits
        // before go out at once, from the caller's write step; the writer
        // is armed only when that step leaves some behind.
        const bool write_now = p_write_now && !is_standby && !task->writer.is_active &&
                               (g_stage.count > 0 || !rta_no_pending_data(ds)) && !g_quit;
        // The reader goes by the storage's fill, with what no write step
        // sends at once in it.
        if (!write_now) unstage();
        rc = adjust_reader(task, is_alt, is_standby, ds);
        if (write_now)
            *p_write_now = true;
        else if (rc == 0)
            rc = adjust_writer(task);
    }
    // A step that failed keeps what it read before the failure, stored.
    if (rc != 0 && g_stage.task) unstage();
    if (rc == 0 && nbytes > 0) {
        task->total_in += nbytes;
        if (!is_standby) task->local_in += nbytes;
        add_kpsm(task->tid.sym8, &task->iavg, nbytes);
        ck_online_flip(task, nbytes);
        if (is_online(task) && has_altinput(task)) {
            if (is_alt)
                ck_p2a_flip(task);
            else
                ck_a2p_flip(task);
        }
        if (track)
            log_dbg("%s: (%s) fd%d << [p%lu/%lu bytes]\n", fn, tag, fd,
                    static_cast<unsigned long>(nbytes), static_cast<unsigned long>(task->total_in));
    }
    if (rc == E2BIG) {
        char text[64];
        snprintf(text, sizeof(text), "Datagrams too large for TVL_PKTLEN=%d", int(PKT_LEN));
        rta_set_error(task, text, E2BIG);
    }
    if (p_nin && rc == 0) *p_nin = nbytes;
    if (track) log_dbg("%s: END(%d)\n", fn, rc);
    return rc;
}

// --- write step ------------------------------------------------------------------------

void pop_pkts(const char *mode_tag, const char *tsid, pkt_storage *ds) noexcept
{
    static constexpr const char *fn = "pop_pkts";
    if (!ds) return;
    log_dbg("%s: BEGIN (%s)\n", fn, mode_tag);
    size_t popped = 0;
    for (size_t i = 0; i < batch_limit() && !g_quit; ++i) {
        if (g_cfg.must_track_io) {
            const data_pkt *p = rta_get_tail(ds);
            if (p) dump_iotrk("#TRK-POP/1", tsid, -1, p->data, p->len);
        }
        if (rta_pop_pkt(ds) < 0) break;
        ++popped;
        if (rta_no_pending_data(ds)) {
            log_dbg("%s: [%s] %s EOD after %zu pkts\n", fn, tsid, mode_tag, popped);
            break;
        }
    }
    log_dbg("%s: END (%s): %zu pkts\n", fn, mode_tag, popped);
}

int pkt_write(rtask *task, size_t *p_nout) noexcept
{
    static constexpr const char *fn = "pkt_write";
    const bool alt_on = task->altin.is_active;
    const char *tag = alt_on ? "ALT" : "PRI";
    const bool track = g_cfg.must_track_io;
    if (track) log_dbg("%s: BEGIN (%s)\n", fn, tag);
    if (p_nout) *p_nout = 0;
    // Datagrams in the receive area are this task's, read for its active
    // source by the step just before; a switch-over in that step made
    // their source the standby, whose datagrams are stored, then dropped.
    lfx_assert(!g_stage.task || g_stage.task == task);
    pkt_storage *out = alt_on ? task->altin.dgram : task->stg.dgram;
    pkt_storage *standby = alt_on ? task->stg.dgram : task->altin.dgram;
    if (g_stage.task && (task->is_quitting || g_stage.ds != out)) unstage();
    if (task->is_quitting) {
        log_dbg("%s: task %s [%s] is quitting\n", fn, task->tid.sym8,
                esc_str(task->hkey).c_str());
        return 0;
    }
    lfx_assert(out);
    const auto *dst = reinterpret_cast<const sockaddr *>(&task->out_uc.sspec.addr_ss);
    const socklen_t dstlen = task->out_uc.sspec.addr_len;

    size_t nbytes = 0;
    const size_t limit = batch_limit();
    const char *label = rta_label(task);
    size_t tried = 0;  // datagrams sent or given up
    // Runs of equal-sized datagrams go out as one segmented send each, as
    // long as the destination takes them: the datagrams on the wire are the
    // same, for one pass down the network stack a run.  (use_mmsg governs
    // the stream path's sends; here they are batched either way.)
    bool runs = !task->errctx.gso_refused && udp_runs_fit(task);
    mmsghdr *hdr = g_tx.hdr;
    iovec *iov = g_tx.iov;
    void *name = dstlen ? const_cast<sockaddr *>(dst) : nullptr;
    while (tried < limit && !g_quit) {
        // The oldest datagrams go out with one call: those of the receive
        // area (the storage is empty then), else the storage's in ring
        // order.
        const bool staged = g_stage.next < g_stage.count;
        size_t want;
        if (staged) {
            want = std::min(limit - tried, g_stage.count - g_stage.next);
            for (size_t i = 0; i < want; ++i) iov[i] = g_stage.kept[g_stage.next + i];
        } else {
            const ssize_t first = rr_next_busy(&out->rr);
            if (first < 0) {
                log_dbg("%s: [%s] no pending data\n", fn, tag);
                lfx_assert(rta_no_pending_data(out));
                break;
            }
            want = std::min({limit - tried, MMSG_BATCH, size_t(rr_slots_busy(&out->rr))});
            for (size_t i = 0, slot = size_t(first); i < want; ++i, slot = next_slot(out, slot))
                iov[i] = {out->pkt[slot].data, out->pkt[slot].len};
        }
        for (size_t i = 0; i < want; ++i) {
            hdr[i].msg_hdr.msg_name = name;
            hdr[i].msg_hdr.msg_namelen = dstlen;
        }
        ssize_t sent = -1;
        if (runs) udp_runs_build(&g_runs, iov, want, dst, dstlen);
        if (runs && g_runs.count < want) {
            sent = udp_runs_send(task->outfd, &g_runs);
            const int err = errno;
            if (sent < 0 && g_runs.first[1] > 1 && !is_transient_send(err)) {
                // The run's datagrams go again one by one: each meets its
                // own error, logged and counted as ever; a route that takes
                // no runs gets none from now on.
                if (is_run_refusal(err)) {
                    log_dbg("%s: [%s] segmented send refused (%d), sending datagram by "
                            "datagram\n", fn, label, err);
                    task->errctx.gso_refused = true;
                }
                runs = false;
                continue;
            }
            errno = err;
        } else {
            sent = sendmmsg(task->outfd, hdr, unsigned(want), MSG_DONTWAIT);
            // A datagram sent alone comes back whole or not at all.
            for (ssize_t i = 0; i < sent; ++i) lfx_assert(hdr[i].msg_len == iov[i].iov_len);
        }
        if (sent > 0) {
            send_err_clear(task, fn, tag);
            for (size_t i = 0; i < size_t(sent); ++i) {
                const ssize_t n = ssize_t(iov[i].iov_len);
                if (n > task->pks.max_opktlen) task->pks.max_opktlen = n;
                nbytes += size_t(n);
                if (staged) continue;
                data_pkt *p = rta_get_tail(out);
                lfx_assert(p && p->data == iov[i].iov_base && p->len == size_t(n));
                if (track) trace_pkt("OUT", tag, p->idx, label, task->outfd, p);
                if (rta_pop_pkt(out) < 0) lfx_abort();
            }
            if (staged) g_stage.next += size_t(sent);
            // A short batch stopped at a datagram (or run) that failed; the
            // next call meets its error.
            tried += size_t(sent);
            continue;
        }
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            log_dbg("%s: [%s] fd%d EAGAIN\n", fn, tag, task->outfd);
            break;
        }
        if (is_transient_send(err)) {
            send_err_note(task, fn, tag, err, 0);
            break;
        }
        // The destination refuses this datagram and would refuse it again
        // on every write event: keeping it would hold the writer on an
        // always-writable socket and spin the loop.
        if (staged)
            ++g_stage.next;
        else
            rta_pop_pkt(out);
        send_err_note(task, fn, tag, err, 1);
        ++tried;
    }
    // What the destination did not take waits in the storage for the
    // writer.
    if (g_stage.task) unstage();

    pop_pkts(alt_on ? "PRI" : "ALT", rta_label(task), standby);
    int rc = adjust_reader(task, alt_on, false, out);
    if (rc == 0 && standby) rc = adjust_reader(task, !alt_on, true, standby);
    if (rc == 0) rc = adjust_writer(task);
    if (rc == 0 && nbytes > 0) {
        task->total_out += nbytes;
        add_kpsm(task->tid.sym8, &task->oavg, nbytes);
        if (p_nout) *p_nout = nbytes;
        if (track)
            log_dbg("%s: (%s) fd%d [p%lu/%lu bytes] >>\n", fn, tag, task->outfd,
                    static_cast<unsigned long>(nbytes),
                    static_cast<unsigned long>(task->total_out));
    }
    log_dbg("%s: END(%d)\n", fn, rc);
    return rc;
}
