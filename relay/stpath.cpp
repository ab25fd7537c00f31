#include "stpath.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cfg.h"
#include "chunkin.h"
#include "fdio.h"
#include "iflag.h"
#include "log.h"
#include "senderr.h"
#include "supervise.h"
#include "udpruns.h"

LOG_MODULE(LM_DEFAULT);

ssize_t Send_iov(int sockfd, const struct iovec *iov, size_t count, const struct sockaddr *addr,
                 socklen_t addr_len, size_t *total) noexcept
{
    static constexpr const char *fn = "Send_iov";
    size_t bytes = 0;
    size_t sent = 0;
    for (; sent < count; ++sent) {
        const ssize_t n = sendto(sockfd, iov[sent].iov_base, iov[sent].iov_len, MSG_DONTWAIT, addr,
                                 addr_len);
        if (n == ssize_t(iov[sent].iov_len)) {
            bytes += size_t(n);
            continue;
        }
        // A failed send is the caller's to log; a short one is no error
        // the socket reports, so it is logged here.
        const int err = n < 0 ? errno : EMSGSIZE;
        if (n >= 0)
            log_err("%s: sendto() mismatch: %ld/%ld expected/sent\n", fn, long(iov[sent].iov_len),
                    long(n));
        errno = err;
        break;
    }
    if (total) *total = bytes;
    // What went out before a failure is reported, so that exactly that is
    // consumed and the rest is sent again.
    return sent > 0 ? ssize_t(sent) : (count > 0 ? -1 : 0);
}

ssize_t Send_multi(int sockfd, const struct iovec *iov, size_t count,
                   const struct sockaddr *addr, socklen_t addr_len, size_t *total) noexcept
{
    if (!g_cfg.use_mmsg) return Send_iov(sockfd, iov, count, addr, addr_len, total);
    lfx_assert(count <= MMR_MAX_DGRAMS);
    struct mmsghdr hdr[MMR_MAX_DGRAMS];
    for (size_t i = 0; i < count; ++i) {
        hdr[i] = mmsghdr{};
        hdr[i].msg_hdr.msg_name = const_cast<sockaddr *>(addr);
        hdr[i].msg_hdr.msg_namelen = addr_len;
        hdr[i].msg_hdr.msg_iov = const_cast<struct iovec *>(&iov[i]);
        hdr[i].msg_hdr.msg_iovlen = 1;
    }
    if (total) *total = 0;
    const int n = sendmmsg(sockfd, hdr, unsigned(count), MSG_DONTWAIT);
    if (n < 1) return n;
    size_t bytes = 0;
    for (int i = 0; i < n; ++i) bytes += iov[i].iov_len;
    if (total) *total = bytes;
    return n;
}

namespace {

// Sends a batch to the task's destination: one datagram with sendto; more
// with one sendmmsg, as runs that the kernel cuts into datagrams where the
// destination takes them (and may_run allows), else datagram by datagram.
// What Send_multi returns.
ssize_t send_batch(rtask *task, const struct iovec *iov, size_t count, bool may_run,
                   size_t *bytes)
{
    const auto *dst = reinterpret_cast<const sockaddr *>(&task->out_uc.sspec.addr_ss);
    const socklen_t dstlen = task->out_uc.sspec.addr_len;
    if (count < 2) return Send_iov(task->outfd, iov, count, dst, dstlen, bytes);
    if (may_run && g_cfg.use_mmsg && !task->errctx.gso_refused && udp_runs_fit(task)) {
        static udp_runs runs;
        udp_runs_build(&runs, iov, count, dst, dstlen);
        const ssize_t sent = udp_runs_send(task->outfd, &runs);
        const int err = errno;
        if (sent > 0) {
            size_t total = 0;
            for (ssize_t i = 0; i < sent; ++i) total += iov[i].iov_len;
            *bytes = total;
            return sent;
        }
        if (!is_run_refusal(err)) {
            *bytes = 0;
            errno = err;
            return sent;
        }
        log_dbg("%s: [%s] segmented send refused (%d), sending datagram by datagram\n",
                "stream_write", rta_label(task), err);
        task->errctx.gso_refused = true;
    }
    return Send_multi(task->outfd, iov, count, dst, dstlen, bytes);
}

// The source has ended (a close, a failed read, the last chunk or broken
// framing): no byte follows what the ring holds.  The source is no longer
// watched, so the loop sleeps while the writer sends the ring's payload,
// however long the destination takes; the write step that finds nothing
// more to send ends the task's source (stream_end).
int end_input(rtask *task)
{
    task->in_ended = true;
    mmr_end_input(task->stg.stream);
    const int rc = rta_drop_reader(task);
    return rc != 0 ? rc : rta_ensure_writes(task);
}

bool chunked_end(const rtask *task)
{
    return task->is_chunked && (chunk_ended(&task->chunk) || chunk_failed(&task->chunk));
}

// Everything of an ended source that could go has gone.
int stream_end(rtask *task)
{
    log_info("%s: [%s] source ended, %zu bytes left unsent\n", "stream_write",
             rta_label(task), mmr_pld_size(task->stg.stream));
    if (task->is_chunked) return chunkin_end(task);
    rta_set_error(task, "connection lost", ECONNABORTED);
    return -1;
}

}  // namespace

int stream_read(rtask *task, size_t *p_nin, bool hung_up) noexcept
{
    static constexpr const char *fn = "stream_read";
    if (p_nin) *p_nin = 0;
    // An event of the dropped reader, still waiting in the turn it ended.
    if (task->in_ended) return 0;
    // The body's end came with the answer head.
    if (chunked_end(task)) return end_input(task);
    mm_point pt{};
    uint8_t *p = mmr_iget(task->stg.stream, &pt);
    if (!p || pt.len == 0) {
        // Every time the destination is slower than the origin: one line
        // a second at most, with the count since the line before.
        task_err &e = task->errctx;
        ++e.n_ring_full_unlogged;
        if (repeat_line_due(&e.ring_full_tm)) {
            log_warn("%s: no space to read into, reading suspended (%lu time(s) since the last "
                     "line)\n",
                     fn, static_cast<unsigned long>(e.n_ring_full_unlogged));
            e.n_ring_full_unlogged = 0;
        }
        return rta_drop_reader(task);
    }
    log_dbg("%s: can read up to %lu bytes\n", fn, static_cast<unsigned long>(pt.len));
    const ssize_t n = nread(task->infd, p, pt.len, 0);
    int rc = 0;
    if (n > 0) {
        pt.len = size_t(n);
        // A chunked body loses its framing here, in place, before the ring
        // takes the bytes; a read of framing alone brings nothing.
        if (task->is_chunked) chunkin_decode(task, p, &pt.len);
        if (pt.len > 0) rc = mmr_iput(task->stg.stream, &pt);
        if (rc == 0 && pt.len > 0) {
            task->total_in += uint64_t(pt.len);
            task->local_in += uint64_t(pt.len);
            add_kpsm(task->tid.sym8, &task->iavg, pt.len);
            ck_online_flip(task, pt.len);
            if (p_nin) *p_nin = pt.len;
        }
        if (rc == 0 && chunked_end(task)) return end_input(task);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !hung_up) {
        // A wake-up without data: nothing to read, the connection is fine.
        // (One that reported an error or hang-up ends the source instead:
        // the event would come again on every turn.)
        return 0;
    } else {
        const int err = n < 0 ? errno : 0;
        log_err("%s: ZERO-READ (n=%zd) from fd%d: buf/len=%p/%zu ERROR(%d): %s\n", fn, n,
                task->infd, static_cast<void *>(p), pt.len, err, strerror(err));
        return end_input(task);
    }
    if (rc == 0 && pt.len > 0) rc = rta_ensure_writes(task);
    if (rc != 0) log_err("%s: ERROR(%d)\n", fn, rc);
    return rc;
}

int stream_write(rtask *task, size_t *p_nout) noexcept
{
    static constexpr const char *fn = "stream_write";
    lfx_assert(task->writer.is_active && task->state.num == ST_RLY);
    lfx_assert(g_cfg.max_pkts >= 1);
    if (p_nout) *p_nout = 0;
    mmr_t ring = task->stg.stream;
    struct iovec iov[MMR_MAX_DGRAMS];
    size_t count = std::min(size_t(g_cfg.max_pkts), MMR_MAX_DGRAMS);
    int rc = mmr_oget(ring, iov, &count);
    if (rc == EAGAIN) {
        if (task->in_ended) return stream_end(task);
        if (!(mmr_get_flags(ring) & MMR_ODGRAM_ALIGN)) log_warn("%s: no data to send\n", fn);
        return rta_drop_writer(task);
    }
    if (rc != 0) return rc;

    const mm_stats st = mmr_get_stats(ring);
    if (ssize_t(st.max_dgram_len) > task->pks.max_opktlen) {
        task->pks.max_opktlen = ssize_t(st.max_dgram_len);
        if (iflag("TRK_MAXPKT")) log_info("%s: MAX-OPKT-LEN=%zd\n", fn, task->pks.max_opktlen);
    }
    lfx_assert(count > 0);

    // Each datagram of the batch is sent or, when the destination refuses
    // it for good, dropped: a refusal is no failure of the source, whose
    // connection stays.  After a refusal the rest go one by one, each
    // meeting its own error.  A send that stops short, or cannot pass
    // now, leaves the rest for the next write event.
    size_t done = 0, nsent = 0, bytes = 0;
    bool may_run = true;
    while (done < count) {
        size_t b = 0;
        const ssize_t sent = send_batch(task, iov + done, count - done, may_run, &b);
        const int err = errno;
        if (sent > 0) {
            done += size_t(sent), nsent += size_t(sent), bytes += b;
            break;
        }
        if (sent == 0 || is_transient_send(err)) break;
        send_err_note(task, fn, "PRI", err, 1);
        may_run = false;
        ++done;
    }
    log_dbg("%s: [p%d/%lu] >>\n", fn, int(nsent), static_cast<unsigned long>(bytes));
    if (bytes > 0) {
        send_err_clear(task, fn, "PRI");
        task->total_out += bytes;
        add_kpsm(task->tid.sym8, &task->oavg, bytes);
        if (p_nout) *p_nout = bytes;
    }
    if (done > 0) {
        const ssize_t left = mmr_oput(ring, iov, done);
        if (left < 0) log_err("%s: cannot add %d packets\n", fn, int(done));
        // An ended source brings no more: the writer goes on to the end.
        // A few bytes left may still hold a packet whose next byte has
        // come (a batch cut by max_pkts): it goes with the next write
        // event, not with the origin's next bytes.
        if (left <= ssize_t(MMR_WRITER_LOWMARK) && !task->in_ended && !mmr_oready(ring))
            rc = rta_drop_writer(task);
    }
    if (rc == 0 && !task->in_ended) rc = rta_ensure_reads(task);
    return rc;
}
