// Source supervision with both sources running for half a minute:
//
//   primary   239.1.1.1:5200 --+
//                               +--> [relay task] --> datagram pair --> collector
//   alternate 239.1.1.2:5201 --+
//
// Each source sends 8 numbered datagrams every 40 ms.  The primary pauses
// and resumes on a schedule: the relay switches to the alternate once the
// primary has been silent for 600 ms (the alternate readable for 1000 ms),
// back once the primary has delivered for 1000 ms while the alternate
// still runs, or for 500 ms while the alternate has been silent for 200 ms.
// At 12 s the collector stops reading for 400 ms: the destination blocks,
// keeps every datagram, and the standby's storage fills; the standby must
// still be read afterwards, or the switch at 27 s never comes.
#include <gtest/gtest.h>

#include "dgpath.h"
#include "relay_harness.h"
#include "supervise.h"
#include "support.h"

namespace {

struct source {
    std::atomic<bool> on{true};
    std::jthread th;
    source(const char *group, int port, char tag)
    {
        th = std::jthread([=, this](std::stop_token st) {
            rh::udp_tx tx(group, port);
            uint32_t seq = 0;
            for (auto next = std::chrono::steady_clock::now(); !st.stop_requested();) {
                std::this_thread::sleep_until(next += std::chrono::milliseconds(40));
                for (int k = 0; k < 8 && on; ++k) tx.send(rh::mk_dgram(1316, seq++, tag));
            }
        });
    }
};

// RcvbufErrors of the namespace's UDP counters; -1 when unreadable.
long udp_rcvbuf_errors()
{
    FILE *fp = fopen("/proc/net/snmp", "re");
    if (!fp) return -1;
    char names[1024], values[1024];
    long n = -1;
    while (fgets(names, sizeof names, fp) && fgets(values, sizeof values, fp)) {
        if (strncmp(names, "Udp:", 4) != 0) continue;
        // The names line says which column the counter is in.
        int col = 0;
        for (char *tok = strtok(names, " \n"); tok; tok = strtok(nullptr, " \n"), ++col)
            if (strcmp(tok, "RcvbufErrors") == 0) break;
        char *tok = strtok(values, " \n");
        for (int i = 0; tok && i < col; ++i) tok = strtok(nullptr, " \n");
        if (tok) n = atol(tok);
        break;
    }
    fclose(fp);
    return n;
}

}  // namespace

TEST(supervise, switches_to_the_alternate_and_back_while_both_sources_run)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            rtask *t = rh::mk_task("udp://239.1.1.1:5200", "udp://127.0.0.1:6200",
                                   "udp://239.1.1.2:5201");
            CK(env.ok && t);
            if (!t) return rh::verdict();
            rh::collector out(nullptr, 0, rh::pair_dest(t));
            source pri("239.1.1.1", 5200, 'P'), alt("239.1.1.2", 5201, 'A');

            // Schedule (ms from start): what is switched and when it was.
            struct step {
                long at;
                std::atomic<bool> *sw;
                bool on;
                long done = 0;
            } plan[] = {{2000, &pri.on, false},   {3500, &pri.on, true},    // A-FLIP, PU-FLIP
                        {6000, &pri.on, false},   {7000, &alt.on, false},   // A-FLIP
                        {7000, &pri.on, true},    {8000, &alt.on, true},    // PM-FLIP
                        {12000, &out.hold, true}, {12400, &out.hold, false},
                        {27000, &pri.on, false},  {29000, &pri.on, true}};  // A-FLIP, PU-FLIP
            bool standby_full = false;
            const long t0 = rh::now_ms();
            rh::g_on_turn = [&] {
                for (auto &s : plan)
                    if (!s.done && rh::now_ms() - t0 >= s.at) *s.sw = s.on, s.done = rh::now_ms();
                standby_full |= out.hold && rta_no_space(t->altin.dgram);
            };
            rh::run_for(31000);
            rh::g_on_turn = nullptr;
            out.stop();

            // The output as runs of one source; no datagram lost or repeated
            // within a run (the blocked destination kept every one).
            struct run {
                char tag;
                size_t n;
                long first_at;
                bool whole;
            };
            std::vector<run> runs;
            long max_gap = 0;
            for (size_t i = 0; i < out.got.size(); ++i) {
                const std::string &d = out.got[i];
                const bool same = !runs.empty() && runs.back().tag == d[0];
                if (!same) runs.push_back({d[0], 0, out.at[i], true});
                else if (rh::seq_of(d) != rh::seq_of(out.got[i - 1]) + 1) runs.back().whole = false;
                if (d != rh::mk_dgram(1316, rh::seq_of(d), d[0])) runs.back().whole = false;
                ++runs.back().n;
                if (i) max_gap = std::max(max_gap, out.at[i] - out.at[i - 1]);
            }
            // Datagrams the kernel dropped at the relay's sockets (a host too
            // busy to let the relay read) never reached it: the runs are
            // then judged by their sources alone.
            const long kernel_drops = udp_rcvbuf_errors();
            if (kernel_drops > 0)
                fprintf(stderr, "the kernel dropped %ld datagrams at full receive buffers\n",
                        kernel_drops);
            std::string tags;
            for (const auto &r : runs) {
                tags += r.tag;
                CK(r.whole || kernel_drops > 0);
            }
            CK(tags == "PAPAPAP");
            if (tags == "PAPAPAP") {
                auto after = [&](int r, int s) { return runs[size_t(r)].first_at - plan[s].done; };
                CK(after(1, 0) >= 550 && after(1, 0) < 1000);  // 600 ms after the primary stops
                CK(after(3, 2) >= 550 && after(3, 2) < 1000);
                CK(after(5, 8) >= 550 && after(5, 8) < 1000);
                CK(after(2, 1) >= 950 && after(2, 1) < 1400);  // the primary up for 1000 ms
                CK(after(6, 9) >= 950 && after(6, 9) < 1400);
                CK(after(4, 4) >= 450 && after(4, 4) < 900);   // 500 ms, alternate silent
                CK(runs[4].n > 3500);
            }
            CK(max_gap < 1000 && standby_full);
            const std::string text = log.text();
            CK(rh::count_of(text, "A-FLIP p-src") == 3 && rh::count_of(text, "PU-FLIP p-src") == 2);
            CK(rh::count_of(text, "PM-FLIP p-src") == 1);
            CK(!t->altin.is_active && t->reader.is_active && t->altin.reader.is_active);
            CK(t->state.num == ST_RLY && is_online(t));
            return rh::verdict();
        },
        90000));
}
