#include "webops.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "support.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using std::string;

// A connected non-blocking socket pair: the code under test uses a(), the
// test plays the peer on b().
struct Pair {
    int fd[2] = {-1, -1};
    Pair()
    {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) abort();
        fcntl(fd[0], F_SETFL, O_NONBLOCK);
    }
    ~Pair()
    {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    int a() const { return fd[0]; }
    int b() const { return fd[1]; }
    void put(const string &s) const
    {
        ASSERT_EQ(send(fd[1], s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size()));
    }
    void close_b()
    {
        close(fd[1]);
        fd[1] = -1;
    }
    // Everything the peer has received so far.
    string got() const
    {
        string out;
        char buf[4096];
        pollfd p{fd[1], POLLIN, 0};
        while (poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
            const ssize_t n = recv(fd[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            out.append(buf, size_t(n));
        }
        return out;
    }
};

// Text in a heap block of exactly its size, so that ASan sees any read
// past the length a parser was given.
struct Exact {
    explicit Exact(const string &s) : n(s.size()), p(static_cast<char *>(calloc(s.size() ? s.size() : 1, 1)))
    {
        if (n) memcpy(p.get(), s.data(), n);
    }
    size_t n;
    struct Free {
        void operator()(char *q) const { free(q); }
    };
    std::unique_ptr<char, Free> p;
    const char *data() const { return p.get(); }
};

int parse(const string &text, http_header *h)
{
    Exact e(text);
    return parse_http_header(e.data(), e.n, h, nullptr, 0);
}

struct Urq {
    int rc;
    string src, dst, query;
};

Urq urq(const string &text, size_t ulen = 256)
{
    Exact e(text);
    std::vector<char> src(ulen, 'x'), dst(ulen, 'x');
    Urq r;
    http_header h{};
    r.rc = web_parse_urq(e.data(), e.n, src.data(), dst.data(), ulen, &h);
    r.src = src.data();
    r.dst = dst.data();
    if (h.uri.query) r.query.assign(h.uri.query, h.uri.q_len);
    return r;
}

string rq(const string &path, const string &tail = " HTTP/1.1\r\nHost: x\r\n\r\n")
{
    return "GET " + path + tail;
}

http_response with_server(http_response r)
{
    r.server = "tvl/0.1";
    return r;
}

string render(const http_response &r, size_t size = 4096)
{
    std::vector<char> buf(size + 8, '#');
    const int n = mk_http_response(&r, buf.data(), size);
    EXPECT_EQ(buf[size], '#');
    return n < 0 ? "<-1>" : string(buf.data(), size_t(n));
}

// Feeds head to a fresh context in the pieces given (cut points), reading
// after each one; the last result.
int recv_in_pieces(const string &head, const std::vector<size_t> &cuts, http_resp_ctx *ctx,
                   std::vector<char> *buf, std::vector<int> *results = nullptr)
{
    Pair p;
    size_t at = 0;
    int rc = -100;
    std::vector<size_t> all = cuts;
    all.push_back(head.size());
    for (size_t cut : all) {
        if (cut > at) p.put(head.substr(at, cut - at));
        at = cut;
        rc = recv_http_response(p.a(), buf->data(), buf->size(), ctx);
        if (results) results->push_back(rc);
        if (rc != 11) break;
    }
    return rc;
}

const char GET_TAIL[] =
    "Accept: text/html,video/*, application/*\r\nAccept-Language: en-US,en,ru\r\n"
    "Accept-Charset: ISO-8859-1,UTF-8\r\nCache-Control: no-cache\r\n\r\n";

}  // namespace

// --- end of a head ---------------------------------------------------------------

TEST(webops, head_eod_finds_the_first_marker_also_at_the_very_end)
{
    struct {
        string text;
        size_t len;  // npos: the whole text
        size_t end;
    } const cases[] = {
        {"", string::npos, 0},
        {"\n\n", string::npos, 2},
        {"GET / HTTP/1.0\n\n", string::npos, 16},
        {"GET / HTTP/1.1\r\n\r\n", string::npos, 18},        // a client that waits
        {"HTTP/1.1 200 OK\r\n\r\n", string::npos, 19},      // a body-less answer
        {"GET / HTTP/1.1\r\n\r\nbody", string::npos, 18},
        {"a\r\n\n", string::npos, 4},                        // CR LF LF: at its LFs
        {"a\n\nb\r\n\r\n", string::npos, 3},                 // the first one
        {"a\r\n\r\n\n\n", string::npos, 5},
        {"a\r\n\r", string::npos, 0},
        {"a\r\n", string::npos, 0},
        {"a\n\r\n", string::npos, 0},                        // no marker of either kind
        {"a\r\r\n\n", string::npos, 5},
        {"GET / HTTP/1.1\r\n\r\n", 17, 0},                   // the marker lies past len
        {"GET / HTTP/1.1\r\n\r\n", 16, 0},
        {string("a\0\n\n", 4), string::npos, 4},
    };
    for (const auto &c : cases) {
        const size_t len = c.len == string::npos ? c.text.size() : c.len;
        Exact e(c.text.substr(0, len));
        EXPECT_EQ(head_eod(e.data(), e.n), c.end) << '[' << c.text << "] len " << len;
    }
    EXPECT_EQ(head_eod(nullptr, 5), 0u);
}

TEST(webops, read_http_reports_the_head_end_only_once_it_is_all_there)
{
    Pair p;
    char buf[64] = {};
    ssize_t tail = 0;
    const string head = "GET /x HTTP/1.1\r\nHost: a\r\n\r\n";
    size_t off = 0;
    // In three pieces; the marker itself is split.
    for (size_t cut : {size_t(10), head.size() - 2, head.size()}) {
        p.put(head.substr(off, cut - off));
        const ssize_t n = read_http(p.a(), buf, sizeof buf - 1, off, &tail);
        ASSERT_EQ(n, ssize_t(cut - off));
        off = cut;
        EXPECT_EQ(tail, cut == head.size() ? ssize_t(head.size()) : 0);
    }
    // Nothing waiting: -1 with EAGAIN, tail untouched.
    errno = 0;
    EXPECT_EQ(read_http(p.a(), buf, sizeof buf - 1, off, &tail), -1);
    EXPECT_EQ(errno, EAGAIN);
    // A full buffer leaves no room: the read gives 0, as at end of stream.
    EXPECT_EQ(read_http(p.a(), buf, 16, 16, &tail), 0);
    EXPECT_EQ(read_http(p.a(), buf, 16, 20, &tail), 0);
}

// A client may send its head a byte at a time: a read without the end is
// noted at DEBUG only.
TEST(webops, read_http_is_silent_above_debug_while_no_end_has_come)
{
    LogCapture log;
    Pair p;
    char buf[32] = {};
    ssize_t tail = 0;
    p.put(string(31, 'a'));
    g_mod_ll[LM_DEFAULT] = INFO_level;
    EXPECT_EQ(read_http(p.a(), buf, 31, 0, &tail), 31);
    g_mod_ll[LM_DEFAULT] = NORM_level;
    EXPECT_EQ(tail, 0);
    EXPECT_EQ(log.text(), "");
}

// --- request heads -----------------------------------------------------------------

TEST(webops, parse_http_header_methods_and_versions)
{
    struct {
        string text;
        int rc;
        int type;
    } const cases[] = {
        {"GET /a HTTP/1.1\r\n\r\n", 0, RQTYPE_GET},
        {"get /a HTTP/1.0\r\n\r\n", 0, RQTYPE_GET},
        {"HEAD /a HTTP/1.1\r\n\r\n", 0, RQTYPE_HEAD},
        {"hEaD\t/a\tHTTP/1.1\r\n\r\n", 0, RQTYPE_HEAD},
        {"GET /a HTTP/1.9", 0, RQTYPE_GET},
        {"GET /a", 0, RQTYPE_GET},                        // the given length ends there
        {"GET /a   ", 0, RQTYPE_GET},
        {"POST /a HTTP/1.1\r\n\r\n", 22, 0},
        {"OPTIONS /a HTTP/1.1\r\n\r\n", 22, 0},            // 7 letters
        {"CONNECTS /a HTTP/1.1\r\n\r\n", -1, 0},           // 8 letters
        {"GE /a HTTP/1.1\r\n\r\n", -1, 0},                 // 2 letters
        {"GETTING", 22, 0},                                // no blank: the whole text
        {"GET /a HTTP/1.x\r\n\r\n", -1, 0},
        {"GET /a HTTP/1.\r\n\r\n", -1, 0},
        {"GET /a HTTP/1.", -1, 0},
        {"GET /a HTTP/2.0\r\n\r\n", -1, 0},
        {"GET /a http/1.1\r\n\r\n", -1, 0},
        {"GET /a\r\n\r\n", -1, 0},                         // no version, length beyond
        {string("GET /a\0\0\0\0", 10), -1, 0},             // the daemon's zeroed buffer
        {"", -1, 0},
    };
    for (const auto &c : cases) {
        http_header h;
        EXPECT_EQ(parse(c.text, &h), c.rc) << c.text;
        if (c.rc == 0) {
            EXPECT_EQ(h.type, c.type) << c.text;
        }
    }
}

TEST(webops, parse_http_header_url_path_and_url_buffer)
{
    const string text = "GET /src/a/dst/b?x=1 HTTP/1.1\r\n\r\n";
    http_header h;
    char url[64];
    ASSERT_EQ(parse_http_header(text.c_str(), text.size(), &h, url, sizeof url), 0);
    EXPECT_STREQ(url, "/src/a/dst/b?x=1");
    ASSERT_NE(h.uri.path, nullptr);
    EXPECT_EQ(string(h.uri.path, h.uri.p_len), "src/a/dst/b");
    EXPECT_EQ(string(h.uri.query, h.uri.q_len), "x=1");
    // A URL buffer without room for the URL is left empty.
    char small[16];
    ASSERT_EQ(parse_http_header(text.c_str(), text.size(), &h, small, sizeof small), 0);
    EXPECT_STREQ(small, "");
}

TEST(webops, parse_http_header_host_and_user_agent_limits)
{
    auto head = [](const string &hdrs) { return "GET /a HTTP/1.1\r\n" + hdrs + "\r\n"; };
    struct {
        string hdrs;
        string host, agent;
        const char *log;  // expected in the log, or null
    } const cases[] = {
        {"Host: " + string(62, 'h') + "\r\n", string(62, 'h'), "", nullptr},
        {"Host: " + string(63, 'h') + "\r\n", string(62, 'h'), "", nullptr},  // limit - 1
        {"Host: " + string(64, 'h') + "\r\n", "", "", "Host length is too long: 64\n"},
        {"User-Agent: " + string(126, 'u') + "\r\n", "", string(126, 'u'), nullptr},
        {"User-Agent: " + string(127, 'u') + "\r\n", "", string(126, 'u'), nullptr},
        {"User-Agent: " + string(128, 'u') + "\r\n", "", string(126, 'u'),
         "User-Agent length is too long: 128\n"},
        {"user-agent: a b/1\r\nHOST: x:80\r\n", "x:80", "a%20b%2F1", nullptr},
        {"X-Host: evil\r\nHost: good\r\n", "good", "", nullptr},
        {"Via: Host: evil\r\n", "", "", nullptr},
        {"Host:\r\nUser-Agent: ua\r\n", "", "ua", nullptr},     // empty value stays empty
        {"Host:x\r\n", "", "", nullptr},                         // no white space after ':'
        {"Host:: two\r\n", "two", "", nullptr},
    };
    for (const auto &c : cases) {
        LogCapture log;
        http_header h;
        ASSERT_EQ(parse(head(c.hdrs), &h), 0) << c.hdrs;
        EXPECT_EQ(h.host, c.host) << c.hdrs;
        EXPECT_EQ(h.user_agent, c.agent) << c.hdrs;
        if (c.log) {
            EXPECT_THAT(log.text(), HasSubstr(c.log));
        }
    }
    // Headers past the head are not the request's.
    http_header h;
    ASSERT_EQ(parse("GET /a HTTP/1.1\r\nA: b\r\n\r\nHost: late\r\n", &h), 0);
    EXPECT_STREQ(h.host, "");
}

TEST(webops, parse_http_header_warns_without_header_lines)
{
    for (const char *t : {"GET /a HTTP/1.1\r\n\r\n", "GET /a HTTP/1.1\n\n", "GET /a HTTP/1.1"}) {
        LogCapture log;
        http_header h;
        ASSERT_EQ(parse(t, &h), 0);
        EXPECT_THAT(log.text(), HasSubstr("no header sections found\n")) << t;
    }
}

TEST(webops, request_heads_cut_anywhere_are_parsed_within_their_length)
{
    const string full =
        "GET /src/udp://10.1.1.1@239.1.1.1:5000/dst/udp://239.2.2.2:6000/keep-alive?cid=a%20b "
        "HTTP/1.1\r\nHost: relay:8080\r\nUser-Agent: curl/8.0\r\nAccept: */*\r\n\r\n";
    g_mod_ll[LM_DEFAULT] = MIN_level;
    for (size_t n = 0; n <= full.size(); ++n) {
        http_header h;
        const int rc = parse(full.substr(0, n), &h);
        EXPECT_TRUE(rc == 0 || rc == -1 || rc == 22) << n;
        const Urq u = urq(full.substr(0, n));
        EXPECT_TRUE(u.rc == 0 || u.rc == -1 || u.rc == 22) << n;
    }
    g_mod_ll[LM_DEFAULT] = NORM_level;
    const Urq u = urq(full);
    EXPECT_EQ(u.rc, 0);
    EXPECT_EQ(u.src, "udp://10.1.1.1@239.1.1.1:5000");
    EXPECT_EQ(u.query, "cid=a%20b");
    EXPECT_EQ(u.dst, "udp://239.2.2.2:6000/keep-alive");
}

// --- control-request paths ---------------------------------------------------------

TEST(webops, web_parse_urq_paths)
{
    const string q255(255, 'q'), q256(256, 'q');
    struct {
        string path;
        int rc;
        string src, dst;
    } const cases[] = {
        {"/ping", RC_PING, "", ""},
        {"//PING/", RC_PING, "", ""},
        {"/Ping?x=1", RC_PING, "", ""},
        {"/ping//", -1, "", ""},
        {"/pingx", -1, "", ""},
        {"/favicon.ico", RC_FAVICON, "", ""},
        {"/FAVICON.ICO", RC_FAVICON, "", ""},
        {"/udp/239.1.1.1:5000", 0, "udp://239.1.1.1:5000", ""},
        {"/src/udp://a:1/dst/udp://b:2/drop", 0, "udp://a:1", "udp://b:2/drop"},
        // A source written with its scheme stays as written; one encoded
        // whole is decoded once, its own query kept, and what cannot
        // stand in a request line encoded again.  The control query is
        // never appended.
        {"/src/http://h:80/live%20tv/dst/udp://b:2/keep-alive?cid=1",
         0, "http://h:80/live%20tv", "udp://b:2/keep-alive"},
        {"/src/http://h:8201/a%20HTTP/1.1%20X/dst/udp://b:2/go", 0,
         "http://h:8201/a%20HTTP/1.1%20X", "udp://b:2/go"},
        {"/src/http%3A%2F%2Fh%3A8201%2Flive.ts%3Fid%3D5%26cid%3Dx/dst/b", 0,
         "http://h:8201/live.ts?id=5&cid=x", "b"},
        {"/src/http%3A%2F%2Fh%2Fa%2520b+c%0D%C3%A9/dst/b", 0, "http://h/a%20b%20c%0D%C3%A9", "b"},
        {"/src/127.0.0.1:5603%3Fcid%3Dyy/dst/b", 0, "127.0.0.1:5603?cid=yy", "b"},
        {"/src/x%00y/dst/b", -1, "", ""},
        {"/$alias?ttl=5", 0, "$alias", ""},
        // A malformed escape refuses the request, wherever it stands: in
        // an encoded source, a destination, or a source kept as written.
        {"/src/a%/dst/b", -1, "", ""},
        {"/src/239.1.2.3:300%zz13/dst/b", -1, "", ""},
        {"/src/a/dst/127.0.0.1:305%x23", -1, "", ""},
        {"/src/a/dst/b%4", -1, "", ""},
        {"/src/udp://239.1.2.3:300%zz13/dst/b", -1, "", ""},
        {"/src/http://h/a%2/dst/udp://b:2/go", -1, "", ""},
        {"/nothing", -1, "", ""},
        {"?x=1", -1, "", ""},                                     // no path
    };
    for (const auto &c : cases) {
        const string text = rq(c.path);
        Exact e(text);
        char src[256] = "x", dst[256] = "x";
        http_header h;
        const int rc = web_parse_urq(e.data(), e.n, src, dst, sizeof src, &h);
        EXPECT_EQ(rc, c.rc) << c.path;
        if (rc == 0 || rc == RC_PING || rc == RC_FAVICON) {
            EXPECT_EQ(src, c.src) << c.path;
            EXPECT_EQ(dst, c.dst) << c.path;
            EXPECT_STREQ(h.host, "x");
        }
    }
    EXPECT_EQ(urq("POST /ping HTTP/1.1\r\n\r\n").rc, 22);

    // The query limit (255 bytes) applies before the source is built.
    const Urq ok = urq(rq("/src/a/dst/b?" + q255), 512);
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.src, "a");
    EXPECT_EQ(ok.query, q255);
    LogCapture log;
    EXPECT_EQ(urq(rq("/src/a/dst/b?" + q256), 512).rc, -7);
    EXPECT_THAT(log.text(), HasSubstr("URI query length (256 bytes) is beyond the limit: 256\n"));
}

TEST(webops, web_parse_urq_keeps_the_query_out_of_the_source)
{
    // The query needs no room in src; an HTTP source encoded again must
    // fit it.
    const string text = rq("/src/udp://a:1/dst/b?" + string(20, 'k'));
    EXPECT_EQ(urq(text, 10).rc, 0);
    EXPECT_EQ(urq(text, 10).src, "udp://a:1");
    const string spaced = rq("/src/http%3A%2F%2Fh%2F++++++++/dst/b");
    string enc = "http://h/";
    for (int i = 0; i < 8; ++i) enc += "%20";
    EXPECT_EQ(urq(spaced, 34).src, enc);
    LogCapture log;
    EXPECT_EQ(urq(spaced, 33).rc, 7);
    EXPECT_THAT(log.text(), HasSubstr("source too long once encoded, max=32 bytes"));
}

TEST(webops, ping_and_blank_tests)
{
    struct {
        const char *path;
        bool ping;
    } const cases[] = {{"ping", true},  {"/ping", true},  {"PING/", true},  {"/PiNg/", true},
                       {"//ping", false}, {"ping//", false}, {"pin", false},  {"pings", false},
                       {"", false},      {nullptr, false}};
    for (const auto &c : cases) EXPECT_EQ(is_ping_request(c.path), c.ping) << (c.path ? c.path : "null");
    EXPECT_TRUE(slash_match("/keep-alive/", "KEEP-ALIVE"));
    for (const char *t : {(const char *)nullptr, "", " x", "\tx", "\rx", "\nx"}) EXPECT_TRUE(is_blank_null(t));
    EXPECT_FALSE(is_blank_null("80"));
}

// --- finding headers ---------------------------------------------------------------------

TEST(webops, find_http_header_matches_names_at_line_starts_only)
{
    struct {
        string text;
        const char *value;  // null: not found
    } const cases[] = {
        {"Location: http://a/\r\n", "http://a/"},
        {"location:\thttp://a/\n", "http://a/"},
        {"X-Location: http://evil/\r\nLocation: http://good/\r\n", "http://good/"},
        {"Server: x Location: http://evil/\r\n", nullptr},
        {"Server: x\r\nContent-Location: y\r\n", nullptr},
        {"Location:\r\nServer: next\r\n", ""},              // empty, not the next line
        {"Location:   \r\n", ""},
        {"Location:http://a/\r\n", nullptr},                // no white space
        {"Location:: http://a/\r\n", "http://a/"},
        {"Location: a\tb\r\n", nullptr},                    // another control character
        {"Location: a", nullptr},                           // no line end
        {"Location: a b \r\n", "a b "},
        {"Location: x\r\nLocation: y\r\n", "x"},
    };
    for (const auto &c : cases) {
        size_t len = 99;
        const char *v = find_http_header("Location:", c.text.c_str(), &len);
        if (!c.value) {
            EXPECT_EQ(v, nullptr) << c.text;
            EXPECT_EQ(len, 0u);
        } else {
            ASSERT_NE(v, nullptr) << c.text;
            EXPECT_EQ(string(v, len), c.value) << c.text;
        }
    }
}

TEST(webops, extract_num_hdr_reads_within_its_length)
{
    const string t = "HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\nContent-Length: 1234\r\n";
    EXPECT_EQ(extract_num_hdr("Content-Length:", t.c_str(), t.size()), 1234);
    EXPECT_EQ(extract_num_hdr("Content-Length:", t.c_str(), t.size() - 2), -1);  // no line end
    EXPECT_EQ(extract_num_hdr("Content-Type:", t.c_str(), t.size()), -1);
    EXPECT_EQ(extract_num_hdr("Content-Length:", "Content-Length: \r\n", 18), -1);
    LogCapture log;
    const string big = "Content-Length: " + string(31, '0') + "77\r\n";
    EXPECT_EQ(extract_num_hdr("Content-Length:", big.c_str(), big.size()), 0);  // cut to 31
    EXPECT_THAT(log.text(), HasSubstr("value length is too big: 33 bytes\n"));
}

// --- answers ---------------------------------------------------------------------

TEST(webops, every_status_record_renders_byte_for_byte)
{
    const string cl0 = "Content-Length: 0\r\n", close = "Connection: close\r\n";
    struct {
        http_response *r;
        int code;
        string text;
    } const cases[] = {
        {&g_resp_ok, 200, "HTTP/1.1 200 OK\r\nServer: tvl/0.1\r\n\r\n"},
        {&g_resp_bad, 400, "HTTP/1.1 400 Bad request\r\nServer: tvl/0.1\r\n" + cl0 + "\r\n"},
        {&g_resp_denied, 403, "HTTP/1.1 403 Forbidden\r\nServer: tvl/0.1\r\n" + cl0 + close + "\r\n"},
        {&g_resp_nfound, 404, "HTTP/1.1 404 Not Found\r\nServer: tvl/0.1\r\n" + cl0 + close + "\r\n"},
        {&g_resp_timeout, 408,
         "HTTP/1.1 408 Request Timeout\r\nServer: tvl/0.1\r\n" + cl0 + close + "\r\n"},
        {&g_resp_tmoved, 302,
         "HTTP/1.1 302 Moved Temporarily\r\nServer: tvl/0.1\r\n" + cl0 + close + "\r\n"},
        {&g_resp_err, 500, "HTTP/1.1 500 Service error\r\nServer: tvl/0.1\r\n" + cl0 + close + "\r\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(match_http_response(c.code), c.r);
        EXPECT_EQ(c.r->server, nullptr);
        EXPECT_EQ(render(with_server(*c.r)), c.text) << c.code;
        // Exactly enough room, and one byte less.
        EXPECT_EQ(render(with_server(*c.r), c.text.size() + 1), c.text);
        EXPECT_EQ(render(with_server(*c.r), c.text.size()), "<-1>");
    }
    EXPECT_EQ(match_http_response(201), nullptr);
    EXPECT_EQ(g_resp, nullptr);
}

TEST(webops, optional_answer_lines_in_order_long_ones_left_out)
{
    http_response r = with_server(g_resp_ok);
    r.content_type = "video/mp2t";
    r.content_length = 42;
    r.connection = "keep-alive";
    r.location = "http://a/b";
    r.ok_suffix = "X-Extra: 1";
    EXPECT_EQ(render(r),
              "HTTP/1.1 200 OK\r\nServer: tvl/0.1\r\nContent-Type: video/mp2t\r\n"
              "Content-Length: 42\r\nConnection: keep-alive\r\nLocation: http://a/b\r\n"
              "X-Extra: 1\r\n\r\n");
    r.code = 404;  // the suffix belongs to 200 only
    r.content_type = "";
    const string loc(116, 'l');  // "Location: " + 116 + CRLF = 128 > 126: left out
    r.location = loc.c_str();
    EXPECT_EQ(render(r),
              "HTTP/1.1 404 OK\r\nServer: tvl/0.1\r\nContent-Length: 42\r\n"
              "Connection: keep-alive\r\n\r\n");
    const string loc_ok(114, 'l');  // 126: kept
    r.location = loc_ok.c_str();
    EXPECT_THAT(render(r), HasSubstr("Location: " + loc_ok + "\r\n\r\n"));
}

TEST(webops, answer_without_server_is_a_broken_invariant)
{
    char buf[256];
    http_response r = g_resp_ok;
    EXPECT_DEATH(mk_http_response(&r, buf, sizeof buf), "ASSERT at:");
}

TEST(webops, send_http_response_writes_the_answer_and_survives_a_gone_peer)
{
    Pair p;
    const http_response r = with_server(g_resp_nfound);
    EXPECT_EQ(send_http_response(p.a(), &r), 0);
    EXPECT_EQ(p.got(), render(r));

    // The peer has gone and SIGPIPE is at its default: the write must fail
    // without the signal.
    struct sigaction dfl{}, old{};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    p.close_b();
    LogCapture log;
    EXPECT_EQ(send_http_response(p.a(), &r), -1);
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_THAT(log.text(), HasSubstr("error sending HTTP response to fd="));
}

// --- outgoing requests --------------------------------------------------------------

TEST(webops, send_http_request_fills_the_template_byte_for_byte)
{
    struct {
        http_request r;
        string text;  // empty: refused
    } const cases[] = {
        {{RQTYPE_GET, 0, "/live?x=1", "tvl/0.1", "10.0.0.1", "8080"},
         "GET /live?x=1 HTTP/1.1\r\nHost: 10.0.0.1:8080\r\nConnection: close\r\nUser-Agent: tvl/0.1\r\n"},
        {{RQTYPE_GET, RQFLAG_HTTP10_GET | RQFLAG_KEEPALIVE, "live", "ua", "h", ""},
         "GET /live HTTP/1.0\r\nHost: h\r\nConnection: keep-alive\r\nUser-Agent: ua\r\n"},
        {{RQTYPE_GET, RQFLAG_KEEPALIVE, "", "ua", nullptr, " 80"},
         "GET / HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\nUser-Agent: ua\r\n"},
        {{RQTYPE_GET, 0, nullptr, "ua", "", "81"},
         "GET / HTTP/1.1\r\nHost: localhost:81\r\nConnection: close\r\nUser-Agent: ua\r\n"},
        {{RQTYPE_HEAD, 0, "/", "ua", "h", "80"}, ""},
    };
    for (const auto &c : cases) {
        Pair p;
        const int rc = send_http_request(p.a(), &c.r);
        if (c.text.empty()) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(p.got(), "");
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(p.got(), c.text + GET_TAIL);
        }
    }
}

TEST(webops, send_http_request_refuses_what_does_not_fit)
{
    const string h126(123, 'h'), h127(124, 'h');  // with ":80"
    for (const auto &[host, ok] : {std::pair{h126, true}, std::pair{h127, false}}) {
        Pair p;
        http_request r{RQTYPE_GET, 0, "/", "ua", host.c_str(), "80"};
        EXPECT_EQ(send_http_request(p.a(), &r), ok ? 0 : -1) << host.size();
        EXPECT_EQ(p.got().empty(), !ok);
    }
    // The whole request at 2046 characters and at 2047.
    Pair p0;
    http_request r{RQTYPE_GET, 0, "/", "", "h", ""};
    ASSERT_EQ(send_http_request(p0.a(), &r), 0);
    const size_t base = p0.got().size();
    for (const auto &[extra, ok] : {std::pair{2046 - base, true}, std::pair{2047 - base, false}}) {
        Pair p;
        const string agent(extra, 'u');
        r.server = agent.c_str();
        EXPECT_EQ(send_http_request(p.a(), &r), ok ? 0 : -1) << extra;
        EXPECT_EQ(p.got().size(), ok ? 2046u : 0u);
    }
}

TEST(webops, send_http_get_builds_the_target_from_the_url)
{
    struct {
        const char *url;
        bool http10;
        string line;  // request line and Host line; empty: refused
    } const cases[] = {
        {"http://127.0.0.1:8080/a/b?x=1&y=2", false,
         "GET /a/b?x=1&y=2 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n"},
        {"http://example.org/live", true, "GET /live HTTP/1.0\r\nHost: example.org\r\n"},
        {"http://", false, ""},
        {"nothing", false, ""},
        {"http://h/a HTTP/1.1 X", false, ""},  // the line would have five parts
        {"http://h/a\tb", false, ""},
    };
    for (const auto &c : cases) {
        Pair p;
        g_mod_ll[LM_DEFAULT] = MIN_level;
        const int rc = send_http_get(p.a(), c.url, "ua/1", c.http10);
        g_mod_ll[LM_DEFAULT] = NORM_level;
        if (c.line.empty()) {
            EXPECT_EQ(rc, -1) << c.url;
            continue;
        }
        EXPECT_EQ(rc, 0) << c.url;
        const string got = p.got();
        EXPECT_EQ(got.substr(0, c.line.size()), c.line);
        EXPECT_THAT(got, HasSubstr("User-Agent: ua/1\r\n"));
    }
    // The longest target a URL can carry (126 + '?' + 511) goes out whole.
    const string url = "http://h/" + string(125, 'p') + "?" + string(511, 'q');
    Pair p;
    ASSERT_EQ(send_http_get(p.a(), url.c_str(), "ua", false), 0);
    EXPECT_THAT(p.got(), HasSubstr("GET /" + string(125, 'p') + "?" + string(511, 'q') + " HTTP"));
}

// --- response heads ----------------------------------------------------------------

TEST(webops, recv_http_response_status_lines)
{
    struct {
        string head;
        int rc;
        int code;
    } const cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", 0, 200},
        {"HTTP/1.0 404 Not Found\r\nServer: x\r\n\r\n", 0, 404},
        {"HTTP/1.1 206 Partial Content\n\n", 0, 206},
        {"HTTP/1.1  200   O K\r\n\r\n", 0, 200},
        {"HTTP/1.1 999 " + string(100, 'r') + "\r\n\r\n", 0, 999},
        {"HTTP/1.1 200\r\n\r\n", -1, 0},                // no reason
        {"HTTP/1.1 200 \r\n\r\n", -1, 0},
        {"HTTP/1.1 OK\r\n\r\n", -1, 0},
        {"HTTP/2 200 OK\r\n\r\n", -1, 0},
        {"HTTP/1.1 99999999999 X\r\n\r\n", -1, 0},
        {"ICY 200 OK\r\n\r\n", -1, 0},
        {"\r\n\r\n", -1, 0},
        {string("HTTP/1.1 2\0000 OK\r\n\r\n", 19), -1, 0},
    };
    for (const auto &c : cases) {
        http_resp_ctx ctx{};
        std::vector<char> buf(1024);
        EXPECT_EQ(recv_in_pieces(c.head, {}, &ctx, &buf), c.rc) << c.head;
        EXPECT_EQ(ctx.code, c.code) << c.head;
        EXPECT_EQ(ctx.tail, ssize_t(c.head.size()));
        reset_resp_ctx(&ctx);
    }
}

TEST(webops, recv_http_response_redirects_take_location)
{
    const string big(2048, 'L');
    struct {
        string head;
        int rc;
        string location;  // empty: none
        long content_length;
        const char *log;
    } const cases[] = {
        {"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:81/x\r\n\r\n", 0,
         "http://127.0.0.1:81/x", -1, "invalid Content-Length value: \n"},
        {"HTTP/1.1 301 Moved\r\nContent-Length: 0\r\nLocation: http://b/\r\n\r\n", 0, "http://b/", 0,
         nullptr},
        {"HTTP/1.1 302 Found\r\nX-Location: http://evil/\r\nLocation: http://good/\r\n\r\n", 0,
         "http://good/", -1, nullptr},
        {"HTTP/1.1 302 Found\r\nServer: a Location: http://evil/\r\n\r\n", 0, "", -1, nullptr},
        {"HTTP/1.1 302 Found\r\nLocation:\r\nContent-Type: text/html\r\n\r\n", 0, "", -1,
         "re-direction with empty location!\n"},
        {"HTTP/1.1 302 Found\r\nLocation: " + string(2047, 'L') + "\r\n\r\n", 0, string(2047, 'L'),
         -1, nullptr},
        {"HTTP/1.1 302 Found\r\nLocation: " + big + "\r\n\r\n", 0, "", 0,
         "location size=2048 is over the limit (2048)\n"},
        {"HTTP/1.1 302 Found\nLocation: http://b/\n\n", -1, "http://b/", -1,
         "cannot find LF at the end of response"},
        {"HTTP/1.1 302 Found\rLocation: http://b/\r\n\r\n", 0, "http://b/", -1,
         "got 0x4c in place of CR(0x0a)\n"},
        {"HTTP/1.1 200 OK\r\nLocation: http://b/\r\n\r\n", 0, "", 0, nullptr},  // not read
    };
    for (const auto &c : cases) {
        LogCapture log;
        http_resp_ctx ctx{};
        std::vector<char> buf(4096);
        EXPECT_EQ(recv_in_pieces(c.head, {}, &ctx, &buf), c.rc) << c.head.substr(0, 60);
        if (!c.location.empty()) {
            ASSERT_NE(ctx.location, nullptr) << c.head;
            EXPECT_EQ(ctx.location, c.location);
        } else {
            EXPECT_EQ(ctx.location, nullptr) << c.head;
        }
        EXPECT_EQ(ctx.content_length, c.content_length) << c.head.substr(0, 60);
        if (c.log) {
            EXPECT_THAT(log.text(), HasSubstr(c.log)) << c.head.substr(0, 60);
        }
        reset_resp_ctx(&ctx);
        EXPECT_EQ(ctx.location, nullptr);
    }
}

TEST(webops, recv_http_response_assembles_a_head_cut_anywhere)
{
    const string head =
        "HTTP/1.1 302 Found\r\nContent-Type: text/html\r\nLocation: http://h/y\r\n\r\n";
    const string body = "\x47rest";
    const string all = head + body;
    for (size_t cut = 0; cut <= all.size(); ++cut) {
        http_resp_ctx ctx{};
        std::vector<char> buf(1024);
        std::vector<int> results;
        EXPECT_EQ(recv_in_pieces(all, {cut}, &ctx, &buf, &results), 0) << cut;
        EXPECT_EQ(results.front(), cut < head.size() ? 11 : 0) << cut;
        EXPECT_EQ(ctx.code, 302);
        EXPECT_EQ(ctx.tail, ssize_t(head.size()));
        EXPECT_GE(ctx.total, ctx.tail);
        ASSERT_NE(ctx.location, nullptr);
        EXPECT_STREQ(ctx.location, "http://h/y");
        EXPECT_STREQ(ctx.content_type, "text/html");
        // The bytes after the head stay in the buffer as read.
        EXPECT_EQ(string(buf.data() + ctx.tail, size_t(ctx.total - ctx.tail)),
                  all.substr(head.size(), size_t(ctx.total - ctx.tail)));
        // A second call after completion reads nothing and changes nothing.
        EXPECT_EQ(recv_http_response(-1, buf.data(), buf.size(), &ctx), 0);
        reset_resp_ctx(&ctx);
    }
}

TEST(webops, recv_http_response_failures)
{
    // End of stream in the middle of the head.
    {
        Pair p;
        p.put("HTTP/1.1 200 OK\r\n");
        p.close_b();
        http_resp_ctx ctx{};
        char buf[256];
        LogCapture log;
        EXPECT_EQ(recv_http_response(p.a(), buf, sizeof buf, &ctx), -1);
        EXPECT_THAT(log.text(), HasSubstr("connection broken\n"));
    }
    // No end within size - 1 bytes: the last byte is never filled.
    {
        Pair p;
        std::vector<char> buf(64, '#');
        p.put("HTTP/1.1 200 OK\r\nX: " + string(100, 'x'));
        http_resp_ctx ctx{};
        LogCapture log;
        EXPECT_EQ(recv_http_response(p.a(), buf.data(), 63, &ctx), -1);
        EXPECT_EQ(ctx.total, 62);
        EXPECT_EQ(buf[62], '#');
        EXPECT_THAT(log.text(), HasSubstr("buffer already full, yet no HTTP EOD\n"));
    }
    // The marker in the very last byte the buffer takes.
    {
        Pair p;
        const string head = "HTTP/1.1 200 OK\r\n\r\n";
        std::vector<char> buf(head.size() + 1);
        p.put(head + "more");
        http_resp_ctx ctx{};
        EXPECT_EQ(recv_http_response(p.a(), buf.data(), buf.size(), &ctx), 0);
        EXPECT_EQ(ctx.code, 200);
    }
    http_resp_ctx ctx{};
    EXPECT_DEATH(recv_http_response(0, nullptr, 10, &ctx), "ASSERT at:");
}

TEST(webops, parse_resp_headers_content_type_and_length)
{
    struct {
        string text;
        int rc;
        string ctype;
        long clen;
    } const cases[] = {
        {"Content-Type: video/mp2t\r\nContent-Length: 188\r\n", 0, "video/mp2t", 188},
        {"Content-Length: 0\r\n", 0, "", 0},
        {"Content-Length: 00\r\n", -1, "", -1},
        {"Content-Length: -5\r\n", -1, "", -1},
        {"Content-Length: abc\r\n", -1, "", -1},
        {"Content-Length: 123456789012345\r\n", 0, "", 123456789012345},
        {"Content-Length: 1234567890123456\r\n", -1, "", -1},
        {"Content-Type: " + string(70, 't') + "\r\nContent-Length: 1\r\n", 0, string(63, 't'), 1},
        {"", -1, "", -1},
    };
    for (const auto &c : cases) {
        http_resp_ctx ctx{};
        EXPECT_EQ(parse_resp_headers(c.text.c_str(), &ctx), c.rc) << c.text;
        EXPECT_EQ(ctx.content_type, c.ctype);
        EXPECT_EQ(ctx.content_length, c.clen) << c.text;
        reset_resp_ctx(&ctx);
    }
    http_resp_ctx ctx{};
    ctx.location = strdup("set");
    EXPECT_DEATH(parse_resp_headers("Location: x\r\n", &ctx), "ASSERT at:");
    reset_resp_ctx(&ctx);
}

// --- HTML escaping and helpers ----------------------------------------------------

TEST(webops, web_escape)
{
    char buf[64];
    EXPECT_EQ(web_escape("plain", buf, sizeof buf), 0);
    EXPECT_EQ(web_escape("a<b>&'\"", buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "a&lt;b&gt;&amp;&apos;&quot;");
    EXPECT_EQ(web_escape("<<<", nullptr, 0), 3);
    EXPECT_EQ(web_escape("<<<", buf, 12), -34);  // 12 characters need 13 bytes
    EXPECT_EQ(web_escape("<<<", buf, 13), 3);
    EXPECT_STREQ(get_web_seq('"'), "&quot;");
    EXPECT_EQ(get_web_seq('a'), nullptr);
    EXPECT_EQ(get_web_seq('\0'), nullptr);
}

TEST(webops, helpers_no_program_calls)
{
    // h.uri points into the text, which must outlive it.
    const string head = "GET /live/a.m3u8?x=1 HTTP/1.1\r\nHost: srv:80\r\n\r\n";
    http_header h;
    ASSERT_EQ(parse_http_header(head.c_str(), head.size(), &h, nullptr, 0), 0);
    char buf[32];
    EXPECT_EQ(mk_full_url(&h, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "srv:80/live/a.m3u8");
    EXPECT_EQ(mk_full_url(&h, buf, 10), 7);
    EXPECT_STREQ(buf, "");
    h.host[0] = '\0';
    EXPECT_EQ(mk_full_url(&h, buf, sizeof buf), 22);

    const string t = "GET /p/q?a=b HTTP/1.0\r\n\r\n";
    char path[8], query[8];
    EXPECT_EQ(extract_http_request_path_query(t.c_str(), t.size(), path, sizeof path, query,
                                              sizeof query),
              0);
    EXPECT_STREQ(path, "p/q");
    EXPECT_STREQ(query, "a=b");
    EXPECT_EQ(extract_http_request_path_query(t.c_str(), t.size(), path, 3, query, sizeof query), -1);
    EXPECT_EQ(extract_http_request_path_query(t.c_str(), t.size(), path, 4, query, 3), -1);
    EXPECT_EQ(extract_http_request_path_query("PUT / HTTP/1.0", 14, path, 4, query, 3), 22);

    char url[40];
    EXPECT_EQ(mk_hls_item_url("http://h/a/list.m3u8", "seg1.ts", url, sizeof url), 0);
    EXPECT_STREQ(url, "http://h/a/seg1.ts");
    EXPECT_EQ(mk_hls_item_url("ftp://h/a/l.m3u8", "http://x/s.ts", url, sizeof url), 0);
    EXPECT_STREQ(url, "http://x/s.ts");
    EXPECT_EQ(mk_hls_item_url("ftp://h/a/l.m3u8", "s.ts", url, sizeof url), 22);
    EXPECT_EQ(mk_hls_item_url("http://h", "s.ts", url, sizeof url), 22);
    EXPECT_EQ(mk_hls_item_url("http://h/a/l.m3u8", string(30, 's').c_str(), url, sizeof url), 22);
}
