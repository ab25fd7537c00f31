// The traffic tool's transfer loops and RTP checks, called in-process.
// recv() and sendfile() are replaced in this program by versions that can
// fail on demand, to show how the loops take errors that real sockets give
// only rarely.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app.globals.h"
#include "dvt.h"
#include "dvtxfer.h"
#include "support.h"

namespace {

// Failures the replaced calls give before behaving normally.
int g_recv_fail_errno = 0;
int g_recv_fail_count = 0;
int g_sendfile_fail_errno = 0;
int g_sendfile_fail_count = 0;
int g_sendfile_quit_after = -1;  // set g_quit after this many real calls

}  // namespace

extern "C" ssize_t recv(int fd, void *buf, size_t n, int flags)
{
    if (g_recv_fail_count > 0) {
        --g_recv_fail_count;
        errno = g_recv_fail_errno;
        return -1;
    }
    return syscall(SYS_recvfrom, fd, buf, n, flags, nullptr, nullptr);
}

extern "C" ssize_t sendfile(int out_fd, int in_fd, off_t *offset, size_t count)
{
    if (g_sendfile_fail_count > 0) {
        --g_sendfile_fail_count;
        errno = g_sendfile_fail_errno;
        return -1;
    }
    const ssize_t n = syscall(SYS_sendfile, out_fd, in_fd, offset, count);
    if (g_sendfile_quit_after > 0 && --g_sendfile_quit_after == 0) g_quit = 1;
    return n;
}

namespace {

// Sends descriptor 1 (stdout) to a temporary file for the object's life.
class StdoutCapture {
public:
    StdoutCapture() : fp_(tmpfile())
    {
        fflush(stdout);
        saved_ = dup(1);
        dup2(fileno(fp_), 1);
    }
    ~StdoutCapture()
    {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        fclose(fp_);
    }
    std::string text() const
    {
        fflush(stdout);
        std::string out;
        char buf[4096];
        ssize_t n;
        for (off_t off = 0; (n = pread(fileno(fp_), buf, sizeof(buf), off)) > 0; off += n)
            out.append(buf, size_t(n));
        return out;
    }

private:
    FILE *fp_;
    int saved_;
};

std::vector<uint8_t> rtp_msg(uint16_t seq, uint32_t ssrc, size_t len = 100)
{
    std::vector<uint8_t> m(len, 'A');
    m[0] = 0x80;
    m[1] = 0;
    m[2] = uint8_t(seq >> 8);
    m[3] = uint8_t(seq);
    for (int i = 0; i < 4; ++i) m[8 + i] = uint8_t(ssrc >> (24 - 8 * i));
    return m;
}

class dvtxfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_cfg = appcfg{};
        g_ctx = dvt_ctx{};
        g_stats = app_stats{};
        g_dly = timespec{};
        g_src_fd = -1;
        g_http_rest.len = 0;
        g_quit = 0;
        reset_gap();
        g_cfg.stats_period_sec = DEFAULT_STAT_SEC;
    }
    void TearDown() override { g_quit = 0; }
};

// A bound, non-blocking UDP receiver on 127.0.0.1 and a sender to it.
struct UdpPair {
    Fd rx, tx;
    sockaddr_in addr{};
    UdpPair()
    {
        rx.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        tx.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(rx.fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
            getsockname(rx.fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            ADD_FAILURE() << "cannot bind a UDP receiver";
    }
    void send(const void *data, size_t n)
    {
        ASSERT_EQ(sendto(tx.fd, data, n, 0, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)),
                  ssize_t(n));
    }
};

}  // namespace

TEST_F(dvtxfer, rtp_gaps_follow_sixteen_bit_sequence_arithmetic)
{
    g_cfg.rtp_ssrc = 1;
    struct step {
        uint16_t seq;
        int gap;
        const char *mark;
    };
    // 65535 to 0 wraps without a gap; 0 counts as no previous number; a
    // repeated packet is a gap of -1.
    const std::vector<step> steps = {{65534, 0, "r"}, {65535, 0, "r"}, {0, 0, "r"},
                                     {1, 0, "r"},     {10, 8, "r{8}"}, {13, 2, "r{2}"},
                                     {13, -1, "r{-1}"}, {14, 0, "r"}};
    char mark[9];
    for (const step &s : steps) {
        const auto m = rtp_msg(s.seq, 0x11223344);
        parse_rtp_hdr(m.data(), m.size());
        EXPECT_EQ(g_ctx.rtp_seq_gap, s.gap) << "seq " << s.seq;
        EXPECT_EQ(g_ctx.rtp_in_seq, s.seq);
        EXPECT_STREQ(rcv_mark(mark), s.mark) << "seq " << s.seq;
    }
}

TEST_F(dvtxfer, rtp_check_tells_foreign_messages_and_source_changes)
{
    g_cfg.rtp_seqnum = 1;
    auto m = rtp_msg(5, 0xAAAA0001);
    parse_rtp_hdr(m.data(), m.size());
    EXPECT_EQ(g_ctx.rtp_in_ssrc, 0xAAAA0001u);

    // Not version 2, or no room past the header: not RTP, state kept.
    std::vector<uint8_t> v1 = m;
    v1[0] = 0x40;
    parse_rtp_hdr(v1.data(), v1.size());
    parse_rtp_hdr(m.data(), RTP_HDR_LEN);
    EXPECT_EQ(g_ctx.rtp_wrong_type, 2);
    EXPECT_EQ(g_ctx.rtp_in_seq, 5);
    char mark[9];
    EXPECT_STREQ(rcv_mark(mark), "?");

    m = rtp_msg(6, 0xBBBB0002);
    parse_rtp_hdr(m.data(), m.size());
    EXPECT_EQ(g_ctx.rtp_wrong_type, 0);
    EXPECT_EQ(g_ctx.rtp_old_ssrc, 0xAAAA0001u);
    EXPECT_STREQ(rcv_mark(mark), "S");
    // The mark stays at most 8 characters, however large the gap.
    m = rtp_msg(6 + 0x7000, 0xBBBB0002);
    parse_rtp_hdr(m.data(), m.size());
    EXPECT_STREQ(rcv_mark(mark), "S{28671}");
}

TEST_F(dvtxfer, loss_bursts_skip_consecutive_messages)
{
    EXPECT_EQ(get_gap(), 0) << "no loss without -2";
    // One chance in 1: every message starts a burst of length 1.
    g_cfg.gap = {.maxlen = 1, .randn = 1};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(get_gap(), 1);

    // A burst counts down to 1; on average one message in randn starts one.
    g_cfg.gap = {.maxlen = 3, .randn = 4};
    g_ctx.rseed = 1;
    srand(1);
    int skipped = 0, bursts = 0, prev = 0;
    for (int i = 0; i < 40000; ++i) {
        const int g = get_gap();
        EXPECT_LE(g, 3);
        if (prev > 1) {
            EXPECT_EQ(g, prev - 1);
        }
        if (g && prev == 0) ++bursts;
        skipped += g != 0;
        prev = g;
    }
    EXPECT_GT(bursts, 4000);
    EXPECT_GT(skipped, bursts);
}

TEST_F(dvtxfer, batched_receive_takes_only_slots_that_fit_the_buffer)
{
    UdpPair p;
    g_cfg.mode = M_UDP;
    int count = -1;
    // A message as large as the whole buffer leaves no slot: nothing read.
    EXPECT_EQ(recv_multi(p.rx.fd, g_buf, DVT_BUFSIZE, DVT_BUFSIZE, MSG_DONTWAIT, &count), 0);
    EXPECT_EQ(count, 0);

    const std::vector<uint8_t> big(3000, 'x'), small(700, 'y');
    p.send(big.data(), big.size());
    p.send(small.data(), small.size());
    // Datagrams longer than the message size count with their full length.
    g_cfg.use_mmsg = 1;
    EXPECT_EQ(read_udp(p.rx.fd, g_buf, 1000, DVT_BUFSIZE, MSG_DONTWAIT, &count), 3700);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(first_dgram_len(), 3000u);
}

TEST_F(dvtxfer, reader_goes_on_after_spurious_eagain_and_returns_real_errors)
{
    UdpPair p;
    g_cfg.mode = M_UDP;
    for (int i = 0; i < 3; ++i) {
        const auto m = rtp_msg(uint16_t(i + 1), 7);
        p.send(m.data(), m.size());
    }
    {
        StdoutCapture out;
        g_recv_fail_errno = EAGAIN;
        g_recv_fail_count = 1;
        int fd = p.rx.fd;
        EXPECT_EQ(sock_reader(&fd, 1, 1400), 0);
        EXPECT_EQ(g_stats.ntotal, 300);
        EXPECT_NE(out.text().find("total received from fd="), std::string::npos);
    }

    const auto m = rtp_msg(9, 7);
    p.send(m.data(), m.size());
    StdoutCapture out;
    StderrCapture err;
    g_recv_fail_errno = ENOBUFS;
    g_recv_fail_count = 1;
    int fd = p.rx.fd;
    EXPECT_EQ(sock_reader(&fd, 1, 1400), ENOBUFS);
    EXPECT_NE(err.text().find("read fd=" + std::to_string(fd) + " ERROR [105]"),
              std::string::npos);
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
    g_sendfile_fail_errno = EAGAIN;
    g_sendfile_fail_count = 1;
    g_sendfile_quit_after = 5;
    EXPECT_EQ(sock_writer(a.fd, -1, 1400), 0);
    // The refused message is sent again: 1400, 1400, 200, the end of the
    // file and a rewind, 1400.
    std::string got(4400, '\0');
    EXPECT_EQ(recv(b.fd, got.data(), got.size(), MSG_WAITALL), 4400);
    EXPECT_EQ(got, data + data.substr(0, 1400));
    const std::string text = out.text();
    EXPECT_NE(text.find("SENDFILE [(T)src]"), std::string::npos);
    EXPECT_NE(text.find('#'), std::string::npos);
    EXPECT_NE(text.find("EOF(at 3000) "), std::string::npos);
    EXPECT_NE(text.find("total sent to fd=" + std::to_string(a.fd) + ": 4400 bytes"),
              std::string::npos);
    g_src_fd = -1;
}

TEST_F(dvtxfer, summary_of_an_empty_loop_shows_a_zero_rate)
{
    StdoutCapture out;
    print_perf_stats();
    const std::string text = out.text();
    EXPECT_NE(text.find("\nI/O: 0.000000 Kb within 0.000000 sec; 0.000000 Kb/sec\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("nan"), std::string::npos);
    EXPECT_EQ(text.find("inf"), std::string::npos);
}

TEST_F(dvtxfer, accept_without_a_waiting_peer_returns_to_the_wait)
{
    Fd lsn(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lsn.fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(lsn.fd, 4), 0);
    StderrCapture err;
    EXPECT_EQ(tcp_session(lsn.fd, -1, 1400), 0);
    EXPECT_NE(err.text().find("tcp_session: errno=11: "), std::string::npos);
}
