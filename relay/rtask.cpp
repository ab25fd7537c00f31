#include "rtask.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cfg.h"
#include "log.h"
#include "rqs.h"
#include "syswrap.h"
#include "timeop.h"
#include "txtesc.h"
#include "uri.h"
#include "uricanon.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// The text of a 4-byte tag, terminated.
struct tag_text {
    char s[5];
    explicit tag_text(uint32_t num)
    {
        memcpy(s, &num, 4);
        s[4] = '\0';
    }
};

[[noreturn]] void bad_record(const char *fn, const rtask *t, const op_ctx &rec, int op)
{
    log_panic("%s: [%s] (%p) registration record tag=0x%04x op=%d/%d data=%p\n", fn,
              rta_label(t), static_cast<const void *>(t), rec.tag.num, rec.op, op, rec.data);
    lfx_abort();
}

void check_record(const char *fn, const rtask *t, const op_ctx &rec, int op)
{
    if (rec.tag.num != OPX_TAG || rec.op != op || rec.data != t) bad_record(fn, t, rec, op);
}

// Registers fd for reading or writing with rec as its context.
int add_registration(const char *fn, int fd, op_ctx &rec, bool is_read)
{
    const int rc = is_read ? rqs_add_reader(fd, &rec) : rqs_add_writer(fd, &rec);
    if (rc != 0) return rc;
    rec.is_active = true;
    if (is_read)
        log_dbg("%s: fd%d read-added\n", fn, fd);
    else
        log_dbg("%s: fd%d write-added\n", fn, fd);
    return 0;
}

int drop_registration(const char *fn, int fd, op_ctx &rec, bool is_read)
{
    const int rc = rqs_rm_fd(fd, is_read, !is_read);
    if (rc != 0) return rc;
    rec.is_active = false;
    if (is_read)
        log_dbg("%s: fd%d read-dropped\n", fn, fd);
    else
        log_dbg("%s: fd%d write-dropped\n", fn, fd);
    return 0;
}

int skip(const char *fn)
{
    log_dbg("%s: SKIP\n", fn);
    return 0;
}

void set_record(op_ctx &rec, int op, rtask *t)
{
    rec = op_ctx{};
    rec.tag.num = OPX_TAG;
    rec.op = op;
    rec.data = t;
}

bool is_set(const struct timespec &t) { return t.tv_sec != 0 || t.tv_nsec != 0; }

// A text value of the report, in double quotes.  Texts that clients name
// (URLs, client ids) could otherwise end the string early and break the
// whole report: quotes, backslashes and control characters are escaped.
void json_text(FILE *fp, const char *s)
{
    fputc('"', fp);
    for (const char *c = s ? s : ""; *c; ++c) {
        const auto u = static_cast<unsigned char>(*c);
        if (u == '"' || u == '\\')
            fprintf(fp, "\\%c", u);
        else if (u < 0x20 || u >= 0x7f)
            // Bytes beyond ASCII need not be UTF-8 here; escaped, the
            // report stays valid JSON whatever a client sent.
            fprintf(fp, "\\u%04x", u);
        else
            fputc(u, fp);
    }
    fputc('"', fp);
}

// Member names of the report that have a dashed form.
struct report_names {
    const char *kalv, *inkb, *oukb, *avgi, *avgo, *uasr;
};
constexpr report_names REPORT_NAMES[2] = {
    {"keepAlive", "inKb", "outKb", "avgIkps", "avgOkps", "usingAltSrc"},
    {"keep-alive", "in-Kb", "out-kb", "avg-ikps", "avg-okps", "using-alt-src"},
};
constexpr const char ASRP[] = "altSrcPresent";
// The alternate counts as present when it was read within this time.
constexpr long ALT_PRESENT_MS = 300;

}  // namespace

// --- labels, states, keys ------------------------------------------------------------

const char *rta_label(const rtask *t) noexcept
{
    if (!t->has_cid) return t->tid.sym8;
    bool plain = true;
    for (const char *p = t->hkey; *p && plain; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        plain = c >= 0x20 && c < 0x7f && c != '\\';
    }
    if (plain) return t->hkey;
    static char bufs[RTA_LABEL_BUFS][ESC_TEXT_ROOM];
    static int next = 0;
    char *buf = bufs[next];
    next = (next + 1) % RTA_LABEL_BUFS;
    return esc_text(t->hkey, sizeof(t->hkey), buf, ESC_TEXT_ROOM);
}

void rta_set_state(rtask *t, uint32_t st) noexcept
{
    log_dbg("%s: (%s) [%s]->[%s]\n", "rta_set_state", rta_label(t), tag_text(t->state.num).s,
            tag_text(st).s);
    t->state.num = st;
}

int rta_mk_key(char *buf, size_t len, const char *src, const char *dst, const char *alt) noexcept
{
    lfx_assert(buf && len >= 2 && src);
    if (alt && !*alt) alt = nullptr;
    // Endpoints go in canonical form, so that every spelling of one source
    // and destination (a request's, the task list's, the agent's) meets
    // the one task; a client id, and a text that is no endpoint URL, go as
    // written.
    char csrc[URI_CANON_MAX], cdst[URI_CANON_MAX], calt[URI_CANON_MAX];
    if (dst) {
        if (uri_canon(src, csrc, sizeof csrc) == 0) src = csrc;
        if (uri_canon(dst, cdst, sizeof cdst) == 0) dst = cdst;
        if (alt && uri_canon(alt, calt, sizeof calt) == 0) alt = calt;
    }
    int n;
    if (alt) {
        lfx_assert(dst != nullptr);
        n = snprintf(buf, len - 1, "%s+%s|%s", src, alt, dst);
    } else if (dst) {
        n = snprintf(buf, len - 1, "%s|%s", src, dst);
    } else {
        n = snprintf(buf, len - 1, "%s", src);
    }
    if (n < 1 || size_t(n) > len - 2) {
        log_err("%s: need a bigger buffer: have/need=%lu/%d\n", "rta_mk_key",
                (unsigned long)(len - 1), n);
        return -1;
    }
    return 0;
}

bool has_altinput(const rtask *t) noexcept { return t->altin.sockfd > 0; }

bool is_dgram_kind(int kind) noexcept { return kind == URI_UDP || kind == URI_RTP; }

bool is_dgram_url(const char *url) noexcept
{
    if (!url) return false;
    char scheme[URI_SCHEME_MAX];
    return is_dgram_kind(uri_extract(url, scheme, nullptr, nullptr, nullptr));
}

// --- event-loop registrations ------------------------------------------------------

int rta_ensure_keepalive(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_ensure_keepalive";
    lfx_assert(t->kafd >= 0);
    if (t->kar.is_active) return skip(fn);
    const int rc = rqs_add_reader(t->kafd, &t->kar);
    if (rc != 0) {
        log_err("%s: [%s] (%p) failed to add ka-reader fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->kafd);
        return rc;
    }
    t->kar.is_active = true;
    log_dbg("%s: set for fd%d\n", fn, t->kafd);
    return 0;
}

int rta_drop_keepalive(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_drop_keepalive";
    if (!t->kar.is_active) return 0;
    check_record(fn, t, t->kar, OP_KAR);
    const int rc = drop_registration(fn, t->kafd, t->kar, true);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to drop ka-reader fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->kafd);
    return rc;
}

int rta_ensure_reads(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_ensure_reads";
    check_record(fn, t, t->reader, OP_READ);
    if (t->reader.is_active) return skip(fn);
    const int rc = add_registration(fn, t->infd, t->reader, true);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to add reader fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->infd);
    return rc;
}

int rta_ensure_altrd(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_ensure_altrd";
    if (!has_altinput(t) || t->altin.reader.is_active) {
        log_dbg("%s: SKIP [%s,%s]\n", fn, has_altinput(t) ? "has-alt" : "no-alt",
                t->altin.reader.is_active ? "alt-on" : "alt-off");
        return 0;
    }
    check_record(fn, t, t->altin.reader, OP_ARD);
    const int rc = add_registration(fn, t->altin.sockfd, t->altin.reader, true);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to add reader fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->altin.sockfd);
    return rc;
}

int rta_ensure_writes(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_ensure_writes";
    check_record(fn, t, t->writer, OP_WRITE);
    if (t->writer.is_active) return skip(fn);
    const int rc = add_registration(fn, t->outfd, t->writer, false);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to add writer fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->outfd);
    return rc;
}

int rta_ensure_hsr(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_ensure_hsr";
    check_record(fn, t, t->hsr, OP_HSR);
    if (t->hsr.is_active) return skip(fn);
    const int rc = add_registration(fn, t->hshk_fd, t->hsr, true);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to add handshake-reader fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->hshk_fd);
    return rc;
}

int rta_ensure_hsw(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_ensure_hsw";
    check_record(fn, t, t->hsw, OP_HSW);
    if (t->hsw.is_active) return skip(fn);
    const int rc = add_registration(fn, t->hshk_fd, t->hsw, false);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to add handshake-writer fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->hshk_fd);
    return rc;
}

int rta_drop_reader(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_drop_reader";
    if (!t->reader.is_active) return 0;
    check_record(fn, t, t->reader, OP_READ);
    const int rc = drop_registration(fn, t->infd, t->reader, true);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to drop reader fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->infd);
    return rc;
}

int rta_drop_altrd(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_drop_altrd";
    if (!has_altinput(t)) {
        log_dbg("%s: SKIP on task=%p\n", fn, static_cast<void *>(t));
        return 0;
    }
    if (!t->altin.reader.is_active) return 0;
    check_record(fn, t, t->altin.reader, OP_ARD);
    const int rc = rqs_rm_fd(t->altin.sockfd, true, false);
    if (rc != 0) {
        log_err("%s: [%s] (%p) failed to drop reader fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->altin.sockfd);
        return rc;
    }
    t->altin.reader.is_active = false;
    log_dbg("%s: (ALT) fd%d read-dropped\n", fn, t->altin.sockfd);
    return 0;
}

int rta_drop_writer(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_drop_writer";
    if (!t->writer.is_active) return 0;
    check_record(fn, t, t->writer, OP_WRITE);
    const int rc = drop_registration(fn, t->outfd, t->writer, false);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to drop writer fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->outfd);
    return rc;
}

int rta_drop_hsr(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_drop_hsr";
    if (!t->hsr.is_active) return 0;
    check_record(fn, t, t->hsr, OP_HSR);
    const int rc = drop_registration(fn, t->hshk_fd, t->hsr, true);
    if (rc != 0)
        log_err("%s: [%s] (%p) failed to drop handshake-reader fd%d\n", fn, rta_label(t),
                static_cast<void *>(t), t->hshk_fd);
    return rc;
}

int rta_drop_hsw(rtask *t) noexcept
{
    static constexpr const char *fn = "rta_drop_hsw";
    if (!t->hsw.is_active) return 0;
    check_record(fn, t, t->hsw, OP_HSW);
    const int rc = drop_registration(fn, t->hshk_fd, t->hsw, false);
    if (rc != 0) log_err("%s: failed to drop writer fd%d\n", fn, t->hshk_fd);
    return rc;
}

void opx_setup(rtask *t) noexcept
{
    set_record(t->hsr, OP_HSR, t);
    set_record(t->hsw, OP_HSW, t);
    set_record(t->reader, OP_READ, t);
    set_record(t->writer, OP_WRITE, t);
    // The keep-alive link stays registered while the task is suspended; its
    // record must keep saying so, or the link would be registered twice.
    const bool ka_on = t->kafd >= 0 && t->kar.is_active;
    set_record(t->kar, OP_KAR, t);
    t->kar.is_active = ka_on;
    if (t->altin.in_url && t->altin.in_url[0]) set_record(t->altin.reader, OP_ARD, t);
}

int rta_check_tags(const void *ctx) noexcept
{
    static constexpr const char *fn = "rta_check_tags";
    const auto *c = static_cast<const op_ctx *>(ctx);
    if (!c || c->tag.num != OPX_TAG) {
        const uint32_t num = c ? c->tag.num : 0;
        log_panic("%s: got non-ctx tag: 0x%04x [%s] for (%p)\n", fn, num, tag_text(num).s, ctx);
        lfx_abort();
    }
    const auto *t = static_cast<const rtask *>(c->data);
    if (!t || t->tag.num != RTA_TAG) {
        const uint32_t num = t ? t->tag.num : 0;
        log_panic("%s: got non-task tag: 0x%04x [%s] for (%p)\n", fn, num, tag_text(num).s,
                  c->data);
        lfx_abort();
    }
    return 0;
}

// --- datagram storage ----------------------------------------------------------------

namespace {

// One mapping holds a storage: its record, the receive headers and vectors,
// then the slots.
struct pkt_storage_layout {
    size_t hdr_off, iov_off, pkt_off, bytes;
    explicit pkt_storage_layout(size_t count) noexcept
    {
        hdr_off = align_up(sizeof(pkt_storage), alignof(mmsghdr));
        iov_off = align_up(hdr_off + 2 * count * sizeof(mmsghdr), alignof(iovec));
        pkt_off = align_up(iov_off + 2 * count * sizeof(iovec), alignof(data_pkt));
        bytes = pkt_off + count * sizeof(data_pkt);
    }
    static size_t align_up(size_t n, size_t a) noexcept { return (n + a - 1) / a * a; }
};

}  // namespace

int mk_pkt_storage(pkt_storage **stg) noexcept
{
    static constexpr const char *fn = "mk_pkt_storage";
    lfx_assert(stg);
    const size_t count =
        g_cfg.max_pkts > 0 ? PKT_SLOTS_PER_BATCH * size_t(g_cfg.max_pkts) : DFLT_PKT_SLOTS;
    // A storage is large (4 x max_pkts slots of about 5 KB: 1.3 MB at
    // max_pkts 64) and lives as long as its task.  From the heap, a peak of
    // tasks would leave that memory with the process for good; a mapping
    // of its own goes back to the system when the task ends.
    const pkt_storage_layout lay(count);
    void *map = mmap(nullptr, lay.bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        log_err("%s: mmap(%zu) ERROR(%d): %s\n", fn, lay.bytes, errno, strerror(errno));
        return ENOMEM;
    }
    auto *base = static_cast<uint8_t *>(map);
    auto *s = new (base) pkt_storage{};
    s->rx_hdr = reinterpret_cast<mmsghdr *>(base + lay.hdr_off);
    s->rx_iov = reinterpret_cast<iovec *>(base + lay.iov_off);
    s->pkt = reinterpret_cast<data_pkt *>(base + lay.pkt_off);
    s->count = count;
    for (size_t i = 0; i < count; ++i) s->pkt[i].idx = int(i);
    for (size_t j = 0; j < 2 * count; ++j) {
        s->rx_iov[j] = {s->pkt[j % count].data, PKT_LEN};
        s->rx_hdr[j].msg_hdr.msg_iov = &s->rx_iov[j];
        s->rx_hdr[j].msg_hdr.msg_iovlen = 1;
    }
    s->rx_len = PKT_LEN;
    rring_setup(&s->rr, count);
    log_dbg("%s: [%p]\n", fn, static_cast<void *>(s));
    *stg = s;
    return 0;
}

void free_pkt_storage(pkt_storage *stg) noexcept
{
    if (!stg) return;
    log_dbg("%s: [%p]\n", "free_pkt_storage", static_cast<void *>(stg));
    const pkt_storage_layout lay(stg->count);
    if (munmap(stg, lay.bytes) != 0) {
        log_err("%s: munmap(%p, %zu) ERROR(%d): %s\n", "free_pkt_storage",
                static_cast<void *>(stg), lay.bytes, errno, strerror(errno));
        lfx_abort();
    }
}

// --- rate meters -------------------------------------------------------------------

int init_kpsm(kps_metric *k) noexcept
{
    if (!g_cfg.trep_file[0]) return 0;
    *k = kps_metric{};
    const int rc = bcounter_init(&k->bc, g_cfg.abkt.count, long(g_cfg.abkt.ms));
    if (rc != 0)
        log_err("%s: failed for bkt count/ms=%zu/%zu\n", "init_kpsm", g_cfg.abkt.count,
                g_cfg.abkt.ms);
    return rc;
}

void free_kpsm(kps_metric *k) noexcept
{
    if (k->bc.bkt) bcounter_discard(&k->bc);
}

void reset_kpsm(kps_metric *k) noexcept
{
    // The first addition after this is due at once and moves the counter.
    k->vps = 0;
    k->last_tm = timespec{};
    if (k->bc.bkt) bcounter_clear(&k->bc);
}

double read_kpsm(const kps_metric *k) noexcept
{
    if (!k->bc.bkt) return k->vps;
    double vps = 0;
    bcounter_persec_now(&k->bc, &vps, nullptr);
    return vps;
}

// --- errors and report values ------------------------------------------------------

void rta_set_error(rtask *t, const char *str, int err) noexcept
{
    free(t->errstr);
    t->errstr = str ? strdup(str) : nullptr;
    t->err = err;
    if (!str && err == 0) t->pks = pktstats{};
}

char *rta_optstr(const task_options *to, char *buf, size_t buflen) noexcept
{
    snprintf(buf, buflen, "ttl=%d;opkt=%c%zu", to->ttl, to->dalign ? to->dalign : '.',
             to->max_outpkt);
    return buf;
}

bool is_task_online(const rtask *t) noexcept
{
    return t->local_in > 0 && !is_set(t->tm.last_down_tm) && t->state.num == ST_RLY;
}

double rta_xtime(const rtask *t, bool is_uptime) noexcept
{
    const struct timespec &ref = is_uptime ? t->tm.first_io_tm : t->tm.last_down_tm;
    if (!is_set(ref)) return 0;
    return double(diff_ms(rqs_now_ref(), &ref)) / 1000;
}

void rta_json_dump(FILE *fp, const rtask *t, size_t count) noexcept
{
    const report_names &nm = REPORT_NAMES[g_cfg.trep_compat_dashes ? 1 : 0];
    const bool online = is_task_online(t);
    fputs(count == 0 ? " {" : ", {", fp);
    fputs("\"tid\": ", fp);
    json_text(fp, t->tid.sym8);
    fputs(", \"cid\": ", fp);
    json_text(fp, t->has_cid ? t->hkey : "-");
    fputs(", \"key\": ", fp);
    json_text(fp, t->hkey);
    fprintf(fp, ", \"online\": \"%s\", \"%s\": \"%s\"", online ? "yes" : "no", nm.kalv,
            t->kafd >= 0 ? "yes" : "no");
    fprintf(fp, ", \"uptime\": %.02f, \"downtime\": %.02f", online ? rta_xtime(t, true) : 0.0,
            online ? 0.0 : rta_xtime(t, false));
    fprintf(fp, ", \"%s\": %.02f, \"%s\": %.02f, \"%s\": %.02f, \"%s\": %.02f", nm.inkb,
            double(t->total_in) / 1024, nm.oukb, double(t->total_out) / 1024, nm.avgi,
            read_kpsm(&t->iavg) / 1024, nm.avgo, read_kpsm(&t->oavg) / 1024);
    if (has_altinput(t)) {
        const src_timers &at = t->altin.tm;
        const struct timespec now = rqs_now();
        const bool present = is_set(at.last_read_tm) &&
                             diff_ms(&at.last_read_tm, &at.first_io_tm) >= 1 &&
                             diff_ms(&now, &at.last_read_tm) <= ALT_PRESENT_MS;
        fprintf(fp, ", \"%s\": \"%s\", \"%s\": \"%s\"", nm.uasr, t->altin.is_active ? "yes" : "no",
                ASRP, present ? "yes" : "no");
    }
    fputs(", \"src\": ", fp);
    json_text(fp, t->altin.is_active ? t->altin.in_url : t->in_url);
    fputs(", \"dst\": ", fp);
    json_text(fp, t->out_url);
    fputs(", \"err\": ", fp);
    json_text(fp, t->errstr);
    fprintf(fp, ", \"maxIDPLen\": %zd, \"maxODPLen\": %zd }\n", t->pks.max_ipktlen,
            t->pks.max_opktlen);
}
