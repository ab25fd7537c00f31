#include "oxa_capture.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "gkh.h"
#include "log.h"
#include "oxa_app.h"
#include "oxa_ctx.h"
#include "oxa_report.h"
#include "oxa_scope.h"
#include "timeop.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

namespace oxa {

namespace {

constexpr char CAPTURE_FILTER[] = "igmp";

long group_key(int32_t group) { return long(uint32_t(group)); }

const char *group_str(int32_t group)
{
    in_addr a{};
    a.s_addr = uint32_t(group);
    return inet_ntoa(a);
}

// Runs write on the log's mirror stream, then on the log stream itself
// (once when both are the same descriptor).  Both take the way of the
// log's lines: a full pipe or terminal is never waited on.
template <class W>
void to_log_streams(W &&write)
{
    if (FILE *mirror = log_mirror_stream(&g_log)) write(mirror);
    write(log_fp(&g_log));
}

// A report for a new group while WGRP_MAX are held: no JOIN.  The first
// refusal is warned of, later ones at most once a WGRP_FULL_WARN_SEC with
// their count.
void refuse_group(int32_t group)
{
    static constexpr const char *fn = "on_pcap_pkt";
    wgrp_refusals &r = g_ctx.refused;
    ++r.total;
    ++r.unwarned;
    timespec now{};
    set_now(&now);
    if (r.warned && now.tv_sec - r.warned_at < WGRP_FULL_WARN_SEC) return;
    log_warn("%s: group table full (%zu groups): report for %s refused, %lu refused since the "
             "last warning\n",
             fn, WGRP_MAX, group_str(group), r.unwarned);
    r.warned = true;
    r.warned_at = now.tv_sec;
    r.unwarned = 0;
}

void on_report(int32_t group)
{
    static constexpr const char *fn = "on_pcap_pkt";
    log_dbg("%s: IGMP report msg caught on %s\n", fn, g_cfg.mifc);
    const long key = group_key(group);
    if (nkht_get(g_ctx.wgrp_ht, key, nullptr) == 0) return;  // reported before
    if (nkht_count(g_ctx.wgrp_ht) >= WGRP_MAX) {
        refuse_group(group);
        return;
    }
    void *mark = reinterpret_cast<void *>(WGRP_MARK);
    const int rc = nkht_add(g_ctx.wgrp_ht, key, &mark);
    if (rc == 0)
        relay_msg("JOIN UDP://%s\n", group_str(group));
    else if (rc != EBUSY)
        log_err("%s: error adding group %04x\n", fn, uint32_t(group));
}

void on_leave(int32_t group)
{
    static constexpr const char *fn = "on_pcap_pkt";
    log_dbg("%s: IGMP LEAVE msg caught on %s\n", fn, g_cfg.mifc);
    const int rc = nkht_rm(g_ctx.wgrp_ht, group_key(group), nullptr);
    if (rc == 0)
        relay_msg("LEAVE UDP://%s\n", group_str(group));
    else if (rc != ESRCH)
        log_err("%s: error removing group %04x\n", fn, uint32_t(group));
}

// Whether a report or leave is to be acted on: its checksum holds and it
// names a group that hosts report and routers forward.  Anything else
// would become a relay on the daemon; it is counted and dropped.
bool is_sound(const igmp_frame &f)
{
    static constexpr const char *fn = "on_pcap_pkt";
    const char *type = igmp_type_str(f.igmp.type);
    const char *group = group_str(f.igmp.group);
    const uint32_t haddr = ntohl(uint32_t(f.igmp.group));
    if (!f.csum_ok) {
        const unsigned long n = ++g_ctx.drops.bad_csum;
        log_dbg("%s: bad IGMP checksum in a %s for %s - dropped (%lu so far)\n", fn, type, group,
                n);
        return false;
    }
    if (!is_mcast_group(haddr) || is_link_local_group(haddr)) {
        const unsigned long n = ++g_ctx.drops.no_group;
        log_dbg("%s: %s is %s - %s dropped (%lu so far)\n", fn, group,
                is_mcast_group(haddr) ? "a link-local group" : "not a multicast group", type, n);
        return false;
    }
    return true;
}

// The body of on_pcap_pkt between its BEGIN and END lines.
void handle_frame(const uint8_t *bytes, uint32_t caplen)
{
    static constexpr const char *fn = "on_pcap_pkt";
    igmp_frame f{};
    const frame_check rc = check_igmp_frame(bytes, caplen, &f);
    switch (rc) {
    case FRAME_TOO_SMALL:
        log_err("%s: packet is too small: %u bytes\n", fn, caplen);
        return;
    case FRAME_VLAN: {
        // The kernel hands tagged frames to the capture filter untagged, and
        // the capture library puts the tag back.  Their hosts belong to the
        // VLAN's own interface, where an agent sees them untagged.
        const unsigned long n = ++g_ctx.drops.vlan;
        log_dbg("%s: VLAN-tagged frame, type=%04x - dropped (%lu so far)\n", fn,
                unsigned(ntohs(f.ether_type)), n);
        return;
    }
    case FRAME_NOT_IP:
        log_err("%s: got non-IP packet: type=%04x\n", fn, unsigned(ntohs(f.ether_type)));
        return;
    default:
        break;
    }
    if (g_cfg.log_level > INFO_level) {
        const auto *eh = reinterpret_cast<const ether_header *>(bytes);
        to_log_streams([eh](FILE *fp) { dump_ether(fp, eh); });
    }
    switch (rc) {
    case FRAME_NOT_IPV4:
        log_err("%s: non-IPv4: %x\n", fn, f.ip_ver);
        return;
    case FRAME_NOT_IGMP:
        log_err("%s: proto=%d - non-IGMP packet\n", fn, int(f.ip_proto));
        return;
    case FRAME_BAD_HLEN:
        // The header length comes from the sender: an IGMP header it puts
        // outside the captured bytes is never read.
        log_err("%s: bad IPv4 header length %zu for %u bytes - packet dropped\n", fn, f.ip_hlen,
                caplen);
        return;
    default:
        break;
    }

    const int32_t group = f.igmp.group;
    log_dbg("%s: addr=[%s]\n", fn, group_str(group));
    const uint8_t type = f.igmp.type;
    const bool acts = type == IGMPT_V1_REPORT || type == IGMPT_V2_REPORT || type == IGMPT_LEAVE;
    if (acts && !is_sound(f)) return;
    if (!in_scope(group)) {
        log_dbg("%s: address out of scope: %s\n", fn, group_str(group));
        return;
    }
    if (g_cfg.log_level > INFO_level) {
        const igmp_header *igmp = &f.igmp;
        to_log_streams([igmp](FILE *fp) { dump_igmp(fp, igmp); });
    }
    switch (f.igmp.type) {
    case IGMPT_V1_REPORT:
    case IGMPT_V2_REPORT:
        on_report(group);
        break;
    case IGMPT_LEAVE:
        on_leave(group);
        break;
    default:
        break;
    }
}

// Creates and activates the capture of ifc into g_ctx.handle.  0 or -1.
int open_capture(const char *ifc)
{
    static constexpr const char *fn = "pcap_setup";
    g_ctx.handle = pcap_create(ifc, g_ctx.errbuf);
    if (!g_ctx.handle) {
        log_err("%s: pcap_create(%s, ...): FAILED: %s\n", fn, ifc, g_ctx.errbuf);
        return -1;
    }
    pcap_t *h = g_ctx.handle;
    // Immediate mode hands each report over as it comes: buffered, it would
    // wait for the read time-out, and a viewer would wait with it.  The
    // time-out still ends each wait of an idle capture.
    if (pcap_set_snaplen(h, CAPTURE_SNAPLEN) != 0 || pcap_set_promisc(h, 0) != 0 ||
        pcap_set_timeout(h, CAPTURE_TIMEOUT_MS) != 0 || pcap_set_immediate_mode(h, 1) != 0) {
        log_err("%s: cannot set the capture options of %s: %s\n", fn, ifc, pcap_geterr(h));
        return -1;
    }
    const int rc = pcap_activate(h);
    // The library leaves a text for some outcomes only.
    const char *why = *pcap_geterr(h) ? pcap_geterr(h) : pcap_statustostr(rc);
    if (rc < 0) {
        log_err("%s: pcap_activate(%s): FAILED: %s\n", fn, ifc, why);
        return -1;
    }
    if (rc > 0) log_warn("%s: pcap_activate(%s): %s\n", fn, ifc, why);
    return 0;
}

}  // namespace

frame_check check_igmp_frame(const uint8_t *bytes, size_t caplen, igmp_frame *f) noexcept
{
    if (caplen <= FRAME_MIN_CAPLEN) return FRAME_TOO_SMALL;
    memcpy(&f->ether_type, bytes + FRAME_ETHERTYPE_OFF, sizeof f->ether_type);
    const uint16_t type = ntohs(f->ether_type);
    if (type == FRAME_ETHERTYPE_VLAN || type == FRAME_ETHERTYPE_QINQ) return FRAME_VLAN;
    if (type != FRAME_ETHERTYPE_IPV4) return FRAME_NOT_IP;
    const uint8_t *ip = bytes + FRAME_ETH_HLEN;
    f->ip_ver = ip_version(ip);
    if (f->ip_ver != 4) return FRAME_NOT_IPV4;
    f->ip_proto = ip_protocol(ip);
    if (f->ip_proto != FRAME_IPPROTO_IGMP) return FRAME_NOT_IGMP;
    f->ip_hlen = ip_header_len(ip);
    if (f->ip_hlen < FRAME_IPV4_MIN_HLEN ||
        FRAME_ETH_HLEN + f->ip_hlen + sizeof(igmp_header) > caplen)
        return FRAME_BAD_HLEN;
    memcpy(&f->igmp, ip + f->ip_hlen, sizeof f->igmp);
    const size_t tot = ip_total_len(ip);
    if (tot >= f->ip_hlen + sizeof(igmp_header) && FRAME_ETH_HLEN + tot <= caplen) {
        f->igmp_len = tot - f->ip_hlen;
        f->csum_ok = inet_sum(ip + f->ip_hlen, f->igmp_len) == 0xffff;
    }
    return FRAME_IGMP;
}

void dump_ether(FILE *fp, const ether_header *eh) noexcept
{
    if (!fp) return;
    const uint8_t *s = eh->ether_shost, *d = eh->ether_dhost;
    fprintf(fp, "%02x:%02x:%02x:%02x:%02x:%02x -> %02x:%02x:%02x:%02x:%02x:%02x [%04x]\n", s[0],
            s[1], s[2], s[3], s[4], s[5], d[0], d[1], d[2], d[3], d[4], d[5],
            unsigned(ntohs(eh->ether_type)));
}

void dump_igmp(FILE *fp, const igmp_header *igmp) noexcept
{
    if (!fp) return;
    fprintf(fp, "%s/%02x %s\n", igmp_type_str(igmp->type), unsigned(igmp->type),
            group_str(igmp->group));
}

void on_pcap_pkt(u_char *, const pcap_pkthdr *header, const u_char *bytes) noexcept
{
    static constexpr const char *fn = "on_pcap_pkt";
    log_dbg("%s: BEGIN\n", fn);
    handle_frame(bytes, header->caplen);
    log_dbg("%s: END\n", fn);
}

int pcap_setup(const char *ifc) noexcept
{
    static constexpr const char *fn = "pcap_setup";
    if (handle_quit_signals(handle_qsig) != 0) return -1;

    bpf_u_int32 net = 0, mask = 0;
    if (pcap_lookupnet(ifc, &net, &mask, g_ctx.errbuf) == PCAP_ERROR) {
        log_err("%s: pcap_lookupnet(%s,...) FAILED: %s\n", fn, ifc, g_ctx.errbuf);
        return -1;
    }
    if (open_capture(ifc) != 0) return -1;
    // Frames are parsed as Ethernet: any other link layer (tun, ppp,
    // WireGuard) would be read as garbage.
    const int dlt = pcap_datalink(g_ctx.handle);
    if (dlt != DLT_EN10MB) {
        const char *name = pcap_datalink_val_to_name(dlt);
        log_err("%s: %s is not an Ethernet interface (link type %s), cannot capture on it\n", fn,
                ifc, name ? name : "unknown");
        return -1;
    }
    bpf_program prog{};
    if (pcap_compile(g_ctx.handle, &prog, CAPTURE_FILTER, 0, mask) == PCAP_ERROR) {
        log_err("%s: pcap_compile(..,%s,...) FAILED: %s\n", fn, CAPTURE_FILTER,
                pcap_geterr(g_ctx.handle));
        return -1;
    }
    const int rc = pcap_setfilter(g_ctx.handle, &prog);
    pcap_freecode(&prog);
    if (rc == PCAP_ERROR) {
        log_err("%s: pcap_setfilter(...) FAILED: %s\n", fn, pcap_geterr(g_ctx.handle));
        return -1;
    }
    return 0;
}

void pcap_teardown() noexcept
{
    // Cleared first: the quit handler must never break a closed capture.
    pcap_t *handle = std::exchange(g_ctx.handle, nullptr);
    if (handle) pcap_close(handle);
}

}  // namespace oxa
