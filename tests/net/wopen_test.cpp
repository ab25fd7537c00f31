// Endpoints opened by URL against real local peers: small HTTP servers on
// 127.0.0.1 port 0 (a thread each, driven by poll with deadlines, that
// answer in pieces with pauses between them), UDP readers and writers on
// loopback, files, and multicast inside a private network namespace:
//
//   child's own namespace:  lo  127.0.0.1    224.0.0.0/4 routed via lo
//
// Nothing here sends to any address but loopback.
#include "wopen.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "netns.h"
#include "support.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;
using std::string;

namespace {

constexpr int WAIT_MS = 5000;
const string GET_TAIL =
    "Accept: text/html,video/*, application/*\r\nAccept-Language: en-US,en,ru\r\n"
    "Accept-Charset: ISO-8859-1,UTF-8\r\nCache-Control: no-cache\r\n\r\n";

void pause_ms(int ms)
{
    poll(nullptr, 0, ms);
}

bool wait_for(int fd, short events, int ms = WAIT_MS)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & (events | POLLHUP | POLLERR));
}

unsigned port_of(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port)
                                   : ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
}

// A one-connection HTTP server on 127.0.0.1: it reads the request head,
// then writes the pieces of its answer with a pause before each but the
// first, and closes (with hold, only once the client has closed).  Every
// wait has a deadline, so a client that never comes cannot hang the test.
class HttpServer {
public:
    explicit HttpServer(std::vector<string> pieces, int pause = 40, bool hold = false,
                        unsigned port = 0)
        : pieces_(std::move(pieces)), pause_(pause), hold_(hold)
    {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(uint16_t(port));
        if (bind(lfd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(lfd_, 4) != 0) {
            close(lfd_);
            lfd_ = -1;
            return;
        }
        port_ = port_of(lfd_);
        th_ = std::thread([this] { run(); });
    }
    ~HttpServer() { join(); }
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    bool ok() const { return lfd_ >= 0; }
    string port() const { return std::to_string(port_); }
    string url(const string &path) const { return "http://127.0.0.1:" + port() + path; }
    // What the client sent, once the server is done.
    string request()
    {
        join();
        return request_;
    }

private:
    void join()
    {
        if (th_.joinable()) th_.join();
        if (lfd_ >= 0) close(lfd_);
        lfd_ = -1;
    }
    void run()
    {
        if (!wait_for(lfd_, POLLIN)) return;
        Fd c(accept(lfd_, nullptr, nullptr));
        if (c.fd < 0) return;
        char buf[4096];
        while (request_.find("\r\n\r\n") == string::npos && request_.size() < 65536) {
            if (!wait_for(c.fd, POLLIN)) return;
            const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            request_.append(buf, size_t(n));
        }
        for (size_t i = 0; i < pieces_.size(); ++i) {
            if (i) pause_ms(pause_);
            if (send(c.fd, pieces_[i].data(), pieces_[i].size(), MSG_NOSIGNAL) < 0) return;
        }
        if (hold_)
            while (wait_for(c.fd, POLLIN, 3 * WAIT_MS) && recv(c.fd, buf, sizeof buf, 0) > 0) {
            }
    }

    std::vector<string> pieces_;
    int pause_;
    bool hold_;
    int lfd_ = -1;
    unsigned port_ = 0;
    std::thread th_;
    string request_;
};

// A record owned by the test: closed with its descriptor at the end.
struct Endpoint {
    usock_ctx uc{};
    int fd = -1;
    ~Endpoint() { usock_close(fd, &uc); }
    int open(const string &url)
    {
        fd = usock_open(url.c_str(), &uc);
        return fd;
    }
};

string expected_get(const string &target, const string &host, const char *ver = "1.1",
                    const char *conn = "close")
{
    return "GET " + target + " HTTP/" + ver + "\r\nHost: " + host + "\r\nConnection: " + conn +
           "\r\nUser-Agent: tst/1.0\r\n" + GET_TAIL;
}

class WopenTest : public ::testing::Test {
protected:
    void SetUp() override { usock_set_apptag("tst/1.0"); }
};

string read_proc(const char *path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// True when /proc/net/igmp lists the IPv4 group on the device.
bool igmp_has(const string &dev, const char *group)
{
    in_addr a{};
    inet_pton(AF_INET, group, &a);
    char hex[16];
    snprintf(hex, sizeof hex, "%08X", a.s_addr);
    std::istringstream in(read_proc("/proc/net/igmp"));
    string line, cur;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] != '\t') {
            std::istringstream f(line);
            string idx;
            f >> idx >> cur;
            continue;
        }
        if (cur == dev && line.find(hex) != string::npos) return true;
    }
    return false;
}

// /proc/net/mcfilter prints group and source as host-order hex.
bool mcfilter_has(const char *group, const char *source)
{
    auto hex4 = [](const char *addr) {
        in_addr a{};
        inet_pton(AF_INET, addr, &a);
        char b[16];
        snprintf(b, sizeof b, "0x%08x", ntohl(a.s_addr));
        return string(b);
    };
    std::istringstream in(read_proc("/proc/net/mcfilter"));
    string line;
    while (std::getline(in, line))
        if (line.find(hex4(group)) != string::npos && line.find(hex4(source)) != string::npos)
            return true;
    return false;
}

string recv_text(int fd, int ms = WAIT_MS)
{
    if (!wait_for(fd, POLLIN, ms)) return "";
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? string(buf, size_t(n)) : "";
}

bool send_to(const usock_ctx &uc, int fd, const string &text)
{
    return sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr *>(&uc.sspec.addr_ss),
                  uc.sspec.addr_len) == ssize_t(text.size());
}

}  // namespace

// --- HTTP: blocking open ---------------------------------------------------------------

TEST_F(WopenTest, blocking_http_open_assembles_a_head_sent_in_pieces)
{
    const string body = "\x47" + string(187, 'b');
    HttpServer srv({"HTTP/1.1 200 OK\r\n", "Content-Type: video/mp2t\r\nSer", "ver: t\r\n\r",
                    "\n" + body});
    ASSERT_TRUE(srv.ok());
    Endpoint e;
    e.uc.inbound = true;
    ASSERT_GE(e.open(srv.url("/live/ch1?x=1&y=2")), 0);
    EXPECT_EQ(e.uc.url_kind, URI_HTTP);
    EXPECT_STREQ(e.uc.url_path, ("127.0.0.1:" + srv.port() + "/live/ch1").c_str());
    EXPECT_FALSE(e.uc.non_pollable);
    EXPECT_EQ(e.uc.bufcap, USOCK_BUF_SIZE);
    ASSERT_EQ(e.uc.buflen, body.size());
    EXPECT_EQ(string(e.uc.buf, e.uc.buflen), body);
    EXPECT_EQ(is_non_blocking(e.fd), 0);  // left as it was asked for
    EXPECT_EQ(srv.request(), expected_get("/live/ch1?x=1&y=2", "127.0.0.1:" + srv.port()));
}

TEST_F(WopenTest, blocking_http_open_request_flags)
{
    HttpServer srv({"HTTP/1.0 200 OK\r\n\r\n"});
    ASSERT_TRUE(srv.ok());
    Endpoint e;
    e.uc.inbound = true;
    e.uc.http_flags = RQFLAG_KEEPALIVE;
    g_usock_flags.use_http10_get = true;
    const int fd = e.open(srv.url(""));
    g_usock_flags.use_http10_get = false;
    ASSERT_GE(fd, 0);
    EXPECT_EQ(e.uc.buflen, 0u);
    EXPECT_EQ(srv.request(), expected_get("/", "127.0.0.1:" + srv.port(), "1.0", "keep-alive"));
}

TEST_F(WopenTest, blocking_http_open_fails_on_another_status)
{
    HttpServer srv({"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"});
    ASSERT_TRUE(srv.ok());
    LogCapture log;
    Endpoint e;
    e.uc.inbound = true;
    EXPECT_EQ(e.open(srv.url("/x")), -1);
    EXPECT_THAT(log.text(), HasSubstr("get_http_response: expected HTTP 200, got HTTP 404"));
    // Everything the open made is released again.
    EXPECT_EQ(e.uc.url_path, nullptr);
    EXPECT_EQ(e.uc.buf, nullptr);
    EXPECT_EQ(e.uc.buflen, 0u);
}

TEST_F(WopenTest, blocking_http_open_gives_up_after_five_seconds)
{
    // Half a head, then silence until the client goes.
    HttpServer srv({"HTTP/1.1 200 OK\r\n"}, 0, true);
    ASSERT_TRUE(srv.ok());
    LogCapture log;
    Endpoint e;
    e.uc.inbound = true;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(e.open(srv.url("/slow")), -1);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
    EXPECT_GE(ms, USOCK_HTTP_WAIT_MS - 50);
    EXPECT_LT(ms, USOCK_HTTP_WAIT_MS + 2000);
    EXPECT_THAT(log.text(), HasSubstr("no complete HTTP response from fd"));
}

// A server whose accept queue is full drops the connection's SYNs, so a
// blocking connect would wait through every retry (minutes): the open gives
// up after the endpoint's time-out, and a connect that does complete leaves
// a blocking socket.
TEST_F(WopenTest, blocking_open_bounds_its_connect)
{
    Fd lsn(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(lsn.fd, reinterpret_cast<sockaddr *>(&sa), len), 0);
    ASSERT_EQ(listen(lsn.fd, 0), 0);
    ASSERT_EQ(getsockname(lsn.fd, reinterpret_cast<sockaddr *>(&sa), &len), 0);
    const string url = "tcp://127.0.0.1:" + std::to_string(ntohs(sa.sin_port));

    Endpoint first;  // takes the only place in the queue
    ASSERT_GE(first.open(url), 0);
    EXPECT_FALSE(fcntl(first.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(first.uc.sspec.non_blocking || first.uc.sspec.async_connect);

    const int rc = run_in_child(
        [&] {
            LogCapture log;
            Endpoint e;
            e.uc.timeout_ms = 300;
            const auto t0 = std::chrono::steady_clock::now();
            CHILD_CHECK(e.open(url) == -1);
            CHILD_CHECK(std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2));
            CHILD_CHECK(log.text().find("did not complete within 300 ms") != string::npos);
            return 0;
        },
        5000);
    EXPECT_EQ(rc, 0);
}

TEST_F(WopenTest, redirect_is_reported_with_its_location_and_can_be_followed)
{
    const string body(100, 'z');
    HttpServer second({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + body});
    ASSERT_TRUE(second.ok());
    const string location = second.url("/next?a=1");
    const string moved = "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
    HttpServer first_blocking({moved});
    HttpServer first_step({moved.substr(0, 30), moved.substr(30)});
    ASSERT_TRUE(first_blocking.ok() && first_step.ok());

    // A blocking open wants 200: a redirect fails it.
    {
        LogCapture log;
        Endpoint e;
        e.uc.inbound = true;
        EXPECT_EQ(e.open(first_blocking.url("/old")), -1);
        EXPECT_THAT(log.text(), HasSubstr("expected HTTP 200, got HTTP 302"));
    }
    // Step by step the status is 13 and the location is kept for the caller.
    Endpoint e;
    e.uc.inbound = e.uc.non_blocking = e.uc.skip_http = true;
    ASSERT_GE(e.open(first_step.url("/old")), 0);
    ASSERT_TRUE(wait_for(e.fd, POLLOUT));
    ASSERT_EQ(usock_http_get(e.fd, first_step.url("/old").c_str(), 0), 0);
    char buf[1024];
    http_resp_buf rb{buf, sizeof buf, {}};
    int rc = 11;
    for (int i = 0; i < 20 && rc == 11; ++i) {
        ASSERT_TRUE(wait_for(e.fd, POLLIN));
        rc = usock_http_get_response(e.fd, &rb);
    }
    EXPECT_EQ(rc, EACCES);
    EXPECT_EQ(rb.ctx.code, 302);
    ASSERT_NE(rb.ctx.location, nullptr);
    EXPECT_EQ(string(rb.ctx.location), location);
    const string next = rb.ctx.location;
    reset_resp_ctx(&rb.ctx);

    Endpoint e2;
    e2.uc.inbound = true;
    ASSERT_GE(e2.open(next), 0);
    EXPECT_EQ(string(e2.uc.buf, e2.uc.buflen), body);
    EXPECT_EQ(second.request(), expected_get("/next?a=1", "127.0.0.1:" + second.port()));
}

// --- HTTP: non-blocking handshakes ---------------------------------------------------------

TEST_F(WopenTest, non_blocking_handshake_reads_the_head_step_by_step)
{
    const string body = "\x47" "abc";
    HttpServer srv({"HTTP/1.0 200 OK\r\n", "Content-Length: 1316\r\n", "\r\n" + body}, 150);
    ASSERT_TRUE(srv.ok());
    Endpoint e;
    e.uc.inbound = e.uc.non_blocking = e.uc.skip_http = true;
    e.uc.timeout_ms = 10;  // not applied to a non-blocking socket
    ASSERT_GE(e.open(srv.url("/ts")), 0);
    EXPECT_NE(is_non_blocking(e.fd), 0);
    timeval tv{};
    socklen_t tl = sizeof tv;
    ASSERT_EQ(getsockopt(e.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &tl), 0);
    EXPECT_EQ(tv.tv_sec + tv.tv_usec, 0);
    EXPECT_EQ(e.uc.buflen, 0u);

    ASSERT_TRUE(wait_for(e.fd, POLLOUT));
    ASSERT_EQ(usock_http_get(e.fd, srv.url("/ts").c_str(), RQFLAG_HTTP10_GET), 0);
    char buf[1024];
    http_resp_buf rb{buf, sizeof buf, {}};
    std::vector<int> results;
    for (int i = 0; i < 20 && (results.empty() || results.back() == 11); ++i) {
        ASSERT_TRUE(wait_for(e.fd, POLLIN));
        results.push_back(usock_http_get_response(e.fd, &rb));
    }
    ASSERT_GE(results.size(), 2u);  // the head came in pieces
    EXPECT_EQ(results.front(), 11);
    EXPECT_EQ(results.back(), 0);
    EXPECT_EQ(rb.ctx.code, 200);
    EXPECT_EQ(string(buf + rb.ctx.tail, size_t(rb.ctx.total - rb.ctx.tail)), body);
    EXPECT_EQ(extract_num_hdr("Content-Length:", buf, size_t(rb.ctx.tail)), 1316);
    reset_resp_ctx(&rb.ctx);
    EXPECT_EQ(srv.request(), expected_get("/ts", "127.0.0.1:" + srv.port(), "1.0"));
}

TEST_F(WopenTest, non_blocking_open_with_the_exchange_fails_without_an_answer_at_once)
{
    // The answer comes only after a pause.
    HttpServer srv({"", "HTTP/1.1 200 OK\r\n\r\n"}, 300, true);
    ASSERT_TRUE(srv.ok());
    Endpoint e;
    e.uc.inbound = e.uc.non_blocking = true;
    EXPECT_EQ(e.open(srv.url("/x")), -1);
    EXPECT_EQ(e.uc.url_path, nullptr);
}

TEST_F(WopenTest, a_head_larger_than_the_handshake_buffer_gives_e2big)
{
    HttpServer srv({"HTTP/1.1 200 OK\r\nX-Pad: " + string(1500, 'p') + "\r\n\r\n"});
    ASSERT_TRUE(srv.ok());
    Endpoint e;
    e.uc.inbound = e.uc.skip_http = true;
    ASSERT_GE(e.open(srv.url("/x")), 0);
    ASSERT_EQ(usock_http_get(e.fd, srv.url("/x").c_str(), 0), 0);
    ASSERT_EQ(set_nblock(e.fd, 1), 0);
    char buf[1024];
    http_resp_buf rb{buf, sizeof buf, {}};
    int rc = 11;
    for (int i = 0; i < 20 && rc == 11; ++i) {
        ASSERT_TRUE(wait_for(e.fd, POLLIN));
        rc = usock_http_get_response(e.fd, &rb);
    }
    EXPECT_EQ(rc, E2BIG);
    EXPECT_EQ(rb.ctx.total, 1023);
    EXPECT_EQ(usock_http_get_response(e.fd, &rb), E2BIG);  // and again, without reading
    reset_resp_ctx(&rb.ctx);
}

TEST_F(WopenTest, body_is_read_until_complete)
{
    HttpServer srv({"HTTP/1.1 200 OK\r\n\r\n", "0123", "456789"}, 60);
    ASSERT_TRUE(srv.ok());
    Endpoint e;
    e.uc.inbound = true;
    ASSERT_GE(e.open(srv.url("/b")), 0);
    ASSERT_EQ(set_nblock(e.fd, 1), 0);
    auto *bb = static_cast<http_body_buf *>(calloc(1, sizeof(http_body_buf) + 10));
    bb->buf_size = 10;
    // Body bytes that came with the head are the caller's to take first.
    memcpy(bb->data, e.uc.buf, e.uc.buflen);
    bb->data_len = e.uc.buflen;
    int rc = bb->data_len < 10 ? 11 : 0;
    for (int i = 0; i < 20 && rc == 11; ++i) {
        ASSERT_TRUE(wait_for(e.fd, POLLIN));
        rc = usock_http_get_body(e.fd, bb);
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(string(bb->data, bb->data_len), "0123456789");
    // The server has closed: nothing more, end of stream.
    bb->buf_size = 11;
    ASSERT_TRUE(wait_for(e.fd, POLLIN));
    EXPECT_EQ(usock_http_get_body(e.fd, bb), -1);
    free(bb);
}

// --- over-long targets and refusals ------------------------------------------------------

TEST_F(WopenTest, a_target_over_127_characters_is_refused_and_nothing_sent)
{
    HttpServer srv({});
    ASSERT_TRUE(srv.ok());
    Endpoint e;
    e.uc.inbound = e.uc.skip_http = true;
    ASSERT_GE(e.open(srv.url("/x")), 0);
    // Path tail and query of 200 characters.
    const string long_url = srv.url("/" + string(100, 'p') + "?" + string(98, 'q'));
    LogCapture log;
    EXPECT_EQ(usock_http_get(e.fd, long_url.c_str(), 0), -1);
    EXPECT_THAT(log.text(), HasSubstr("fwd_http_rq: GET query is too long [200 bytes], max=127 bytes."));
    usock_close(e.fd, &e.uc);
    e.fd = -1;
    EXPECT_EQ(srv.request(), "");

    // 127 characters go out whole.
    HttpServer srv2({"HTTP/1.1 200 OK\r\n\r\n"});
    ASSERT_TRUE(srv2.ok());
    const string target = "/" + string(100, 'p') + "?" + string(25, 'q');
    Endpoint e2;
    e2.uc.inbound = true;
    ASSERT_GE(e2.open(srv2.url(target)), 0);
    EXPECT_EQ(srv2.request(), expected_get(target, "127.0.0.1:" + srv2.port()));

    // The same over-long URL opened with the exchange fails before sending.
    HttpServer srv3({});
    ASSERT_TRUE(srv3.ok());
    Endpoint e3;
    e3.uc.inbound = true;
    EXPECT_EQ(e3.open(srv3.url("/" + string(100, 'p') + "?" + string(98, 'q'))), -1);
    EXPECT_EQ(srv3.request(), "");
}

TEST_F(WopenTest, urls_refused)
{
    struct {
        const char *url;
        int kind;
        const char *log;
    } const cases[] = {
        {"not a url", URI_BAD, "error parsing URI"},
        {"udp://", URI_BAD, "error parsing URI"},
        {"bogus://127.0.0.1:5000", URI_BAD, "usock_open: unsupported type of URI [bogus://127.0.0.1:5000]"},
        {"udp://:5000", URI_UDP, "usock_open: no host in URI [udp://:5000]"},
        {"tcp://127.0.0.1", URI_TCP, "empty or invalid port"},
        {"udp://127.0.0.1:70000", URI_UDP, "empty or invalid port"},
        {"file:///nonexistent/tavel/file", URI_FILE, "usock_open: open("},
    };
    for (const auto &c : cases) {
        LogCapture log;
        usock_ctx uc{};
        uc.inbound = true;
        EXPECT_EQ(usock_open(c.url, &uc), -1) << c.url;
        EXPECT_EQ(uc.url_kind, c.kind) << c.url;
        EXPECT_EQ(uc.url_path, nullptr) << c.url;
        EXPECT_EQ(uc.buf, nullptr);
        EXPECT_THAT(log.text(), HasSubstr(c.log)) << c.url;
    }
}

TEST_F(WopenTest, opening_a_record_still_open_is_a_broken_invariant)
{
    TempDir dir;
    write_file(dir.file("f"), "x");
    Endpoint e;
    ASSERT_GE(e.open("file://" + dir.file("f")), 0);
    EXPECT_DEATH(usock_open(("file://" + dir.file("f")).c_str(), &e.uc), "ASSERT at:");
}

TEST_F(WopenTest, apptag_is_copied_up_to_127_characters)
{
    usock_set_apptag(string(200, 'a').c_str());
    EXPECT_EQ(string(g_apptag), string(127, 'a'));
    EXPECT_DEATH(usock_set_apptag(nullptr), "ASSERT at:");
}

// --- files and TCP ------------------------------------------------------------------------------

TEST_F(WopenTest, file_endpoint_reads_and_is_not_pollable)
{
    TempDir dir;
    write_file(dir.file("in.ts"), "file data");
    Endpoint e;
    e.uc.inbound = true;
    e.uc.timeout_ms = 100;
    ASSERT_GE(e.open("file://" + dir.file("in.ts")), 0);
    EXPECT_EQ(e.uc.url_kind, URI_FILE);
    EXPECT_TRUE(e.uc.non_pollable);
    EXPECT_STREQ(e.uc.url_path, dir.file("in.ts").c_str());
    EXPECT_EQ(e.uc.buf, nullptr);
    EXPECT_EQ(fcntl(e.fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    char buf[32];
    EXPECT_EQ(read(e.fd, buf, sizeof buf), 9);
    usock_close(e.fd, &e.uc);
    e.fd = -1;
    EXPECT_EQ(e.uc.url_path, nullptr);
    // Reusable once closed.
    ASSERT_GE(e.open("file://" + dir.file("in.ts")), 0);
}

TEST_F(WopenTest, tcp_endpoint_connects_without_any_exchange)
{
    HttpServer srv({"hello"});
    ASSERT_TRUE(srv.ok());
    Endpoint e;
    e.uc.inbound = false;
    e.uc.timeout_ms = 250;
    ASSERT_GE(e.open("tcp://127.0.0.1:" + srv.port()), 0);
    EXPECT_EQ(e.uc.url_kind, URI_TCP);
    EXPECT_EQ(e.uc.sspec.socktype, SOCK_STREAM);
    EXPECT_NE(e.uc.buf, nullptr);
    EXPECT_EQ(e.uc.bufcap, USOCK_BUF_SIZE);
    timeval tv{};
    socklen_t tl = sizeof tv;
    ASSERT_EQ(getsockopt(e.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &tl), 0);
    EXPECT_NEAR(tv.tv_sec * 1000 + tv.tv_usec / 1000, 250, 10);
    const string req = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(e.fd, req.data(), req.size(), MSG_NOSIGNAL), ssize_t(req.size()));
    EXPECT_EQ(recv_text(e.fd), "hello");
    EXPECT_EQ(srv.request(), req);
}

// --- datagrams ---------------------------------------------------------------------------------

TEST_F(WopenTest, udp_reader_and_writer_by_url_on_loopback)
{
    Endpoint r;
    r.uc.inbound = true;
    r.uc.timeout_ms = 300;
    ASSERT_GE(r.open("udp://127.0.0.1:0"), 0);
    EXPECT_EQ(r.uc.url_kind, URI_UDP);
    EXPECT_FALSE(r.uc.sspec.writer);
    EXPECT_FALSE(r.uc.sspec.multicast);
    EXPECT_EQ(r.uc.buf, nullptr);
    EXPECT_EQ(r.uc.mifc, nullptr);
    timeval tv{};
    socklen_t tl = sizeof tv;
    ASSERT_EQ(getsockopt(r.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &tl), 0);
    EXPECT_NEAR(tv.tv_sec * 1000 + tv.tv_usec / 1000, 300, 10);
    const string port = std::to_string(port_of(r.fd));

    // The writer ignores a source in the authority.
    Endpoint w;
    ASSERT_GE(w.open("rtp://10.9.9.9@127.0.0.1:" + port), 0);
    EXPECT_EQ(w.uc.url_kind, URI_RTP);
    EXPECT_TRUE(w.uc.sspec.writer);
    EXPECT_FALSE(w.uc.sspec.is_ssm);
    ASSERT_TRUE(send_to(w.uc, w.fd, "datagram 1"));
    EXPECT_EQ(recv_text(r.fd), "datagram 1");
}

TEST_F(WopenTest, udp_over_ipv6_loopback)
{
    if (!have_ipv6_loopback()) GTEST_SKIP() << "no ::1";
    Endpoint r;
    r.uc.inbound = r.uc.non_blocking = true;
    ASSERT_GE(r.open("udp://[::1]:0"), 0);
    EXPECT_EQ(r.uc.sspec.family, AF_INET6);
    Endpoint w;
    ASSERT_GE(w.open("udp://[::1]:" + std::to_string(port_of(r.fd))), 0);
    ASSERT_TRUE(send_to(w.uc, w.fd, "v6"));
    EXPECT_EQ(recv_text(r.fd), "v6");
}

TEST(wopen_netns, multicast_reader_and_writer_by_url)
{
    EXPECT_CHILD_OK(in_netns([] {
        const char *group = "239.1.2.3";
        usock_ctx r{};
        r.inbound = r.non_blocking = true;
        r.ifc_tag = "lo";
        const int rfd = usock_open("udp://239.1.2.3:5500", &r);
        CHILD_CHECK(rfd >= 0);
        CHILD_CHECK(r.sspec.multicast && !r.sspec.is_ssm);
        CHILD_CHECK(r.mifc != nullptr && strcmp(r.mifc->name, "lo") == 0);
        CHILD_CHECK(igmp_has("lo", group));

        usock_ctx w{};
        w.ifc_tag = "lo";
        const int wfd = usock_open("udp://239.1.2.3:5500", &w);
        CHILD_CHECK(wfd >= 0);
        CHILD_CHECK(w.sspec.multicast && w.sspec.writer);
        CHILD_CHECK(set_mcast_ttl(AF_INET, wfd, 1) == 0);
        CHILD_CHECK(send_to(w, wfd, "to the group"));
        CHILD_CHECK(recv_text(rfd) == "to the group");

        LogCapture log;
        usock_close(rfd, &r);
        usock_close(wfd, &w);
        CHILD_CHECK(log.text().find("ERROR") == string::npos);
        CHILD_CHECK(!igmp_has("lo", group));
        CHILD_CHECK(r.mifc == nullptr && r.url_path == nullptr);
        return 0;
    }));
}

TEST(wopen_netns, source_specific_reader_by_url)
{
    EXPECT_CHILD_OK(in_netns([] {
        CHILD_CHECK(run_quiet("ip addr add 127.0.0.2/8 dev lo"));
        const char *group = "232.1.1.1";
        usock_ctx r{};
        r.inbound = r.non_blocking = true;
        const int rfd = usock_open("udp://127.0.0.1@232.1.1.1:5600", &r);
        CHILD_CHECK(rfd >= 0);
        CHILD_CHECK(r.sspec.is_ssm && r.sspec.multicast);
        CHILD_CHECK(mcfilter_has(group, "127.0.0.1"));

        // Writers from the other source and from the joined one.
        int fds[2];
        const char *srcs[2] = {"127.0.0.2", "127.0.0.1"};
        for (int i = 0; i < 2; ++i) {
            fds[i] = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            inet_pton(AF_INET, srcs[i], &sa.sin_addr);
            CHILD_CHECK(bind(fds[i], reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0);
            CHILD_CHECK(send_to(r, fds[i], string("from ") + srcs[i]));
        }
        CHILD_CHECK(recv_text(rfd) == "from 127.0.0.1");
        CHILD_CHECK(recv_text(rfd, 100).empty());
        close(fds[0]);
        close(fds[1]);

        LogCapture log;
        usock_close(rfd, &r);
        CHILD_CHECK(log.text().find("ERROR") == string::npos);
        CHILD_CHECK(!mcfilter_has(group, "127.0.0.1"));
        CHILD_CHECK(!igmp_has("lo", group));
        return 0;
    }));
}

TEST(wopen_netns, http_url_without_port_opens_port_80)
{
    EXPECT_CHILD_OK(in_netns([] {
        usock_set_apptag("tst/1.0");
        HttpServer srv({"HTTP/1.1 200 OK\r\n\r\nts"}, 0, false, 80);
        CHILD_CHECK(srv.ok());
        g_mod_ll[LM_DEFAULT] = DEBUG_level;
        LogCapture log;
        usock_ctx uc{};
        uc.inbound = true;
        const int fd = usock_open("http://127.0.0.1/live", &uc);
        g_mod_ll[LM_DEFAULT] = NORM_level;
        CHILD_CHECK(fd >= 0);
        CHILD_CHECK(log.text().find("usock_open: assuming HTTP port 80 for [http://127.0.0.1/live]") !=
                    string::npos);
        CHILD_CHECK(string(uc.buf, uc.buflen) == "ts");
        CHILD_CHECK(srv.request() == expected_get("/live", "127.0.0.1"));
        usock_close(fd, &uc);
        return 0;
    }));
}
