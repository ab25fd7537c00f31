// Control requests from the head's bytes to what they ask for: source,
// destination, command, query keys and the task key; agent messages
// against an empty registry; escaping of client input in log lines.
#include "rq.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cfg.h"
#include "log.h"
#include "oxamsg.h"
#include "registry.h"
#include "support.h"
#include "txtesc.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// A request whose head has been read: parse it as the read handler would.
struct parsed {
    tvl_urq rq{};
    std::string head;
    int rc;
    explicit parsed(const std::string &h) : head(h)
    {
        head.resize(URQ_HBUF_LEN);
        rq.tag.num = URQ_TAG;
        rq.hbuf = head.data();
        rq.hpos = h.size();
        rc = parse_tvl_get(&rq);
    }
    ~parsed()
    {
        if (rq.query_ht) skht_destroy(rq.query_ht, free);
    }
    std::string key()
    {
        char buf[MAX_RTASK_HKEY];
        return urq_task_key(&rq, buf, sizeof(buf)) == 0 ? buf : "#none";
    }
};

std::string get(const std::string &path) { return "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"; }

struct ParseCase {
    const char *name;
    std::string head;
    int rc;
    const char *src, *dst, *cmd;
    bool keep_alive;
    int drop;
    const char *key;
};
// Names the case in test listings (the default would print its bytes).
void PrintTo(const ParseCase &c, std::ostream *os) { *os << c.name; }

const ParseCase PARSE_CASES[] = {
    {"keep-alive", get("/src/udp://239.1.1.1:5000/dst/udp://239.2.2.2:6000/keep-alive"), 0,
     "udp://239.1.1.1:5000", "udp://239.2.2.2:6000", "keep-alive", true, 0,
     "udp://239.1.1.1:5000|udp://239.2.2.2:6000"},
    {"drop any case", get("/src/udp://239.1.1.1:5000/dst/udp://239.2.2.2:6000/DroP"), 0,
     "udp://239.1.1.1:5000", "udp://239.2.2.2:6000", "DroP", false, 1,
     "udp://239.1.1.1:5000|udp://239.2.2.2:6000"},
    {"kill, trailing slash", get("/src/udp://239.1.1.1:5000/dst/udp://239.2.2.2:6000/kill/"), 0,
     "udp://239.1.1.1:5000", "udp://239.2.2.2:6000", "kill", false, KILL_MODE,
     "udp://239.1.1.1:5000|udp://239.2.2.2:6000"},
    {"other word cut, ignored", get("/src/udp://239.1.1.1:5000/dst/udp://239.2.2.2:6000/jump"), 0,
     "udp://239.1.1.1:5000", "udp://239.2.2.2:6000", "jump", false, 0,
     "udp://239.1.1.1:5000|udp://239.2.2.2:6000"},
    {"no scheme, no command", get("/src/239.1.1.1:5000/dst/239.0.0.1:5000"), 0, "239.1.1.1:5000",
     "239.0.0.1:5000", nullptr, false, 0, "udp://239.1.1.1:5000|udp://239.0.0.1:5000"},
    // A scheme without a command leaves "udp:/" as the destination: a
    // datagram endpoint with a path, refused.
    {"scheme without command", get("/src/239.1.1.1:5000/dst/udp://239.0.0.1:5000"), EINVAL,
     "239.1.1.1:5000", "udp:/", "239.0.0.1:5000", false, 0, nullptr},
    {"udp path, empty destination", get("/udp/239.1.1.1:5000"), EINVAL, "udp://239.1.1.1:5000", "",
     nullptr, false, 0, nullptr},
    {"empty destination", get("/src/127.0.0.1:5040/dst/"), EINVAL, "127.0.0.1:5040", "", nullptr,
     false, 0, nullptr},
    // Every spelling of one endpoint makes one key.
    {"spellings, one key", get("/src/uDP://239.1.1.9:05052/dst/127.000.0.1:6052"), 0,
     "uDP://239.1.1.9:05052", "127.000.0.1:6052", nullptr, false, 0,
     "udp://239.1.1.9:5052|udp://127.0.0.1:6052"},
    {"empty source, rtp, slashes: one key",
     get("/src/udp://@239.1.1.9:5052/dst/rtp:///127.0.0.1:6052/go"), 0, "udp://@239.1.1.9:5052",
     "rtp:///127.0.0.1:6052", "go", false, 0, "udp://239.1.1.9:5052|udp://127.0.0.1:6052"},
    {"relay to itself", get("/src/127.0.0.1:5500/dst/127.0.0.1:5500"), EINVAL, "127.0.0.1:5500",
     "127.0.0.1:5500", nullptr, false, 0, nullptr},
    {"relay to itself, spelt apart", get("/src/UDP://127.0.0.1:5500/dst/rtp://127.0.0.1:05500/go"),
     EINVAL, "UDP://127.0.0.1:5500", "rtp://127.0.0.1:05500", "go", false, 0, nullptr},
    // The addresses the source's socket receives on, whatever the text:
    // the wildcard takes every local address, a mapped address is its
    // IPv4 one, a group (of any source) is its own.  A name is not looked
    // up by the parse: the request that would make the relay has it looked
    // up off the loop and is refused then.
    {"relay to itself through the wildcard", get("/src/0.0.0.0:5500/dst/127.0.0.1:5500"), EINVAL,
     "0.0.0.0:5500", "127.0.0.1:5500", nullptr, false, 0, nullptr},
    {"relay to itself by name, not looked up", get("/src/localhost:5500/dst/127.0.0.1:5500"), 0,
     "localhost:5500", "127.0.0.1:5500", nullptr, false, 0,
     "udp://localhost:5500|udp://127.0.0.1:5500"},
    {"relay to itself, mapped",
     get("/src/udp://[::ffff:127.0.0.1]:5500/dst/127.0.0.1:5500"), EINVAL,
     "udp://[::ffff:127.0.0.1]:5500", "127.0.0.1:5500", nullptr, false, 0, nullptr},
    {"relay to itself, IPv6 wildcard", get("/src/udp://[::]:5500/dst/udp://[::1]:5500/go"),
     EINVAL, "udp://[::]:5500", "udp://[::1]:5500", "go", false, 0, nullptr},
    {"relay to its own group", get("/src/udp://10.0.0.1@239.1.1.1:5500/dst/239.1.1.1:5500"),
     EINVAL, "udp://10.0.0.1@239.1.1.1:5500", "239.1.1.1:5500", nullptr, false, 0, nullptr},
    {"relay to its alternate through the wildcard",
     get("/src/239.1.1.1:5000/dst/127.0.0.1:5970?asrc=0.0.0.0:5970"), EINVAL, "239.1.1.1:5000",
     "127.0.0.1:5970", nullptr, false, 0, nullptr},
    {"wildcard source, another port", get("/src/0.0.0.0:5500/dst/127.0.0.1:5501"), 0,
     "0.0.0.0:5500", "127.0.0.1:5501", nullptr, false, 0,
     "udp://0.0.0.0:5500|udp://127.0.0.1:5501"},
    // A malformed escape names nothing.
    {"malformed escape in the source", get("/src/239.1.2.3:300%zz13/dst/127.0.0.1:6000"), -1, "",
     "", nullptr, false, 0, nullptr},
    {"malformed escape in the destination", get("/src/239.1.2.3:5000/dst/127.0.0.1:305%x23"), -1,
     "", "", nullptr, false, 0, nullptr},
    {"malformed escape in a client id",
     get("/src/239.1.1.1:5000/dst/239.2.2.2:6000?cid=team%GGred"), -1, "239.1.1.1:5000",
     "239.2.2.2:6000", nullptr, false, 0, nullptr},
    {"cut escape in a client id", get("/src/239.1.1.1:5000/dst/239.2.2.2:6000?cid=carol%4"), -1,
     "239.1.1.1:5000", "239.2.2.2:6000", nullptr, false, 0, nullptr},
    {"relay to its alternate", get("/src/239.1.1.1:5000/dst/239.2.2.2:5970?asrc=239.2.2.2:5970"),
     EINVAL, "239.1.1.1:5000", "239.2.2.2:5970", nullptr, false, 0, nullptr},
    {"alternate is the source", get("/src/239.2.2.2:5970/dst/127.0.0.1:6000?asrc=239.2.2.2:005970"),
     EINVAL, "239.2.2.2:5970", "127.0.0.1:6000", nullptr, false, 0, nullptr},
    // A source's own query is no control query; a datagram endpoint has none.
    {"udp source with a query", get("/src/127.0.0.1:5603%3Fcid%3Dyy/dst/127.0.0.1:6000"), EINVAL,
     "127.0.0.1:5603?cid=yy", "127.0.0.1:6000", nullptr, false, 0, nullptr},
    {"udp destination with a path", get("/src/127.0.0.1:5603/dst/udp://127.0.0.1:6000/x/go"),
     EINVAL, "127.0.0.1:5603", "udp://127.0.0.1:6000/x", "go", false, 0, nullptr},
    {"http source keeps its query",
     get("/src/http%3A%2F%2Fh%3A8201%2Flive.ts%3Fid%3D5%26cid%3Dx/dst/127.0.0.1:6000?ttl=3"), 0,
     "http://h:8201/live.ts?id=5&cid=x", "127.0.0.1:6000", nullptr, false, 0,
     "http://h:8201/live.ts?id=5&cid=x|udp://127.0.0.1:6000"},
    {"encoded path", get("/src/udp%3A%2F%2F239.1.1.1%3A5000/dst/239.2.2.2%3A6000"), 0,
     "udp://239.1.1.1:5000", "239.2.2.2:6000", nullptr, false, 0,
     "udp://239.1.1.1:5000|udp://239.2.2.2:6000"},
    {"favicon", get("/favicon.ico"), RC_FAVICON, "", "", nullptr, false, 0, nullptr},
    {"ping", get("/ping"), RC_PING, "", "", nullptr, false, 0, nullptr},
    {"post", "POST /src/a:1/dst/b:2 HTTP/1.1\r\n\r\n", EINVAL, "", "", nullptr, false, 0, nullptr},
    {"no version", "GET /src/a:1/dst/b:2\r\n\r\n", -1, "", "", nullptr, false, 0, nullptr},
    {"alias destination", get("/src/239.1.1.1:5000/dst/$news"), EINVAL, "239.1.1.1:5000",
     "$news", nullptr, false, 0, nullptr},
    {"query begins with ampersand", get("/src/239.1.1.1:5000/dst/239.2.2.2:6000?&cid=a"), -1,
     "239.1.1.1:5000", "239.2.2.2:6000", nullptr, false, 0, nullptr},
    {"query begins with equals", get("/src/239.1.1.1:5000/dst/239.2.2.2:6000?=a"), -1,
     "239.1.1.1:5000", "239.2.2.2:6000", nullptr, false, 0, nullptr},
    {"repeated query key", get("/src/239.1.1.1:5000/dst/239.2.2.2:6000?cid=a&cid=b"), EBUSY,
     "239.1.1.1:5000", "239.2.2.2:6000", nullptr, false, 0, nullptr},
};

class Parse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Parse, SourceDestinationCommandAndKey)
{
    const ParseCase &c = GetParam();
    g_mod_ll[LM_DEFAULT] = MIN_level;
    parsed p(c.head);
    g_mod_ll[LM_DEFAULT] = NORM_level;
    EXPECT_EQ(p.rc, c.rc);
    if (c.rc == 0 || c.rc == EINVAL || c.rc == -1 || c.rc == EBUSY) {
        EXPECT_STREQ(p.rq.uri_src, c.src);
        EXPECT_STREQ(p.rq.uri_dst, c.dst);
    }
    if (c.rc != 0) return;
    if (c.cmd)
        EXPECT_STREQ(p.rq.cmd, c.cmd);
    else
        EXPECT_EQ(p.rq.cmd, nullptr);
    EXPECT_EQ(p.rq.is_keep_alive, c.keep_alive);
    EXPECT_EQ(p.rq.must_drop, c.drop);
    EXPECT_EQ(p.key(), c.key);
}

INSTANTIATE_TEST_SUITE_P(rq, Parse, ::testing::ValuesIn(PARSE_CASES),
                         [](const auto &tp) {
                             std::string n = tp.param.name;
                             for (char &ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

TEST(rq, QueryKeys)
{
    const std::string base = "/src/239.1.1.1:5000/dst/239.2.2.2:6000";
    {
        parsed p(get(base + "?cid=abc&TTL=5&opkt=A1500&x=1"));
        ASSERT_EQ(p.rc, 0);
        EXPECT_STREQ(p.rq.cid, "abc");
        EXPECT_EQ(p.rq.ttl, 5);
        EXPECT_EQ(p.rq.dalign, 'A');
        EXPECT_EQ(p.rq.max_outpkt, 1500u);
        EXPECT_EQ(p.key(), "abc");       // a client id alone is the key
    }
    {
        parsed p(get(base + "?oPkT=a&Cid=Mixed&AsRc=239.9.9.9:5000"));  // names in any case
        ASSERT_EQ(p.rc, 0);
        EXPECT_EQ(p.rq.dalign, 'a');
        EXPECT_EQ(p.rq.max_outpkt, 0u);
        EXPECT_STREQ(p.rq.cid, "Mixed");
        EXPECT_STREQ(p.rq.asrc_uri, "239.9.9.9:5000");
    }
    {
        parsed p(get(base + "?opkt=5000"));
        ASSERT_EQ(p.rc, 0);
        EXPECT_EQ(p.rq.max_outpkt, 5000u);  // the upper bound is taken
    }
    {
        parsed p(get(base + "?ASRC=udp://239.9.9.9:5000&OPKT=b5000"));
        ASSERT_EQ(p.rc, 0);
        EXPECT_EQ(p.rq.dalign, 'b');
        EXPECT_EQ(p.key(), "udp://239.1.1.1:5000+udp://239.9.9.9:5000|udp://239.2.2.2:6000");
    }
    // Out of range, empty, unprintable once decoded, or one key twice in
    // any case: refused.
    for (const char *q : {"?opkt=A1316", "?OPKT=b5001", "?opkt=", "?opkt=ab", "?Ttl=300",
                          "?asrc=239.9.9.9%0A:5000"})
        EXPECT_EQ(parsed(get(base + q)).rc, EINVAL) << q;
    for (const char *q : {"?opkt=1500&CID=up&cid=low", "?ttl=1&TTL=1"})
        EXPECT_EQ(parsed(get(base + q)).rc, EBUSY) << q;
    {
        // Client ids that differ stay apart: escapes keep their bytes.
        parsed a(get(base + "?cid=caf%C3%A9")), b(get(base + "?cid=caf%C3%A8")),
            c(get(base + "?cid=x%3Fy"));
        ASSERT_EQ(a.rc, 0);
        ASSERT_EQ(b.rc, 0);
        ASSERT_EQ(c.rc, 0);
        EXPECT_NE(a.key(), b.key());
        EXPECT_EQ(c.key(), "x?y");
        EXPECT_EQ(parsed(get(base + "?cid=x%00y")).rc, -1);
    }
    {
        // An encoded '?' in the source is the source's own.
        parsed p(get("/src/http%3A%2F%2Fh%2Fs%3Fcid%3D1/dst/239.2.2.2:6000"));
        ASSERT_EQ(p.rc, 0);
        EXPECT_STREQ(p.rq.uri_src, "http://h/s?cid=1");
        EXPECT_EQ(p.rq.cid, nullptr);
    }
}

TEST(rq, UrlsAreCutToTheirRooms)
{
    tvl_urq rq{};
    memset(rq.uri_src, 'a', sizeof(rq.uri_src) - 1);
    memcpy(rq.uri_dst, "udp://1.2.3.4:5", 16);
    std::string alt(200, 'b');
    rq.asrc_uri = alt.c_str();
    urq_urls u;
    urq_mk_urls(&rq, &u);
    EXPECT_EQ(strlen(u.src), URQ_MAX_URL);
    EXPECT_EQ(std::string(u.src, 6), "udp://");
    EXPECT_STREQ(u.dst, "udp://1.2.3.4:5");
    EXPECT_EQ(strlen(u.alt), URQ_MAX_ALTURL);
    char key[MAX_RTASK_HKEY];
    EXPECT_EQ(urq_task_key(&rq, key, sizeof(key)), -1);  // too long for a key
}

TEST(rq, ClientInputIsEscapedInTheLog)
{
    LogCapture log;
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    parsed p(get("/src/239.1.1.1:5000/dst/239.2.2.2:6000?cid=a%0D%0AFORGED+line%1b"));
    g_mod_ll[LM_DEFAULT] = NORM_level;
    ASSERT_EQ(p.rc, 0);
    const std::string text = log.text();
    EXPECT_THAT(text, Not(HasSubstr("\nFORGED")));
    EXPECT_THAT(text, Not(HasSubstr("\x1b")));
}

// Raw bytes (not %-encoded) pass the decoding: a request target holding a
// control byte or a byte above ASCII is refused, and logged escaped.
TEST(rq, RawBytesInTheTargetAreRefusedAndEscaped)
{
    const struct {
        std::string path, logged;
    } cases[] = {
        {"/src/239.1.1.1:5000/dst/239.2.2.2:6000?cid=a\x05" "FORGED\x1b\x7f\x80",
         "src=[239.1.1.1:5000], dst=[239.2.2.2:6000], query=[cid=a\\x05FORGED\\x1b\\x7f\\x80]"},
        {"/src/http://h/a\x01/dst/239.2.2.2:6000", "src=[http://h/a%01]"},
        {"/src/239.1.1.1:5000\x01/dst/239.2.2.2:6000", "src=[239.1.1.1:5000\\x01]"},
        {"/src/239.1.1.1:5000/dst/239.2.2.2:6000\xc3\xa9/kill", "dst=[239.2.2.2:6000\\xc3\\xa9/kill]"},
        // DEL on its own, without a byte that is refused anyway beside it.
        {"/src/239.1.1.1\x7f:5000/dst/239.2.2.2:6000", "src=[239.1.1.1\\x7f:5000]"},
        {"/src/239.1.1.1:5000/dst/239.2.2.2:6000\x7f", "dst=[239.2.2.2:6000\\x7f]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logged);
        LogCapture log;
        g_mod_ll[LM_DEFAULT] = DEBUG_level;
        parsed p(get(c.path));
        g_mod_ll[LM_DEFAULT] = NORM_level;
        EXPECT_EQ(p.rc, EINVAL);
        EXPECT_EQ(p.rq.cid, nullptr);
        const std::string text = log.text();
        EXPECT_THAT(text, HasSubstr("unprintable byte in request target: "));
        EXPECT_THAT(text, HasSubstr(c.logged));
        for (unsigned char ch : text) EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7f)) << int(ch);
    }
}

TEST(txtesc, EscapesAndCuts)
{
    char buf[64];
    EXPECT_STREQ(esc_text("a\r\nb\x01\\ \x7f\xff", size_t(-1), buf, sizeof(buf)),
                 "a\\r\\nb\\x01\\\\ \\x7f\\xff");
    EXPECT_STREQ(esc_text("abc", 2, buf, sizeof(buf)), "ab");
    EXPECT_STREQ(esc_text(nullptr, 5, buf, sizeof(buf)), "");
    const std::string longer(100, '\n');
    esc_text(longer.c_str(), longer.size(), buf, 16);
    EXPECT_STREQ(buf, "\\n\\n\\n\\n\\n\\n...");
}

// The registry with room for a few tasks and no route table.
class oxa_msg : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_cfg.max_tasks = 4;
        ASSERT_EQ(xvlst_mmap_fixed(&g_app.curr_tasks, 4, TASK_BLKSZ), 0);
        ASSERT_EQ(xvlst_mmap_fixed(&g_app.pprm_tasks, 4, PPRM_BLKSZ), 0);
        ASSERT_EQ(skht_create(&g_app.task_ht, 4, plHash, nullptr, 0), 0);
    }
    void TearDown() override
    {
        skht_destroy(g_app.task_ht, nullptr);
        xvlst_reset(&g_app.curr_tasks);
        xvlst_reset(&g_app.pprm_tasks);
        g_app = tavel_ctx{};
    }
};

TEST_F(oxa_msg, MalformedAndUnroutedMessages)
{
    LogCapture log;
    EXPECT_EQ(oxa_process_task("join UDP://239.1.1.1"), EINVAL);
    EXPECT_EQ(oxa_process_task("JOIN239.1.1.1"), EINVAL);
    EXPECT_EQ(oxa_process_task("JOIN 239.1.1.1"), EINVAL);
    EXPECT_EQ(oxa_process_task(""), EINVAL);
    // A scheme in lower case is accepted; without a route nothing is made.
    EXPECT_EQ(oxa_process_task("JOIN udp://239.1.1.1"), EINVAL);
    EXPECT_EQ(task_count(), 0u);
    EXPECT_EQ(oxa_process_task("LEAVE UDP://239.1.1.1"), ESRCH);
    EXPECT_EQ(oxa_process_task("LEAVE UDP://239.1.1.1\nJOIN forged"), ESRCH);
    const std::string text = log.text();
    EXPECT_THAT(text, HasSubstr("invalid/unsupported command in: join UDP://239.1.1.1\n"));
    EXPECT_THAT(text, HasSubstr("expected OXA group to be UDP:// URL, got [239.1.1.1]\n"));
    EXPECT_THAT(text, HasSubstr("could not find OXA task for [UDP://239.1.1.1]\n"));
    EXPECT_THAT(text, Not(HasSubstr("\nJOIN forged")));
}

}  // namespace
