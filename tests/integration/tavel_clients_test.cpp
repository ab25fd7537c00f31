// tavel run as a program against hostile clients, each run in a private
// network namespace of its own: keep-alive links held by the thousand,
// heads trickled a byte at a time or never ended, requests the relay
// cannot serve, client ids that spell other tasks' keys, and list files
// whose lines do not fit the reader; a resolver that never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "support.h"
#include "tavel_harness.h"

using namespace tvh;

namespace {

constexpr int PORT = 18880;

int in_ns(const std::function<int()> &body)
{
    return run_in_child([&] { return enter_private_netns() ? body() : CHILD_SKIP; }, 120000);
}

bool fd_limit_reaches(rlim_t n)
{
    rlimit rl;
    return getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_max >= n;
}

// Starts t in the foreground with an open-file limit of daemon_fds (the
// daemon inherits it), then raises this process's own to own_fds for the
// test's clients.
bool start_with_fd_limit(Daemon &t, rlim_t daemon_fds, rlim_t own_fds)
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    const rlimit daemon{daemon_fds, rl.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &daemon) != 0) return false;
    const bool started = t.start_fg();
    rl.rlim_cur = own_fds;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0 && started;
}

std::string path(int src, int dst, const std::string &tail = "")
{
    return "/src/127.0.0.1:" + std::to_string(src) + "/dst/127.0.0.1:" + std::to_string(dst) +
           tail;
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Makes up to n keep-alive joins of the relay at p, one after the other,
// holding those answered 200 in *links.  The first other status, or 200.
int hold_links(const std::string &p, size_t n, std::vector<int> *links)
{
    const std::string rq = "GET " + p + "/keep-alive HTTP/1.1\r\n\r\n";
    for (size_t i = 0; i < n; ++i) {
        const int fd = connect_to(PORT);
        send(fd, rq.data(), rq.size(), MSG_NOSIGNAL);
        std::string in(64, '\0');
        pollfd pf{fd, POLLIN, 0};
        const ssize_t got = poll(&pf, 1, 3000) == 1 ? recv(fd, in.data(), in.size(), 0) : 0;
        const int code = got > 12 && in.rfind("HTTP/1.1 ", 0) == 0 ? atoi(in.c_str() + 9) : 0;
        if (code != 200) return close(fd), code;
        links->push_back(fd);
    }
    return 200;
}

// In a child, in its private network namespace: a mount namespace whose
// /etc/resolv.conf names a DNS server on 127.0.0.1 that takes queries and
// never answers (the socket returned), whose /etc/nsswitch.conf asks
// files then DNS, and whose /etc/hosts is dir/hosts with hosts as its
// text (rewrite that file to change it).  -1 on failure.
int own_resolver(const TempDir &dir, const std::string &hosts)
{
    const int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
    if (dns < 0 || bind(dns, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return -1;
    write_file(dir.file("resolv.conf"), "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
    write_file(dir.file("nsswitch.conf"), "hosts: files dns\n");
    write_file(dir.file("hosts"), hosts);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return -1;
    for (const std::string f : {"resolv.conf", "nsswitch.conf", "hosts"}) {
        if (mount(dir.file(f).c_str(), ("/etc/" + f).c_str(), nullptr, MS_BIND, nullptr) != 0)
            return -1;
    }
    return dns;
}

// True when the request head rq is answered with code within a second.
bool answered_at_once(const std::string &rq, int code)
{
    const auto start = std::chrono::steady_clock::now();
    const bool same = http(PORT, rq + " HTTP/1.1\r\n\r\n") == answer(code);
    return same && std::chrono::steady_clock::now() - start < std::chrono::seconds(1);
}

}  // namespace

// A thousand clients holding keep-alive links to one relay lock nobody
// out: a fresh request is answered within 2 s.  A daemon holding only
// links sleeps: no request time-out stays behind, its loop waits without
// a time limit and logs nothing.  Past the descriptor budget a link is
// refused (500) while requests are still answered, and the daemon ends
// cleanly with links held.
TEST(tavel_clients, HeldLinksLockNobodyOutAndLetTheLoopSleep)
{
    EXPECT_CHILD_OK(in_ns([] {
        if (!fd_limit_reaches(2000)) return CHILD_SKIP;
        TempDir d;
        write_file(d.file("tavel.conf"),
                   config(PORT, "idle_task_timeout = -1;", "level = \"debug\";"));
        Daemon t(d.path());
        // The daemon's budget (its 300 tasks need 1250); the test's own
        // clients need as many again.
        CHILD_CHECK(start_with_fd_limit(t, 1300, 2000));

        CHILD_CHECK(get(PORT, path(5301, 6301)) == answer(200));
        std::vector<int> links;
        CHILD_CHECK(hold_links(path(5301, 6301), 1000, &links) == 200);
        const auto t0 = std::chrono::steady_clock::now();
        CHILD_CHECK(get(PORT, path(5302, 6302)) == answer(200));
        CHILD_CHECK(std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2));

        const std::string out = d.file("out.txt"), wait = "wait4events: timeout=";
        const auto last_wait = [&] {
            const std::string text = slurp(out);
            return text.substr(text.rfind(wait) + wait.size(), 9);
        };
        const auto size = [&] {
            struct stat st;
            return stat(out.c_str(), &st) == 0 ? st.st_size : -1;
        };
        CHILD_CHECK(eventually([&] { return last_wait() == "-1.000000"; }, 5000));
        const off_t quiet = size();
        CHILD_CHECK(!eventually([&] { return size() != quiet; }, 3500));

        CHILD_CHECK(hold_links(path(5301, 6301), 400, &links) == 500);
        CHILD_CHECK(t.output().find("no descriptor to spare for a link to [U0001]") !=
                    std::string::npos);
        CHILD_CHECK(http(PORT, "HEAD " + path(5303, 6303) + " HTTP/1.1\r\n\r\n") == answer(200));
        close(links.back());
        links.pop_back();
        CHILD_CHECK(eventually([&] { return hold_links(path(5301, 6301), 1, &links) == 200; },
                               3000));
        CHILD_CHECK(t.stop() == 0);
        for (int fd : links) close(fd);
        return 0;
    }));
}

// The descriptor budget counts the descriptors in use, not their numbers:
// links made into the low descriptors of ended relays stop at it as well,
// a relay can still be made while links are held to it, and connections
// past the reserve are answered 500 at once.  At every step a fresh
// request is answered within 2 s.
TEST(tavel_clients, DescriptorBudgetCountsDescriptorsInUse)
{
    EXPECT_CHILD_OK(in_ns([] {
        if (!fd_limit_reaches(1000)) return CHILD_SKIP;
        TempDir d;
        std::string conf = config(PORT, "idle_task_timeout = -1;");
        conf.replace(conf.find("300"), 3, "60");  // within the limit: no raise
        write_file(d.file("tavel.conf"), conf);
        Daemon t(d.path());
        CHILD_CHECK(start_with_fd_limit(t, 400, 1000));
        const auto answered = [](const std::string &p, int code, int or_code = 0) {
            const auto t0 = std::chrono::steady_clock::now();
            const std::string got = get(PORT, p);
            return (got == answer(code) || got == answer(or_code)) &&
                   std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2);
        };

        // Links up to the budget, relays above them, then the links again
        // into the low descriptors they left.
        CHILD_CHECK(answered(path(5600, 6600), 200));
        std::vector<int> links, idle;
        CHILD_CHECK(hold_links(path(5600, 6600), 400, &links) == 500);
        for (int i = 1; i <= 31; ++i) CHILD_CHECK(answered(path(5600 + i, 6600), 200, 500));
        for (int fd : links) close(fd);
        links.clear();
        CHILD_CHECK(eventually([&] { return hold_links(path(5600, 6600), 1, &links) == 200; }, 2000));
        CHILD_CHECK(hold_links(path(5600, 6600), 400, &links) == 500);
        for (int i = 0; i < 3; ++i) idle.push_back(connect_to(PORT));
        CHILD_CHECK(answered(path(5701, 6701), 200));

        for (int i = 0; i < 60; ++i) idle.push_back(connect_to(PORT));
        // Clients gone before their refusal cost no line of their own.
        for (int i = 0; i < 5; ++i) {
            const int fd = connect_to(PORT);
            const linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            close(fd);
        }
        CHILD_CHECK(eventually([&] { return t.output().find("connection(s) refused") != std::string::npos; }, 2000));
        CHILD_CHECK(answered(path(5702, 6702), 500));
        CHILD_CHECK(t.output().find("error sending HTTP response") == std::string::npos);
        for (int fd : idle) close(fd);
        CHILD_CHECK(eventually([&] { return get(PORT, path(5702, 6702)) == answer(200); }, 3000));
        CHILD_CHECK(answered(path(5701, 6701, "/kill"), 200));
        CHILD_CHECK(t.stop() == 0);
        for (int fd : links) close(fd);
        return 0;
    }));
}

// 1100 connections that never send a head lock nobody out, nor do those
// opened again in place of the ones closed: each fresh request is
// answered within 1.5 s.  The oldest silent connections are closed to make
// room, logged once per accept pass with a count.
TEST(tavel_clients, IdleConnectionsLockNobodyOut)
{
    EXPECT_CHILD_OK(in_ns([] {
        if (!fd_limit_reaches(2500)) return CHILD_SKIP;
        TempDir d;
        std::string conf = config(PORT, "idle_task_timeout = -1;");
        conf.replace(conf.find("max_to_accept"), 0, "user_request_timeout = 60000; ");
        write_file(d.file("tavel.conf"), conf);
        Daemon t(d.path());
        CHILD_CHECK(start_with_fd_limit(t, 1500, 2500));
        const auto answered = [](int port) {
            const auto t0 = std::chrono::steady_clock::now();
            return get(PORT, path(port, port + 1000)) == answer(200) &&
                   std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(1500);
        };
        // The connections of idle the daemon has closed, by their indices.
        const auto closed = [](const std::vector<int> &idle) {
            std::vector<pollfd> pf;
            for (int fd : idle) pf.push_back({fd, POLLIN, 0});
            std::vector<size_t> out;
            if (poll(pf.data(), pf.size(), 0) <= 0) return out;
            for (size_t i = 0; i < pf.size(); ++i)
                if (pf[i].revents) out.push_back(i);
            return out;
        };

        std::vector<int> idle;
        for (int i = 0; i < 1100; ++i) {
            idle.push_back(connect_to(PORT));
            CHILD_CHECK(idle.back() >= 0);
        }
        for (int p = 5801; p <= 5803; ++p) CHILD_CHECK(answered(p));
        // The oldest 100 made room for the rest, the next for the first
        // fresh request (the others found the room it left).
        const auto closed_are = [&](size_t from, size_t to) {
            const std::vector<size_t> c = closed(idle);
            return c.size() == to - from && c.front() == from && c.back() == to - 1;
        };
        CHILD_CHECK(eventually([&] { return closed_are(0, 101); }, 3000));

        // Opened again in their place: still no lock-out, and the oldest
        // of those left go next.
        for (size_t i = 0; i < 101; ++i) {
            close(idle[i]);
            idle[i] = connect_to(PORT);
            CHILD_CHECK(idle[i] >= 0);
        }
        for (int p = 5804; p <= 5806; ++p) CHILD_CHECK(answered(p));
        CHILD_CHECK(eventually([&] { return closed_are(101, 202); }, 3000));

        const std::string out = t.output();
        const size_t lines = count(out, "connection(s) without a complete head closed to make room");
        CHILD_CHECK(lines >= 1 && lines <= 40);
        CHILD_CHECK(out.find("Too many user requests") == std::string::npos);
        CHILD_CHECK(t.stop() == 0);
        for (int fd : idle) close(fd);
        return 0;
    }));
}

// A head trickled a byte at a time is logged once, as a bounded excerpt,
// and one that never ends is refused (400) at 1023 bytes in one line.  Requests
// the relay cannot serve sensibly get 400.  A client id addresses only
// tasks made with one, though the report shows the same texts as ever.
TEST(tavel_clients, HostileHeadsAndRequests)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"),
                   config(PORT, "report: { path = \"" + d.file("rep.json") + "\"; };"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());

        const std::string head = "GET " + path(5401, 6401) + " HTTP/1.1\r\nX-Trickle: 1\r\n" +
                                 "X-Pad: " + std::string(600, 'p') + "\r\n\r\n";
        size_t mark = t.output().size();
        int fd = connect_to(PORT);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        for (char c : head) {
            send(fd, &c, 1, MSG_NOSIGNAL);
            sleep_ms(1);
        }
        CHILD_CHECK(read_all(fd, 3000) == answer(200));
        close(fd);
        std::string grown = t.output().substr(mark);
        CHILD_CHECK(grown.size() < 4096 && count(grown, "X-Trickle") == 1);

        mark = t.output().size();
        fd = connect_to(PORT);
        const std::string endless = "GET /" + std::string(1100, '\x1b');
        for (size_t at = 0; at < endless.size(); at += 100, sleep_ms(2))
            send(fd, endless.data() + at, std::min<size_t>(100, endless.size() - at), MSG_NOSIGNAL);
        CHILD_CHECK(read_all(fd, 3000) == answer(400));
        close(fd);
        CHILD_CHECK(t.wait_for("no end of head in 1023 bytes"));
        grown = t.output().substr(mark);
        CHILD_CHECK(grown.size() < 2048 && count(grown, "\\x1b") < 130);

        for (const std::string &p : std::vector<std::string>{
                 path(5402, 0), path(0, 6402), "/src/127.0.0.1:5402/dst/udp://[::1]:0/keep-alive",
                 "/src/http%3A%2F%2F127.0.0.1:0%2Fs/dst/127.0.0.1:6402",
                 path(5402, 6402, "?asrc=127.0.0.1:5402"), path(5402, 6402, "?ASRC=127.0.0.1:0"),
                 path(5402, 6402, "?ttl=300"), path(5402, 6402, "?TTL=-1"),
                 path(5402, 6402, "?ttl=1e2"), path(5402, 6402, "?ttl="),
                 path(5402, 6402, "?Ttl=300"), path(5402, 6402, "?opkt=1316"),
                 path(5402, 6402, "?asrc=127.0.0.1:005402"), path(5402, 6402, "?cid=x%00y"),
                 "/src/127.0.0.1:5402%3Fcid%3Dyy/dst/127.0.0.1:6402",
                 // A malformed escape names nothing: not the id, address or
                 // port that skipping it would leave.
                 path(5402, 6402, "?cid=team%GGred"), path(5402, 6402, "?cid=bob%"),
                 path(5402, 6402, "?cid=carol%4"), path(5402, 6402, "?c%id=x"),
                 "/src/239.1.2.3:540%zz2/dst/127.0.0.1:6402",
                 "/src/127.0.0.1:5402/dst/127.0.0.1:640%x2",
                 "/src/udp://127.0.0.1:54%zz02/dst/127.0.0.1:6402/go",
                 "/src/127.0.0.1:5402/dst/127.0.0.1:6402%"})
            CHILD_CHECK(get(PORT, p) == answer(400));
        for (const char *cid : {"teamred", "bob", "carol"})
            CHILD_CHECK(get(PORT, std::string("/src/x:1/dst/y:2/kill?cid=") + cid) == answer(404));
        CHILD_CHECK(get(PORT, "/src/239.1.2.3:5402/dst/127.0.0.1:6402/kill") == answer(404));
        CHILD_CHECK(get(PORT, "/src/127.0.0.1:5402/dst/127.0.0.1:6402/kill") == answer(404));

        // Client ids that differ name relays apart whatever their escapes:
        // killing one leaves the other.
        CHILD_CHECK(get(PORT, path(5404, 6404, "?cid=caf%C3%A9")) == answer(200));
        CHILD_CHECK(get(PORT, path(5405, 6405, "?cid=caf%C3%A8")) == answer(200));
        CHILD_CHECK(get(PORT, path(5406, 6406, "?cid=x%3Fy")) == answer(200));
        CHILD_CHECK(get(PORT, "/src/x:1/dst/y:2/kill?cid=caf%C3%A8") == answer(200));
        CHILD_CHECK(eventually(
            [&] {
                const std::string rep = slurp(d.file("rep.json"));
                return count(rep, "\"cid\": \"caf\\u00c3\\u00a9\"") == 1 &&
                       count(rep, "\"cid\": \"caf\\u00c3\\u00a8\"") == 0 &&
                       count(rep, "\"cid\": \"x?y\"") == 1;
            },
            5000));

        // An HTTP source's path and query reach its origin as written, in a
        // request line of three parts; its query sets no control key.
        const int origin = listen_loopback(PORT + 7, 8);
        CHILD_CHECK(origin >= 0);
        const std::string at = "127.0.0.1%3A" + std::to_string(PORT + 7);
        const std::string written[][2] = {
            {"/src/http%3A%2F%2F" + at + "%2Flive.ts%3Fid%3D5%26cid%3Dx/dst/127.0.0.1:6407",
             "GET /live.ts?id=5&cid=x HTTP/1."},
            {"/src/http://127.0.0.1:" + std::to_string(PORT + 7) +
                 "/a%20HTTP/1.1%20X/dst/127.0.0.1:6408",
             "GET /a%20HTTP/1.1%20X HTTP/1."},
        };
        // The request line of the next connection to the origin.
        const auto next_line = [origin] {
            pollfd pf{origin, POLLIN, 0};
            if (poll(&pf, 1, 5000) != 1) return std::string("#none");
            const int c = accept(origin, nullptr, nullptr);
            std::string line;
            for (char ch; line.find("\r\n") == std::string::npos;) {
                pollfd pc{c, POLLIN, 0};
                if (poll(&pc, 1, 5000) != 1 || recv(c, &ch, 1, 0) != 1) break;
                line += ch;
            }
            close(c);
            return line;
        };
        for (const auto &w : written) {
            CHILD_CHECK(get(PORT, w[0]) == answer(200));
            // A relay before it may still knock again, once or twice.
            std::string line;
            for (int i = 0; i < 4 && line.rfind(w[1], 0) != 0; ++i) line = next_line();
            CHILD_CHECK(line.rfind(w[1], 0) == 0);
            CHILD_CHECK(get(PORT, w[0] + "/kill") == answer(200));
        }
        close(origin);
        CHILD_CHECK(t.output().find("Task [x]") == std::string::npos);
        CHILD_CHECK(get(PORT, path(5402, 6402, "?ttl=255&asrc=127.0.0.1:5403")) == answer(200));
        CHILD_CHECK(t.wait_for("is relaying data (ttl=255;"));

        if (have_ipv6_loopback()) {
            const std::string plain = "/src/[::1]:541/dst/[::1]:641",
                              key = "udp://[::1]:541|udp://[::1]:641";
            CHILD_CHECK(get(PORT, plain) == answer(200));
            CHILD_CHECK(get(PORT, "/src/x:1/dst/y:2/drop?cid=" + key) == answer(404));
            CHILD_CHECK(get(PORT, "/src/[::1]:542/dst/[::1]:642?cid=" + key) == answer(200));
            CHILD_CHECK(eventually(
                [&] {
                    const std::string rep = slurp(d.file("rep.json"));
                    return count(rep, "\"cid\": \"-\", \"key\": \"" + key + "\"") == 1 &&
                           count(rep, "\"cid\": \"" + key + "\", \"key\": \"" + key + "\"") == 1;
                },
                5000));
            CHILD_CHECK(get(PORT, "/src/x:1/dst/y:2/kill?cid=" + key) == answer(200));
            CHILD_CHECK(t.wait_for("Task [" + key + "]: ENDED"));
            CHILD_CHECK(get(PORT, plain + "/drop") == answer(200));
            CHILD_CHECK(get(PORT, plain + "/drop") == answer(404));
        }
        CHILD_CHECK(t.stop() == 0);
        return 0;
    }));
}

// List lines are judged whole: one longer than the reader's room, or one
// holding a NUL, stops start-up naming the file and line, and no rest of
// it becomes a task or a route.
TEST(tavel_clients, ListLinesThatDoNotFitStopStartUp)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, ""));
        const std::string task = "udp://127.0.0.1:5501 udp://127.0.0.1:6501\n", nul(1, '\0'),
                          route = "127.0.0.1:5502 127.0.0.1:18881 - 127.0.0.1:7502\n";
        for (const auto &[flag, text, what] : std::vector<std::array<std::string, 3>>{
                 {"-t", "#" + nul + std::string(128, 'c') + task,
                  "1 is longer than 127 characters"},
                 {"-t", "#" + nul + " " + task, "1 holds a NUL byte"},
                 {"-r", "#" + std::string(254, 'c') + route, "1 is longer than 254 characters"},
                 {"-r", "# routes\n#" + nul + route, "2 holds a NUL byte"},
             }) {
            write_file(d.file("list"), text);
            std::string out;
            CHILD_CHECK(run_tavel({"-T", "-C", d.file("tavel.conf"), flag, d.file("list")},
                                  &out) > 0);
            CHILD_CHECK(count(out, "[" + d.file("list") + "] line " + what + "\n") == 1);
            CHILD_CHECK(count(out, "is relaying data") + count(out, "1 redirection routes") == 0);
        }
        return 0;
    }));
}

// A relay suspended for seconds keeps its unicast source: another client's
// request for that source is refused (400) as while the relay runs, and no
// other program can bind the port.  At its revival the relay relays what
// the source sends from then on, none of what came while it was suspended.
TEST(tavel_clients, SuspendedRelayKeepsItsSource)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"),
                   config(PORT, "idle_task_timeout = 300; max_retries = -1; retry_period_sec = 3;"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const int rx = udp_bind(6801);
        CHILD_CHECK(rx >= 0);
        CHILD_CHECK(get(PORT, path(5801, 6801, "?cid=alice")) == answer(200));
        CHILD_CHECK(get(PORT, path(5801, 6802, "?cid=mallory")) == answer(400));

        // Silent, the relay times out twice: 50 ms, then 3 s suspended.
        CHILD_CHECK(t.wait_for("[alice] suspended for 3.0000 sec"));
        CHILD_CHECK(get(PORT, path(5801, 6802, "?cid=mallory")) == answer(400));
        CHILD_CHECK(udp_bind(5801) < 0);
        CHILD_CHECK(udp_send("127.0.0.1", 5801, "stale"));

        CHILD_CHECK(eventually([&] { return count(t.output(), "[alice] revived") >= 2; }, 10000));
        std::string got;
        for (int i = 0; i < 200 && got.empty(); ++i) {
            CHILD_CHECK(udp_send("127.0.0.1", 5801, "fresh"));
            got = udp_recv(rx, 50);
        }
        CHILD_CHECK(got == "fresh");
        CHILD_CHECK(t.output().find("datagram(s) of the suspension dropped") != std::string::npos);
        CHILD_CHECK(t.output().find("END [alice]") == std::string::npos);
        CHILD_CHECK(t.output().find("failed for [alice]") == std::string::npos);
        CHILD_CHECK(t.stop() == 0);
        close(rx);
        return 0;
    }));
}

namespace {

// UDP datagrams this namespace has sent, from its own counters.
long udp_out_datagrams()
{
    std::istringstream in(slurp("/proc/net/snmp"));
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("Udp: ", 0) != 0) continue;
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;)
            if (name == "OutDatagrams") return atol(value.c_str());
    }
    return -1;
}

}  // namespace

// A wildcard source relayed to a group on its own port never receives its
// own output, whoever joined the group on the host (the relay's alternate,
// another program): one datagram in is one datagram out.
//
//   lo 127.0.0.1; 224.0.0.0/4 routed through lo; 239.5.5.5 joined on 5822
//   (the alternate) and 5823 (another program)
TEST(tavel_clients, WildcardSourceNeverReceivesItsGroupOutput)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, "multicast_ifc_out = \"lo\";"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const int other = udp_bind(5823, "239.5.5.5");
        CHILD_CHECK(other >= 0);
        CHILD_CHECK(get(PORT, "/src/0.0.0.0:5821/dst/udp://239.5.5.5:5821/go?asrc=udp://"
                              "239.5.5.5:5822") == answer(200));
        const long before = udp_out_datagrams();
        CHILD_CHECK(udp_send("127.0.0.1", 5821, "thirteen byte"));
        CHILD_CHECK(eventually([&] { return udp_out_datagrams() - before >= 2; }, 3000));
        // The datagram and the relay's copy, and nothing more, while a
        // loop would have sent thousands.
        CHILD_CHECK(!eventually([&] { return udp_out_datagrams() - before > 2; }, 500));
        CHILD_CHECK(t.stop() == 0);
        close(other);
        return 0;
    }));
}

// Relay X carries 2000 numbered datagrams a second while relay Y, whose
// kept source is flooded with small datagrams, is revived, twice: what Y's
// suspension left is dropped in steps between X's reads, and X loses
// nothing.
TEST(tavel_clients, RevivalUnderAFloodStallsNoOtherRelay)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        // X's source holds about 0.1 s of its datagrams: a pause of the
        // loop shorter than that costs nothing, one pass that empties Y's
        // flooded queue at once costs a run of them.
        write_file(d.file("tavel.conf"),
                   config(PORT, "idle_task_timeout = 300; max_retries = -1; retry_period_sec = 1; "
                                "socket_rcvbuf_size = 262144;"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const int rx = udp_bind(6831);
        CHILD_CHECK(rx >= 0);
        const int big = 4 << 20;
        setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
        CHILD_CHECK(get(PORT, path(5831, 6831, "?cid=x")) == answer(200));
        CHILD_CHECK(get(PORT, path(5832, 6832, "?cid=y")) == answer(200));

        std::atomic<bool> stop{false}, flood{false}, all_sent{false};
        std::atomic<uint32_t> sent{0};
        std::vector<bool> seen(200000);
        std::atomic<size_t> got{0};
        std::thread receiver([&] {
            std::string buf(2048, '\0');
            while (!all_sent || got < sent) {
                pollfd pf{rx, POLLIN, 0};
                if (poll(&pf, 1, 1000) != 1) {
                    if (all_sent) break;
                    continue;
                }
                const ssize_t n = recv(rx, buf.data(), buf.size(), 0);
                uint32_t seq;
                if (n < ssize_t(sizeof(seq))) continue;
                memcpy(&seq, buf.data(), sizeof(seq));
                if (seq < seen.size() && !seen[seq]) seen[seq] = true, ++got;
            }
        });
        std::thread sender([&] {
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(5831);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            std::string dg(1316, 'x');
            const auto t0 = std::chrono::steady_clock::now();
            for (uint32_t i = 0; !stop && i < seen.size(); ++i) {
                std::this_thread::sleep_until(t0 + std::chrono::microseconds(500) * i);
                memcpy(dg.data(), &i, sizeof(i));
                sendto(fd, dg.data(), dg.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                       sizeof(to));
                sent = i + 1;
            }
            close(fd);
        });
        std::vector<std::thread> flooders;
        for (int k = 0; k < 3; ++k)
            flooders.emplace_back([&] {
                const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(5832);
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                char byte = 'f';
                iovec iov{&byte, 1};
                mmsghdr msgs[64] = {};
                for (mmsghdr &m : msgs) {
                    m.msg_hdr.msg_name = &to;
                    m.msg_hdr.msg_namelen = sizeof(to);
                    m.msg_hdr.msg_iov = &iov;
                    m.msg_hdr.msg_iovlen = 1;
                }
                while (!stop)
                    if (flood)
                        sendmmsg(fd, msgs, 64, 0);
                    else
                        sleep_ms(1);
                close(fd);
            });

        // Y is silent: it is suspended, 50 ms, then a second or more.
        const auto long_suspensions = [&] {
            const std::string out = t.output();
            return count(out, "[y] suspended for") - count(out, "[y] suspended for 0.0500");
        };
        for (size_t round = 1; round <= 2; ++round) {
            CHILD_CHECK(eventually([&] { return long_suspensions() >= round; }, 15000));
            const size_t revived = count(t.output(), "[y] revived");
            flood = true;
            CHILD_CHECK(eventually([&] { return count(t.output(), "[y] revived") > revived; },
                                   15000));
            sleep_ms(100);
            flood = false;
        }
        CHILD_CHECK(count(t.output(), "datagram(s) of the suspension dropped") >= 2);
        CHILD_CHECK(t.output().find("[x] suspended") == std::string::npos);
        stop = true;
        sender.join();
        all_sent = true;
        for (auto &f : flooders) f.join();
        receiver.join();
        const size_t lost = sent - got;
        if (lost) {
            fprintf(stderr, "X lost %zu of %u datagrams:", lost, unsigned(sent));
            for (uint32_t i = 0, shown = 0; i < sent && shown < 10; ++i)
                if (!seen[i]) fprintf(stderr, " %u", i), ++shown;
            fprintf(stderr, "\n");
        }
        CHILD_CHECK(lost == 0 && sent > 1000);
        CHILD_CHECK(t.stop() == 0);
        close(rx);
        return 0;
    }));
}

// A revival that fails is one more failure of the relay: with max_retries
// -1 the relay stays through revivals that cannot join its group (no
// multicast route for a while) and relays once the route is back.
//
//   lo 127.0.0.1; 224.0.0.0/4 routed through lo, taken away and restored
TEST(tavel_clients, FailedRevivalsAreRetried)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"),
                   config(PORT, "idle_task_timeout = 300; max_retries = -1; retry_period_sec = 1;"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const int rx = udp_bind(6811);
        CHILD_CHECK(rx >= 0);
        CHILD_CHECK(get(PORT, "/src/239.1.8.1:5811/dst/127.0.0.1:6811") == answer(200));
        CHILD_CHECK(run_quiet("ip route del 224.0.0.0/4 dev lo"));
        CHILD_CHECK(eventually([&] { return count(t.output(), "revive_task: failed for [U0001]") >= 3; },
                               15000));
        CHILD_CHECK(t.output().find("END [U0001]") == std::string::npos);
        CHILD_CHECK(run_quiet("ip route add 224.0.0.0/4 dev lo src 127.0.0.1"));

        std::string got;
        for (int i = 0; i < 200 && got.empty(); ++i) {
            CHILD_CHECK(udp_send("239.1.8.1", 5811, "back"));
            got = udp_recv(rx, 50);
        }
        CHILD_CHECK(got == "back");
        CHILD_CHECK(t.output().find("END [U0001]") == std::string::npos);
        CHILD_CHECK(t.stop() == 0);
        close(rx);
        return 0;
    }));
}

// Keep-alive links leave free the descriptors that suspended relays open
// again at their revival: forty relays with a multicast source and
// alternate (two descriptors each to reopen, more than a link's spare)
// all revive while another client holds links up to the budget.
TEST(tavel_clients, LinksLeaveRoomForSuspendedRelays)
{
    EXPECT_CHILD_OK(in_ns([] {
        if (!fd_limit_reaches(1000)) return CHILD_SKIP;
        TempDir d;
        std::string conf =
            config(PORT, "idle_task_timeout = 200; max_retries = -1; retry_period_sec = 8;");
        conf.replace(conf.find("300"), 3, "60");  // within the limit: no raise
        write_file(d.file("tavel.conf"), conf);
        Daemon t(d.path());
        CHILD_CHECK(start_with_fd_limit(t, 400, 1000));
        constexpr int N = 40;
        CHILD_CHECK(get(PORT, path(5900, 6900)) == answer(200));  // the links' relay
        for (int i = 1; i <= N; ++i)
            CHILD_CHECK(get(PORT, "/src/239.1.9." + std::to_string(i) + ":5900/dst/127.0.0.1:" +
                                      std::to_string(6900 + i) + "?asrc=239.1.10." +
                                      std::to_string(i) + ":5900") == answer(200));
        // Silent, each relay times out twice: 50 ms, then 8 s suspended.
        CHILD_CHECK(eventually(
            [&] { return count(t.output(), "suspended for 8.0000 sec") >= N + 1; }, 8000));
        std::vector<int> links;
        CHILD_CHECK(hold_links(path(5900, 6900), 400, &links) == 500);
        CHILD_CHECK(
            eventually([&] { return count(t.output(), "] revived") >= 2 * (N + 1); }, 15000));
        CHILD_CHECK(t.output().find("revive_task: failed") == std::string::npos);
        CHILD_CHECK(t.stop() == 0);
        for (int fd : links) close(fd);
        return 0;
    }));
}

// Names are looked up off the loop, by the requests that make a relay
// only, and a resolver that never answers stalls none of the others.
// Names that resolve make working relays (the loop check compares what
// they resolve to).  Then no name resolves any more (the resolver never
// answers): with an HTTP origin and a destination by name waiting for it
// (each until its request time-out), a HEAD, a join and a kill naming
// hosts and a numeric request are answered within a second, a relay of 1000
// datagrams/s loses none, and a multicast source by name is revived
// again and again on the address found at its creation.  Numeric requests
// never ask the resolver.
TEST(tavel_clients, NameLookupsNeverStallTheLoop)
{
    // The files are covered in a mount namespace of the test's own; a host
    // that lacks one is not written to.
    for (const char *f : {"/etc/resolv.conf", "/etc/nsswitch.conf", "/etc/hosts"})
        if (access(f, F_OK) != 0) GTEST_SKIP() << f << " missing";
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const int dns =
            own_resolver(d, "127.0.0.1 localhost rsv-dst.test\n239.1.2.3 rsv-grp.test\n");
        CHILD_CHECK(dns >= 0);
        std::string conf =
            config(PORT, "idle_task_timeout = 300; max_retries = -1; retry_period_sec = 1;");
        conf.replace(conf.find("max_to_accept"), 0, "user_request_timeout = 2000; ");
        write_file(d.file("tavel.conf"), conf);
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const int rx = udp_bind(6910);
        CHILD_CHECK(rx >= 0);
        CHILD_CHECK(get(PORT, "/src/127.0.0.1:5910/dst/rsv-dst.test:6910") == answer(200));
        CHILD_CHECK(get(PORT, "/src/rsv-grp.test:5920/dst/127.0.0.1:6910?cid=grp") == answer(200));
        CHILD_CHECK(get(PORT, "/src/127.0.0.1:5911/dst/rsv-dst.test:5911") == answer(400));
        CHILD_CHECK(get(PORT, "/src/rsv-dst.test:5912/dst/127.0.0.1:5912") == answer(400));
        CHILD_CHECK(eventually(
            [&] { return udp_send("127.0.0.1", 5910, "x") && !udp_recv(rx, 50).empty(); }, 3000));

        write_file(d.file("hosts"), "127.0.0.1 localhost\n");
        std::vector<int> waiting;
        for (const std::string p : {"/src/http://nosuch.example:8080/ts/dst/127.0.0.1:6903",
                                    "/src/127.0.0.1:5904/dst/nosuch.example:6904"}) {
            waiting.push_back(connect_to(PORT));
            const std::string rq = "GET " + p + " HTTP/1.1\r\n\r\n";
            CHILD_CHECK(send(waiting.back(), rq.data(), rq.size(), MSG_NOSIGNAL) > 0);
        }
        size_t got = 0;
        for (int i = 0; i < 1000; ++i, sleep_ms(1)) {
            udp_send("127.0.0.1", 5910, std::to_string(i));
            while (!udp_recv(rx, 0).empty()) ++got;
        }
        while (!udp_recv(rx, 500).empty()) ++got;
        CHILD_CHECK(got == 1000);
        CHILD_CHECK(answered_at_once("HEAD /src/nosuch.example:5902/dst/127.0.0.1:6902", 200));
        CHILD_CHECK(answered_at_once("GET /src/127.0.0.1:5910/dst/rsv-dst.test:6910", 200));
        CHILD_CHECK(answered_at_once("GET /src/127.0.0.1:5910/dst/rsv-dst.test:6910/kill", 200));
        CHILD_CHECK(answered_at_once("GET " + path(5905, 6905), 200));
        for (const int fd : waiting) CHILD_CHECK(closed_within(fd, 5000) && close(fd) == 0);
        CHILD_CHECK(eventually(
            [&] {
                return !answered_at_once("GET " + path(5905, 6905), 200) ||
                       count(t.output(), "[grp] revived") >= 3;
            },
            10000));
        CHILD_CHECK(count(t.output(), "[grp] revived") >= 3);
        CHILD_CHECK(eventually(
            [&] { return udp_send("239.1.2.3", 5920, "g") && udp_recv(rx, 50) == "g"; }, 3000));
        CHILD_CHECK(count(t.output(), "waits for") == 6);
        CHILD_CHECK(t.stop() == 0);
        close(rx);
        close(dns);
        return 0;
    }));
}
