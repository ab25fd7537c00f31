#include "uri.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "log.h"
#include "support.h"

namespace {

using opt = std::optional<std::string>;
const opt NONE = std::nullopt;

opt piece(const char *p, size_t len)
{
    if (!p) {
        EXPECT_EQ(len, 0u);
        return NONE;
    }
    EXPECT_GT(len, 0u);
    return std::string(p, len);
}

// A buffer with guard bytes after its stated size, to catch writes past it.
struct Guarded {
    explicit Guarded(size_t n) : size(n), bytes(n + 16, '#') {}
    char *buf() { return bytes.data(); }
    bool intact() const { return bytes.find_first_not_of('#', size) == std::string::npos; }
    std::string str() const { return std::string(bytes.c_str()); }
    size_t size;
    std::string bytes;
};

std::map<std::string, opt> table_of(skht_t h)
{
    std::map<std::string, opt> m;
    skht_iter(
        h,
        [](const void *key, void *data, void *aux) {
            auto &out = *static_cast<std::map<std::string, opt> *>(aux);
            out[static_cast<const char *>(key)] =
                data ? opt(static_cast<const char *>(data)) : NONE;
        },
        &m);
    return m;
}

}  // namespace

// --- URLs ------------------------------------------------------------------

TEST(uri, parse_splits_scheme_authority_path_query)
{
    struct {
        const char *text;
        int rc;
        opt scheme, auth, path, query;
    } const cases[] = {
        {"udp://10.0.0.1@239.1.1.1:5000", 0, "udp", "10.0.0.1", "239.1.1.1:5000", NONE},
        {"udp://@239.1.1.1:5000", 0, "udp", NONE, "239.1.1.1:5000", NONE},
        {"udp://a@b@c", 0, "udp", "a", "b@c", NONE},
        {"u://x", 0, NONE, NONE, "u://x", NONE},  // one-character scheme: none
        {"udp:/x", 0, NONE, NONE, "udp:/x", NONE},
        {"http://a/p?x=1?y=2", 0, "http", NONE, "a/p?x=1", "y=2"},
        {"http://a/p?x=1/", 0, "http", NONE, "a/p?x=1/", NONE},
        {"http://h:80/live?", 0, "http", NONE, "h:80/live", NONE},
        {"http://?q", 0, "http", NONE, NONE, "q"},
        {" \tRTP://239.1.1.1:5000", 0, "RTP", NONE, "239.1.1.1:5000", NONE},
        {"file:///tmp/x.ts", 0, "file", NONE, "/tmp/x.ts", NONE},
        {"/src/udp://a:1/dst/udp://b:2/drop", 0, NONE, NONE, "src/udp://a:1/dst/udp://b:2/drop",
         NONE},
        {"/ping?cid=a@b", 0, NONE, NONE, "ping", "cid=a@b"},
        {"//PING/", 0, NONE, NONE, "/PING/", NONE},
        {"/?q", 0, NONE, NONE, NONE, "q"},
        {"/", 0, NONE, NONE, NONE, NONE},
        {"", 0, NONE, NONE, NONE, NONE},
        {"?", 0, NONE, NONE, NONE, NONE},
        {"udp://", -1, NONE, NONE, NONE, NONE},
        {"udp://10.0.0.1@", -1, NONE, NONE, NONE, NONE},
        {"udp://@", -1, NONE, NONE, NONE, NONE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        uri_layout lay;
        memset(&lay, 0x5a, sizeof lay);
        ASSERT_EQ(uri_parse(c.text, &lay), c.rc);
        EXPECT_EQ(uri_parse(c.text, nullptr), c.rc);
        if (c.rc != 0) continue;
        EXPECT_EQ(piece(lay.scheme, lay.s_len), c.scheme);
        EXPECT_EQ(piece(lay.authority, lay.a_len), c.auth);
        EXPECT_EQ(piece(lay.path, lay.p_len), c.path);
        EXPECT_EQ(piece(lay.query, lay.q_len), c.query);
    }
}

TEST(uri, parse_len_stops_at_the_given_length)
{
    const char *line = "/src/x/dst/y?cid=1 HTTP/1.1\r\nHost: h?z\r\n";
    uri_layout lay;
    ASSERT_EQ(uri_parse_len(line, strcspn(line, " "), &lay), 0);
    EXPECT_EQ(piece(lay.path, lay.p_len), "src/x/dst/y");
    EXPECT_EQ(piece(lay.query, lay.q_len), "cid=1");
    EXPECT_EQ(uri_parse_len("udp://x", 6, &lay), -1);
}

TEST(uri, getters_copy_exactly_or_leave_the_buffer_empty)
{
    uri_layout lay;
    ASSERT_EQ(uri_parse("udp://src@grp:1?q=1", &lay), 0);
    Guarded fits(4), tight(3);
    EXPECT_EQ(uri_get_scheme(&lay, fits.buf(), fits.size), fits.buf());
    EXPECT_EQ(fits.str(), "udp");
    EXPECT_EQ(uri_get_scheme(&lay, tight.buf(), tight.size), nullptr);
    EXPECT_EQ(tight.str(), "");
    EXPECT_TRUE(fits.intact() && tight.intact());

    char buf[16] = "stale";
    EXPECT_STREQ(uri_get_authority(&lay, buf, sizeof buf), "src");
    EXPECT_STREQ(uri_get_path(&lay, buf, sizeof buf), "grp:1");
    EXPECT_STREQ(uri_get_query(&lay, buf, sizeof buf), "q=1");
    ASSERT_EQ(uri_parse("/p", &lay), 0);
    strcpy(buf, "stale");
    EXPECT_EQ(uri_get_query(&lay, buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(uri_get_scheme(&lay, buf, 0), nullptr);
    EXPECT_EQ(cpyseg("abc", 3, buf, 4), buf);
    EXPECT_EQ(cpyseg("abc", 0, buf, 4), nullptr);
}

TEST(uri, scheme_kinds_ignore_case)
{
    struct {
        const char *scheme;
        int kind;
    } const cases[] = {
        {"file", URI_FILE}, {"TCP", URI_TCP}, {"udp", URI_UDP}, {"Rtp", URI_RTP},
        {"HTTP", URI_HTTP}, {"https", URI_BAD}, {"ud", URI_BAD}, {"", URI_BAD},
    };
    for (const auto &c : cases) EXPECT_EQ(uri_scheme_kind(c.scheme), c.kind) << c.scheme;
    EXPECT_EQ(uri_scheme_kind(nullptr), URI_BAD);
    EXPECT_STREQ(URI_KIND_STR[URI_HTTP], "http");
}

TEST(uri, extract_copies_pieces_and_logs_each_failure)
{
    const std::string p127(127, 'p'), a63(63, 'a'), q511(511, 'q');
    const std::string long_path = "udp://" + p127 + "p", ok_path = "udp://" + p127;
    const std::string long_auth = "udp://" + a63 + "a@g:1", ok_auth = "udp://" + a63 + "@g:1";
    const std::string long_query = "http://h/?" + q511 + "q", ok_query = "http://h/?" + q511;
    struct {
        const char *url;
        int kind;
        const char *why;  // the first ERR line's tail; null: no failure
    } const cases[] = {
        {"file:///tmp/x", URI_FILE, nullptr},
        {"tcp://h:1", URI_TCP, nullptr},
        {"udp://10.0.0.1@239.1.1.1:5000", URI_UDP, nullptr},
        {"rtp://239.1.1.1:5000", URI_RTP, nullptr},
        {"HTTP://h:8080/live?x=1", URI_HTTP, nullptr},
        {"ftp://h/x", URI_BAD, nullptr},
        {ok_path.c_str(), URI_UDP, nullptr},
        {ok_auth.c_str(), URI_UDP, nullptr},
        {ok_query.c_str(), URI_HTTP, nullptr},
        {"udp://", -1, "uri_parse ERROR"},
        {"239.1.1.1:5000", -1, "uri_get_scheme ERROR"},
        {"longname://x", -1, "uri_get_scheme ERROR"},
        {long_auth.c_str(), -1, "uri_get_authority ERROR"},
        {long_path.c_str(), -1, "uri_get_path ERROR"},
        {"http://?x=1", -1, "uri_get_path ERROR"},
        {long_query.c_str(), -1, "uri_get_query ERROR"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        LogCapture log;
        Guarded s(URI_SCHEME_MAX), a(URI_AUTH_MAX), p(URI_PATH_MAX), q(URI_QUERY_MAX);
        EXPECT_EQ(uri_extract(c.url, s.buf(), a.buf(), p.buf(), q.buf()), c.kind);
        EXPECT_TRUE(s.intact() && a.intact() && p.intact() && q.intact());
        if (!c.why) {
            EXPECT_EQ(log.text(), "");
            continue;
        }
        EXPECT_EQ(log.text(), std::string("(ERR)  uri_extract: ") + c.why +
                                  "\n(ERR)  uri_extract: error parsing URI: [" + c.url + "]\n");
        EXPECT_EQ(s.str() + a.str() + p.str() + q.str(), "");
    }

    char s[URI_SCHEME_MAX], a[URI_AUTH_MAX], p[URI_PATH_MAX], q[URI_QUERY_MAX];
    ASSERT_EQ(uri_extract("udp://10.0.0.1@239.1.1.1:5000?x", s, a, p, q), URI_UDP);
    EXPECT_STREQ(s, "udp");
    EXPECT_STREQ(a, "10.0.0.1");
    EXPECT_STREQ(p, "239.1.1.1:5000");
    EXPECT_STREQ(q, "x");
    // Pieces not asked for are not checked.
    EXPECT_EQ(uri_extract("http://?x=1", nullptr, nullptr, nullptr, nullptr), URI_HTTP);
    EXPECT_EQ(uri_extract(long_auth.c_str(), nullptr, nullptr, p, nullptr), URI_UDP);
}

TEST(uri, path_addrport_takes_address_and_port)
{
    struct {
        const char *path;
        size_t len;      // 0: the whole text
        long rest;       // offset of the result; -1: null
        const char *addr, *port;
    } const cases[] = {
        {"239.1.1.1:5000", 0, 14, "239.1.1.1", "5000"},
        {" \t//h:80/live/x?y", 0, 8, "h", "80"},
        {"h/live", 0, 1, "h", ""},
        {"h?x", 0, 1, "h", ""},
        {"h:", 0, 2, "h", ""},
        {"[::1]:8080/x", 0, 10, "::1", "8080"},
        {"[ff05::1]", 0, 9, "ff05::1", ""},
        {"[::1]x", 0, 5, "::1", ""},
        {"h:5000", 3, 3, "h", "5"},
        {"[::1]:80", 4, -1, "", ""},  // the ']' lies beyond the length
        {"[::1/x]", 0, -1, "", ""},
        {"[::1?]", 0, -1, "", ""},
        {"[::1", 0, -1, "", ""},
        {" //", 0, -1, "", ""},
        {"", 0, -1, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture log;
        Guarded addr(16), port(8);
        const size_t len = c.len ? c.len : strlen(c.path);
        const char *r =
            uri_path_addrport(c.path, len, addr.buf(), addr.size, port.buf(), port.size);
        EXPECT_EQ(r ? r - c.path : -1, c.rest);
        EXPECT_EQ(addr.str(), c.addr);
        EXPECT_EQ(port.str(), c.port);
        EXPECT_TRUE(addr.intact() && port.intact());
        if (!r) {
            EXPECT_EQ(log.text(), "(ERR)  uri_path_addrport: ERROR parsing path=[" +
                                      std::string(c.path, len) + "]\n");
        }
    }

    LogCapture log;
    char a[5], p[3];
    EXPECT_NE(uri_path_addrport("host:80", 7, a, sizeof a, p, sizeof p), nullptr);
    EXPECT_EQ(uri_path_addrport("hosts:80", 8, a, sizeof a, p, sizeof p), nullptr);
    EXPECT_EQ(uri_path_addrport("host:800", 8, a, sizeof a, p, sizeof p), nullptr);
    EXPECT_STREQ(a, "");
    EXPECT_NE(log.text().find("path=[host:800]"), std::string::npos);
    const char *path = "host:8000/x";
    EXPECT_EQ(uri_path_addrport(path, strlen(path), nullptr, 0, nullptr, 0), path + 9);
}

// --- the control-request path ----------------------------------------------

TEST(uri, endpts_path_grammar)
{
    struct {
        const char *path;
        int rc;
        const char *src, *dst;
    } const cases[] = {
        {"src/http://10.1.1.1:8080/live/src/x/dst/y/dst/udp://239.1.1.1:5000/keep-alive", 0,
         "http://10.1.1.1:8080/live/src/x/dst/y", "udp://239.1.1.1:5000/keep-alive"},
        {"src/udp://a:1/dst/udp://b:2/drop", 0, "udp://a:1", "udp://b:2/drop"},
        {"SRC/a/Dst/b", 0, "a", "b"},
        {"src/a//dst/b", 0, "a", "b"},
        {"src/a/dst", 0, "a", ""},
        {"src/a/dst/", 0, "a", ""},
        {"src/dst/b", 0, "", "b"},
        {"src/udp://a:1", 1, "", ""},
        {"src/src/x/dst", 1, "", ""},
        {"src/src/src/", 3, "", ""},
        {"src/", 1, "", ""},
        {"udp/239.1.1.1:5000", 0, "udp://239.1.1.1:5000", ""},
        {"RTP/239.1.1.1:5000", 0, "RTP://239.1.1.1:5000", ""},
        {"uDp/239.1.1.1:5000/keep-alive/x", 0, "uDp://239.1.1.1:5000", ""},
        {"udp//h:1", 0, "udp://h:1", ""},
        {"udp/", EINVAL, "", ""},
        {"udp//", EINVAL, "", ""},
        {"udp///x", E2BIG, "", ""},
        {"$chan", 0, "$chan", ""},
        {"~chan/dst/x", 0, "~chan", ""},
        {"^a/b", 0, "^a", ""},
        {"udp", ESRCH, "", ""},
        {"ping", ESRCH, "", ""},
        {"", ESRCH, "", ""},
        {"tcp/h:1", -1, "", ""},
        {"srcx/a/dst/b", -1, "", ""},
        {"dst/a", -1, "", ""},
        {"/", -1, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        Guarded src(64), dst(64);
        memcpy(src.buf(), "stale", 6);
        memcpy(dst.buf(), "stale", 6);
        EXPECT_EQ(uri_extract_endpts(c.path, src.buf(), src.size, dst.buf(), dst.size), c.rc);
        EXPECT_EQ(src.str(), c.src);
        EXPECT_EQ(dst.str(), c.dst);
        EXPECT_TRUE(src.intact() && dst.intact());
    }
}

TEST(uri, endpts_refuses_what_does_not_fit)
{
    struct {
        const char *path;
        size_t slen, dlen;
        int rc;
        const char *src, *dst;
    } const cases[] = {
        {"$abc", 5, 8, 0, "$abc", ""},
        {"$abcd", 5, 8, E2BIG, "", ""},
        {"$abcd/x", 5, 8, E2BIG, "", ""},
        {"udp/h:1", 10, 8, 0, "udp://h:1", ""},
        {"udp/h:12", 10, 8, E2BIG, "", ""},
        {"udp/h:1", 4, 8, E2BIG, "", ""},
        {"udp/h:1", 3, 8, -EINVAL, "", ""},
        {"udp", 3, 8, ESRCH, "", ""},
        {"src/abcd/dst/efghijk", 5, 8, 0, "abcd", "efghijk"},
        {"src/abcde/dst/e", 5, 8, -1, "", ""},
        {"src/a/dst/efghijkl", 5, 8, -1, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        Guarded src(c.slen), dst(c.dlen);
        EXPECT_EQ(uri_extract_endpts(c.path, src.buf(), c.slen, dst.buf(), c.dlen), c.rc);
        EXPECT_EQ(src.str(), c.src);
        EXPECT_EQ(dst.str(), c.dst);
        EXPECT_TRUE(src.intact() && dst.intact());
    }
}

TEST(uri, segments_and_aliases)
{
    std::vector<std::string> segs;
    size_t n;
    for (const char *p = "a/b//c/", *next; (next = uri_xseg(p, &n)); p = next)
        segs.emplace_back(p, n);
    EXPECT_EQ(segs, (std::vector<std::string>{"a/", "b/", "/c/"}));
    EXPECT_EQ(uri_xseg("/", &n), nullptr);
    EXPECT_EQ(n, 0u);

    EXPECT_TRUE(xseg_scmp("/DsT/", 5, "dst"));
    EXPECT_TRUE(xseg_scmp("src", 3, "SRC"));
    EXPECT_FALSE(xseg_scmp("srcs/", 5, "src"));
    char buf[4];
    EXPECT_EQ(xseg_cpy("/abc/", 5, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(xseg_cpy("//", 2, buf, sizeof buf), E2BIG);
    EXPECT_EQ(xseg_cpy("abcd", 4, buf, sizeof buf), E2BIG);
    EXPECT_STREQ(buf, "");

    for (const char *a : {"$x", "~", "^y/z"}) EXPECT_TRUE(uri_is_alias(a)) << a;
    for (const char *a : {"", "x$", "/$x"}) EXPECT_FALSE(uri_is_alias(a)) << a;
    EXPECT_FALSE(uri_is_alias(nullptr));
}

// --- percent-encoding ------------------------------------------------------

TEST(uri, decode_escapes_within_the_buffer)
{
    struct {
        const char *text;
        size_t size;  // 0: the text's length and terminator
        opt out;
    } const cases[] = {
        {"%41%2f+", 0, "A/ "},
        {"%7E%7e%7a", 0, "~~z"},
        // A malformed or cut escape refuses the text: skipped, it would
        // join its neighbours into another name.
        {"%zz1", 0, NONE},
        {"%%41", 0, NONE},
        {"a%4%41", 0, NONE},
        {"team%GGred", 0, NONE},
        {"300%zz13", 0, NONE},
        {"%4g", 0, NONE},
        {"bob%", 0, NONE},
        {"carol%4", 0, NONE},
        {"%0a", 0, "?"},
        {"%00x", 0, "?x"},
        {"%ff%80", 0, "??"},
        {"\x01" "b", 0, "\x01" "b"},  // only escapes are checked
        {"abc%", 8, NONE},        // cut short by the text's end
        {"abc%4", 8, NONE},
        {"ab%41", 5, "abA"},      // escape ends at the buffer's last byte
        {"ab%41", 4, NONE},       // '%' in the last two bytes
        {"abc%", 5, NONE},
        {"abcdef", 4, "abc"},     // fills the buffer: last byte terminates
        {"", 0, ""},
        {"x", 0, "x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string buf(c.text);
        buf.push_back('\0');
        const size_t size = c.size ? c.size : buf.size();
        buf.resize(std::max(buf.size(), size) + 8, '#');
        char *r = uri_decode(buf.data(), size);
        EXPECT_EQ(r ? opt(r) : NONE, c.out);
        EXPECT_EQ(buf.find_first_not_of('#', std::max(strlen(c.text) + 1, size)),
                  std::string::npos);
    }
    char one[1] = {'x'};
    EXPECT_EQ(uri_decode(one, 0), nullptr);
    EXPECT_STREQ(uri_decode(one, 1), "");

    // The exact decoding refuses the same texts and leaves nothing behind.
    for (const char *bad : {"team%GGred", "bob%", "carol%4", "%0"}) {
        char buf[32];
        snprintf(buf, sizeof buf, "%s", bad);
        EXPECT_EQ(uri_decode_exact(buf, sizeof buf), nullptr) << bad;
        EXPECT_STREQ(buf, "") << bad;
    }
}

TEST(uri, escapes_ok_finds_every_malformed_escape)
{
    for (const char *good : {"", "plain", "%41%2f+", "a%7E", "http://h/a%20b?x=%3D"})
        EXPECT_TRUE(uri_escapes_ok(good)) << good;
    EXPECT_TRUE(uri_escapes_ok(nullptr));
    for (const char *bad : {"%", "a%4", "%zz", "%4g", "ok%41then%", "udp://h:300%zz13", "%%41"})
        EXPECT_FALSE(uri_escapes_ok(bad)) << bad;
}

TEST(uri, encode_escapes_unsafe_and_unprintable_bytes)
{
    struct {
        const char *text;
        size_t size;  // 0: room enough
        const char *out;
    } const cases[] = {
        {"Mozilla/5.0 (X11)", 0, "Mozilla%2F5.0%20(X11)"},
        {";/?:@&=+$,* ", 0, "%3B%2F%3F%3A%40%26%3D%2B%24%2C%2A%20"},
        {"100%~\"<>", 0, "100%~\"<>"},
        {"\x01\x7f\xff", 0, "%01%7F%FF"},
        {"abc", 3, "ab"},      // first size - 1 characters only
        {"a b", 4, "a"},       // stop before an escape that would not fit
        {"a b", 5, "a%20"},
        {"ab ", 5, "ab"},
        {"abc", 1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const size_t size = c.size ? c.size : 64;
        std::string buf(c.text);
        buf.resize(size + 8, '#');
        buf[strlen(c.text)] = '\0';
        EXPECT_STREQ(uri_encode(buf.data(), size), c.out);
        EXPECT_EQ(buf.find_first_not_of('#', std::max(strlen(c.text) + 1, size)),
                  std::string::npos);
    }
    EXPECT_EQ(uri_encode(nullptr, 8), nullptr);
}

// --- queries -----------------------------------------------------------------

TEST(uri, query_parse_names_values_and_refusals)
{
    const std::string n31(31, 'n'), n32(32, 'n'), v31(31, 'v'), v32(32, 'v'), v33(33, 'v');
    const std::string v31pct = v31 + "%";
    using table = std::map<std::string, opt>;
    struct {
        std::string query;
        int rc;
        table keys;
        const char *log;
    } const cases[] = {
        {"cid=abc&ttl=5", 0, {{"cid", "abc"}, {"ttl", "5"}}, ""},
        {"a=", 0, {{"a", NONE}}, ""},
        {"a&b=1", 0, {{"a&b", "1"}}, ""},
        {"a=1&&b=2", 0, {{"a", "1"}, {"&b", "2"}}, ""},
        {"a=1&", 0, {{"a", "1"}}, ""},
        {"a=b=c", 0, {{"a", "b=c"}}, ""},
        {"n%61me=v%41l+x", 0, {{"name", "vAl x"}}, ""},
        // Escapes keep their bytes, so that values that differ stay apart;
        // a NUL cannot be kept in a text and is refused.
        {"a=%0d%0a%3F", 0, {{"a", "\r\n?"}}, ""},
        {"a=caf%C3%A9&b=caf%C3%A8", 0, {{"a", "caf\xc3\xa9"}, {"b", "caf\xc3\xa8"}}, ""},
        {"a=x%00y", -1, {}, ""},
        {"a%00=1", -1, {}, ""},
        {"asrc=udp://10.0.0.1@239.1.1.1:5000", 0, {{"asrc", "udp://10.0.0.1@239.1.1.1:5000"}}, ""},
        {n31 + "=1", 0, {{n31, "1"}}, ""},
        {"a=" + v31, 0, {{"a", v31}}, ""},
        {"a=" + v32, 0, {{"a", v32}}, ""},  // kept whole, not cut to 31
        {"a=" + std::string(16, 'x') + "%41", 0, {{"a", std::string(16, 'x') + "A"}}, ""},
        {n32 + "=1", -1, {}, ""},
        {"a=" + v33, -1, {},
         "(ERR)  uri_query_parse: argument for query parameter [a] is too long [33]\n"},
        {"a=" + v31pct, -1, {}, ""},
        // A malformed escape is refused, never skipped into another value.
        {"cid=team%GGred", -1, {}, ""},
        {"cid=bob%", -1, {}, ""},
        {"cid=carol%4", -1, {}, ""},
        {"c%id=x", -1, {}, ""},
        {"a=1&a=2", EBUSY, {}, "(ERR)  uri_query_parse: duplicate query parameter [a]\n"},
        {"a=1&%61=", EBUSY, {}, "(ERR)  uri_query_parse: duplicate query parameter [a]\n"},
        {"=1", -1, {}, ""},
        {"a", -1, {}, ""},
        {"a=1&b", -1, {}, ""},
        {"a=1&=2", -1, {}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.query);
        LogCapture log;
        skht_t ht = 12345;
        EXPECT_EQ(uri_query_parse(c.query.c_str(), &ht), c.rc);
        EXPECT_EQ(log.text(), c.log);
        if (c.rc != 0) {
            EXPECT_EQ(ht, 0u);
            continue;
        }
        ASSERT_NE(ht, 0u);
        EXPECT_EQ(table_of(ht), c.keys);
        skht_destroy(ht, free);
    }
}

TEST(uri, query_parse_empty_and_many_keys)
{
    skht_t ht = 1;
    EXPECT_EQ(uri_query_parse("", &ht), 0);
    EXPECT_EQ(ht, 0u);
    ht = 1;
    EXPECT_EQ(uri_query_parse(nullptr, &ht), 0);
    EXPECT_EQ(ht, 0u);
    EXPECT_EQ(uri_query_parse("a=1", nullptr), -1);

    std::string q;
    for (int i = 0; i < 128; ++i)
        q += (i ? "&k" : "k") + std::to_string(i) + "=" + std::to_string(i);
    ASSERT_EQ(uri_query_parse(q.c_str(), &ht), 0);
    EXPECT_EQ(skht_count(ht), 128u);
    void *v = nullptr;
    EXPECT_EQ(skht_get(ht, "k127", &v), 0);
    EXPECT_STREQ(static_cast<char *>(v), "127");
    skht_destroy(ht, free);

    LogCapture log;
    q += "&k128=x";
    EXPECT_EQ(uri_query_parse(q.c_str(), &ht), -1);
    EXPECT_EQ(ht, 0u);
    EXPECT_EQ(log.text(), "(ERR)  uri_query_parse: too many query parameters: [129]\n");
}

// --- prefixes and aliases ----------------------------------------------------

TEST(uri, ensure_schema_prefixes_or_refuses)
{
    char buf[21];
    const char *text = "udp://239.1.1.1:5000";
    EXPECT_EQ(uri_ensure_schema("UDP://", text, buf, sizeof buf), text);
    EXPECT_EQ(uri_ensure_schema("UDP://", "239.1.1.1:5000", buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "UDP://239.1.1.1:5000");
    errno = 0;
    EXPECT_EQ(uri_ensure_schema("UDP://", "239.1.1.1:50000", buf, sizeof buf), nullptr);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_STREQ(buf, "");
}

TEST(uri, split_alias_at_the_query)
{
    char alias[5];
    const char *q = "stale";
    const char *text = "$abc?x=1";
    uri_split_alias(text, alias, sizeof alias, &q);
    EXPECT_STREQ(alias, "$abc");
    EXPECT_EQ(q, text + 5);
    uri_split_alias("~ab", alias, sizeof alias, &q);
    EXPECT_STREQ(alias, "~ab");
    EXPECT_EQ(q, nullptr);
    // A name that does not fit is refused, not cut into another name.
    errno = 0;
    uri_split_alias("$abcd?x", alias, sizeof alias, &q);
    EXPECT_STREQ(alias, "");
    EXPECT_EQ(errno, E2BIG);
    EXPECT_STREQ(q, "x");
}
