#include "appcfg.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "config.h"
#include "log.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// The key at path under setting, or at the absolute path without one.
config_setting_t *find_key(const config_setting_t *setting, const char *path)
{
    if (setting) return config_setting_lookup(const_cast<config_setting_t *>(setting), path);
    return g_libcfg.root ? config_lookup(&g_libcfg, path) : nullptr;
}

int wrong_type(const char *path, const char *expected)
{
    log_err("%s: invalid %s value type, %s expected\n", "cfg_lookup", path, expected);
    return -1;
}

constexpr const char *k_group_names[] = {"user", "admin", "custom"};


}  // namespace

// --- typed look-ups ----------------------------------------------------------------------

int cfg_lookup_int(const config_setting_t *setting, const char *path, int *val, int dflt) noexcept
{
    const config_setting_t *s = find_key(setting, path);
    if (!s) {
        *val = dflt;
        return 0;
    }
    switch (config_setting_type(s)) {
    case CONFIG_TYPE_INT: *val = config_setting_get_int(s); return 0;
    case CONFIG_TYPE_INT64: {
        const long long v = config_setting_get_int64(s);
        if (v < INT_MIN || v > INT_MAX) {
            log_err("%s: %s=%lld%s does not fit in 32 bits\n", "load_config",
                    setting_path(s).c_str(), v, setting_place(s).c_str());
            return -1;
        }
        *val = int(v);
        return 0;
    }
    default: return wrong_type(path, "integer");
    }
}

int cfg_lookup_bool(const config_setting_t *setting, const char *path, bool *val,
                    bool dflt) noexcept
{
    const config_setting_t *s = find_key(setting, path);
    if (!s) {
        *val = dflt;
        return 0;
    }
    if (config_setting_type(s) != CONFIG_TYPE_BOOL) return wrong_type(path, "boolean");
    *val = config_setting_get_bool(s) != 0;
    return 0;
}

int cfg_lookup_str(const config_setting_t *setting, const char *path, char *buf, size_t limit,
                   const char *dflt) noexcept
{
    const config_setting_t *s = find_key(setting, path);
    if (s && config_setting_type(s) != CONFIG_TYPE_STRING) return wrong_type(path, "text");
    return setting ? load_config_setting_str(setting, path, buf, limit, dflt)
                   : load_config_str(path, buf, limit, dflt);
}

// --- conversions -----------------------------------------------------------------------------

uint32_t str_to_timefmt(const char *text) noexcept
{
    struct fmt {
        const char *name;
        uint32_t bits;
    };
    static constexpr fmt fmts[] = {
        {"local", TIMEFMT_LOCAL}, {"gmt", TIMEFMT_GMT},           {"no_time", TIMEFMT_NO_TIME},
        {"raw", TIMEFMT_RAW},     {"raw_mono", TIMEFMT_RAW_MONO},
    };
    if (text)
        for (const fmt &f : fmts)
            if (strcasecmp(text, f.name) == 0) return f.bits;
    return TIMEFMT_ERROR;
}

const char *timefmt_str(uint32_t bits) noexcept
{
    switch (bits) {
    case TIMEFMT_LOCAL: return "local";
    case TIMEFMT_GMT: return "gmt";
    case TIMEFMT_NO_TIME: return "no_time";
    case TIMEFMT_RAW: return "raw";
    case TIMEFMT_RAW_MONO: return "raw_mono";
    default: return "#error#";
    }
}

int str2proto(const char *text) noexcept
{
    if (text && strcasecmp(text, "tcp") == 0) return CFG_PROTO_TCP;
    if (text && strcasecmp(text, "udp") == 0) return CFG_PROTO_UDP;
    return -1;
}

bool is_valid_port(const char *text) noexcept
{
    if (!text) return false;
    const int port = atoi(text);
    return port >= 1 && port <= 65535;
}

// --- log and runtime sections ----------------------------------------------------------------

int load_log_config(const config_setting_t *setting, log_cfg *lc) noexcept
{
    char text[15];
    if (cfg_lookup_str(setting, "file", lc->path, sizeof(lc->path) - 1, "") != 0) return -1;

    if (cfg_lookup_str(setting, "level", text, sizeof(text), "info") != 0) return -1;
    if (match_log_level(text, &lc->level) != 0) {
        fprintf(stderr, "Invalid log level: %s\n", text);
        return -1;
    }

    if (cfg_lookup_str(setting, "time_format", text, sizeof(text), "local") != 0) return -1;
    const uint32_t bits = str_to_timefmt(text);
    if (bits == TIMEFMT_ERROR) {
        fprintf(stderr, "Invalid time format: %s\n", text);
        return -1;
    }
    lc->timefmt = int32_t(bits);

    if (cfg_lookup_int(setting, "max_size_mb", &lc->max_size_mb, 64) != 0 ||
        cfg_lookup_int(setting, "max_files", &lc->max_files, 16) != 0 ||
        cfg_lookup_bool(setting, "enable_syslog", &lc->enable_syslog, true) != 0)
        return -1;
    return 0;
}

int load_rt_config(const config_setting_t *setting, rt_cfg *rc) noexcept
{
    if (cfg_lookup_str(setting, "pidfile", rc->pidfile, sizeof(rc->pidfile) - 1, "") != 0 ||
        cfg_lookup_bool(setting, "non_daemon", &rc->non_daemon, false) != 0 ||
        cfg_lookup_bool(setting, "quiet", &rc->quiet, false) != 0 ||
        cfg_lookup_bool(setting, "enforce_core_dumps", &rc->enforce_core_dumps, false) != 0 ||
        cfg_lookup_int(setting, "cpunum", &rc->cpunum, -1) != 0 ||
        cfg_lookup_str(setting, "run_as_user", rc->user, sizeof(rc->user) - 1, "") != 0)
        return -1;
    return 0;
}

// --- listeners ----------------------------------------------------------------------------------

int load_listener_from(const config_setting_t *setting, listener_cfg *lc) noexcept
{
    static const char *const fn = "load_listener_from";
    const size_t index = lc->index;
    memset(lc, 0, sizeof(*lc));
    lc->index = index;

    // A bad alias is only logged: the listener then takes its default name.
    if (cfg_lookup_str(setting, "alias", lc->alias, sizeof(lc->alias), "") != 0)
        lc->alias[0] = '\0';

    char proto[15];
    if (cfg_lookup_str(setting, "protocol", proto, sizeof(proto), "tcp") != 0) return -1;
    lc->proto = str2proto(proto);
    if (lc->proto == -1) {
        log_err("%s: invald protocol for [%s]: %s\n", fn, lc->alias, proto);
        return -1;
    }

    if (cfg_lookup_str(setting, "domain_path", lc->domain_path, sizeof(lc->domain_path) - 1,
                       "") != 0)
        return -1;
    if (!lc->domain_path[0]) {
        char af[16], ifc[16];
        if (cfg_lookup_str(setting, "default_af", af, sizeof(af), "") != 0) return -1;
        lc->pref_af = name2af(af);
        if (lc->pref_af == -1) return -1;

        if (cfg_lookup_str(setting, "ifc", ifc, sizeof(ifc), "") != 0 ||
            cfg_lookup_int(setting, "lowmark", &lc->lowmark, 0) != 0)
            return -1;
        if (lc->lowmark < 0 || lc->lowmark > CFG_MAX_LOWMARK) {
            const setting_where w = where_is(setting, "lowmark");
            log_err("%s: %s=%d%s must be 0..%lld\n", "load_config", w.path.c_str(), lc->lowmark,
                    w.place.c_str(), CFG_MAX_LOWMARK);
            return -1;
        }

        if (!is_anyaddr(ifc)) {
            if (lc->pref_af != AF_UNSPEC) {
                lc->ifc = get_ifc_info(lc->pref_af, ifc);
                if (!lc->ifc) log_err("%s: [%s] failed the check for [%s] interface name\n", fn, ifc, af);
            } else {
                lc->ifc = get_ifc_info(AF_INET, ifc);
                if (!lc->ifc) lc->ifc = get_ifc_info(AF_INET6, ifc);
                if (!lc->ifc) log_err("%s: [%s] failed the check for IPv4/v6 interface name\n", fn, ifc);
            }
            if (!lc->ifc) {
                log_err("invalid network interface name/address: %s\n", ifc);
                return -1;
            }
        }

        int rc = cfg_lookup_str(setting, "port", lc->port, sizeof(lc->port), "");
        if (rc == 0 && !is_valid_port(lc->port)) {
            log_err("%s: invalid port value: %s\n", fn, lc->port);
            rc = -1;
        }
        if (rc != 0) {
            free(lc->ifc);
            lc->ifc = nullptr;
            return rc;
        }
    }

    if (!lc->alias[0])
        snprintf(lc->alias, 31, "%s:%s", lc->ifc ? lc->ifc->name : "all", lc->port);
    lc->is_valid = true;
    return 0;
}

int get_listeners(const char *type, const config_setting_t *setting,
                  listener_cfg lst[MAX_LISTENERS]) noexcept
{
    size_t n = 0;
    int rc = 0;
    if (setting && config_setting_is_group(setting)) {
        lst[0].index = 1;
        rc = load_listener_from(setting, &lst[0]);
        n = rc == 0;
    } else if (setting && config_setting_is_list(setting)) {
        const size_t count = std::min<size_t>(config_setting_length(setting), MAX_LISTENERS);
        for (; n < count && rc == 0; ++n) {
            const config_setting_t *el = config_setting_get_elem(setting, unsigned(n));
            lst[n].index = n + 1;
            if (!config_setting_is_group(el)) {
                log_err("%s: %s%s is not a listener group\n", "get_listeners",
                        setting_path(el).c_str(), setting_place(el).c_str());
                rc = -1;
            } else {
                rc = load_listener_from(el, &lst[n]);
            }
        }
        if (rc != 0) --n;
    }
    log_dbg("%s: %lu %s listeners loaded\n", "get_listeners", (unsigned long)n, type);
    return rc;
}

int load_rui_config(const config_setting_t *setting, rui_cfg *rc) noexcept
{
    static const char *const fn = "load_rui_config";
    listener_cfg *lists[] = {rc->user, rc->admin, rc->custom};
    const config_setting_t *member[3];
    for (size_t g = 0; g < 3; ++g) {
        member[g] = config_setting_get_member(setting, k_group_names[g]);
        if (int err = get_listeners(k_group_names[g], member[g], lists[g]); err != 0) return err;
    }
    // Requests are taken by accept(): a datagram socket would never serve
    // one and would keep the event loop busy.
    for (const listener_cfg &lc : rc->user) {
        if (lc.is_valid && lc.proto == CFG_PROTO_UDP && !lc.domain_path[0]) {
            log_err("%s: user listener [%s] cannot use protocol udp, only tcp serves requests\n",
                    fn, lc.alias);
            return -1;
        }
    }

    int max_accept;
    if (cfg_lookup_int(setting, "max_to_accept", &max_accept, 128) != 0) return -1;
    if (max_accept < 1 || max_accept > CFG_MAX_ACCEPT) {
        const setting_where w = where_is(setting, "max_to_accept");
        log_err("%s: %s=%d%s must be 1..%lld\n", "load_config", w.path.c_str(), max_accept,
                w.place.c_str(), CFG_MAX_ACCEPT);
        return -1;
    }
    rc->max_accept = size_t(max_accept);

    // A time-out is read only beside its group: without one it stays 0.
    static constexpr const char *keys[] = {"user_request_timeout", "admin_request_timeout",
                                           "custom_request_timeout"};
    int *tmouts[] = {&rc->user_request_tmout, &rc->admin_request_tmout,
                     &rc->custom_request_tmout};
    for (size_t g = 0; g < 3; ++g) {
        if (!member[g]) continue;
        if (cfg_lookup_int(setting, keys[g], tmouts[g], 5000) != 0) return -1;
        if (*tmouts[g] < 1 || *tmouts[g] > CFG_MAX_REQUEST_TMOUT_MS) {
            const setting_where w = where_is(setting, keys[g]);
            log_err("%s: %s=%d%s must be 1..%lld\n", "load_config", w.path.c_str(), *tmouts[g],
                    w.place.c_str(), CFG_MAX_REQUEST_TMOUT_MS);
            return -1;
        }
    }
    return 0;
}

void drop_rui_config(rui_cfg *rc) noexcept
{
    for (listener_cfg *lst : {rc->user, rc->admin, rc->custom}) {
        for (size_t i = 0; i < MAX_LISTENERS; ++i) {
            listener_cfg &lc = lst[i];
            if (lc.is_valid && !lc.is_ctx_owned) {
                free(lc.ifc);
                lc.ifc = nullptr;
            }
            lc.is_valid = false;
        }
    }
}

// --- dumps ----------------------------------------------------------------------------------------

void dump_log_config(FILE *fp, const log_cfg *lc) noexcept
{
    fprintf(fp, "Log (%s):\n", "regular");
    fprintf(fp, "\tpath   = %s\n", lc->path);
    fprintf(fp, "\tlevel  = %s\n", log_level_str(lc->level));
    fprintf(fp, "\tformat = %s\n", timefmt_str(uint32_t(lc->timefmt)));
    if (lc->max_size_mb > 0) {
        fprintf(fp, "\tmax size = %d Mb\n", lc->max_size_mb);
        fprintf(fp, "\tmax files = %d\n", lc->max_files);
    }
    fputs("\n", fp);
}

void dump_rt_config(FILE *fp, const rt_cfg *rc) noexcept
{
    fputs("Runtime:\n", fp);
    if (rc->pidfile[0]) fprintf(fp, "\tpid file = %s\n", rc->pidfile);
    if (rc->user[0]) fprintf(fp, "\trun as user: %s\n", rc->user);
    fprintf(fp, "\tflags:%s%s%s\n", rc->non_daemon ? " [non-daemon]" : "",
            rc->quiet ? " [quiet]" : "", rc->enforce_core_dumps ? " [cores]" : "");
    fputs("\n", fp);
}

void dump_listener(FILE *fp, const char *type, const listener_cfg *lc) noexcept
{
    if (lc->domain_path[0]) {
        fprintf(fp, "\t%s listener[%s]: path=%s\n", type, lc->alias, lc->domain_path);
        return;
    }
    fprintf(fp, "\t%s listener[%s]: ifc=%s, af=%s port=%s", type, lc->alias,
            lc->ifc ? lc->ifc->name : "<anyaddr>", af_name(lc->pref_af), lc->port);
    if (lc->lowmark) fprintf(fp, " l-wmark(%d)", lc->lowmark);
    fputs("\n", fp);
}

void dump_rui_config(FILE *fp, const rui_cfg *rc) noexcept
{
    fputs("Listeners:\n", fp);
    const listener_cfg *lists[] = {rc->user, rc->admin, rc->custom};
    for (size_t g = 0; g < 3; ++g) {
        size_t n = 0;
        for (size_t i = 0; i < MAX_LISTENERS; ++i) {
            if (!lists[g][i].is_valid) continue;
            dump_listener(fp, k_group_names[g], &lists[g][i]);
            ++n;
        }
        if (g == 0 && n) fputs("\n", fp);
    }
    fputs("\n", fp);
    if (rc->max_accept) fprintf(fp, "\tmax-accepted=%ld\n", long(rc->max_accept));
    fprintf(fp, "\tI/O timeouts: user-rq=%d, admin-rq=%d custom-rq=%d\n", rc->user_request_tmout,
            rc->admin_request_tmout, rc->custom_request_tmout);
    fputs("\n", fp);
}
