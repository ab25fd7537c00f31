// dvt / dvs: sends or receives test traffic over TCP, UDP (unicast or
// multicast) or HTTP, optionally RTP-framed with simulated loss, and
// prints throughput and timing.  Started as dvt it is the client, as dvs
// (a link to the same program) the server.
#include <strings.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.globals.h"
#include "dvt.h"
#include "dvtxfer.h"
#include "fdio.h"
#include "libmeta.h"
#include "log.h"
#include "meta.h"
#include "neto.h"
#include "strops.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

DEFINE_APP_GLOBALS;

namespace {

enum dvt_exit : int {
    DVT_OK = 0,
    DVT_USAGE = 1,
    DVT_FAILED = 2,
    DVT_BAD_RTP_OPTION = 255,  // a malformed -1 or -2
};

constexpr char OPTSTRING[] = "vhHrwuk6xa:p:i:d:n:m:s:U:S:R:D:0:1:2:";

struct usage_line {
    const char *opt;
    const char *text;
};

constexpr std::array<usage_line, 21> USAGE_LINES = {{
    {"-v", "verbose output"},
    {"-r|-w", "read | write data"},
    {"-u|-h", "use UDP | HTTP protocol"},
    {"-H", "use HTTP HEAD request"},
    {"-k", "use legacy mcast API"},
    {"-6", "assume IPv6 by default"},
    {"-x", "disconnect shortly after connect(2)"},
    {"-i seconds", "time out after N seconds of inactivity"},
    {"-s filepath", "sendfile(2) from the given file"},
    {"-d msec", "delay N msec after each send/receive"},
    {"-n msg_size", "send/receive in chunks of N bytes"},
    {"-U uri", "request data via HTTP request to the URI"},
    {"-a addr", "use this address to listen on/connect to"},
    {"-p port", "use this port to listen on/connect to"},
    {"-m mcast_ifc", "multicast interface to work with"},
    {"-D sec", "die after N seconds of work"},
    {"-S bytes", "send socket buffer size"},
    {"-R bytes", "receive socket buffer size"},
    {"-0 seed", "set randomizer seed"},
    {"-1 N[:ssrc]", "send RTP packets with N=start-seq, SSRC=ssrc (default 0x2146455A);"
                    " numbers decimal, 0x.. hex or 0.. octal"},
    {"-2 N[:G]", "skip bursts of 1 to G (default 1) RTP packets; one packet in N starts"
                 " one, also right after another: -2 1:1 skips every packet"},
}};

// What the command line asks for besides g_cfg.
struct run_options {
    const char *address = nullptr;
    const char *port = nullptr;
    long port_num = 0;
    long timeout = -1;
    long delay_ms = 0;
    long size = DEFAULT_MSG_SIZE;
};

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr, "%s\n", get_app_info(g_app_name, nullptr));
    fprintf(stderr, "Usage: %s [options] -a addr -p port\n", argv0);
    for (const usage_line &l : USAGE_LINES) fprintf(stderr, "\t%-15s= %s\n", l.opt, l.text);
    fputc('\n', stderr);
    dump_build_info(stderr);
    fprintf(stderr, "%s: started as dvs it serves, as dvt it connects\n", g_app_name);
    fputc('\n', stderr);
    exit(DVT_USAGE);
}

// A whole text read as a number of the base (0: decimal, 0x hexadecimal or
// 0 octal) within [lo, hi].
bool parse_num(const char *text, int base, long lo, long hi, long *out) noexcept
{
    if (!text || !*text) return false;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text, &end, base);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// A number of -1 as strtol reads it with base 0 (decimal, 0x hexadecimal,
// 0 octal), the whole text, starting with a digit: no blanks or signs.
bool parse_rtp_num(const char *text, long hi, long *out) noexcept
{
    return isdigit(static_cast<unsigned char>(text[0])) && parse_num(text, 0, 0, hi, out);
}

// -1 N[:ssrc]; exits with DVT_BAD_RTP_OPTION when malformed.  Without
// ":ssrc" the SSRC is DEFAULT_RTP_SSRC.
void parse_rtp_option(const char *arg) noexcept
{
    char seq_text[32];
    const char *colon = strchr(arg, ':');
    const size_t seq_len = colon ? size_t(colon - arg) : strlen(arg);
    long ssrc = DEFAULT_RTP_SSRC;
    if (colon && !parse_rtp_num(colon + 1, long(UINT32_MAX), &ssrc)) {
        fprintf(stderr, "%s: invalid SSID number: %s\n", g_prog, colon + 1);
        exit(DVT_BAD_RTP_OPTION);
    }
    long seq = 0;
    const bool fits = seq_len < sizeof(seq_text);
    if (fits) {
        memcpy(seq_text, arg, seq_len);
        seq_text[seq_len] = '\0';
    }
    if (!fits || !parse_rtp_num(seq_text, UINT16_MAX, &seq)) {
        fprintf(stderr, "%s: invalid SEQ number: %.*s\n", g_prog, int(seq_len), arg);
        exit(DVT_BAD_RTP_OPTION);
    }
    g_cfg.rtp_seqnum = uint16_t(seq);
    g_cfg.rtp_ssrc = uint32_t(ssrc);
    g_ctx.rtp_out_seq = g_cfg.rtp_seqnum;
}

// -2 N[:G]; exits with DVT_BAD_RTP_OPTION when malformed.  G is 1 without
// ":G".  A burst length that is negative or not a number would become a
// huge burst, and one of 0 would skip nothing: refused.
void parse_gap_option(const char *arg) noexcept
{
    char n_text[32];
    const char *colon = strchr(arg, ':');
    const size_t n_len = colon ? size_t(colon - arg) : strlen(arg);
    long randn = 0;
    const bool fits = n_len < sizeof(n_text);
    if (fits) {
        memcpy(n_text, arg, n_len);
        n_text[n_len] = '\0';
    }
    if (!fits || !parse_num(n_text, 10, 1, INT_MAX, &randn)) {
        fprintf(stderr, "%s: invalid gap randN=[%.*s]\n", g_prog, int(n_len), arg);
        exit(DVT_BAD_RTP_OPTION);
    }
    long maxlen = 1;
    if (colon && !parse_num(colon + 1, 10, 1, INT_MAX - 1, &maxlen)) {
        fprintf(stderr, "%s: invalid gap length=[%s]\n", g_prog, colon + 1);
        exit(DVT_BAD_RTP_OPTION);
    }
    g_cfg.gap.randn = int(randn);
    g_cfg.gap.maxlen = size_t(maxlen);
}

// -m: the interface's index and address.  false (message given) when none.
bool set_mcast_ifc(const char *ifc) noexcept
{
    g_mif_ss = sockaddr_storage{};
    g_mif_idx = Ifaddr_index(ifc, &g_mif_ss);
    if (g_mif_idx == 0) {
        fprintf(stderr, "Invalid interface name/address: %s\n", ifc);
        return false;
    }
    // Named by its name: take its first address of the family in use.
    if (g_mif_ss.ss_family == AF_UNSPEC &&
        Ifc_addr_lookup(g_cfg.plus1_ipv6_port ? AF_INET6 : AF_INET, ifc,
                        reinterpret_cast<sockaddr *>(&g_mif_ss), sizeof(g_mif_ss)) != 0)
        return false;
    g_cfg.mc_ifc = ifc;
    return true;
}

// -s: a regular file with something in it; an empty one would make the
// writer rewind for ever without moving a byte.
bool set_src_file(const char *path) noexcept
{
    if (g_src_fd >= 0) close(g_src_fd);
    g_src_fd = open_src_file(path);
    if (g_src_fd < 0) {
        fprintf(stderr, "%s: cannot open source file %s: %s\n", g_prog, path, strerror(errno));
        return false;
    }
    struct stat st{};
    if (fstat(g_src_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        fprintf(stderr, "%s: source file must be a non-empty regular file: %s\n", g_prog, path);
        return false;
    }
    g_cfg.srcfile = path;
    const char *ns = getenv("DVT_NO_SENDFILE");
    if (ns && (strtol(ns, nullptr, 10) & 1)) {
        g_cfg.no_sendfile = 1;
        fprintf(stderr, "%s: sendfile(2) transfer explicitly disabled\n", g_prog);
    }
    return true;
}

bool set_bufsize(const char *text, size_t *out) noexcept
{
    int64_t v = 0;
    if (a2int64(text, &v) != 0 || v <= 0 || v > INT_MAX) return false;
    *out = size_t(v);
    return true;
}

// Reads the options into g_cfg and opt.  false at the first error other
// than a malformed -1 or -2, which end the program here.
bool parse_options(int argc, char **argv, run_options &opt) noexcept
{
    const bool as_zef = strcasecmp(g_prog, "zef") == 0;
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, OPTSTRING)) != -1) {
        switch (c) {
        case 'v':
            g_mod_ll[LM_DEFAULT] = DEBUG_level;
            break;
        case 'r':
            g_cfg.mode &= ~uint32_t(M_WRITER);
            break;
        case 'w':
            g_cfg.mode |= M_WRITER;
            break;
        case 'u':
            g_cfg.mode |= M_UDP;
            break;
        case 'h':
            g_cfg.mode |= M_HTTP;
            break;
        case 'H':
            if (as_zef) g_cfg.mode |= M_HEAD;
            break;
        case 'k':
            g_cfg.no_agnostic_mcast = 1;
            Set_legacy_mcast_api(1);
            break;
        case '6':
            g_cfg.plus1_ipv6_port = 1;
            break;
        case 'x':
            g_cfg.disconnect = 1;
            break;
        case 'a':
            opt.address = (strcasecmp(optarg, "all") == 0 || strcasecmp(optarg, "any") == 0)
                              ? nullptr
                              : optarg;
            break;
        case 'p':
            if (!parse_num(optarg, 10, 1, 65535, &opt.port_num)) {
                fprintf(stderr, "%s: invalid port value: %s\n", g_prog, optarg);
                return false;
            }
            opt.port = optarg;
            break;
        case 'i':
            if (!parse_num(optarg, 10, -1, LONG_MAX, &opt.timeout) || opt.timeout == 0) {
                fprintf(stderr, "%s: invalid timeout value: %s\n", g_prog, optarg);
                return false;
            }
            break;
        case 'd':
            if (!parse_num(optarg, 10, 0, LONG_MAX / 1000000, &opt.delay_ms)) {
                fprintf(stderr, "%s: invalid delay (ms) value: %s\n", g_prog, optarg);
                return false;
            }
            break;
        case 'n': {
            long v = 0;
            if (!parse_num(optarg, 10, LONG_MIN, LONG_MAX, &v) || (v < 1 && v != -1)) {
                fprintf(stderr, "%s: invalid message size value: %s\n", g_prog, optarg);
                return false;
            }
            if (v > long(DVT_BUFSIZE)) {
                fprintf(stderr, "%s: message size is too big, max=%lu\n", g_prog,
                        (unsigned long)DVT_BUFSIZE);
                return false;
            }
            opt.size = v;
            break;
        }
        case 'm':
            if (!set_mcast_ifc(optarg)) return false;
            break;
        case 's':
            if (!set_src_file(optarg)) return false;
            break;
        case 'U':
            g_cfg.uri_path = optarg;
            break;
        case 'S':
            if (!set_bufsize(optarg, &g_cfg.sendbuf_len)) {
                fprintf(stderr, "%s: invalid send-buffer size: %s\n", g_prog, optarg);
                return false;
            }
            break;
        case 'R':
            if (!set_bufsize(optarg, &g_cfg.rcvbuf_len)) {
                fprintf(stderr, "%s: invalid receive-buffer size: %s\n", g_prog, optarg);
                return false;
            }
            break;
        case 'D': {
            long sec = 0;
            if (!parse_num(optarg, 10, 1, INT_MAX, &sec)) {
                fprintf(stderr, "%s: invalid run time (sec): %s\n", g_prog, optarg);
                return false;
            }
            alarm(unsigned(sec));
            fprintf(stderr, "Will quit after %d seconds\n", int(sec));
            break;
        }
        case '0': {
            const unsigned seed = unsigned(strtoul(optarg, nullptr, 10));
            srand(seed);
            g_ctx.rseed = seed;
            break;
        }
        case '1':
            parse_rtp_option(optarg);
            break;
        case '2':
            parse_gap_option(optarg);
            break;
        default:
            // An unknown option, or one whose argument is missing.
            if (optopt && optopt != ':' && strchr(OPTSTRING, optopt))
                fprintf(stderr, "%s: option requires an argument: %c\n", g_prog, optopt);
            else
                fprintf(stderr, "%s: invalid option: %c\n", g_prog, optopt ? optopt : c);
            return false;
        }
    }
    return true;
}

// The checks that need all the options.  false (message given) on a fault.
bool check_options(const run_options &opt) noexcept
{
    if (!opt.port) {
        fprintf(stderr, "port must be specified\n");
        return false;
    }
    // The IPv6 listener of -6 takes the port + 1.
    if (g_cfg.plus1_ipv6_port && opt.port_num > 65534) {
        fprintf(stderr, "%s: invalid port value: %s\n", g_prog, opt.port);
        return false;
    }
    // A shorter message would carry a cut RTP header.
    if (rtp_framing() && opt.size != -1 && opt.size <= RTP_HDR_LEN) {
        fprintf(stderr, "%s: message size %ld is too small for RTP, min=%ld\n", g_prog, opt.size,
                RTP_HDR_LEN + 1);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    g_prog = get_base(argv[0]);
    glog_init(g_app_name);
    log_default(&g_log, stderr);
    (void)get_app_tag(g_app_name);
    if (argc < 2) usage(g_prog);

    run_options opt;
    if (!parse_options(argc, argv, opt) || !check_options(opt)) usage(argv[0]);
    if ((g_cfg.mode & M_HTTP) && (g_cfg.mode & M_UDP)) {
        fprintf(stderr, "Invalid mode combination: UDP cannot be combined with HTTP\n");
        return DVT_USAGE;
    }

    ms2timespec(opt.delay_ms, &g_dly);
    g_cfg.stats_period_sec = DEFAULT_STAT_SEC;
    if (const char *dbg = getenv("DBG_RD1")) read_dbg_rd1(dbg);
    fprintf(stderr, "%s: R:%d,U:%d,s:%d,m:%d,max_iospan_delta=%ld\n", g_prog, g_cfg.log_read_tm,
            g_cfg.use_udp_recv, g_cfg.time_syscall, g_cfg.use_mmsg, g_cfg.max_iospan_delta);

    prfm_xinit(&g_stats.ioperf, prfm_TIME | prfm_RUSAGE, RUSAGE_SELF);
    // Buffered file transfers (without sendfile) need the transfer buffer.
    if (fdio_init(-1) != 0) {
        fprintf(stderr, "%s: cannot set up the transfer buffer\n", g_prog);
        return DVT_FAILED;
    }
    memset(g_buf, 'B', sizeof(g_buf));
    // Pauses after each I/O are short (the client's default is 500 ns):
    // without this the kernel may stretch each one by 50 µs.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    int rc = 0;
    if (strcasecmp(g_prog, "dvs") == 0) {
        rc = run_dvtsrv(opt.address, opt.port, opt.timeout, opt.size);
    } else if (strcasecmp(g_prog, "dvt") == 0) {
        if (g_dly.tv_sec == 0 && g_dly.tv_nsec == 0) g_dly.tv_nsec = 500;
        rc = run_dvtli(opt.address, opt.port, opt.timeout, opt.size);
    }

    prfm_destroy(&g_stats.ioperf);
    if (rc == -1) rc = DVT_FAILED;
    if (g_src_fd >= 0) close(g_src_fd);
    fdio_destroy();
    printf("%s: exiting with rc=%d\n", g_prog, rc);
    return rc;
}
