#include "dgram.h"

#include <cstdlib>
#include <limits>

#include "dstream.h"
#include "log.h"
#include "syswrap.h"
#include "timeop.h"

LOG_MODULE(LM_STREAM);

namespace {

constexpr unsigned long MIN_TMOUT_MS = 100;
constexpr off_t OFFSET_MAX = std::numeric_limits<off_t>::max();

dgram_seq *seq_at(const dgram_idx *di, size_t i) noexcept
{
    return static_cast<dgram_seq *>(xv_blk(di->seq.data, i, sizeof(dgram_seq)));
}

// Record offset just past the sequence's last packet.  Every datagram
// filed was checked to end within off_t, so this cannot overflow.
off_t seq_end(const dgram_seq *s) noexcept
{
    return s->offset + off_t(s->count * s->pkt_size);
}

off_t pkt_offset(const dgram_seq *s, size_t pkt) noexcept
{
    return s->offset + off_t(pkt * s->pkt_size);
}

// Whole milliseconds from `from` to `to`, 0 when `to` lies before.
long elapsed_ms(const struct timespec *from, const struct timespec *to) noexcept
{
    if (to->tv_sec < from->tv_sec || (to->tv_sec == from->tv_sec && to->tv_nsec < from->tv_nsec))
        return 0;
    return diff_ms(from, to);
}

uint32_t add_sat32(uint32_t a, size_t b) noexcept
{
    return b >= size_t(UINT32_MAX - a) ? UINT32_MAX : uint32_t(a + b);
}

struct timespec plus_ms(struct timespec t, unsigned long ms) noexcept
{
    const time_t sec = time_t(ms / 1000);
    t.tv_nsec += long(ms % 1000) * 1000000L;
    if (t.tv_nsec >= TMS_NSEC_PER_SEC) {
        t.tv_nsec -= TMS_NSEC_PER_SEC;
        ++t.tv_sec;
    }
    if (__builtin_add_overflow(t.tv_sec, sec, &t.tv_sec))
        t.tv_sec = std::numeric_limits<time_t>::max();
    return t;
}

// True when len is a whole number of packets of pkt_size bytes, each
// starting with a sync byte.
bool whole_ts_pkts(const uint8_t *buf, size_t len, size_t pkt_size) noexcept
{
    if (pkt_size == 0 || len % pkt_size != 0) return false;
    for (size_t off = 0; off < len; off += pkt_size)
        if (buf[off] != MPEG_TS_SYNC) return false;
    return true;
}

// The packets of a further datagram and their size: one packet of the
// whole datagram for raw data; for TS the sequence's packet size when the
// datagram is a run of such packets, else whatever a new probe finds.
void count_pkts(dgram_idx *di, const dgram_seq *last, const uint8_t *dg, size_t seg_len,
                ssize_t *plen, size_t *pcount, sseg_ctx *sseg) noexcept
{
    if (di->stype.num == 0 || di->stype.num == STY_RAW) {
        *plen = ssize_t(seg_len);
        *pcount = 1;
        sseg->pat_idx = 0;
        return;
    }
    if (whole_ts_pkts(dg, seg_len, last->pkt_size)) {
        *plen = ssize_t(last->pkt_size);
        *pcount = seg_len / last->pkt_size;
    } else {
        *plen = 0;
    }
    di->stype.num = probe_segment(dg, seg_len, di->stype.num, plen, pcount, sseg);
}

ssize_t add_seq(dgram_idx *di, size_t pkt_size, size_t count, off_t offset,
                uint32_t pat) noexcept
{
    if (di->seq.len > DGRAM_MAX_SEQ) {
        log_err("%s: DI(%p) record limit=%lu exceeded, won't add\n", __func__,
                static_cast<void *>(di), DGRAM_MAX_SEQ);
        return -1;
    }
    const ssize_t i = xvec_add(&di->seq, sizeof(dgram_seq), DGRAM_INCR);
    if (i < 0) {
        log_panic("%s: failed to expand sequence\n", __func__);
        lfx_abort();
    }
    lfx_assert(count > 0);
    dgram_seq *s = seq_at(di, size_t(i));
    *s = dgram_seq{};
    s->pkt_size = pkt_size;
    s->offset = offset;
    s->count = count;
    rqs_set_now(&s->first_io);
    s->last_io = s->first_io;
    s->tslot_count[0] = add_sat32(0, count);
    s->max_tslot = 0;
    s->first_pat = s->last_pat = pat;
    log_dbg("%s: DI(%p) added SEQ[%ld]: pkt size/count=%lu/%lu, dgram[0]: offset=%ld, "
            "PAT=%u/%u\n",
            __func__, static_cast<void *>(di), long(i), pkt_size, count, long(offset),
            s->first_pat, s->last_pat);
    return i;
}

// Files the packets of a datagram into the sequence it continues.
void join_seq(dgram_idx *di, ssize_t i, size_t pkts, uint32_t pat_idx, off_t offset,
              size_t seg_len) noexcept
{
    dgram_seq *s = seq_at(di, size_t(i));
    const size_t before = s->count;
    s->count += pkts;
    // A PAT in this datagram is the sequence's latest one (and its first
    // when none came before).
    if (pat_idx && before <= UINT32_MAX - pat_idx) {
        const uint32_t pat = uint32_t(before) + pat_idx;
        if (s->first_pat == 0) s->first_pat = pat;
        s->last_pat = pat;
    }
    struct timespec now;
    set_now(&now);
    const long duration = elapsed_ms(&s->first_io, &now);
    // The clock may lie a little past the time-out, which the loop's time
    // of the turn has not reached: such a datagram counts in the last slot.
    size_t slot = size_t(duration) / di->tslot_ms;
    if (slot >= MAX_TSLOTS) slot = MAX_TSLOTS - 1;
    s->tslot_count[slot] = add_sat32(s->tslot_count[slot], pkts);
    if (slot > s->max_tslot) s->max_tslot = slot;
    log_dbg("%s: DI(%p) staying on SEQ[%ld]: pkt_size=%lu, count=%ld (+%lu): offset=%ld, "
            "seg_len=%lu, duration=%ld ms, tslot[%ld]=%u\n",
            "dgram_add", static_cast<void *>(di), long(i), s->pkt_size, long(s->count), pkts,
            long(offset), seg_len, duration, long(slot), s->tslot_count[slot]);
}

}  // namespace

dgram_idx *mk_dgram_idx(size_t rec_count, unsigned long tmout_ms) noexcept
{
    lfx_assert(rec_count != 0 && tmout_ms >= MIN_TMOUT_MS);
    auto *di = static_cast<dgram_idx *>(W_calloc(__func__, 1, sizeof(dgram_idx)));
    if (!di) return nullptr;
    if (xvec_reserve(&di->seq, rec_count, sizeof(dgram_seq), DGRAM_INCR) != 0) {
        log_err("%s: failed to reserve %lu elements\n", __func__, rec_count);
        free(di);
        return nullptr;
    }
    if (tmout_ms < 1000)
        di->tslot_ms = 10;
    else if (tmout_ms < 10000)
        di->tslot_ms = 100;
    else
        di->tslot_ms = ((tmout_ms - 1) / 100000 + 1) * 1000;
    di->seq_tmout.tv_sec = time_t(tmout_ms / 1000);
    di->seq_tmout.tv_nsec = long(tmout_ms % 1000) * 1000000L;
    log_dbg("%s: DI(%p) tmout_ms=%lu, tslot_ms=%lu\n", __func__, static_cast<void *>(di),
            tmout_ms, di->tslot_ms);
    return di;
}

void free_dgram_idx(dgram_idx *di) noexcept
{
    if (!di) return;
    log_dbg("%s: DI(%p): %lu dgram sequences\n", __func__, static_cast<void *>(di), di->seq.len);
    xvec_reset(&di->seq);
    free(di);
}

void dgram_reset(dgram_idx *di) noexcept
{
    lfx_assert(di);
    di->seq.len = 0;
}

ssize_t dgram_add(dgram_idx *di, size_t seg_len, const void *buf, off_t offset) noexcept
{
    lfx_assert(di && buf);
    if (seg_len == 0 || offset < 0 || seg_len > size_t(OFFSET_MAX - offset)) {
        log_warn("%s: DI(%p) refused datagram: offset=%ld len=%lu\n", __func__,
                 static_cast<void *>(di), long(offset), seg_len);
        return -1;
    }
    const uint8_t *dg = static_cast<const uint8_t *>(buf) + offset;
    sseg_ctx sseg{};
    sseg.pat_idx = 1;
    ssize_t plen = 0;
    size_t pcount = 0;

    if (di->seq.len == 0) {
        log_dbg("%s: DI(%p) adding initial segment: offset=%ld len=%lu\n", __func__,
                static_cast<void *>(di), long(offset), seg_len);
        di->stype.num = probe_segment(dg, seg_len, 0, &plen, &pcount, &sseg);
        return add_seq(di, size_t(plen), pcount, offset, sseg.pat_idx);
    }

    const ssize_t li = ssize_t(di->seq.len - 1);
    dgram_seq *last = seq_at(di, size_t(li));
    lfx_assert(last->pkt_size > 0 && last->count > 0);
    // The sequences tile the record: a datagram that leaves a gap or
    // overlaps what is filed would make offsets ambiguous.
    if (offset != seq_end(last)) {
        log_warn("%s: DI(%p) SEQ[%ld] offset=%ld does not continue the sequence ending at %ld\n",
                 __func__, static_cast<void *>(di), long(li), long(offset),
                 long(seq_end(last)));
        return -1;
    }
    rqs_set_now(&last->last_io);
    const bool tmout = timed_out(&last->first_io, &di->seq_tmout);
    if (tmout)
        log_info("%s: DI(%p) SEQ[%ld] timeout after %ld ms\n", __func__, static_cast<void *>(di),
                 long(li), elapsed_ms(&last->first_io, &last->last_io));

    count_pkts(di, last, dg, seg_len, &plen, &pcount, &sseg);
    const bool same_size = size_t(plen) == last->pkt_size;
    if (!same_size)
        log_dbg("%s: DI(%p) SEQ[%ld] pkt_len=%lu != seq.pkt_size=%lu\n", __func__,
                static_cast<void *>(di), long(li), size_t(plen), last->pkt_size);
    if (same_size && !tmout) {
        join_seq(di, li, pcount, sseg.pat_idx, offset, seg_len);
        return li;
    }

    if (!same_size && last->count <= DGRAM_SHORT_SEQ)
        log_warn("%s: seq[%lu] is only %lu elements long seq.pkt_size=%lu, d.pkt_size=%lu, "
                 "seg_len=%lu %s\n",
                 __func__, size_t(li), last->count, last->pkt_size, size_t(plen), seg_len,
                 tmout ? "TIME-OUT" : "");
    log_dbg("%s: closing seq[%ld]: pkt_size/count=%lu/%lu duration=%ld ms\n", __func__,
            long(li), last->pkt_size, last->count, elapsed_ms(&last->first_io, &last->last_io));
    return add_seq(di, size_t(plen), pcount, offset, sseg.pat_idx);
}

ssize_t dgram_find_seq(const dgram_idx *di, ssize_t dseq, off_t offset) noexcept
{
    lfx_assert(di);
    for (size_t i = dseq < 0 ? 0 : size_t(dseq); i < di->seq.len; ++i) {
        const dgram_seq *s = seq_at(di, i);
        if (offset >= s->offset && offset <= seq_end(s)) return ssize_t(i);
    }
    return -1;
}

struct timespec dgram_calc_time(const dgram_idx *di, ssize_t dseq, off_t offset) noexcept
{
    lfx_assert(di);
    const ssize_t given = dseq;
    if (dseq < 1) dseq = dgram_find_seq(di, dseq, offset);
    if (dseq < 0 || size_t(dseq) >= di->seq.len || offset < seq_at(di, size_t(dseq))->offset) {
        log_warn("%s: DI(%p) dseq=%ld: no sequence holds offset=%ld\n", __func__,
                 static_cast<const void *>(di), long(given), long(offset));
        return timespec{-1, 0};
    }
    const dgram_seq *s = seq_at(di, size_t(dseq));
    if (offset >= seq_end(s)) {
        log_dbg("%s: DI(%p) dseq=%ld: offset=%ld >= max_offset=%ld, time=now\n", __func__,
                static_cast<const void *>(di), long(given), long(offset), long(seq_end(s)));
        return *rqs_now_ref();
    }

    const size_t pkt = size_t(offset - s->offset) / s->pkt_size;
    const char *method;
    unsigned long delta_ms = 0;
    struct timespec tm;
    if (pkt == 0) {
        method = "first_io";
        tm = s->first_io;
    } else if (pkt == s->count - 1) {
        method = "last_io";
        tm = s->last_io;
        delta_ms = (unsigned long)elapsed_ms(&s->first_io, &s->last_io);
    } else {
        method = "approx";
        // The packets before this one fill the slots in order; the packet
        // lies that far into the slot where they run out.
        uint64_t left = pkt;
        for (size_t slot = 0; slot <= s->max_tslot && slot < MAX_TSLOTS; ++slot) {
            const uint32_t c = s->tslot_count[slot];
            if (left < c) {
                delta_ms += (unsigned long)((unsigned __int128)di->tslot_ms * left / c);
                break;
            }
            left -= c;
            delta_ms += di->tslot_ms;
            if (left == 0) break;
        }
        tm = plus_ms(s->first_io, delta_ms);
    }
    log_dbg("%s: DI(%p) dseq=%ld SEQ[%ld] offset=%ld, dgram[%ld], method=%s, delta_ms=%ld\n",
            __func__, static_cast<const void *>(di), long(given), long(dseq), long(offset),
            long(pkt), method, long(delta_ms));
    return tm;
}

off_t first_dseq_offset(const dgram_idx *di, ssize_t dseq) noexcept
{
    lfx_assert(di);
    if (!di->seq.data) return 0;
    if (dseq < 0) dseq = 0;
    if (size_t(dseq) >= di->seq.len) return -1;
    const dgram_seq *s = seq_at(di, size_t(dseq));
    lfx_assert(s->first_pat <= s->count);
    if (s->first_pat == 0) return s->offset;
    log_dbg("%s: using first_pat=%u\n", __func__, s->first_pat);
    return pkt_offset(s, s->first_pat - 1);
}

off_t last_dseq_offset(const dgram_idx *di, ssize_t dseq) noexcept
{
    lfx_assert(di);
    if (!di->seq.data) return 0;
    if (dseq < 0) dseq = 0;
    if (size_t(dseq) >= di->seq.len) return -1;
    const dgram_seq *s = seq_at(di, size_t(dseq));
    lfx_assert(s->last_pat <= s->count);
    if (s->last_pat == 0) return pkt_offset(s, s->count - 1);
    log_dbg("%s: using last_pat=%u\n", __func__, s->last_pat);
    return pkt_offset(s, s->last_pat - 1);
}
