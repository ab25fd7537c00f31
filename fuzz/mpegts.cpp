// Transport-stream recognition over arbitrary bytes: the probe, the head
// search and the PCR readers must stay inside the buffer, end, and agree
// with each other.
#include "fuzz_target.h"

#include <cstdio>
#include <cstring>

#include "log.h"
#include "mpegts.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

bool is_pkt_size(ssize_t n)
{
    for (size_t s : TS_PKT_SIZES)
        if (n == ssize_t(s)) return true;
    return false;
}

// The head search written as a plain scan of every offset.
ssize_t find_head_model(const uint8_t *data, size_t size, size_t *pkt_len)
{
    for (size_t k = 0; k < size; ++k) {
        if (data[k] != MPEG_TS_SYNC) continue;
        ssize_t n = ts_probe(data + k, size - k, false);
        if (n > 0) {
            *pkt_len = size_t(n);
            return ssize_t(k);
        }
        if (k > 206) break;
    }
    return -1;
}

void check_pcr(const uint8_t *data, size_t size, size_t pkt_len)
{
    uint64_t first = P2_33, last = P2_33;
    int rf = find_first_pcr(data, size, pkt_len, &first);
    int rl = find_last_pcr(data, size, pkt_len, &last);
    check(rf == rl);  // both see the same packets
    check(rf == 0 ? first < P2_33 && last < P2_33 : rf == -1 && first == P2_33 && last == P2_33);
    if (rf == 0) {
        uint64_t d = ts_pcr_delta(first, last);
        check(d <= MAX_PCR_GAP || first == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Lines go to /dev/null: the formatting runs, nothing piles up.
    static const bool log_ready = [] {
        if (FILE *fp = fopen("/dev/null", "w")) log_default(&g_log, fp);
        return true;
    }();
    (void)log_ready;
    // Debug lines only for half the inputs: they cost a write each.
    g_mod_ll[LM_STREAM] = (size & 1) ? DEBUG_level : NORM_level;

    for (bool full : {false, true}) {
        ssize_t n = ts_probe(data, size, full);
        if (n > 0) {
            check(is_pkt_size(n) && size >= size_t(n));
            for (size_t k = 0; k < size; k += size_t(n)) check(data[k] == MPEG_TS_SYNC);
            if (full) check(size % size_t(n) == 0);
        } else if (n == -22) {
            check(size > 0 && data[0] != MPEG_TS_SYNC);
        } else {
            check(n == -1 || n == -3);
        }
    }

    size_t pkt_len = 0, model_len = 0;
    ssize_t k = ts_find_head(data, size, &pkt_len);
    check(k == find_head_model(data, size, &model_len) && pkt_len == model_len);
    if (k >= 0) {
        check(size_t(k) < size && data[k] == MPEG_TS_SYNC && is_pkt_size(ssize_t(pkt_len)));
        check(size - size_t(k) >= pkt_len);
        check_pcr(data + k, size - size_t(k), pkt_len);
    }
    for (size_t s : TS_PKT_SIZES)
        if (size >= s) check_pcr(data, size, s);

    if (size >= 16) {
        uint64_t a, b;
        memcpy(&a, data, 8);
        memcpy(&b, data + 8, 8);
        uint64_t d = ts_pcr_delta(a, b);
        check(d <= MAX_PCR_GAP || a == 0);
        check(ts_pcr_delta(a % P2_33, b % P2_33) <= MAX_PCR_GAP || a % P2_33 == 0);
    }
    g_mod_ll[LM_STREAM] = NORM_level;
    return 0;
}
