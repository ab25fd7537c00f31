#include "dvtxfer.h"

#include <bitstream/ietf/rtp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.globals.h"
#include "dvt.h"
#include "fdio.h"
#include "iflag.h"
#include "log.h"
#include "timeop.h"

LOG_MODULE(LM_DEFAULT);

dvt_ctx g_ctx;
app_stats g_stats;

namespace {

static_assert(RTP_HEADER_SIZE == RTP_HDR_LEN);

constexpr int MMSG_MAX = 64;
// Pauses up to this long are waited out on the clock, longer ones slept.
constexpr long SPIN_PAUSE_MAX_NSEC = 20000;
// A batch read returns as soon as no further datagram is waiting.
constexpr long MMSG_WAIT_NSEC = 100000;

int s_burst;           // messages of the current loss burst still to skip
size_t s_first_len;    // length of the first datagram of the last receive
timespec s_last_stats_tm;  // when the last throughput line was due
bool s_trk_rtp;        // TRK_RTP1, read once a loop: the loops do no look-ups per message
mmsghdr s_msgs[MMSG_MAX];
iovec s_iov[MMSG_MAX];

// The progress runs: messages of one size in a row.
struct run_state {
    ssize_t last_size;
    size_t run;
    uint16_t last_seq;  // sequence number of the last message written
};
run_state s_wr, s_rd;

size_t msg_size(long size) noexcept { return size < 0 ? DVT_BUFSIZE : size_t(size); }

long delay_ms() noexcept { return tms2ms(&g_dly); }

bool no_fault_err(int err) noexcept { return err == EINTR || err == EPIPE || err == ECONNRESET; }

// Common start of both loops; false when HEAD mode leaves nothing to move.
bool begin_loop() noexcept
{
    timespec now;
    set_now(&now);
    if (g_ctx.first_io_tm.tv_sec == 0 && g_ctx.first_io_tm.tv_nsec == 0) g_ctx.first_io_tm = now;
    g_stats.start_tm = g_stats.end_tm = now;
    g_stats.ntotal = g_stats.last_total = 0;
    g_stats.seconds = 0;
    g_stats.last_stats_sec = now.tv_sec;
    s_last_stats_tm = now;
    // Each loop's summary shows its own calls.
    prfm_xinit(&g_stats.ioperf, g_stats.ioperf.flags, g_stats.ioperf.who);
    s_trk_rtp = iflag("TRK_RTP1");
    if (is_http_mode() && (g_cfg.mode & M_HEAD)) {
        printf("Skipping I/O in HEAD mode\n");
        return false;
    }
    return true;
}

// The throughput line, once a stats period has passed.  The period is
// counted in whole seconds of the clock, but the rate divides by the time
// that really passed: the first period of a loop, which starts within a
// second, may be close to one second shorter.
void stats_tick(const timespec &now, bool writer) noexcept
{
    const time_t period = time_t(std::max<size_t>(g_cfg.stats_period_sec, 1));
    const time_t secs = now.tv_sec - g_stats.last_stats_sec;
    if (secs < period) return;
    const ssize_t bytes = g_stats.ntotal - g_stats.last_total;
    timespec span;
    calc_timespan(&s_last_stats_tm, &now, &span);
    const double elapsed = double(span.tv_sec) + double(span.tv_nsec) / 1e9;
    const double rate = elapsed > 0 ? double(bytes) / 1024.0 / elapsed : 0.0;
    if (writer)
        printf("%ld bytes %ld sec %.03f Kb/sec, total=%.3f Kb\n", long(bytes), long(secs), rate,
               double(g_stats.ntotal) / 1024.0);
    else
        printf("%.03f Kb/sec, total=%.3f Kb\n", rate, double(g_stats.ntotal) / 1024.0);
    g_stats.last_stats_sec = now.tv_sec;
    g_stats.last_total = g_stats.ntotal;
    s_last_stats_tm = now;
}

// The summary, the error line and the closing line of a loop.  err is the
// error behind a non-zero rc.
int end_loop(const char *fn, int fd, int rc, int err, bool writer) noexcept
{
    print_perf_stats();
    if (rc != 0 && no_fault_err(err)) rc = 0;
    if (rc != 0 && err != 0)
        fprintf(stderr, "%s: %s fd=%d ERROR [%d]: %s\n", fn, writer ? "write" : "read", fd, err,
                strerror(err));
    fprintf(stderr, "%s: exited with rc=%d\n", fn, rc);
    return rc;
}

// Writes the RTP header of sequence number seq into the buffer's start.
void put_rtp_hdr(uint16_t seq) noexcept
{
    auto *p = reinterpret_cast<uint8_t *>(g_buf);
    timespec now;
    set_now(&now);
    const uint64_t usec = uint64_t(diff_usec(&now, &g_ctx.first_io_tm));
    rtp_set_hdr(p);
    rtp_set_type(p, 0);
    rtp_set_seqnum(p, seq);
    rtp_set_timestamp(p, uint32_t(usec * 9 / 100));  // a 90 kHz clock
    rtp_set_int_ssrc(p, g_cfg.rtp_ssrc);
}

// What one send did: bytes (negative on failure) and the error.
struct send_result {
    ssize_t n;
    int err;
    bool job_failed;  // the file transfer failed: the loop ends with -1
};

send_result send_one(int fd, transfer_spec *job, size_t sz) noexcept
{
    errno = 0;
    if (job) {
        ssize_t moved = 0;
        if (transfer(job, sz, &moved) == 0) return {moved, errno, false};
        const int err = errno;
        // A full socket buffer is no failure: the next message waits for room.
        if (err == EAGAIN) return {-1, err, false};
        return {moved, err, true};
    }
    const ssize_t n =
        (g_cfg.mode & M_UDP)
            ? sendto(fd, g_buf, sz, MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr *>(&g_addr_ss), g_addr_len)
            : write(fd, g_buf, sz);
    return {n, n < 0 ? errno : 0, false};
}

// Pauses g_dly after an I/O.  A sleep in the kernel lasts tens of
// microseconds whatever it asks for, which would make the client's default
// pause of 500 ns the limit of its rate: short pauses wait on the clock.
void pause_after_io() noexcept
{
    if (g_dly.tv_sec == 0 && g_dly.tv_nsec == 0) return;
    if (g_dly.tv_sec != 0 || g_dly.tv_nsec >= SPIN_PAUSE_MAX_NSEC) {
        nanosleep(&g_dly, nullptr);
        return;
    }
    timespec until;
    set_now_plus(&until, &g_dly);
    for (timespec now;;) {
        set_now(&now);
        if (now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec))
            return;
        __builtin_ia32_pause();
    }
}

void print_send_info(const char *mode, size_t run, ssize_t size) noexcept
{
    if (rtp_framing()) {
        if (run) printf(" %zu:[R%u+%zd] ", run, unsigned(s_wr.last_seq), s_wr.last_size);
        printf("%s:SSRC=0x%04x [R%u+%zd]:", mode, unsigned(g_cfg.rtp_ssrc),
               unsigned(uint16_t(g_ctx.rtp_out_seq - 1)), size);
    } else {
        if (run) printf(" %zu:[%zd] ", run, s_wr.last_size);
        printf("%s [%zd]:", mode, size);
    }
}

void print_rcv_info(ssize_t size) noexcept
{
    char mark[9];
    rcv_mark(mark);
    if (size == s_rd.last_size) {
        fputs(mark, stdout);
        return;
    }
    if (s_rd.run)
        printf(" %zdx[%zd]:%s ", ssize_t(s_rd.run), s_rd.last_size, mark);
    else
        printf("%s [%zd]:%s", rtp_framing() ? "RTP" : "READ", size, mark);
    s_rd.last_size = size;
    s_rd.run = 0;
}

// Accounts for n received bytes whose first datagram is first_len long
// and lies at the buffer's start.
void got_data(ssize_t n, size_t first_len) noexcept
{
    if (rtp_framing()) parse_rtp_hdr(reinterpret_cast<const uint8_t *>(g_buf), first_len);
    if (is_verbose()) print_rcv_info(ssize_t(first_len));
    g_stats.ntotal += n;
    ++s_rd.run;
    set_now(&g_stats.end_tm);
    stats_tick(g_stats.end_tm, false);
}

// A fresh socket bound to the group and joined, in place of *fd, whose
// membership is dropped.  0, or -1 with the old socket kept.
int rejoin(int *fd) noexcept
{
    static constexpr const char *fn = "sock_reader";
    (void)mcast_leave(*fd);
    const auto *grp = reinterpret_cast<const sockaddr *>(&g_addr_ss);
    const int nfd = socket(grp->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nfd < 0) {
        perror("socket");
        return -1;
    }
    const int on = 1;
    const char *step = nullptr;
    if (setsockopt(nfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
        step = "setsockopt SO_REUSEADDR";
    else if (setsockopt(nfd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) != 0)
        step = "setsockopt SO_REUSEPORT";
    else if (bind(nfd, grp, g_addr_len) != 0)
        step = "bind";
    if (step) perror(step);
    if (step || mcast_join(nfd) != 0) {
        close(nfd);
        return -1;
    }
    close(*fd);
    fprintf(stderr, "%s: closed fd%d\n", fn, *fd);
    *fd = nfd;
    fprintf(stderr, "\n%s: re-connected as fd%d\n", fn, nfd);
    return 0;
}

// Timing of the receives (DBG_RD1).
struct read_timing {
    long acc_prev = 0;   // probe time so far, microseconds
    long prev_span = 0;  // time of the previous receive call
    timespec prev_rt{};  // real time of the previous receive; zero before the first
};

void time_read(read_timing &t, ssize_t n, int count) noexcept
{
    const long acc = tms2usc(&g_stats.ioperf.accum.tm);
    const long curr_span = acc - t.acc_prev;
    t.acc_prev = acc;
    timespec rt;
    set_real_now(&rt);
    const bool first = t.prev_rt.tv_sec == 0 && t.prev_rt.tv_nsec == 0;
    const long tgap = first ? 0 : diff_usec(&rt, &t.prev_rt);
    const long max = g_cfg.max_iospan_delta;
    if (g_cfg.log_read_tm)
        fprintf(stderr, "%ld.%ld: %s %zd(%d) bytes, rTm:%ld/%ld tGAP:%ld usc\n", long(rt.tv_sec),
                rt.tv_nsec, g_cfg.use_udp_recv && !g_cfg.use_mmsg ? "READ" : "RECV", n, count,
                curr_span, t.prev_span, tgap);
    if (!g_cfg.time_syscall && max > 0 && tgap >= max)
        fprintf(stderr, "\n%ld.%ld TGAP-ALERT: %ld usc: from [%ld.%ld]\n", long(rt.tv_sec),
                rt.tv_nsec, tgap, long(t.prev_rt.tv_sec), t.prev_rt.tv_nsec);
    if (t.prev_span > 0 && max > 0 && labs(curr_span - t.prev_span) >= max)
        fprintf(stderr, "\n%ld.%ld RDTM-ALERT: last/now=%ld/%ld d=%ld\n", long(rt.tv_sec),
                rt.tv_nsec, t.prev_span, curr_span, curr_span - t.prev_span);
    t.prev_span = curr_span;
    t.prev_rt = rt;
}

}  // namespace

int get_gap() noexcept
{
    if (g_cfg.gap.randn <= 0 || g_cfg.gap.maxlen == 0) return 0;
    if (g_ctx.rseed == 0) {
        g_ctx.rseed = unsigned(time(nullptr));
        srand(g_ctx.rseed);
    }
    // Every message with no burst pending has its chance, also the one
    // right after a burst: bursts may follow one another, and randn 1
    // skips every message.
    if (s_burst == 0 && rand() % g_cfg.gap.randn == 0)
        s_burst = int(size_t(rand()) % g_cfg.gap.maxlen) + 1;
    return s_burst > 0 ? s_burst-- : 0;
}

void reset_gap() noexcept { s_burst = 0; }

int wait_io_ready(int fd, long timeout) noexcept
{
    pollfd p{fd, short((g_cfg.mode & M_WRITER) ? POLLOUT : POLLIN), 0};
    const int ms = timeout < 0 ? -1 : timeout > INT_MAX / 1000 ? INT_MAX : int(timeout * 1000);
    const int rc = poll(&p, 1, ms);
    if (rc > 0) return 0;
    if (rc == 0) {
        printf("TIME-OUT [after %ld sec]", timeout);
        return ETIMEDOUT;
    }
    const int err = errno;
    if (err == EINTR) return 0;
    perror("select");
    return err;
}

ssize_t read_udp(int fd, char *buf, size_t size, size_t bufsize, int flags, int *count) noexcept
{
    // A datagram longer than size counts with its full length.  On a stream
    // the flag would discard the bytes instead of reading them.
    if (g_cfg.mode & M_UDP) flags |= MSG_TRUNC;
    if (g_cfg.use_mmsg) return recv_multi(fd, buf, size, bufsize, flags, count);
    *count = 1;
    const ssize_t n = g_cfg.use_udp_recv ? read(fd, buf, size) : recv(fd, buf, size, flags);
    s_first_len = n > 0 ? size_t(n) : 0;
    return n;
}

ssize_t recv_multi(int fd, char *buf, size_t size, size_t bufsize, int flags, int *count) noexcept
{
    int slots = 0;
    while (slots < MMSG_MAX && size * size_t(slots + 1) < bufsize) ++slots;
    s_first_len = 0;
    *count = 0;
    if (slots == 0 || size == 0) return 0;
    for (int i = 0; i < slots; ++i) {
        s_iov[i] = {buf + size_t(i) * size, size};
        s_msgs[i] = mmsghdr{};
        s_msgs[i].msg_hdr.msg_iov = &s_iov[i];
        s_msgs[i].msg_hdr.msg_iovlen = 1;
    }
    timespec wait{0, MMSG_WAIT_NSEC};
    const int got = recvmmsg(fd, s_msgs, unsigned(slots), flags, &wait);
    *count = got;
    if (got < 0) return got;
    ssize_t sum = 0;
    for (int i = 0; i < got; ++i) sum += ssize_t(s_msgs[i].msg_len);
    if (got > 0) s_first_len = s_msgs[0].msg_len;
    return sum;
}

size_t first_dgram_len() noexcept { return s_first_len; }

void parse_rtp_hdr(const uint8_t *msg, size_t len) noexcept
{
    if (len <= RTP_HEADER_SIZE || !rtp_check_hdr(msg)) {
        ++g_ctx.rtp_wrong_type;
        return;
    }
    g_ctx.rtp_wrong_type = 0;
    const uint32_t ssrc = rtp_get_int_ssrc(msg);
    if (g_ctx.rtp_in_ssrc != 0 && ssrc != g_ctx.rtp_in_ssrc) g_ctx.rtp_old_ssrc = g_ctx.rtp_in_ssrc;
    g_ctx.rtp_in_ssrc = ssrc;
    const uint16_t seq = rtp_get_seqnum(msg);
    const uint16_t prev = g_ctx.rtp_in_seq;
    g_ctx.rtp_seq_gap = prev ? int(int16_t(uint16_t(seq - prev - 1))) : 0;
    g_ctx.rtp_in_seq = seq;
    if (s_trk_rtp)
        fprintf(stderr, " |L:%zu seq=%u/%u gap=%d ssrc=0x%08x| ", len, unsigned(seq),
                unsigned(prev), g_ctx.rtp_seq_gap, unsigned(ssrc));
}

const char *rcv_mark(char (&buf)[9]) noexcept
{
    if (!rtp_framing()) {
        snprintf(buf, sizeof(buf), ".");
        return buf;
    }
    char c = 'r';
    if (g_ctx.rtp_wrong_type)
        c = '?';
    else if (g_ctx.rtp_old_ssrc && g_ctx.rtp_old_ssrc != g_ctx.rtp_in_ssrc)
        c = 'S';
    if (g_ctx.rtp_seq_gap)
        snprintf(buf, sizeof(buf), "%c{%d}", c, g_ctx.rtp_seq_gap);
    else
        snprintf(buf, sizeof(buf), "%c", c);
    return buf;
}

void print_perf_stats() noexcept
{
    timespec d;
    calc_timespan(&g_stats.start_tm, &g_stats.end_tm, &d);
    g_stats.seconds = double(d.tv_sec) + double(d.tv_nsec) / 1e9;
    const double kb = double(g_stats.ntotal) / 1024.0;
    // A loop that moved nothing, or all within one clock tick, has no rate.
    const double rate = g_stats.seconds > 0 ? kb / g_stats.seconds : 0.0;
    printf("\nI/O: %.6f Kb within %.6f sec; %.6f Kb/sec\n", kb, g_stats.seconds, rate);
    prfm_dump(stdout, &g_stats.ioperf, "I/O performance:\n");
}

int sock_writer(int fd, long timeout, long size) noexcept
{
    static constexpr const char *fn = "sock_writer";
    fflush(stdout);
    setvbuf(stdout, nullptr, _IONBF, 0);
    // Whatever a peer sent after its request head is not ours to count.
    g_http_rest.len = 0;
    if (!begin_loop()) return end_loop(fn, fd, 0, 0, true);

    const size_t sz = msg_size(size);
    const bool udp = g_cfg.mode & M_UDP;
    const bool by_sendfile = g_src_fd >= 0 && !g_cfg.no_sendfile && g_cfg.addr_family == SOCK_STREAM;
    const char *mode = by_sendfile ? "SENDFILE" : "WRITE";
    const bool rtp = rtp_framing();
    const bool verbose = is_verbose();

    off_t offset = 0;
    uint32_t fflags = udp ? uint32_t(FDIO_SENDTO) : by_sendfile ? uint32_t(FDIO_SENDFILE) : 0u;
    transfer_spec *job = nullptr;
    if (g_src_fd >= 0) {
        job = new_transfer_spec(g_src_fd, fd, &offset, &fflags, udp ? &g_addr_ss : nullptr,
                                udp ? ssize_t(g_addr_len) : 0);
        if (!job) return end_loop(fn, fd, -1, errno, true);
    } else {
        memset(g_buf, 'A', sz);
    }
    printf("%s [%s%s] to fd=%d, msg_size=%ld delay=%ld ms\n", mode, job ? "(T)" : "",
           job ? g_cfg.srcfile : "+MEM+", fd, size, delay_ms());

    s_wr = run_state{};
    int rc = 0;
    int err = 0;
    long sent = 0;
    while (rc == 0 && !g_quit) {
        const int gap = get_gap();
        if (rtp) {
            s_wr.last_seq = uint16_t(g_ctx.rtp_out_seq - 1);
            put_rtp_hdr(g_ctx.rtp_out_seq++);
        }
        const int wrc = wait_io_ready(fd, timeout);
        if (wrc != 0 || g_quit) {
            rc = err = wrc == ETIMEDOUT ? 0 : wrc;
            break;
        }

        prfm_start(&g_stats.ioperf);
        const send_result res = gap ? send_result{0, 0, false} : send_one(fd, job, sz);
        prfm_stop(&g_stats.ioperf);
        err = res.err;

        if (verbose) {
            if (gap) {
                printf("~%d", gap);
            } else if (res.n == s_wr.last_size) {
                putchar('>');
            } else {
                print_send_info(mode, s_wr.run, res.n);
                if (res.n > 0) s_wr.last_size = res.n;
                s_wr.run = 0;
            }
        }
        if (res.n > 0) {
            if (rtp && s_trk_rtp)
                fprintf(stderr, "{%u}", unsigned(uint16_t(g_ctx.rtp_out_seq - 1)));
            set_now(&g_stats.end_tm);
            g_stats.ntotal += res.n;
            ++s_wr.run;
            stats_tick(g_stats.end_tm, true);
            sent += long(res.n);
        } else if (res.n == 0 && !gap) {
            if (res.err) {
                rc = res.job_failed ? -1 : res.err;
                break;
            }
            if (job) {
                // A file that has become empty would rewind for ever
                // without moving a byte.
                if (offset == 0) {
                    rc = err = ENODATA;
                    break;
                }
                printf("EOF(at %lu) ", (unsigned long)offset);
                fputs("ROLLOVER ", stderr);
                offset = 0;
                errno = 0;
                s_wr.run = 0;
                s_wr.last_size = 0;
            }
        } else if (res.n < 0) {
            putchar('#');
            if (res.err != EAGAIN) {
                rc = res.err;
                break;
            }
        }
        if (g_quit) break;
        pause_after_io();
    }
    if (s_wr.run && verbose) printf(" %ld:[%ld] ", long(s_wr.run), long(s_wr.last_size));
    printf("DONE\ntotal sent to fd=%d: %ld bytes\n", fd, sent);
    free(job);
    return end_loop(fn, fd, rc, err, true);
}

int sock_reader(int *pfd, long timeout, long size) noexcept
{
    static constexpr const char *fn = "sock_reader";
    fflush(stdout);
    setvbuf(stdout, nullptr, _IONBF, 0);
    const char *proto = (g_cfg.mode & M_UDP) ? "UDP" : is_http_mode() ? "HTTP" : "TCP";
    printf("reading [%s/%s] from fd=%d, msg_size=%ld delay=%ld ms\n", proto,
           rtp_framing() ? "RTP" : "any", *pfd, size, delay_ms());
    if (!begin_loop()) return end_loop(fn, *pfd, 0, 0, false);

    const size_t sz = msg_size(size);
    s_rd = run_state{};
    // Bytes that came with the HTTP head are the stream's first data.
    if (g_http_rest.len > 0) {
        const size_t n = std::min(g_http_rest.len, sizeof(g_http_rest.buf));
        memcpy(g_buf, g_http_rest.buf, n);
        g_http_rest.len = 0;
        got_data(ssize_t(n), n);
    }

    int rc = 0;
    int err = 0;
    bool failed = false;
    int rejoins = 0;
    read_timing timing;
    while (rc == 0) {
        const int wrc = wait_io_ready(*pfd, timeout);
        if (wrc != 0) {
            fputs("#", stderr);
            rc = err = wrc == ETIMEDOUT ? 0 : wrc;
            if (!g_cfg.addr_is_multicast || rejoins >= 3 || g_quit) break;
            if (rejoin(pfd) != 0) break;
            ++rejoins;
            rc = 0;
            continue;
        }

        errno = 0;
        rejoins = 0;
        int count = 0;
        prfm_start(&g_stats.ioperf);
        const ssize_t n = read_udp(*pfd, g_buf, sz, DVT_BUFSIZE, MSG_DONTWAIT, &count);
        const int rerr = errno;
        prfm_stop(&g_stats.ioperf);
        if (n < 0) {
            // Readiness can be spurious; a signal ends the loop through g_quit.
            if (rerr == EAGAIN || rerr == EINTR) {
                if (g_quit) break;
                continue;
            }
            rc = err = rerr;
            failed = true;
            break;
        }
        time_read(timing, n, count);
        if (n == 0) break;
        got_data(n, first_dgram_len());
        if (g_quit) break;
        pause_after_io();
    }
    if (!failed) {
        if (s_rd.run && is_verbose()) printf(" %ld:[%ld] ", long(s_rd.run), long(s_rd.last_size));
        printf("DONE\ntotal received from fd=%d: %ld bytes\n", *pfd, long(g_stats.ntotal));
    }
    return end_loop(fn, *pfd, rc, err, false);
}
