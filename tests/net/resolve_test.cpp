// The resolver module: which hosts of an endpoint URL are looked up, what a
// look-up gives, and jobs handed back through the event loop (a cancelled
// one never reaches its owner).  Only numeric text and "localhost" (from
// the hosts file) are resolved: no query leaves the machine.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "resolve.h"
#include "rqs.h"

namespace {

TEST(resolve, HostsOfAnEndpointUrl)
{
    const struct {
        const char *url;
        bool inbound;
        std::vector<std::string> names;  // name:socktype:slot
    } cases[] = {
        {"udp://239.1.1.1:5000", true, {}},
        {"udp://[::1]:5000", true, {}},
        {"udp://grp.example:5000", true, {"grp.example:2:1"}},
        {"rtp://src.example@grp.example:5000", true, {"grp.example:2:1", "src.example:2:2"}},
        {"udp://[src.example]:40@239.1.1.1:5000", true, {"src.example:2:2"}},
        {"udp://fd00:6::1@[ff3e::9:2]:5000", true, {}},
        {"udp://src.example@239.1.1.1:5000", false, {}},  // a destination has no source
        {"http://origin.example:8080/live.ts", true, {"origin.example:1:1"}},
        {"file:///tmp/x", true, {}},
    };
    for (const auto &c : cases) {
        rsv_job job{};
        rsv_add_url(&job, c.url, c.inbound, 1, 2);
        std::vector<std::string> got;
        for (size_t i = 0; i < job.count; ++i)
            got.push_back(std::string(job.names[i].name) + ":" +
                          std::to_string(job.names[i].socktype) + ":" +
                          std::to_string(job.names[i].slot));
        EXPECT_EQ(got, c.names) << c.url;
    }
    EXPECT_TRUE(rsv_is_numeric("127.0.0.1"));
    EXPECT_TRUE(rsv_is_numeric("::ffff:127.0.0.1"));
    EXPECT_FALSE(rsv_is_numeric("localhost"));
}

TEST(resolve, NamesResolveToANumericAddress)
{
    rsv_name n{"localhost", SOCK_DGRAM, 0, "", -1};
    rsv_resolve_name(&n);
    EXPECT_EQ(n.err, 0);
    EXPECT_TRUE(std::string(n.num) == "127.0.0.1" || std::string(n.num) == "::1") << n.num;
    rsv_name num{"127.0.0.9", SOCK_STREAM, 0, "", -1};
    rsv_resolve_name(&num);
    EXPECT_EQ(num.err, 0);
    EXPECT_STREQ(num.num, "127.0.0.9");
}

struct owner {
    int calls = 0;
    std::string num;
};

int g_delivered;

void done(void *p, const rsv_job *job)
{
    auto *o = static_cast<owner *>(p);
    ++o->calls;
    o->num = job->names[0].num;
    ++g_delivered;
}

int dispatch(int fd, int flags, void *udata, void *aux)
{
    return on_rsv_read(fd, flags, udata, aux);
}
int none(int, int, void *, void *) { return 0; }
void wait_limit(struct timespec *t) { *t = timespec{0, 20'000'000}; }
int g_turns;
// Ends the loop once both live jobs came back, or after 10 s of turns.
int until_delivered() { return g_delivered >= 2 || ++g_turns > 500; }

TEST(resolve, JobsComeBackThroughTheLoopUnlessCancelled)
{
    rqs_config cfg{};
    cfg.cb = {wait_limit, until_delivered, dispatch, none, none, nullptr, nullptr, nullptr,
              nullptr};
    ASSERT_EQ(rqs_init(&cfg), 0);
    rsv_job job{};
    job.count = 1;
    job.names[0] = rsv_name{"localhost", SOCK_DGRAM, 0, "", -1};
    owner a, cancelled, b;
    const uint64_t ida = rsv_submit(&job, done, &a);
    const uint64_t idc = rsv_submit(&job, done, &cancelled);
    const uint64_t idb = rsv_submit(&job, done, &b);
    ASSERT_TRUE(ida && idc && idb);
    EXPECT_TRUE(ida < idc && idc < idb);
    rsv_cancel(idc);
    rqs_event_loop();
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 1);
    EXPECT_EQ(cancelled.calls, 0);
    EXPECT_FALSE(a.num.empty());
    rqs_destroy();
}

}  // namespace
