#include "mmr.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "iflag.h"
#include "log.h"
#include "mpegts.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

struct mm_ring {
    bool is_ready;
    uint8_t *buf;       // start of the mapping
    size_t buflen;      // capacity
    size_t mm_len;      // the address range of all three mappings: 2 x buflen + one page
    size_t ts_len;      // packet length, 0 until the first anchoring
    int sfd;            // the object's descriptor while mapping, -1 after
    char sname[SNAME_LEN];
    uint8_t *ext;       // the mirror, buf + buflen
    void *ddz;          // the guard page, buf + 2 x buflen
    size_t ddz_len;
    ssize_t pld_pos;    // first payload byte, -1 while not anchored
    size_t pld_size;    // payload bytes waiting
    uint64_t flags;
    size_t max_tspkt_len;
    mm_stats st;
    bool sync_lost;     // the payload start is no confirmed packet start
    size_t lost_len;    // bytes skipped since the sync was lost
    // While the sync is lost: where, from the payload start, the stretch
    // without a sync byte that counts against the stream begins (negative
    // when it began in bytes already skipped).  Kept across calls, so that
    // a search that waits for bytes goes on where it stopped.
    ssize_t quiet_at;
    bool in_ended;      // no byte follows what the ring holds
};

namespace {

// Rings made by this process; names them.
unsigned g_ring_count = 0;

// A transport stream shows a packet start within its first packet length;
// a candidate is probed over at most this many bytes, enough to see the
// sync bytes of two further packets of the longest length.
constexpr size_t HEAD_WINDOW = MAX_TS_LEN;
constexpr size_t PROBE_SPAN = 2 * TS_MAX_PKTSIZE + 1;
// A stretch this long without a sync byte is no transport stream.
constexpr size_t SYNC_SEARCH = MAX_TS_LEN + 1;
// After a lost sync, a sync byte starts packets again only when the next
// RESYNC_BOUNDARIES packet boundaries hold sync bytes too: 0x47 is common
// inside payloads, and one boundary alone would be matched by chance at
// one break in 256.
constexpr size_t RESYNC_BOUNDARIES = 2;
// Junk skipped after a lost sync before the stream is given up on.
constexpr size_t MAX_RESYNC_SKIP = 65536;

enum head_verdict { HEAD_FOUND, HEAD_UNDECIDED, HEAD_NONE };

// Where the stream in p[0..n) begins and its packet length.  Undecided
// while a candidate is too short to probe, or only one packet long (a
// single packet proves no length), or while fewer than HEAD_WINDOW bytes
// have come without a candidate; none only when every candidate inside the
// window has been probed and failed.  Once n reaches HEAD_WINDOW +
// PROBE_SPAN every candidate can be probed, so the verdict is final.
head_verdict find_stream_head(const uint8_t *p, size_t n, size_t *off, size_t *plen)
{
    for (size_t k = 0; k < n && k < HEAD_WINDOW; ++k) {
        if (p[k] != TS_SYNC) continue;
        const size_t span = std::min(n - k, PROBE_SPAN);
        const ssize_t r = ts_probe(p + k, span, false);
        if (r == -1) return HEAD_UNDECIDED;
        if (r > 0) {
            if (span <= size_t(r)) return HEAD_UNDECIDED;
            *off = k;
            *plen = size_t(r);
            return HEAD_FOUND;
        }
    }
    return n >= HEAD_WINDOW ? HEAD_NONE : HEAD_UNDECIDED;
}

// The length of a full output datagram: the largest one cut down to whole
// packets.
size_t dgram_len(const mm_ring *r)
{
    const size_t maxlen = r->max_tspkt_len ? r->max_tspkt_len : MAX_TSPKT_LEN;
    return maxlen / r->ts_len * r->ts_len;
}

size_t wrap(const mm_ring *r, size_t pos) { return pos >= r->buflen ? pos - r->buflen : pos; }

// Drops d payload bytes (at most all of them) from the front.
void skip_bytes(mm_ring *r, size_t d)
{
    lfx_assert(r->pld_pos >= 0 && d <= r->pld_size);
    r->pld_pos = ssize_t(wrap(r, size_t(r->pld_pos) + d));
    r->pld_size -= d;
}

void shift2sync(mm_ring *r, size_t d)
{
    log_warn("%s: [%s] shifting %zu bytes to TS-sync\n", "shift2sync", r->sname, d);
    lfx_assert(d < r->pld_size);
    skip_bytes(r, d);
}

// Whole packets from the payload start (a sync byte), at most limit.  A
// packet counts when the byte after it is a sync byte, or when the input
// has ended right after it: the newest packet waits for the next one to
// begin, since the origin may have cut it short.  A boundary without a
// sync byte stops the count and sets *lost: the packet in front of it may
// have been cut by what follows, so it is not sent.
size_t count_ts_pkts(const mm_ring *r, size_t limit, bool *lost)
{
    *lost = false;
    const uint8_t *p = r->buf + r->pld_pos;
    const size_t len = r->ts_len, size = r->pld_size;
    size_t n = 0;
    for (size_t at = 0; n < limit && size - at >= len; at += len) {
        if (size - at == len) {
            if (r->in_ended) ++n;
            break;
        }
        if (p[at + len] != TS_SYNC) {
            log_warn("%s: lost TS-sync after %zd packets\n", "count_ts_pkts", ssize_t(n));
            *lost = true;
            break;
        }
        ++n;
    }
    return n;
}

// Whether the candidate packet start c is confirmed: the next
// RESYNC_BOUNDARIES boundaries hold sync bytes.  Undecided (-1) while they
// have not all arrived; once the input has ended, the boundaries that came
// decide, with the data ending on a boundary.  The data's end alone
// confirms nothing: a lone candidate the end follows is any 188 bytes that
// happen to begin with 0x47, so at least one boundary must hold a sync
// byte.
int confirm(const mm_ring *r, const uint8_t *p, size_t c)
{
    const size_t size = r->pld_size, len = r->ts_len;
    if (size - c <= RESYNC_BOUNDARIES * len && !r->in_ended) return -1;
    if (size - c <= RESYNC_BOUNDARIES * len && ((size - c) % len != 0 || size - c == len))
        return 0;
    for (size_t k = 1; k <= RESYNC_BOUNDARIES && c + k * len < size; ++k)
        if (p[c + k * len] != TS_SYNC) return 0;
    return 1;
}

// Finds the next confirmed packet start, searching the payload from offset
// `from` on, and skips what lies before it.  Candidates are sync bytes in
// order; one is confirmed when the next RESYNC_BOUNDARIES boundaries hold
// sync bytes too, refused when one does not, and waited for (everything
// before it skipped) while they have not all arrived.  The stretch without
// a sync byte that counts against the stream begins at `quiet` (the
// boundary where the sync broke: before it lies the payload of the packet
// in front of the break) or after the last sync byte seen, whichever is
// later; where it begins is kept across calls, so the search's verdict does
// not depend on how the bytes arrive.  0 once synchronised; 11 (EAGAIN)
// while waiting; -14 when that stretch reaches SYNC_SEARCH bytes, or after
// MAX_RESYNC_SKIP bytes skipped since the sync was lost.  What is skipped
// is gone and a wait keeps only what follows it, so each byte is looked at
// a bounded number of times over all calls.
int resync(mm_ring *r, size_t from, ssize_t quiet)
{
    static constexpr const char *fn = "mmr_oget";
    r->sync_lost = true;
    const uint8_t *p = r->buf + r->pld_pos;
    const size_t size = r->pld_size;
    size_t skip = size;
    bool found = false, dead = false;
    while (from < size) {
        // The stretch begins at or after from, and a longer one than
        // SYNC_SEARCH ends the search: no need to look further.
        lfx_assert(quiet + ssize_t(SYNC_SEARCH) > ssize_t(from));
        const size_t stop = std::min(size, size_t(quiet + ssize_t(SYNC_SEARCH)));
        const auto *hit = static_cast<const uint8_t *>(memchr(p + from, TS_SYNC, stop - from));
        if (!hit) {
            dead = ssize_t(stop) - quiet >= ssize_t(SYNC_SEARCH);
            break;  // all bytes hold no candidate: skipped
        }
        const size_t c = size_t(hit - p);
        const int v = confirm(r, p, c);
        if (v != 0) {
            skip = c;
            found = v > 0;
            break;
        }
        from = c + 1;
        quiet = std::max(quiet, ssize_t(from));
    }
    if (!dead) {
        skip_bytes(r, skip);
        r->quiet_at = quiet - ssize_t(skip);
        r->lost_len += skip;
        dead = r->lost_len > MAX_RESYNC_SKIP;
    }
    if (dead) {
        log_err("%s: [%s] not a TS stream, giving up\n", fn, r->sname);
        return -14;
    }
    if (!found) {
        if (skip)
            log_dbg("%s: [%s] skipped %zu bytes, TS-sync not found yet\n", fn, r->sname, skip);
        return EAGAIN;
    }
    log_warn("%s: [%s] shifting %zu bytes to TS-sync\n", "shift2sync", r->sname, r->lost_len);
    r->sync_lost = false;
    r->lost_len = 0;
    return 0;
}

void unmap(const char *what, const char *name, void *addr, size_t len)
{
    if (munmap(addr, len) != 0) {
        const int err = errno;
        log_err("%s: %s [%s] munmap(%p, ..) ERROR(%d): %s\n", "mmr_destroy", what, name, addr,
                err, strerror(err));
    }
}

}  // namespace

int mmr_create(mmr_t *ring, size_t bufsz) noexcept
{
    static constexpr const char *fn = "mmr_create";
    lfx_assert(ring);
    const long page = sysconf(_SC_PAGESIZE);
    lfx_assert(page > 0);
    const size_t psz = size_t(page);
    lfx_assert(bufsz >= MMR_MIN_BUFSZ && bufsz % psz == 0);

    auto *r = static_cast<mm_ring *>(W_calloc(fn, 1, sizeof(mm_ring)));
    if (!r) return ENOMEM;
    r->sfd = -1;
    r->pld_pos = -1;
    r->buflen = bufsz;

    const int num = int(++g_ring_count);
    const int nlen = snprintf(r->sname, sizeof(r->sname), "/mmr.%u.%d", unsigned(getpid()), num);
    lfx_assert(nlen > 0 && size_t(nlen) < sizeof(r->sname));
    // An anonymous object: no other process can open, take or block its
    // name, and nothing is left behind in /dev/shm when the daemon dies.
    // The name only labels it in /proc/<pid>/maps and in the log.
    r->sfd = memfd_create(r->sname, MFD_CLOEXEC);
    if (r->sfd < 0) {
        const int err = errno;
        log_err("%s: memfd_create(%s) ERROR(%d): %s\n", fn, r->sname, err, strerror(err));
        free(r);
        // Out of memory or descriptors: the daemon's trouble, not the
        // request's.
        return err == EINVAL ? ENOMEM : err;
    }

    // The object holds the ring and the guard page; the mirror maps the
    // ring's bytes a second time, so they cost memory only once.
    const size_t objlen = bufsz + psz;
    const size_t total = 2 * bufsz + psz;
    int rc = W_ftruncate(fn, r->sfd, off_t(objlen));
    if (rc == 0) {
        // The space is reserved now: memory that cannot be had must fail the
        // creation, not a write into the mapping later (SIGBUS).
        rc = posix_fallocate(r->sfd, 0, off_t(objlen));
        if (rc == EINVAL) rc = ENOMEM;
        if (rc != 0)
            log_err("%s: posix_fallocate(%s, %zu) ERROR(%d): %s\n", fn, r->sname, objlen, rc,
                    strerror(rc));
    }
    if (rc == 0) {
        // The whole address range first, without access, so that the three
        // mappings below land side by side where nothing else can be.
        void *p = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                       -1, 0);
        if (p != MAP_FAILED) {
            r->buf = static_cast<uint8_t *>(p);
            r->mm_len = total;
            p = mmap(p, bufsz, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE | MAP_FIXED,
                     r->sfd, 0);
        }
        if (p == MAP_FAILED) {
            const int err = errno;
            log_err("%s: mmap(NULL, %lu, .., fd%d, 0) ERROR(%d): %s\n", fn, (unsigned long)bufsz,
                    r->sfd, err, strerror(err));
            rc = ENOMEM;
        }
    }
    if (rc == 0) {
        void *want = r->buf + bufsz;
        void *p = mmap(want, bufsz, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE | MAP_FIXED,
                       r->sfd, 0);
        if (p == MAP_FAILED) {
            const int err = errno;
            log_err("%s: mmap(%p, %lu, .., fd%d, 0) ERROR(%d): %s\n", fn, want,
                    (unsigned long)bufsz, r->sfd, err, strerror(err));
            rc = ENOMEM;
        } else {
            r->ext = static_cast<uint8_t *>(p);
        }
    }
    if (rc == 0) {
        void *want = r->buf + 2 * bufsz;
        void *p = mmap(want, psz, PROT_NONE, MAP_SHARED | MAP_FIXED, r->sfd, off_t(bufsz));
        if (p == MAP_FAILED) {
            const int err = errno;
            log_err("%s: DDZ mmap(%p, %lu, .., fd%d, 0) ERROR(%d): %s\n", fn, want,
                    (unsigned long)psz, r->sfd, err, strerror(err));
            rc = ENOMEM;
        } else {
            r->ddz = p;
            r->ddz_len = psz;
        }
    }
    if (rc != 0) {
        mmr_destroy(r);
        return rc;
    }
    // The mappings keep the object; its descriptor would only count against
    // the descriptors the daemon reserves per task.
    W_close(fn, r->sfd);
    r->sfd = -1;
    r->max_tspkt_len = MIN_PKT_SIZE;
    r->is_ready = true;
    log_dbg("%s: %s OK\n", fn, r->sname);
    *ring = r;
    return 0;
}

void mmr_destroy(mmr_t ring) noexcept
{
    if (!ring) return;
    if (ring->ddz) unmap("DDZ", ring->sname, ring->ddz, ring->ddz_len);
    if (ring->ext) unmap("EXT", ring->sname, ring->ext, ring->buflen);
    if (ring->buf) unmap("BUF", ring->sname, ring->buf, ring->mm_len);
    // The object goes with its last mapping and descriptor.
    if (ring->sfd >= 0) W_close("mmr_destroy", ring->sfd);
    free(ring);
}

void mmr_reset(mmr_t ring) noexcept
{
    lfx_assert(ring);
    if (ring->pld_size > 0)
        log_info("%s: resetting (%p) from pos/size = %ld/%zu\n", "mmr_reset",
                 static_cast<void *>(ring), long(ring->pld_pos), ring->pld_size);
    else
        log_dbg("%s: (%p) already empty: pos/size = %ld/%zu\n", "mmr_reset",
                static_cast<void *>(ring), long(ring->pld_pos), ring->pld_size);
    ring->pld_pos = -1;
    ring->pld_size = 0;
    ring->sync_lost = false;
    ring->lost_len = 0;
    ring->quiet_at = 0;
    ring->in_ended = false;
}

void mmr_end_input(mmr_t ring) noexcept
{
    lfx_assert(ring);
    ring->in_ended = true;
}

uint8_t *mmr_iget(mmr_t ring, mm_point *pt) noexcept
{
    lfx_assert(ring && pt);
    if (ring->pld_size >= ring->buflen) return nullptr;
    // Bytes kept while the stream's start is still undecided lie from 0 on.
    const size_t pos = ring->pld_pos < 0 ? ring->pld_size
                                         : wrap(ring, size_t(ring->pld_pos) + ring->pld_size);
    lfx_assert(pos < ring->buflen);
    pt->pos = ssize_t(pos);
    pt->len = ring->buflen - ring->pld_size;
    return ring->buf + pos;
}

int mmr_iput(mmr_t ring, const mm_point *pt) noexcept
{
    static constexpr const char *fn = "mmr_iput";
    lfx_assert(ring && pt);
    lfx_assert(ring->pld_size + pt->len <= ring->buflen);
    if (ring->pld_pos < 0) lfx_assert(pt->pos == ssize_t(ring->pld_size));
    ring->pld_size += pt->len;
    if (ring->pld_pos >= 0) return 0;

    size_t k = 0, plen = 0;
    switch (find_stream_head(ring->buf, ring->pld_size, &k, &plen)) {
    case HEAD_UNDECIDED:
        log_dbg("%s: [%s] %zu bytes, too few to tell the TS packet length\n", fn, ring->sname,
                ring->pld_size);
        return 0;
    case HEAD_NONE:
        log_err("%s: no TS header (buflen=%zd); non-TS stream?\n", fn, ssize_t(ring->pld_size));
        return -14;
    case HEAD_FOUND:
        break;
    }
    lfx_assert(k < ring->pld_size);
    if (k > 0)
        log_warn("%s: UNALIGNED data: TS starts at byte %zd, orig/adj_len: %zd/%zd bytes\n", fn,
                 ssize_t(k), ssize_t(ring->pld_size), ssize_t(ring->pld_size - k));
    // The probe has confirmed the packet at k: the payload starts there.
    ring->pld_pos = ssize_t(k);
    ring->pld_size -= k;
    ring->ts_len = plen;
    log_info("%s: [%s] TS pkt_len=%zu\n", fn, ring->sname, ring->ts_len);
    return 0;
}

int mmr_oget(mmr_t ring, struct iovec *iov, size_t *count) noexcept
{
    static constexpr const char *fn = "mmr_oget";
    lfx_assert(ring && iov && count && *count >= 1);
    const size_t want = *count;
    *count = 0;
    // Not anchored yet: the stream's start is still undecided.
    if (ring->pld_pos < 0) return EAGAIN;
    lfx_assert(ring->ts_len > 0 && ring->ts_len < MAX_TS_LEN);

    const size_t dlen = dgram_len(ring);
    // Aligned output cuts a datagram as soon as its dlen bytes of whole
    // packets are there: waiting for more would hold a full datagram until
    // the origin's next bytes.
    const size_t threshold = (ring->flags & MMR_ODGRAM_ALIGN) != 0 ? dlen - 1 : 0;

    // Each entry may carry a whole datagram of dlen bytes.
    const size_t limit = want * (dlen / ring->ts_len);
    size_t n = 0;
    // Each pass either fills entries or skips bytes, so the passes end.
    for (;;) {
        // The payload starts at a confirmed packet start unless the sync
        // was lost: a byte there other than 0x47, a packet in front of a
        // boundary without one, or a search still waiting for bytes.
        if (ring->pld_size == 0) return EAGAIN;
        const uint8_t *p = ring->buf + ring->pld_pos;
        const bool at_sync = p[0] == TS_SYNC;
        if (ring->sync_lost || !at_sync ||
            (ring->pld_size > ring->ts_len && p[ring->ts_len] != TS_SYNC)) {
            // A packet in front of a broken boundary is dropped: the search
            // starts after its sync byte.
            const bool drop_front = at_sync && !ring->sync_lost;
            const ssize_t quiet = drop_front        ? ssize_t(ring->ts_len)
                                  : ring->sync_lost ? ring->quiet_at
                                                    : 0;
            const int rc = resync(ring, drop_front ? 1 : 0, quiet);
            if (rc != 0) return rc;
        }

        bool lost = false;
        const size_t pk = count_ts_pkts(ring, limit, &lost);
        if (pk == 0) return EAGAIN;

        size_t l_emit = std::min(pk, limit) * ring->ts_len;
        size_t l_wait = pk * ring->ts_len;
        const size_t expected = std::min(want, (l_emit + dlen - 1) / dlen);
        size_t pos = size_t(ring->pld_pos);
        // Once the input has ended, nothing more comes to fill a datagram:
        // aligned output sends the full-size ones left.
        while (n < want && l_emit > 0 &&
               (l_wait > threshold || (ring->in_ended && l_emit >= dlen))) {
            const size_t len = std::min(l_emit, dlen);
            lfx_assert(ring->buf[pos] == TS_SYNC);
            iov[n].iov_base = ring->buf + pos;
            iov[n].iov_len = len;
            pos = wrap(ring, pos + len);
            l_emit -= len;
            l_wait -= len;
            if (len > ring->st.max_dgram_len) ring->st.max_dgram_len = len;
            ++n;
        }
        *count = n;
        if (n == 0 && iflag("TRACK_ZMSG"))
            log_warn("%s: no messages, len=%zu\n", fn, ring->pld_size);
        log_dbg("%s: messages exp/packed=%ld/%ld\n", fn, long(expected), long(n));
        if (n > 0 || !lost) break;
        // Aligned output holds packets in front of a break that will never
        // fill a datagram: they are skipped, and the search goes on at once
        // rather than waiting for the next read.
        log_warn("%s: LOST-SYNC-JUMP over %zd TS packets\n", fn, ssize_t(pk));
        shift2sync(ring, pk * ring->ts_len);
    }
    return n ? 0 : EAGAIN;
}

bool mmr_oready(mmr_t ring) noexcept
{
    lfx_assert(ring);
    if (ring->pld_pos < 0 || ring->pld_size == 0) return false;
    const uint8_t *p = ring->buf + ring->pld_pos;
    const size_t len = ring->ts_len, size = ring->pld_size;
    // A payload that does not start in step with the stream is mmr_oget's
    // to sort out: a search may find packets in what is there.
    if (ring->sync_lost || p[0] != TS_SYNC) return true;
    const bool aligned = (ring->flags & MMR_ODGRAM_ALIGN) != 0;
    const size_t need = aligned ? dgram_len(ring) : len;
    // The packets counted as count_ts_pkts does, without its log: only as
    // far as one datagram needs.
    size_t at = 0;
    for (; at < need && size - at >= len; at += len) {
        if (size - at == len) return ring->in_ended && at + len >= need;
        if (p[at + len] != TS_SYNC) return true;  // a break: the search decides
    }
    return at >= need;
}

ssize_t mmr_oput(mmr_t ring, const struct iovec *iov, size_t count) noexcept
{
    lfx_assert(ring && (iov || count == 0));
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += iov[i].iov_len;
    lfx_assert(ring->pld_size >= total);
    if (total > 0) {
        lfx_assert(ring->pld_pos >= 0);
        ring->pld_pos = ssize_t(wrap(ring, size_t(ring->pld_pos) + total));
        ring->pld_size -= total;
    }
    return ssize_t(ring->pld_size);
}

void mmr_set_flags(mmr_t ring, uint64_t flags) noexcept { ring->flags = flags; }
uint64_t mmr_get_flags(mmr_t ring) noexcept { return ring->flags; }

int mmr_set_tspkt_len(mmr_t ring, size_t len) noexcept
{
    if (len < MIN_TS_LEN || len > MAX_TSPKT_LEN) {
        log_err("%s: invalid value: %zu (%d..%d)\n", "mmr_set_tspkt_len", len, int(MIN_TS_LEN),
                int(MAX_TSPKT_LEN));
        return -1;
    }
    ring->max_tspkt_len = len;
    return 0;
}

mm_stats mmr_get_stats(mmr_t ring) noexcept { return ring->st; }
size_t mmr_buflen(mmr_t ring) noexcept { return ring->buflen; }
size_t mmr_pld_size(mmr_t ring) noexcept { return ring->pld_size; }
size_t mmr_ts_len(mmr_t ring) noexcept { return ring->ts_len; }
const char *mmr_name(mmr_t ring) noexcept { return ring->sname; }
size_t mmr_max_tspkt_len(mmr_t ring) noexcept { return ring->max_tspkt_len; }
