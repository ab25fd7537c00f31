#include "cfg.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "cfgkeys.h"
#include "cfgtext.h"
#include "config.h"
#include "iflag.h"
#include "log.h"
#include "netaddr.h"

LOG_MODULE(LM_DEFAULT);

tavel_cfg g_cfg;

namespace {

constexpr const char DASHES[] = "-----------------------------------";
static_assert(sizeof(DASHES) == 36);

// A section of the tree, or null.
config_setting_t *section(const char *path)
{
    return g_libcfg.root ? config_lookup(&g_libcfg, path) : nullptr;
}

// Closes the stream and drops the parsed tree on every path.
struct tree_owner {
    FILE *fp = nullptr;
    ~tree_owner()
    {
        if (fp) fclose(fp);
        config_destroy(&g_libcfg);
        memset(&g_libcfg, 0, sizeof(g_libcfg));
    }
};

// An integer key of the report's rate meters, within lo..hi (negative
// values fail as huge unsigned ones).
int load_bucket_key(const char *key, size_t *val, int dflt, int lo, int hi)
{
    int v;
    if (cfg_lookup_int(nullptr, key, &v, dflt) != 0) return -1;
    *val = size_t(unsigned(v));
    if (*val < size_t(lo) || *val > size_t(hi)) {
        const setting_where w = where_is(nullptr, key);
        log_err("%s: %s=%d%s must be %d..%d\n", "load_config", w.path.c_str(), v, w.place.c_str(),
                lo, hi);
        return -1;
    }
    return 0;
}

// Parses the main text into g_libcfg; libconfig opens the included files
// by the names the text now gives them.  CONFIG_TRUE or CONFIG_FALSE.
int parse_text(cfg_text &text)
{
    FILE *fp = fmemopen(text.main.data(), text.main.size(), "r");
    if (!fp) {
        log_err("%s: fmemopen() ERROR(%d): %s\n", "load_app_config", errno, strerror(errno));
        return CONFIG_FALSE;
    }
    const int ok = config_read(&g_libcfg, fp);
    fclose(fp);
    return ok;
}

int load_sections(tavel_cfg *cfg)
{
    static const char *const fn = "load_config";
    const config_setting_t *s = section("tavel.log");
    if (!s) {
        log_err("%s: missing log section\n", fn);
        return -1;
    }
    if (int rc = load_log_config(s, &cfg->log); rc != 0) return rc;

    if (!(s = section("tavel.listener"))) {
        log_err("%s: missing listener section\n", fn);
        return -1;
    }
    if (int rc = load_rui_config(s, &cfg->rui); rc != 0) return rc;

    if (!(s = section("tavel.runtime"))) {
        log_err("%s: missing runtime section\n", fn);
        return -1;
    }
    if (int rc = load_rt_config(s, &cfg->rt); rc != 0) return rc;

    if ((s = section("tavel.oxa")))
        if (int rc = load_oxa_config(s, &cfg->oxa); rc != 0) return rc;
    return 0;
}

// Task limits and retries.
int load_task_keys(tavel_cfg *cfg)
{
    static const char *const fn = "load_config";
    if (cfg_lookup_int(nullptr, "tavel.max_tasks", &cfg->max_tasks, DFLT_MAX_TASKS) != 0)
        return -1;
    if (cfg->max_tasks < 1 || cfg->max_tasks > MAX_TASKS_LIMIT) {
        const setting_where w = where_is(nullptr, "tavel.max_tasks");
        log_err("%s: %s=%d%s must be 1..%d\n", fn, w.path.c_str(), cfg->max_tasks, w.place.c_str(),
                MAX_TASKS_LIMIT);
        return -1;
    }
    if (cfg_lookup_int(nullptr, "tavel.max_retries", &cfg->max_retries, DFLT_MAX_RETRIES) != 0 ||
        cfg_lookup_int(nullptr, "tavel.retry_period_sec", &cfg->retry_period_sec,
                       DFLT_RETRY_PERIOD_SEC) != 0)
        return -1;
    // Without revivals the period is never used: 0 passes too.
    if (cfg->max_retries != 0 &&
        (cfg->retry_period_sec < 1 || cfg->retry_period_sec > MAX_RETRY_PERIOD_SEC)) {
        const setting_where w = where_is(nullptr, "tavel.retry_period_sec");
        log_err("%s: %s=%d%s must be 1..%d\n", fn, w.path.c_str(), cfg->retry_period_sec,
                w.place.c_str(), MAX_RETRY_PERIOD_SEC);
        return -1;
    }

    if (cfg_lookup_int(nullptr, "tavel.idle_task_timeout", &cfg->task_tmout_ms,
                       DFLT_IDLE_TASK_TMOUT) != 0)
        return -1;
    if ((cfg->task_tmout_ms < 1 && cfg->task_tmout_ms != -1) || cfg->task_tmout_ms > MAX_TMOUT_MS) {
        const setting_where w = where_is(nullptr, "tavel.idle_task_timeout");
        log_err("%s: %s=%d%s must be -1 or 1..%d\n", fn, w.path.c_str(), cfg->task_tmout_ms,
                w.place.c_str(), MAX_TMOUT_MS);
        return -1;
    }

    int opkt;
    if (cfg_lookup_int(nullptr, "tavel.max_outpkt_len", &opkt, DFLT_MAX_OPKT_LEN) != 0) return -1;
    if (unsigned(opkt) < unsigned(MIN_OPKT_LEN) || unsigned(opkt) > unsigned(MAX_OPKT_LEN)) {
        const setting_where w = where_is(nullptr, "tavel.max_outpkt_len");
        log_err("%s: %s=%d%s must be %d..%d\n", fn, w.path.c_str(), opkt, w.place.c_str(),
                MIN_OPKT_LEN, MAX_OPKT_LEN);
        return -1;
    }
    cfg->max_outpkt_len = size_t(opkt);

    if (cfg_lookup_int(nullptr, "tavel.src_down_tmout_ms", &cfg->sdown_tmout_ms,
                       DFLT_SDOWN_TMOUT_MS) != 0 ||
        cfg_lookup_int(nullptr, "tavel.src_avail_tmout_ms", &cfg->savail_tmout_ms,
                       DFLT_SAVAIL_TMOUT_MS) != 0)
        return -1;
    return 0;
}

int load_interfaces(tavel_cfg *cfg)
{
    if (load_interface_name("tavel.multicast_ifc_in", cfg->mifc_in, CFG_IFC_LEN - 1) != 0)
        return -1;
    if (!cfg->mifc_in[0]) strcpy(cfg->mifc_in, "all");

    if (load_interface_name("tavel.multicast_alt_in", cfg->malt_in, CFG_IFC_LEN - 1) != 0)
        return -1;
    if (!cfg->malt_in[0]) memcpy(cfg->malt_in, cfg->mifc_in, sizeof(cfg->malt_in));

    if (load_interface_name("tavel.multicast_ifc_out", cfg->mifc_out, CFG_IFC_LEN - 1) != 0)
        return -1;
    if (!cfg->mifc_out[0] || strcasecmp(cfg->mifc_out, "all") == 0) {
        log_warn("%s: outbound multicast interface is non-specific\n", "load_config");
        if (!cfg->mifc_out[0]) strcpy(cfg->mifc_out, "all");
    }
    return 0;
}

// The status report: path, refresh, rate meters.
int load_report_keys(tavel_cfg *cfg)
{
    cfg->abkt = {10, 100, 200};
    if (!cfg->trep_file[0]) return 0;
    if (load_bucket_key("tavel.report.abkt_count", &cfg->abkt.count, 10, 5, 128) != 0 ||
        load_bucket_key("tavel.report.abkt_ms", &cfg->abkt.ms, 100, 50, 1000) != 0 ||
        load_bucket_key("tavel.report.abkt_upd_ms", &cfg->abkt.upd_ms, 200, 100, 1000) != 0)
        return -1;
    int min_read;
    if (cfg_lookup_int(nullptr, "tavel.report.min_read_online", &min_read, 0) != 0 ||
        cfg_lookup_bool(nullptr, "tavel.report.compat_dashes", &cfg->trep_compat_dashes,
                        false) != 0)
        return -1;
    cfg->min_read_online = min_read < 1 ? 0 : size_t(min_read);
    return 0;
}

// Every key load_config and the section loaders read under tavel, with the
// range of each integer (checked once the keys are loaded).
constexpr cfg_key OXA_KEYS[] = {{"udp-listener", CK_VALUE, {}}};
constexpr cfg_key REPORT_KEYS[] = {
    {"path", CK_VALUE, {}},
    {"force_refresh_sec", CK_INT, {}, 0, 86400},
    {"abkt_count", CK_INT, {}, 5, 128},
    {"abkt_ms", CK_INT, {}, 50, 1000},
    {"abkt_upd_ms", CK_INT, {}, 100, 1000},
    {"min_read_online", CK_INT, {}, INT_MIN, MAX_MIN_READ_ONLINE},  // below 1: 0
    {"compat_dashes", CK_VALUE, {}},
};
constexpr cfg_key DEBUG_KEYS[] = {{"track_io", CK_VALUE, {}}};
constexpr cfg_key TAVEL_KEYS[] = {
    {"log", CK_GROUP, LOG_CFG_KEYS},
    {"listener", CK_GROUP, RUI_CFG_KEYS},
    {"runtime", CK_GROUP, RT_CFG_KEYS},
    {"oxa", CK_GROUP, OXA_KEYS},
    {"report", CK_GROUP, REPORT_KEYS},
    {"debug", CK_GROUP, DEBUG_KEYS},
    {"max_tasks", CK_INT, {}, 1, MAX_TASKS_LIMIT},
    {"max_retries", CK_INT, {}, INT_MIN, MAX_RETRIES_LIMIT},  // negative: unlimited
    {"retry_period_sec", CK_INT, {}, 0, MAX_RETRY_PERIOD_SEC},
    {"idle_task_timeout", CK_INT, {}, -1, MAX_TMOUT_MS},
    {"max_outpkt_len", CK_INT, {}, MIN_OPKT_LEN, MAX_OPKT_LEN},
    {"src_down_tmout_ms", CK_INT, {}, 0, MAX_TMOUT_MS},
    {"src_avail_tmout_ms", CK_INT, {}, 0, MAX_TMOUT_MS},
    {"multicast_ifc_in", CK_VALUE, {}},
    {"multicast_alt_in", CK_VALUE, {}},
    {"multicast_ifc_out", CK_VALUE, {}},
    {"task_list", CK_VALUE, {}},
    {"route_list", CK_VALUE, {}},
    {"max_pkts", CK_INT, {}, MIN_MAXPKTS, MAX_MAXPKTS},
    {"dgram_aligned", CK_VALUE, {}},
    {"use_mmsg", CK_VALUE, {}},
    {"socket_rcvbuf_size", CK_INT, {}, 0, MAX_RCVBUF_SIZE},
    {"multicast_ttl", CK_INT, {}, 0, MAX_MCAST_TTL},
    {"tcp_buffer_mb", CK_INT, {}, 1, MAX_TCPBUF_MB},
};
// The top of the file: only the group tavel is read (the system's other
// programs keep no configuration file).
constexpr cfg_key ROOT_KEYS[] = {{"tavel", CK_GROUP, TAVEL_KEYS}};

}  // namespace

void init_app_config(tavel_cfg *cfg) noexcept { memset(cfg, 0, sizeof(*cfg)); }

int load_interface_name(const char *key, char *buf, size_t limit) noexcept
{
    if (cfg_lookup_str(nullptr, key, buf, limit, "") != 0) return -1;
    if (is_anyaddr(buf)) return 0;
    ifc_info *ifc = get_ifc_info(AF_INET, buf);
    if (!ifc) ifc = get_ifc_info(AF_INET6, buf);
    if (!ifc) {
        log_err("%s: cannot verify ifc=[%s] for IPv4 or IPv6\n", "load_interface_name", buf);
        return -1;
    }
    free(ifc);
    return 0;
}

int load_oxa_config(const config_setting_t *setting, oxa_link_cfg *oc) noexcept
{
    char text[MAX_APORT];
    if (cfg_lookup_str(setting, "udp-listener", text, sizeof(text) - 1, "") != 0) return -1;
    if (!text[0]) return 0;
    sockaddr_storage ss;
    socklen_t len = 0;
    int rc = mk_sockaddr(text, SOCK_DGRAM, 0, &ss, &len);
    if (rc == 0 && ss.ss_family != AF_INET) rc = -1;
    if (rc != 0) {
        log_err("%s: invalid address/port: [%s]\n", "load_oxa_config", text);
        return rc;
    }
    memcpy(oc->aport, text, sizeof(oc->aport));
    oc->saddr = ss;
    oc->addr_len = len;
    return 0;
}

int load_config(tavel_cfg *cfg, bool reload) noexcept
{
    static const char *const fn = "load_config";
    if (!reload)
        if (int rc = load_sections(cfg); rc != 0) return rc;

    if (load_task_keys(cfg) != 0 || load_interfaces(cfg) != 0) return -1;
    if (cfg_lookup_str(nullptr, "tavel.task_list", cfg->task_file, CFG_PATH_LEN - 1, "") != 0 ||
        cfg_lookup_str(nullptr, "tavel.route_list", cfg->rrt_file, CFG_PATH_LEN - 1, "") != 0 ||
        cfg_lookup_str(nullptr, "tavel.report.path", cfg->trep_file, CFG_PATH_LEN - 1, "") != 0 ||
        cfg_lookup_int(nullptr, "tavel.report.force_refresh_sec", &cfg->force_refresh_sec, 0) !=
            0)
        return -1;

    // A packet count given on the command line stands.
    if (cfg->max_pkts < 1) {
        if (cfg_lookup_int(nullptr, "tavel.max_pkts", &cfg->max_pkts, DFLT_MAX_PKTS) != 0)
            return -1;
        if (cfg->max_pkts < 1) {
            const setting_where w = where_is(nullptr, "tavel.max_pkts");
            log_err("%s: %s=%d%s must be %d..%d\n", fn, w.path.c_str(), cfg->max_pkts,
                    w.place.c_str(), MIN_MAXPKTS, MAX_MAXPKTS);
            return EINVAL;
        }
    }
    if (cfg_lookup_bool(nullptr, "tavel.dgram_aligned", &cfg->dgram_aligned, false) != 0 ||
        cfg_lookup_bool(nullptr, "tavel.use_mmsg", &cfg->use_mmsg, false) != 0 ||
        load_report_keys(cfg) != 0)
        return -1;

    int rcvbuf;
    if (cfg_lookup_int(nullptr, "tavel.socket_rcvbuf_size", &rcvbuf, 0) != 0 ||
        cfg_lookup_int(nullptr, "tavel.multicast_ttl", &cfg->so.mcast_ttl, 0) != 0 ||
        cfg_lookup_int(nullptr, "tavel.tcp_buffer_mb", &cfg->tcpbuf_mb, DFLT_TCPBUF_MB) != 0)
        return -1;
    cfg->so.rcvbuf_size = rcvbuf;
    if (cfg->tcpbuf_mb < 1 || cfg->tcpbuf_mb > MAX_TCPBUF_MB) {
        const setting_where w = where_is(nullptr, "tavel.tcp_buffer_mb");
        log_err("%s: %s=%d%s must be 1..%d\n", fn, w.path.c_str(), cfg->tcpbuf_mb, w.place.c_str(),
                MAX_TCPBUF_MB);
        return -1;
    }

    if (cfg_lookup_bool(nullptr, "tavel.debug.track_io", &cfg->must_track_io, false) != 0)
        return -1;
    if (iflag("TVL_TRKIO")) cfg->must_track_io = true;
    if (cfg->must_track_io) log_dbg("%s: verbose I/O tracking (TVL_TRKIO) is ON\n", fn);

    // The report's keys are read only with a report path.
    if (const config_setting_t *top = section("tavel"); top && config_setting_is_group(top))
        if (refuse_out_of_range(top, "tavel", TAVEL_KEYS, cfg->trep_file[0] ? nullptr : "report"))
            return -1;

    log_info("%s: configuration %sloaded\n", fn, reload ? "re-" : "");
    return 0;
}

int load_app_config(const char *path, tavel_cfg *cfg, bool reload) noexcept
{
    lfx_assert(path && cfg);
    int rc = -1;
    {
        // The text outlives the tree, whose settings name its files.
        cfg_text text;
        tree_owner tree;
        config_init(&g_libcfg);
        tree.fp = fopen(path, "re");
        if (!tree.fp) {
            log_stderr("Failed to load [%s]\n", path);
        } else if (read_cfg_text(tree.fp, path, &text) != 0) {
            // logged
        } else if (parse_text(text) != CONFIG_TRUE) {
            const char *why = config_error_text(&g_libcfg);
            const char *file = cfg_file_name(&text, config_error_file(&g_libcfg));
            log_err("Error reading/parsing config file [%s]: line %d: %s\n", file ? file : path,
                    config_error_line(&g_libcfg), why ? why : "");
        } else {
            config_setting_set_hook(config_root_setting(&g_libcfg), &text);
            snprintf(cfg->config_path, sizeof(cfg->config_path), "%s", path);
            // libconfig cuts a literal too wide for 32 (or 64) bits without
            // a word.
            rc = refuse_wide_literals(&g_libcfg, text.wide) ? -1 : load_config(cfg, reload);
            // A mistyped key would leave its setting at the default unseen.
            warn_unknown_keys(config_root_setting(&g_libcfg), "", ROOT_KEYS);
        }
    }
    if (rc != 0) log_err("%s: FAILED (%d)\n", "load_app_config", rc);
    return rc;
}

void reset_app_config(tavel_cfg *cfg) noexcept
{
    drop_rui_config(&cfg->rui);
    memset(cfg, 0, sizeof(*cfg));
}

void dump_oxa_config(FILE *fp, const oxa_link_cfg *oc) noexcept
{
    if (!oc->aport[0]) return;
    fputs("\nIGMP gateway:\n", fp);
    fprintf(fp, "\tUDP-listener: %s\n", oc->aport);
    fputs("\n", fp);
}

void dump_app_config(FILE *fp, const tavel_cfg *cfg) noexcept
{
    fprintf(fp, "%s\n", DASHES);
    dump_log_config(fp, &cfg->log);
    dump_rt_config(fp, &cfg->rt);
    dump_rui_config(fp, &cfg->rui);

    fputs("General:\n", fp);
    fprintf(fp, "\tmax tasks: %d\n", cfg->max_tasks);
    fprintf(fp, "\tmax retries: %d (%s)\n", cfg->max_retries,
            cfg->max_retries < 0 ? "(unlimited)" : "");
    if (cfg->max_retries != 0) fprintf(fp, "\tretry period: %d sec\n", cfg->retry_period_sec);
    fprintf(fp, "\tidle-task-timeout (ms): %d %s\n", cfg->task_tmout_ms,
            cfg->task_tmout_ms == -1 ? "(no timeout)" : "");
    fprintf(fp, "\tinbound multicast interface: %s\n", cfg->mifc_in);
    fprintf(fp, "\tinbound alt-mcast interface: %s\n", cfg->malt_in);
    fprintf(fp, "\toutbound multicast interface: %s\n", cfg->mifc_out);
    fprintf(fp, "\tmax-pkts: %d\n", cfg->max_pkts);
    fprintf(fp, "\tdgram-aligned: %s\n", cfg->dgram_aligned ? "YES" : "no");
    fprintf(fp, "\tmax-output-len: %zu\n", cfg->max_outpkt_len);
    fprintf(fp, "\ttcp-buffer: %d Mb\n", cfg->tcpbuf_mb);
    fprintf(fp, "\tmulti-IO: %s\n", cfg->use_mmsg ? "YES" : "no");
    fprintf(fp, "\tsource avail/down timeout: %d/%d\n", cfg->savail_tmout_ms, cfg->sdown_tmout_ms);
    fputs("\n", fp);

    if (cfg->task_file[0]) fprintf(fp, "\nTask list: %s\n", cfg->task_file);
    dump_oxa_config(fp, &cfg->oxa);
    if (cfg->so.rcvbuf_size > 0)
        fprintf(fp, "\tinbound socket buffer: %zd (bytes)\n", cfg->so.rcvbuf_size);
    if (cfg->so.mcast_ttl > 0) fprintf(fp, "\tmulticast TTL: %d\n", cfg->so.mcast_ttl);
    fputs("\n", fp);

    fputs("Task report:\n", fp);
    if (cfg->trep_file[0]) {
        fprintf(fp, "\tpath: %s\n", cfg->trep_file);
        if (cfg->force_refresh_sec > 0)
            fprintf(fp, "\tforce-refresh: every %d sec\n", cfg->force_refresh_sec);
        fprintf(fp, "\tavg-buckets: %zu x %zu ms upd: %zu ms\n", cfg->abkt.count, cfg->abkt.ms,
                cfg->abkt.upd_ms);
        if (cfg->min_read_online)
            fprintf(fp, "\tMin read (online): %zu bytes\n", cfg->min_read_online);
        fprintf(fp, "\tuse dashes: %s\n", cfg->trep_compat_dashes ? "yes" : "no");
    }
    if (cfg->must_track_io) fputs("\nTRACK-IO (packets)\n", fp);
    fprintf(fp, "\n%s\n", DASHES);
}
