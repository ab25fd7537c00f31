// Stream and RTP probing and the datagram index over arbitrary bytes: the
// probes must stay inside the lengths they are given and agree with what
// they report; the index must refuse what does not fit and keep its
// sequences tiling the record, whatever datagrams, offsets and clock it
// meets.
//
// Input: one byte choosing the index's time-out, then datagrams, each
// after a 4-byte head: length (2 bytes, big-endian, modulo 4096), loop
// clock step (in 20 ms), flags (0x80: offset skewed by the low 7 bits less
// 64; 0x40: an empty datagram first; 0x01: reset the index first).
#include "fuzz_target.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "dgram.h"
#include "dstream.h"
#include "log.h"
#include "mpegts.h"
#include "rqs.h"
#include "rtp.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

using bytes = std::vector<uint8_t>;

bool is_pkt_size(ssize_t n)
{
    for (size_t s : TS_PKT_SIZES)
        if (n == ssize_t(s)) return true;
    return false;
}

void check_found(const uint8_t *buf, size_t len, size_t plen, uint32_t idx,
                 bool (*test)(const uint8_t *))
{
    if (idx == 0) return;
    const size_t off = size_t(idx - 1) * plen;
    check(off + TS_PKT_BYTES <= len);
    check(test(buf + off));
}

// The packet tests on one packet copied to a buffer of exactly 188 bytes.
void probe_packet(const uint8_t *src)
{
    bytes pkt(src, src + TS_PKT_BYTES);
    const uint8_t *p = pkt.data();
    const uint8_t *pl = ts_get_payload(p);
    check(!pl || (pl >= p + 4 && pl < p + TS_PKT_BYTES));
    const int pic = pes_mpeg2_pic(p);
    check(pic == -1 || pic == 'I' || pic == 'P' || pic == 'B' || pic == 'D' || pic == 'x');
    check(!ts_has_video_iframe(p) || ts_has_iframe(p));
    check(has_iframe(p) == (ts_has_video_iframe(p) || pic == 'I'));
    (void)ts_has_pat(p);
    (void)ts_has_pcr(p);
}

void probe_buffer(const uint8_t *data, size_t size)
{
    bytes buf(data, data + size);  // exact size, so overreads are caught
    const uint8_t *b = buf.data();

    ssize_t plen = 0;
    size_t count = 0;
    sseg_ctx s{1, 1, 0, 1};
    const uint32_t type = probe_segment(b, size, 0, &plen, &count, &s);
    if (type == STY_MPEGTS) {
        check(is_pkt_size(plen) && size % size_t(plen) == 0 && count == size / size_t(plen));
        for (size_t k = 0; k < size; k += size_t(plen)) check(b[k] == MPEG_TS_SYNC);
        check_found(b, size, size_t(plen), s.pat_idx, ts_has_pat);
        check_found(b, size, size_t(plen), s.pcr_idx, ts_has_pcr);
        check_found(b, size, size_t(plen), s.iframe_idx, has_iframe);
    } else {
        check(type == STY_RAW && plen == ssize_t(size) && count == 1);
        check(s.pat_idx == 0 && s.pcr_idx == 0 && s.iframe_idx == 0);
    }
    // A caller's packet length, plausible or not.
    for (ssize_t given : {ssize_t(188), ssize_t(204), ssize_t(size ? b[0] : 1) + 1}) {
        sseg_ctx t{1, 1, 0, 1};
        ssize_t pl = given;
        size_t cnt = 77;
        check(probe_segment(b, size, STY_MPEGTS, &pl, &cnt, &t) == STY_MPEGTS);
        check(pl == given && cnt == 77);
        check_found(b, size, size_t(given), t.pat_idx, ts_has_pat);
        check_found(b, size, size_t(given), t.pcr_idx, ts_has_pcr);
    }

    const ssize_t hlen = rtp_header_len(b, size);
    check(hlen == -12 || (hlen >= 12 && size_t(hlen) <= size));
    const ssize_t flen = rtp_footer_len(b, size);
    check(flen >= 0 && flen <= 255 && (size || flen == 0));
    if (is_rtp_pkt(b, size)) check(size > RTP_HDR_SIZE && b[12] == MPEG_TS_SYNC && hlen == 12);

    for (uint32_t hints : {0u, uint32_t(XF_NO_RTP)}) {
        bytes work(buf);
        size_t outlen = 0;
        uint32_t st = 0;
        const int rc = xtract_ts_payload(work.data(), size, &outlen, &st, hints);
        if (rc == 0 && st == STY_RTP) {
            check(!hints && outlen >= TS_MIN_PKTSIZE && outlen <= size - RTP_HDR_SIZE);
            check(memcmp(work.data(), b + RTP_HDR_SIZE, outlen) == 0);
        } else if (rc == 0) {
            check(outlen == 0 && work == buf);
            check(st == (size && b[0] == MPEG_TS_SYNC ? STY_MPEGTS : STY_RAW));
        } else {
            check(rc == -1 && !hints && st == 0);
        }
    }

    for (size_t k = 0; k + TS_PKT_BYTES <= size && k < 4 * TS_PKT_BYTES; k += 61)
        probe_packet(b + k);
    for (uint8_t id : {uint8_t(0x00), uint8_t(0xB3), uint8_t(0xE0)}) {
        const ssize_t at = pes_find_stream_id(b, b + size, id);
        check(at == -1 || (size_t(at) + 4 < size && b[at + 3] == id));
    }
}

const dgram_seq *seq_at(const dgram_idx *di, size_t i)
{
    return static_cast<const dgram_seq *>(di->seq.data) + i;
}

off_t seq_end(const dgram_seq *s)
{
    return s->offset + off_t(s->count * s->pkt_size);
}

void check_index(const dgram_idx *di)
{
    for (size_t i = 0; i < di->seq.len; ++i) {
        const dgram_seq *s = seq_at(di, i);
        check(s->pkt_size > 0 && s->count > 0 && s->max_tslot < MAX_TSLOTS);
        check(s->first_pat <= s->count && s->last_pat <= s->count);
        check((s->first_pat == 0) == (s->last_pat == 0) && s->first_pat <= s->last_pat);
        uint64_t in_slots = 0;
        for (uint32_t c : s->tslot_count) in_slots += c;
        check(in_slots == s->count);
        if (i + 1 < di->seq.len) check(seq_end(s) == seq_at(di, i + 1)->offset);
    }
}

void query_index(const dgram_idx *di, off_t rec_len)
{
    const ssize_t n = ssize_t(di->seq.len);
    for (ssize_t i = -1; i <= n; ++i) {
        const off_t first = first_dseq_offset(di, i), last = last_dseq_offset(di, i);
        if (i >= n || n == 0) {
            check(first == -1 && last == -1);
            continue;
        }
        const dgram_seq *s = seq_at(di, size_t(i < 0 ? 0 : i));
        check(first >= s->offset && first < seq_end(s) && last >= first && last < seq_end(s));
        for (off_t off : {s->offset, s->offset + 1, first, last, seq_end(s) - 1, seq_end(s),
                          seq_end(s) + 1, off_t(-1), rec_len}) {
            const ssize_t found = dgram_find_seq(di, i, off);
            check(found == -1 || (found >= (i < 0 ? 0 : i) && found < n &&
                                  off >= seq_at(di, size_t(found))->offset &&
                                  off <= seq_end(seq_at(di, size_t(found)))));
            const timespec t = dgram_calc_time(di, i, off);
            check(t.tv_sec == -1 || (t.tv_nsec >= 0 && t.tv_nsec < 1000000000L));
        }
    }
}

void run_index(const uint8_t *data, size_t size)
{
    if (size == 0) return;
    const unsigned long tmout_ms = 100 + 50ul * data[0];
    dgram_idx *di = mk_dgram_idx(1 + data[0] % 16, tmout_ms);
    check(di != nullptr);
    timespec now{1000, 0};
    rqs_test_set_now(&now);
    bytes rec;
    size_t pos = 1;
    while (size - pos >= 4) {
        const size_t len = (size_t(data[pos]) << 8 | data[pos + 1]) % 4096;
        const unsigned step = data[pos + 2], flags = data[pos + 3];
        pos += 4;
        const size_t take = std::min(len, size - pos);
        now.tv_sec += step / 50;
        now.tv_nsec += long(step % 50) * 20000000L;
        if (now.tv_nsec >= 1000000000L) {
            now.tv_nsec -= 1000000000L;
            ++now.tv_sec;
        }
        rqs_test_set_now(&now);
        if (flags & 0x01) {
            dgram_reset(di);
            rec.clear();
        }
        probe_buffer(data + pos, take);

        const off_t at = off_t(rec.size());
        rec.insert(rec.end(), data + pos, data + pos + take);
        rec.resize(rec.size() + 64);  // room for a skewed offset
        const size_t before = di->seq.len;
        if (flags & 0x40) check(dgram_add(di, 0, rec.data(), at) == -1);
        off_t off = at;
        if ((flags & 0x80) && off + (flags & 0x7f) >= 64) off += off_t(flags & 0x7f) - 64;
        const ssize_t got = take ? dgram_add(di, take, rec.data(), off) : -1;
        if (got >= 0) {
            check(size_t(got) + 1 == di->seq.len && di->seq.len - before <= 1);
        } else {
            check(di->seq.len == before);
        }
        // What the index does not hold is not in the record either.
        rec.resize(di->seq.len ? size_t(seq_end(seq_at(di, di->seq.len - 1))) : 0);
        check_index(di);
        pos += take;
    }
    query_index(di, off_t(rec.size()));
    free_dgram_idx(di);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool log_ready = [] {
        if (FILE *fp = fopen("/dev/null", "w")) log_default(&g_log, fp);
        return true;
    }();
    (void)log_ready;
    const int level = (size & 1) ? DEBUG_level : NORM_level;
    g_mod_ll[LM_STREAM] = g_mod_ll[LM_RTP] = level;

    probe_buffer(data, size);
    run_index(data, size);

    g_mod_ll[LM_STREAM] = g_mod_ll[LM_RTP] = NORM_level;
    return 0;
}
