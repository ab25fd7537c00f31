// The daemon's configuration loader over arbitrary file contents: the
// libconfig parse, every section loader and key check, the dump of what was
// loaded and the reset that drops it.  Besides the sanitizers (the leak
// checker sees any interface record the reset misses), the target checks
// what a loaded record promises: texts terminated in their fields, values
// inside the ranges the loader enforces, listeners complete, and a second
// load of the same bytes giving the same result and the same dump.
//
// The loader resolves the agent's "address:port", which may be a host name;
// the target runs in a network namespace of its own, so no look-up leaves
// the machine.  Where no namespace can be made, inputs naming that key are
// skipped.  libconfig's include directive opens other files by name (a
// FIFO or /dev/zero would stall the run); inputs holding it are skipped too.
// libconfig's reader is wrapped to give back what its parser loses on a
// syntax error (below).
#include <dlfcn.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>

#include <algorithm>
#include <iterator>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cfg.h"
#include "config.h"
#include "fuzz_target.h"
#include "log.h"

// The allocator's hooks, present only in sanitizer builds.
using malloc_hook = void (*)(const volatile void *, size_t);
using free_hook = void (*)(const volatile void *);
extern "C" int __sanitizer_install_malloc_and_free_hooks(malloc_hook, free_hook)
    __attribute__((weak));

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

template <size_t N>
bool terminated(const char (&field)[N])
{
    return memchr(field, '\0', N) != nullptr;
}

bool contains_ci(const uint8_t *data, size_t size, const char *word)
{
    std::string low(reinterpret_cast<const char *>(data), size);
    for (char &c : low) c = char(tolower(static_cast<unsigned char>(c)));
    return low.find(word) != std::string::npos;
}

// Loopback up, so that "lo", 127.0.0.1 and ::1 name an interface as they
// do on a real host.
bool loopback_up()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

// libconfig's parser drops the text of a string token it holds at a syntax
// error without freeing it (a file holding only "" shows it): the
// library's loss, once per failed parse, after which the daemon exits.
// Left alone, it would stop the run as a leak and make the fuzzer check for
// leaks after one input in ten.  So the target wraps the reader: what a
// failed read allocated and the tree's destruction leaves is the parser's
// loss, and is given back.  Leaks of the loader itself are still found.
// The bookkeeping of the hooks is no part of what is fuzzed: its loops
// would only add noise to the coverage the fuzzer steers by.
#if defined(__clang__)
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define NO_COVERAGE
#endif

class read_losses {
public:
    NO_COVERAGE static void on_malloc(const volatile void *p, size_t)
    {
        if (!tracking_ || overflow_) return;
        if (used_ == MAX_USED) {
            overflow_ = true;
            return;
        }
        size_t i = home(p);
        while (table_[i].gen == gen_) i = (i + 1) & (CAP - 1);
        table_[i] = {p, gen_};
        order_[used_++] = uint32_t(i);
    }
    NO_COVERAGE static void on_free(const volatile void *p)
    {
        if (!tracking_) return;
        for (size_t i = home(p); table_[i].gen == gen_; i = (i + 1) & (CAP - 1)) {
            if (table_[i].p == p) {
                table_[i].p = nullptr;  // a tombstone: the probe goes on past it
                return;
            }
        }
    }
    static void start()
    {
        if (++gen_ == 0) {
            std::fill(std::begin(table_), std::end(table_), slot{});
            gen_ = 1;
        }
        used_ = 0;
        overflow_ = false;
        tracking_ = true;
    }
    // Frees what is still allocated since start(), unless the record
    // overflowed (then nothing is known for sure).
    NO_COVERAGE static void give_back()
    {
        tracking_ = false;
        if (overflow_) return;
        for (size_t k = 0; k < used_; ++k)
            if (const volatile void *p = table_[order_[k]].p) free(const_cast<void *>(p));
    }
    static void stop() { tracking_ = false; }

private:
    // Open addressing in a fixed table, as the hooks must not allocate;
    // entries of an earlier watch count as empty.  Plain arrays: the hooks
    // run on every allocation of a read, and the fuzz build is unoptimised.
    struct slot {
        const volatile void *p;
        uint32_t gen;
    };
    static constexpr size_t CAP = size_t(1) << 17;
    static constexpr size_t MAX_USED = CAP / 2;

    NO_COVERAGE static size_t home(const volatile void *p)
    {
        return size_t((uint64_t(uintptr_t(p)) * 0x9E3779B97F4A7C15ull) >> 47);
    }

    static inline slot table_[CAP]{};
    static inline uint32_t order_[MAX_USED]{};
    static inline size_t used_ = 0;
    static inline uint32_t gen_ = 0;
    static inline bool overflow_ = false;
    static inline thread_local bool tracking_ = false;
};

using read_fn = int (*)(config_t *, FILE *);

read_fn real_config_read()
{
    static const auto fn = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "config_read"));
    check(fn != nullptr);
    return fn;
}

struct setup {
    FILE *null_fp = nullptr;
    bool private_net = false;
};

const setup &setup_once()
{
    static const setup s = [] {
        setup r;
        // Whatever the library sets up once (locale, stdio) is set up
        // before any read is watched.
        for (const char *text : {"a = \"x\";", "a = ;"}) {
            config_t t;
            config_init(&t);
            if (FILE *fp = fmemopen(const_cast<char *>(text), strlen(text), "r")) {
                real_config_read()(&t, fp);
                fclose(fp);
            }
            config_destroy(&t);
        }
        if (__sanitizer_install_malloc_and_free_hooks)
            __sanitizer_install_malloc_and_free_hooks(read_losses::on_malloc, read_losses::on_free);
        r.null_fp = fopen("/dev/null", "w");
        check(r.null_fp != nullptr);
        log_default(&g_log, r.null_fp);
        // Every log line's arguments are built.
        g_mod_ll[LM_DEFAULT] = DEBUG_level;
        r.private_net = unshare(CLONE_NEWNET) == 0 ||
                        unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0;
        if (r.private_net) loopback_up();
        return r;
    }();
    return s;
}

void check_listeners(const listener_cfg (&lst)[MAX_LISTENERS], bool user)
{
    bool gap = false;
    for (size_t i = 0; i < MAX_LISTENERS; ++i) {
        const listener_cfg &lc = lst[i];
        if (!lc.is_valid) {
            check(lc.ifc == nullptr);
            gap = true;
            continue;
        }
        check(!gap);  // the valid ones lead their list
        check(lc.index == i + 1);
        check(terminated(lc.alias) && lc.alias[0] && terminated(lc.port) &&
              terminated(lc.domain_path));
        check(lc.proto == CFG_PROTO_TCP || lc.proto == CFG_PROTO_UDP);
        check(lc.lowmark >= 0);
        check(!lc.is_ctx_owned);
        if (lc.domain_path[0]) {
            check(lc.ifc == nullptr);
        } else {
            check(is_valid_port(lc.port));
            check(!user || lc.proto == CFG_PROTO_TCP);
            if (lc.ifc) check(terminated(lc.ifc->name) && lc.ifc->idx != 0);
        }
    }
}

void check_loaded(const tavel_cfg &c)
{
    check(terminated(c.config_path) && terminated(c.log.path) && terminated(c.rt.pidfile) &&
          terminated(c.rt.user) && terminated(c.task_file) && terminated(c.rrt_file) &&
          terminated(c.trep_file) && terminated(c.oxa.aport));
    check(terminated(c.mifc_in) && terminated(c.mifc_out) && terminated(c.malt_in));
    check(c.mifc_in[0] && c.mifc_out[0] && c.malt_in[0]);
    check(uint32_t(c.log.timefmt) != TIMEFMT_ERROR);

    check_listeners(c.rui.user, true);
    check_listeners(c.rui.admin, false);
    check_listeners(c.rui.custom, false);
    check(c.rui.max_accept >= 1);
    check(c.rui.user_request_tmout >= 0 && c.rui.admin_request_tmout >= 0 &&
          c.rui.custom_request_tmout >= 0);

    check(c.max_tasks >= 1 && c.max_tasks <= MAX_TASKS_LIMIT);
    check(c.max_retries == 0 ||
          (c.retry_period_sec >= 1 && c.retry_period_sec <= MAX_RETRY_PERIOD_SEC));
    check(c.task_tmout_ms > 0 || c.task_tmout_ms == -1);
    check(c.max_outpkt_len >= size_t(MIN_OPKT_LEN) && c.max_outpkt_len <= size_t(MAX_OPKT_LEN));
    check(c.max_pkts >= 1);
    check(c.tcpbuf_mb >= 1 && c.tcpbuf_mb <= 32);
    if (c.trep_file[0]) {
        check(c.abkt.count >= 5 && c.abkt.count <= 128);
        check(c.abkt.ms >= 50 && c.abkt.ms <= 1000);
        check(c.abkt.upd_ms >= 100 && c.abkt.upd_ms <= 1000);
    } else {
        check(c.abkt.count == 10 && c.abkt.ms == 100 && c.abkt.upd_ms == 200);
        check(c.min_read_online == 0 && !c.trep_compat_dashes);
    }
    check(c.so.sndbuf_size == 0);
    if (c.oxa.aport[0])
        check(c.oxa.saddr.ss_family == AF_INET && c.oxa.addr_len == sizeof(sockaddr_in));
    else
        check(c.oxa.addr_len == 0);
}

// Loads the file, checks the record, and gives the result and the dump;
// the record is reset (and checked empty) before it returns.
int load_once(const char *path, std::string *dump)
{
    static tavel_cfg c;
    init_app_config(&c);
    const int rc = load_app_config(path, &c, false);
    // Nothing of the parsed tree survives the load.
    check(g_libcfg.root == nullptr);
    dump->clear();
    if (rc == 0) {
        check(strcmp(c.config_path, path) == 0);
        check_loaded(c);
        char *buf = nullptr;
        size_t len = 0;
        if (FILE *fp = open_memstream(&buf, &len)) {
            dump_app_config(fp, &c);
            fclose(fp);
            dump->assign(buf, len);
        }
        free(buf);
    }
    reset_app_config(&c);
    static const tavel_cfg empty{};
    check(memcmp(&c, &empty, sizeof(c)) == 0);
    return rc;
}

}  // namespace

// The daemon's loader reads through here.  A failed read keeps its error
// text and line, which the loader reports; the partial tree is dropped and
// the parser's losses given back.
extern "C" int config_read(config_t *config, FILE *stream)
{
    // The stream's buffer is the stream's: it is made before the watch.
    if (const int c = getc(stream); c != EOF)
        ungetc(c, stream);
    else
        clearerr(stream);
    read_losses::start();
    const int ok = real_config_read()(config, stream);
    if (ok == CONFIG_TRUE) {
        read_losses::stop();
        return ok;
    }
    const config_t failed = *config;
    config_destroy(config);
    read_losses::give_back();
    config_init(config);
    config->error_text = failed.error_text;
    config->error_line = failed.error_line;
    config->error_type = failed.error_type;
    return ok;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const setup &s = setup_once();
    if (contains_ci(data, size, "@include")) return 0;
    if (!s.private_net && contains_ci(data, size, "udp-listener")) return 0;

    const int fd = memfd_create("tavel.conf", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (size && write(fd, data, size) != ssize_t(size)) {
        close(fd);
        return 0;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);

    std::string first, second;
    const int rc = load_once(path, &first);
    check(rc == 0 || rc == -1 || rc == EINVAL);
    // Nothing of one load reaches the next.
    check(load_once(path, &second) == rc && second == first);
    close(fd);
    return 0;
}
