// The traffic tool's transfer loops called in-process.  recv() and
// sendfile() are replaced in this program by versions that can fail on
// demand, to show how the loops take errors that real sockets give rarely.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app.globals.h"
#include "dvt.h"
#include "dvtxfer.h"
#include "support.h"

namespace {

// How many calls fail with which error before the calls behave normally.
int g_recv_fails = 0, g_recv_errno = 0;
int g_sendfile_fails = 0, g_sendfile_errno = 0;
int g_sendfile_quit_after = 0;  // g_quit is set after this many real calls
int g_sendfile_empty_after = 0; // the source is truncated to 0 after this many real calls

}  // namespace

extern "C" ssize_t recv(int fd, void *buf, size_t n, int flags)
{
    if (g_recv_fails > 0 && g_recv_fails--) {
        errno = g_recv_errno;
        return -1;
    }
    return syscall(SYS_recvfrom, fd, buf, n, flags, nullptr, nullptr);
}

extern "C" ssize_t sendfile(int out_fd, int in_fd, off_t *offset, size_t count)
{
    if (g_sendfile_fails > 0 && g_sendfile_fails--) {
        errno = g_sendfile_errno;
        return -1;
    }
    const ssize_t n = syscall(SYS_sendfile, out_fd, in_fd, offset, count);
    if (g_sendfile_quit_after > 0 && --g_sendfile_quit_after == 0) g_quit = 1;
    if (g_sendfile_empty_after > 0 && --g_sendfile_empty_after == 0) (void)!ftruncate(in_fd, 0);
    return n;
}

namespace {

// Sends stdout to a temporary file for the object's life.
class StdoutCapture {
public:
    StdoutCapture() : fp_(tmpfile()), saved_(dup(1))
    {
        fflush(stdout);
        dup2(fileno(fp_), 1);
    }
    ~StdoutCapture()
    {
        dup2(saved_, 1);
        close(saved_);
        fclose(fp_);
    }
    std::string text() const
    {
        std::string out(4096, '\0');
        out.resize(size_t(std::max<ssize_t>(pread(fileno(fp_), out.data(), out.size(), 0), 0)));
        return out;
    }

private:
    FILE *fp_;
    int saved_;
};

class dvtxfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_cfg = appcfg{};
        g_cfg.stats_period_sec = DEFAULT_STAT_SEC;
        g_ctx = dvt_ctx{};
        g_stats = app_stats{};
        g_src_fd = -1;
        g_quit = 0;
        reset_gap();
    }
    void TearDown() override
    {
        g_dly = {};
        g_quit = 0;
        g_src_fd = -1;
    }
};

// A bound, non-blocking UDP receiver on 127.0.0.1 and a sender to it.
struct UdpPair {
    Fd rx{socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    Fd tx{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    UdpPair()
    {
        socklen_t len = sizeof(addr);
        bind(rx.fd, reinterpret_cast<sockaddr *>(&addr), len);
        getsockname(rx.fd, reinterpret_cast<sockaddr *>(&addr), &len);
    }
    void send(size_t n, char c = 'x')
    {
        const std::string m(n, c);
        sendto(tx.fd, m.data(), n, 0, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    }
    // Sends and waits until the datagram is in the receive queue.
    bool send_queued(size_t n)
    {
        const long before = rx_queue_mem(rx.fd);
        send(n);
        return wait_rx_queue_above(rx.fd, before);
    }
};

}  // namespace

TEST_F(dvtxfer, loss_bursts_skip_consecutive_messages)
{
    EXPECT_EQ(get_gap(), 0) << "no loss without -2";
    g_cfg.gap = {.maxlen = 1, .randn = 1};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(get_gap(), 1) << "-2 1:1 skips every message";

    // A burst counts down to 1; about one message in randn starts one,
    // also the message right after a burst, so bursts may follow one
    // another.
    g_cfg.gap = {.maxlen = 3, .randn = 4};
    g_ctx.rseed = 1;
    srand(1);
    int bursts = 0, wrong = 0, back_to_back = 0;
    for (int i = 0, prev = 0; i < 40000; ++i) {
        const int g = get_gap();
        wrong += g > 3 || (prev > 1 && g != prev - 1);
        bursts += g != 0 && prev == 0;
        back_to_back += prev == 1 && g != 0;
        prev = g;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(bursts, 4000);
    EXPECT_GT(back_to_back, 500);
}

namespace {

void quit_on_alarm(int) { g_quit = 1; }

}  // namespace

TEST_F(dvtxfer, writer_skipping_every_message_sends_nothing_and_uses_up_sequence_numbers)
{
    UdpPair p;
    g_cfg.mode = M_WRITER | M_UDP;
    g_cfg.addr_family = SOCK_DGRAM;
    g_cfg.rtp_seqnum = 7;
    g_cfg.rtp_ssrc = 0x2146455A;
    g_ctx.rtp_out_seq = 7;
    g_cfg.gap = {.maxlen = 1, .randn = 1};
    memcpy(&g_addr_ss, &p.addr, sizeof(p.addr));
    g_addr_len = sizeof(p.addr);
    // A pause after each message keeps the count of numbers used well
    // below a wrap.
    g_dly = {0, 1000000};

    // The loop ends on the quit flag, which a timer sets as a quit signal
    // would.
    struct sigaction sa{}, old{};
    sa.sa_handler = quit_on_alarm;
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    itimerval tv{};
    tv.it_value.tv_usec = 200000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &tv, nullptr), 0);
    StdoutCapture out;
    const int rc = sock_writer(p.tx.fd, -1, 200);
    const std::string text = out.text();
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(text.find("DONE\ntotal sent to fd=" + std::to_string(p.tx.fd) + ": 0 bytes\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(rx_queue_mem(p.rx.fd), 0) << "nothing is sent";
    EXPECT_GT(uint16_t(g_ctx.rtp_out_seq - 7), 1) << "skipped messages use up their numbers";
}

TEST_F(dvtxfer, batched_receive_takes_only_slots_that_fit_the_buffer)
{
    UdpPair p;
    g_cfg.mode = M_UDP;
    g_cfg.use_mmsg = 1;
    int count = -1;
    // A message as large as the whole buffer leaves no slot: nothing read.
    EXPECT_EQ(read_udp(p.rx.fd, g_buf, DVT_BUFSIZE, DVT_BUFSIZE, MSG_DONTWAIT, &count), 0);
    EXPECT_EQ(count, 0);
    // Datagrams longer than the message size count with their full length.
    // The batch's 100 us time-out may end it after the first datagram on a
    // busy machine: then the next call takes the second.
    ASSERT_TRUE(p.send_queued(3000));
    ASSERT_TRUE(p.send_queued(700));
    ssize_t total = read_udp(p.rx.fd, g_buf, 1000, DVT_BUFSIZE, MSG_DONTWAIT, &count);
    EXPECT_EQ(first_dgram_len(), 3000u);
    int taken = count;
    if (taken == 1) {
        total += read_udp(p.rx.fd, g_buf, 1000, DVT_BUFSIZE, MSG_DONTWAIT, &count);
        EXPECT_EQ(first_dgram_len(), 700u);
        taken += count;
    }
    EXPECT_EQ(total, 3700);
    EXPECT_EQ(taken, 2);
    // Room for one slot only: one datagram a call, the next left waiting.
    ASSERT_TRUE(p.send_queued(10));
    ASSERT_TRUE(p.send_queued(20));
    for (const ssize_t len : {10, 20}) {
        EXPECT_EQ(read_udp(p.rx.fd, g_buf, DVT_BUFSIZE / 2, DVT_BUFSIZE, MSG_DONTWAIT, &count), len);
        EXPECT_EQ(count, 1);
    }
}

TEST_F(dvtxfer, reader_goes_on_after_eagain_and_eintr_and_forgives_a_peer_gone)
{
    g_cfg.mode = M_UDP;
    const struct {
        int err;        // of the one failing receive
        int rc;         // of the loop
        ssize_t total;  // bytes counted of the three datagrams waiting
    } cases[] = {
        {EAGAIN, 0, 300},      // spurious readiness: read again
        {EINTR, 0, 300},       // a signal that does not end the program
        {ECONNRESET, 0, 0},    // the peer went: an end, not a failure
        {EPIPE, 0, 0},
        {ENOBUFS, ENOBUFS, 0},
    };
    for (const auto &c : cases) {
        UdpPair p;
        StdoutCapture out;
        StderrCapture err;
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(p.send_queued(100));
        g_recv_errno = c.err;
        g_recv_fails = 1;
        int fd = p.rx.fd;
        EXPECT_EQ(sock_reader(&fd, 1, 1400), c.rc) << c.err;
        EXPECT_EQ(g_stats.ntotal, c.total) << c.err;
        const std::string text = err.text();
        EXPECT_EQ(text.find("ERROR [") != std::string::npos, c.rc != 0) << text;
        if (c.rc) {
            EXPECT_NE(text.find("read fd=" + std::to_string(fd) + " ERROR [105]: No buffer space"),
                      std::string::npos)
                << text;
        }
        EXPECT_NE(text.find("sock_reader: exited with rc=" + std::to_string(c.rc) + "\n"),
                  std::string::npos)
            << text;
    }
}

TEST_F(dvtxfer, stream_reads_keep_their_bytes_and_datagrams_count_whole)
{
    std::string data(5000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 13 + 1);
    // TCP: the bytes received are the bytes sent, not only their count.
    Fd lsn(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t alen = sizeof(a);
    ASSERT_EQ(bind(lsn.fd, reinterpret_cast<sockaddr *>(&a), alen), 0);
    ASSERT_EQ(getsockname(lsn.fd, reinterpret_cast<sockaddr *>(&a), &alen), 0);
    ASSERT_EQ(listen(lsn.fd, 1), 0);
    Fd tx(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(connect(tx.fd, reinterpret_cast<sockaddr *>(&a), alen), 0);
    Fd rx(accept4(lsn.fd, nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_EQ(send(tx.fd, data.data(), data.size(), 0), ssize_t(data.size()));
    g_cfg.mode = 0;
    std::string got;
    for (int i = 0; i < 100 && got.size() < data.size(); ++i) {
        int count = 0;
        ASSERT_EQ(wait_io_ready(rx.fd, 5), 0);
        const ssize_t n = read_udp(rx.fd, g_buf, 1400, DVT_BUFSIZE, MSG_DONTWAIT, &count);
        ASSERT_GT(n, 0);
        got.append(g_buf, size_t(n));
    }
    EXPECT_TRUE(got == data) << got.size() << " bytes";

    // UDP: a datagram longer than the message size counts whole, its first
    // bytes in the buffer.
    UdpPair p;
    g_cfg.mode = M_UDP;
    ASSERT_EQ(sendto(p.tx.fd, data.data(), 3000, 0, reinterpret_cast<sockaddr *>(&p.addr),
                     sizeof(p.addr)),
              3000);
    int count = 0;
    ASSERT_EQ(wait_io_ready(p.rx.fd, 5), 0);
    EXPECT_EQ(read_udp(p.rx.fd, g_buf, 1400, DVT_BUFSIZE, MSG_DONTWAIT, &count), 3000);
    EXPECT_TRUE(std::string(g_buf, 1400) == data.substr(0, 1400));
    EXPECT_EQ(first_dgram_len(), 3000u);
}

TEST_F(dvtxfer, file_writer_waits_again_when_the_socket_is_full)
{
    TempDir dir;
    std::string data(3000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
    write_file(dir.file("src"), data);
    Fd src(open(dir.file("src").c_str(), O_RDONLY | O_CLOEXEC));
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Fd a(sv[0]), b(sv[1]);
    g_src_fd = src.fd;
    g_cfg.srcfile = "src";
    g_cfg.mode = M_WRITER;
    g_cfg.addr_family = SOCK_STREAM;

    StdoutCapture out;
    g_sendfile_errno = EAGAIN;
    g_sendfile_fails = 1;
    g_sendfile_quit_after = 5;
    EXPECT_EQ(sock_writer(a.fd, -1, 1400), 0);
    // The refused message is sent again: 1400, 1400, 200, the file's end and
    // a rewind, 1400.
    std::string got(4400, '\0');
    EXPECT_EQ(recv(b.fd, got.data(), got.size(), MSG_WAITALL), 4400);
    EXPECT_EQ(got, data + data.substr(0, 1400));
    const std::string text = out.text();
    EXPECT_NE(text.find("SENDFILE [(T)src] to fd=" + std::to_string(a.fd) + ", msg_size=1400 "
                        "delay=0 ms\n#EOF(at 3000) DONE\ntotal sent to fd=" +
                        std::to_string(a.fd) + ": 4400 bytes\n"),
              std::string::npos)
        << text;
}

TEST_F(dvtxfer, file_writer_ends_with_enodata_when_its_source_becomes_empty)
{
    TempDir dir;
    write_file(dir.file("src"), std::string(3000, 's'));
    Fd src(open(dir.file("src").c_str(), O_RDWR | O_CLOEXEC));
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Fd a(sv[0]), b(sv[1]);
    g_src_fd = src.fd;
    g_cfg.srcfile = "src";
    g_cfg.mode = M_WRITER;
    g_cfg.addr_family = SOCK_STREAM;

    StdoutCapture out;
    StderrCapture err;
    // Emptied after the first message: its end, a rewind, and nothing to
    // send from the start.  A writer rewinding for ever is stopped later.
    g_sendfile_empty_after = 1;
    g_sendfile_quit_after = 1000;
    EXPECT_EQ(sock_writer(a.fd, -1, 1400), ENODATA);
    g_sendfile_quit_after = 0;
    EXPECT_NE(out.text().find("EOF(at 1400) DONE\ntotal sent to fd=" + std::to_string(a.fd) +
                              ": 1400 bytes\n"),
              std::string::npos)
        << out.text();
    EXPECT_NE(err.text().find("sock_writer: write fd=" + std::to_string(a.fd) +
                              " ERROR [61]: No data available\nsock_writer: exited with rc=61\n"),
              std::string::npos)
        << err.text();
}

TEST_F(dvtxfer, accept_without_a_waiting_peer_returns_to_the_wait)
{
    Fd lsn(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(lsn.fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(lsn.fd, 4), 0);
    StderrCapture err;
    EXPECT_EQ(tcp_session(lsn.fd, -1, 1400), 0);
    EXPECT_NE(err.text().find("tcp_session: errno=11: "), std::string::npos);
}
