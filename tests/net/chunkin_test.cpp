// Chunked answers of HTTP sources on real sockets in a private namespace:
//
//   HTTP server (test) 127.0.0.1:88xx --TCP, chunked body--> [relay task: decode in place,
//                                                             byte ring] --> 127.0.0.1:78xx
#include <gtest/gtest.h>

#include "mmr.h"
#include "relay_harness.h"
#include "support.h"

namespace {

const std::string k_chunked_head =
    "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: 999\r\n"
    "Transfer-Encoding: chunked\r\n\r\n";

struct chunk_case {
    const char *name;
    size_t npkts;              // 188-byte packets
    std::vector<size_t> sizes;  // chunk sizes, in turn
    std::string ext, trailer;
    size_t with_head;   // body bytes written with the answer head
    bool split_lines;   // every size line cut in two writes (after its
                        // first byte and between its CR and LF)
    char dalign;
    bool close_after;   // the server closes after the last chunk (else holds)
};

const chunk_case kCases[] = {
    // Size lines split across writes, chunk boundaries inside packets, the
    // connection held open after the end, aligned output.
    {"awkward sizes, held open", 7 * 40, {1, 187, 189, 1316, 7, 4096, 2}, ";n=v", "X-T: 1\r\n",
     3, true, 'a', false},
    // The head and the first chunks in one write; the server closes.
    {"big chunks, closed", 7 * 300, {65536, 30000}, "", "", 600, false, 'x', true},
    // The whole body, end included, arrives with the answer head.
    {"body with the head", 4, {100, 400, 252}, ";a", "T: x\r\n", size_t(-1), false, 'x', false},
};

// Runs case c (number n) and checks that its stream arrives whole, in
// order, and that the end of the body ends (and removes) the task.
void run_case(const chunk_case &c, int n)
{
    const int port = 8800 + n, dport = 7800 + n;
    const std::string ts = rh::ts_packets(188, c.npkts, uint32_t(n) * 1000);
    std::vector<size_t> lines;
    const std::string body = chunked_body(ts, c.sizes, true, c.ext, c.trailer, &lines);
    std::vector<size_t> cuts = {std::min(c.with_head, body.size())};
    if (c.split_lines)
        for (size_t at : lines) {
            cuts.push_back(at + 1);
            cuts.push_back(body.find('\n', at));
        }
    std::sort(cuts.begin(), cuts.end());
    rh::http_script sc{cut_at(body, cuts), 5, c.close_after};
    sc.chunks[0] = k_chunked_head + sc.chunks[0];

    LogCapture log;
    // No revival: the end removes the task, which must not lose the tail.
    rh::relay_env env([] { g_cfg.max_retries = 1; });
    rh::http_server srv(port, {sc});
    rh::collector out("127.0.0.1", dport);
    const task_options opt{0, c.dalign, 1316};
    rtask *t = rh::mk_task("http://127.0.0.1:" + std::to_string(port) + "/live",
                           "udp://127.0.0.1:" + std::to_string(dport), nullptr, &opt);
    CK(env.ok && t);
    if (!t) return;
    CK(rh::run_until([&] { return task_count() == 0; }, 20000));
    CK(rh::run_until([&] { return out.bytes == ts.size(); }, 2000));
    const auto got = out.take();
    CK(out.joined() == ts);
    for (const auto &d : got)
        CK(d.size() % 188 == 0 && uint8_t(d[0]) == 0x47 && (c.dalign != 'a' || d.size() == 1316));
    const std::string lg = log.text();
    for (const char *line : {"chunked answer body, decoded on input", "last chunk at body byte",
                             "chunked body complete after", "Task [H0001]: ENDED"})
        CK(lg.find(line) != std::string::npos);
    // The answer's Content-Length is no measure of a chunked body.
    CK(lg.find("Content-Length") == std::string::npos);
    for (const char *line : {"malformed", "ZERO-READ", "sync", "UNALIGNED", "time-out"})
        CK(lg.find(line) == std::string::npos);
    if (!c.close_after) CK(rh::run_until([&] { return srv.peer_closed == 1; }, 2000));
}

}  // namespace

TEST(chunkin, chunked_answer_relays_the_whole_stream_and_its_end_ends_the_source)
{
    for (size_t i = 0; i < std::size(kCases); ++i) {
        SCOPED_TRACE(kCases[i].name);
        EXPECT_CHILD_OK(rh::in_netns_for(
            [i] {
                run_case(kCases[i], int(i));
                return rh::verdict();
            },
            30000));
    }
}

TEST(chunkin, malformed_framing_fails_the_source_with_a_line_that_says_so)
{
    // Connection 1: good chunks, then a size line that is no number: what
    // came before it is relayed, the source fails as a broken connection
    // and is revived.  Connection 2: a size line ended by LF alone in the
    // bytes that came with the head: the handshake fails, the task goes.
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { g_cfg.max_retries = 2; });
            const std::string ts = rh::ts_packets(188, 7 * 30);
            const std::string good = chunked_body(ts, {500}, false);
            rh::http_server srv(8890, {{{k_chunked_head + good, "zz\r\n" + std::string(40, 'j')},
                                        100},
                                       {{k_chunked_head + "1\nx"}}});
            rh::collector out("127.0.0.1", 7890);
            const task_options opt{0, 'x', 1316};
            rtask *t = rh::mk_task("http://127.0.0.1:8890/", "udp://127.0.0.1:7890", nullptr, &opt);
            CK(env.ok && t);
            if (!t) return rh::verdict();
            std::vector<std::string> errors;
            rh::g_on_turn = [&] {
                if (task_count() && t->state.num == ST_SUS && errors.empty())
                    errors.emplace_back(t->errstr ? t->errstr : "");
            };
            CK(rh::run_until([&] { return task_count() == 0; }, 10000));
            CK(out.joined() == ts && srv.connections == 2);
            CK(errors == std::vector<std::string>{"connection lost"});
            const std::string lg = log.text();
            const std::string first = "chunkin_decode: [H0001] malformed chunked body (bad chunk "
                                      "size) at byte " +
                                      std::to_string(good.size()) + ": [zz\\r\\n" +
                                      std::string(20, 'j') + "]\n";
            CK(rh::count_of(lg, first) == 1);
            CK(rh::count_of(lg, "malformed chunked body (missing CR LF) at byte 1: [\\nx]\n") == 1);
            CK(rh::count_of(lg, "malformed chunked body") == 2);
            for (const char *line : {"ZERO-READ", "last chunk", "sync"})
                CK(lg.find(line) == std::string::npos);
            return rh::verdict();
        },
        30000));
}

TEST(chunkin, payload_read_with_malformed_framing_goes_out_before_the_source_fails)
{
    // Good chunks and a broken size line in one write, so one read: what
    // came before the fault is relayed whole, then the source fails.
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { g_cfg.max_retries = 1; });
            const std::string ts = rh::ts_packets(188, 7 * 30);
            const std::string good = chunked_body(ts, {700, 64}, false);
            rh::http_server srv(8891, {{{k_chunked_head, good + "zz\r\n" + std::string(40, 'j')},
                                        100}});
            rh::collector out("127.0.0.1", 7891);
            const task_options opt{0, 'x', 1316};
            rtask *t = rh::mk_task("http://127.0.0.1:8891/", "udp://127.0.0.1:7891", nullptr, &opt);
            CK(env.ok && t);
            if (!t) return rh::verdict();
            CK(rh::run_until([&] { return task_count() == 0; }, 10000));
            CK(rh::run_until([&] { return out.bytes == ts.size(); }, 2000));
            CK(out.joined() == ts && srv.connections == 1);
            const std::string lg = log.text();
            CK(rh::count_of(lg, "malformed chunked body (bad chunk size) at byte " +
                                    std::to_string(good.size()) + ": [zz\\r\\n") == 1);
            for (const char *line : {"ZERO-READ", "last chunk", "complete after", "sync"})
                CK(lg.find(line) == std::string::npos);
            return rh::verdict();
        },
        30000));
}
