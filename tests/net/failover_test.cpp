// Source supervision with both sources running for half a minute:
//
//   primary   239.1.1.1:5200 --+
//                               +--> [relay task] --> datagram pair --> reader
//   alternate 239.1.1.2:5201 --+
//
// Each source sends numbered datagrams, 8 every 40 ms.  The primary pauses
// and resumes on a schedule; the relay must switch to the alternate once
// the primary has been silent for 600 ms (the alternate being readable for
// 1000 ms), back once the primary has delivered for 1000 ms while the
// alternate still runs, and back after 500 ms when the alternate has been
// silent for 200 ms; the last switch comes after 27 s of both running.  In
// between, the destination blocks for 400 ms (its reader stops), so that
// the standby's storage fills: the standby must still be read afterwards,
// or the last switch never comes.
#include <gtest/gtest.h>

#include "dgpath.h"
#include "relay_harness.h"
#include "supervise.h"
#include "support.h"

namespace {

constexpr long kPause1 = 2000, kResume1 = 3500;               // -> A-FLIP, PU-FLIP
constexpr long kPause2 = 6000, kAltStop = 7000, kAltGo = 8000;  // -> A-FLIP, PM-FLIP
constexpr long kStall = 12000, kStallMs = 400;                // destination blocked
constexpr long kPause3 = 27000, kResume3 = 29000;             // -> A-FLIP, PU-FLIP
constexpr long kEnd = 31000;

struct source {
    std::atomic<bool> on{true};
    std::atomic<uint32_t> seq{0};
    std::jthread th;
    source(const char *group, int port, char tag)
    {
        th = std::jthread([this, group, port, tag](std::stop_token st) {
            rh::udp_tx tx(group, port);
            auto next = std::chrono::steady_clock::now();
            while (!st.stop_requested()) {
                next += std::chrono::milliseconds(40);
                std::this_thread::sleep_until(next);
                for (int k = 0; k < 8 && on; ++k) tx.send(rh::mk_dgram(1316, seq++, tag));
            }
        });
    }
};

// Reads the far end of the destination pair, noting arrival times; stops
// reading while held.
struct pair_reader {
    int fd;
    std::atomic<bool> hold{false};
    std::mutex mu;
    std::vector<std::string> got;
    std::vector<long> at;
    std::jthread th;
    explicit pair_reader(int f) : fd(f)
    {
        th = std::jthread([this](std::stop_token st) {
            char buf[2000];
            while (!st.stop_requested()) {
                if (hold) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 5) != 1) continue;
                const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n <= 0) continue;
                std::lock_guard<std::mutex> g(mu);
                got.emplace_back(buf, size_t(n));
                at.push_back(rh::now_ms());
            }
        });
    }
};

struct segment {
    char tag;
    size_t n;
    long first_at, last_at;
};

}  // namespace

TEST(supervise, switches_to_the_alternate_and_back_while_both_sources_run)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            CK(env.ok);
            CK(add_task(-1, "udp://239.1.1.1:5200", "udp://127.0.0.1:6200", "udp://239.1.1.2:5201",
                        nullptr, nullptr) == 0);
            rtask *t = rh::find_task("udp://239.1.1.1:5200", "udp://127.0.0.1:6200",
                                     "udp://239.1.1.2:5201");
            CK(t != nullptr);
            if (!t) return rh::verdict();
            int sp[2];
            CK(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sp) == 0);
            const int small = 4096;
            setsockopt(sp[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            close(t->outfd);
            t->outfd = sp[0];
            t->out_uc.sspec.addr_len = 0;  // the pair is connected
            pair_reader out(sp[1]);

            source pri("239.1.1.1", 5200, 'P'), alt("239.1.1.2", 5201, 'A');
            const long t0 = rh::now_ms();
            long mark[8] = {};
            long stall = 0;
            bool standby_filled = false;
            rh::g_on_turn = [&] {
                const long e = rh::now_ms() - t0;
                auto at = [&](int i, long when, std::atomic<bool> &sw, bool v) {
                    if (!mark[i] && e >= when) {
                        sw = v;
                        mark[i] = rh::now_ms();
                    }
                };
                at(0, kPause1, pri.on, false);
                at(1, kResume1, pri.on, true);
                at(2, kPause2, pri.on, false);
                at(3, kAltStop, alt.on, false);
                at(4, kAltStop, pri.on, true);
                at(5, kAltGo, alt.on, true);
                at(6, kPause3, pri.on, false);
                at(7, kResume3, pri.on, true);
                if (!stall && e >= kStall) stall = rh::now_ms(), out.hold = true;
                if (stall && out.hold && rh::now_ms() - stall >= kStallMs) out.hold = false;
                if (out.hold && rta_no_space(t->altin.dgram)) standby_filled = true;
            };
            rh::run_for(kEnd);
            rh::g_on_turn = nullptr;

            // The output as runs of one source, each in order.
            out.th.request_stop();
            out.th.join();
            close(sp[1]);
            const auto &got = out.got;
            const auto &at = out.at;
            std::vector<segment> segs;
            uint32_t last_seq[2] = {0, 0};
            bool seen[2] = {false, false};
            bool in_order = true;
            long max_gap = 0;
            for (size_t i = 0; i < got.size(); ++i) {
                const char tag = got[i][0];
                const int k = tag == 'A';
                const uint32_t s = rh::seq_of(got[i]);
                if (seen[k] && s <= last_seq[k]) in_order = false;
                seen[k] = true, last_seq[k] = s;
                if (got[i] != rh::mk_dgram(1316, s, tag)) in_order = false;
                if (segs.empty() || segs.back().tag != tag) segs.push_back({tag, 0, at[i], at[i]});
                ++segs.back().n;
                segs.back().last_at = at[i];
                if (i) max_gap = std::max(max_gap, at[i] - at[i - 1]);
            }
            CK(in_order);
            CK(segs.size() == 7);
            const char want[] = "PAPAPAP";
            for (size_t i = 0; i < segs.size() && i < 7; ++i) CK(segs[i].tag == want[i]);
            if (segs.size() == 7) {
                // To the alternate 600 ms after the primary fell silent.
                CK(segs[1].first_at - mark[0] >= 550 && segs[1].first_at - mark[0] < 1000);
                CK(segs[3].first_at - mark[2] >= 550 && segs[3].first_at - mark[2] < 1000);
                CK(segs[5].first_at - mark[6] >= 550 && segs[5].first_at - mark[6] < 1000);
                // Back after a full second of primary delivery, the
                // alternate relayed meanwhile.
                CK(segs[2].first_at - mark[1] >= 950 && segs[2].first_at - mark[1] < 1400);
                CK(segs[6].first_at - mark[7] >= 950 && segs[6].first_at - mark[7] < 1400);
                CK(segs[1].last_at >= mark[1] + 900);
                // Back after half a second when the alternate stopped.
                CK(segs[4].first_at - mark[4] >= 450 && segs[4].first_at - mark[4] < 900);
                // The long run in the middle relays the primary throughout.
                CK(segs[4].n > 3500);
            }
            CK(max_gap < 1000);
            CK(standby_filled);
            const std::string text = log.text();
            CK(rh::count_of(text, "A-FLIP p-src") == 3);
            CK(rh::count_of(text, "PU-FLIP p-src") == 2);
            CK(rh::count_of(text, "PM-FLIP p-src") == 1);
            CK(!t->altin.is_active && t->reader.is_active && t->altin.reader.is_active);
            CK(t->state.num == ST_RLY && is_online(t));
            CK(text.find("ERROR") == std::string::npos);
            return rh::verdict();
        },
        90000));
}
