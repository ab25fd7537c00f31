// The agent's capture callback over arbitrary captured frames: the checks
// of the Ethernet, IPv4 and IGMP headers, the scope test, the reported-
// groups table and the reporter (to /dev/null), with every log line and
// dump enabled.  The input is the captured frame, caplen its size.
#include <pcap/pcap.h>

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_target.h"
#include "gkh.h"
#include "log.h"
#include "oxa_capture.h"
#include "oxa_ctx.h"

namespace {

constexpr unsigned long REFUSALS_BEFORE_RESET = 1000;

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

long key_of(const char *dotted)
{
    in_addr a{};
    inet_aton(dotted, &a);
    return long(a.s_addr);
}

// The agent as the program sets it up: a bounded range, a short list, a
// stream reporter; all output to /dev/null.
void setup_once()
{
    static bool done = false;
    if (done) return;
    done = true;
    FILE *null_fp = fopen("/dev/null", "w");
    check(null_fp != nullptr);
    log_default(&g_log, null_fp);
    log_mirror(&g_log, null_fp);
    g_mod_ll[LM_DEFAULT] = DEBUG_level;

    oxa::g_cfg.log_level = DEBUG_level;
    oxa::g_cfg.min_group = 0xef000000;  // 239.0.0.0
    oxa::g_cfg.max_group = 0xef7fffff;  // 239.127.255.255
    check(nkht_create(&oxa::g_ctx.scope_ht, oxa::GROUP_HT_SIZE, tw_shift) == 0);
    for (const char *g : {"224.1.1.1", "239.200.0.1"}) {
        void *mark = reinterpret_cast<void *>(oxa::SCOPE_MARK);
        check(nkht_add(oxa::g_ctx.scope_ht, key_of(g), &mark) == 0);
    }
    check(nkht_create(&oxa::g_ctx.wgrp_ht, oxa::GROUP_HT_SIZE, tw_shift) == 0);
    oxa::g_ctx.rep.fp = null_fp;
    oxa::g_ctx.rep.sockfd = -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup_once();
    // A copy of exactly the frame's size, so that a read past caplen is seen.
    std::vector<uint8_t> frame(data, data + size);
    pcap_pkthdr h{};
    h.caplen = h.len = bpf_u_int32(size);
    oxa::on_pcap_pkt(nullptr, &h, frame.data());

    oxa::igmp_frame f{};
    if (oxa::check_igmp_frame(frame.data(), frame.size(), &f) == oxa::FRAME_IGMP) {
        check(f.ip_hlen >= FRAME_IPV4_MIN_HLEN &&
              FRAME_ETH_HLEN + f.ip_hlen + sizeof(igmp_header) <= size);
        // A checksum is only ever summed over bytes of the frame.
        check(!f.csum_ok || (f.igmp_len >= sizeof(igmp_header) &&
                             FRAME_ETH_HLEN + f.ip_hlen + f.igmp_len <= size));
    }

    // The table never passes its bound; once full for a while it starts
    // again, so that new groups keep being added.
    check(nkht_count(oxa::g_ctx.wgrp_ht) <= oxa::WGRP_MAX);
    if (oxa::g_ctx.refused.total > REFUSALS_BEFORE_RESET) {
        oxa::g_ctx.refused.total = 0;
        nkht_destroy(oxa::g_ctx.wgrp_ht, nullptr);
        check(nkht_create(&oxa::g_ctx.wgrp_ht, oxa::GROUP_HT_SIZE, tw_shift) == 0);
    }
    return 0;
}
