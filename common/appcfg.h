#pragma once
// Sections shared by the system's daemons in their libconfig files: the log,
// the runtime and the control listeners.  Each loader copies one section of
// the parsed tree (g_libcfg, config.h) into a plain record; nothing of the
// tree is kept.  Loaders log their refusals at ERR (some on stderr, as
// noted) and return 0 or the failure.
#include <libconfig.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "cfgkeys.h"
#include "netaddr.h"
#include "timeop.h"

// Listeners of one group.
constexpr size_t MAX_LISTENERS = 4;
// Room of a listener alias, NUL included.
constexpr size_t LSTNR_ALIAS_LEN = 32;
// Rooms of the text fields, NUL included.
constexpr size_t CFG_PATH_LEN = 128;
constexpr size_t CFG_USER_LEN = 32;
constexpr size_t LSTNR_PORT_LEN = 6;
constexpr size_t LSTNR_DOMAIN_LEN = 104;

// Protocol numbers of str2proto.
constexpr int CFG_PROTO_TCP = 6;
constexpr int CFG_PROTO_UDP = 17;

// Time-format bits of str_to_timefmt: the log's time flags (timeop.h).
constexpr uint32_t TIMEFMT_LOCAL = f_REALTIME_TIMER;
constexpr uint32_t TIMEFMT_GMT = f_GMT_TIME;
constexpr uint32_t TIMEFMT_NO_TIME = f_NO_TIME;
constexpr uint32_t TIMEFMT_RAW = f_RAW_TIME;
constexpr uint32_t TIMEFMT_RAW_MONO = f_RAW_TIME | f_MONOTONIC_TIMER;
constexpr uint32_t TIMEFMT_ERROR = f_BAD_TIME;
static_assert(TIMEFMT_GMT == 0x200 && TIMEFMT_NO_TIME == 0x100 && TIMEFMT_RAW == 0x400 &&
              TIMEFMT_RAW_MONO == 0x401 && TIMEFMT_ERROR == 0x40000000);

// Section tavel.log.
struct log_cfg {
    char path[CFG_PATH_LEN];  // a leading '|' makes the rest a command to pipe into
    int level;                // log level (log.h)
    int32_t timefmt;          // time-format bits
    bool enable_syslog;
    int max_size_mb;
    int max_files;
};

// Section tavel.runtime.
struct rt_cfg {
    char pidfile[CFG_PATH_LEN];
    char user[CFG_USER_LEN];  // run-as user
    bool non_daemon;
    bool quiet;
    bool enforce_core_dumps;
    int cpunum;  // -1: no pinning
};

// One control listener.
struct listener_cfg {
    bool is_valid;                     // loaded without error
    char alias[LSTNR_ALIAS_LEN];       // name in messages
    size_t index;                      // 1-based position in its list
    ifc_info *ifc;                     // owned; null means any address
    char port[LSTNR_PORT_LEN];
    int pref_af;                       // family of the any-address listener; 0 = either
    char domain_path[LSTNR_DOMAIN_LEN];  // set: a Unix-domain stream listener
    int proto;                         // CFG_PROTO_TCP or CFG_PROTO_UDP
    int lowmark;                       // SO_RCVLOWAT of accepted connections, 0 = none
    bool is_ctx_owned;                 // a running listener context holds the ifc record
};

// Section tavel.listener.
struct rui_cfg {
    listener_cfg user[MAX_LISTENERS];
    listener_cfg admin[MAX_LISTENERS];
    listener_cfg custom[MAX_LISTENERS];
    size_t max_accept;  // max_to_accept: connections taken per readiness
    int user_request_tmout;    // ms; 0 when the group is absent
    int admin_request_tmout;
    int custom_request_tmout;
};

static_assert(std::is_trivially_copyable_v<log_cfg>);
static_assert(std::is_trivially_copyable_v<rt_cfg>);
static_assert(std::is_trivially_copyable_v<listener_cfg>);
static_assert(std::is_trivially_copyable_v<rui_cfg>);

// --- typed look-ups ------------------------------------------------------------------
// The key at path under setting, or, with a null setting, at the absolute
// path of g_libcfg.  A missing key gives dflt and 0.  A present key of
// another type, or an integer beyond the int range, is refused with an ERR
// line naming the key: -1 (a typo must not pass for the default).

int cfg_lookup_int(const config_setting_t *setting, const char *path, int *val,
                   int dflt) noexcept;
int cfg_lookup_bool(const config_setting_t *setting, const char *path, bool *val,
                    bool dflt) noexcept;
// Text of at most limit - 1 characters into buf (longer: refused, buf
// unchanged); a missing key copies dflt (or empties buf).
int cfg_lookup_str(const config_setting_t *setting, const char *path, char *buf, size_t limit,
                   const char *dflt) noexcept;

// --- section loaders ---------------------------------------------------------------

// Keys file, level, time_format, max_size_mb, max_files, enable_syslog of
// setting.  0; -1 for a text too long, an unknown level ("Invalid log
// level: %s" on stderr) or time format ("Invalid time format: %s", stderr).
int load_log_config(const config_setting_t *setting, log_cfg *lc) noexcept;
// Keys pidfile, non_daemon, quiet, enforce_core_dumps, cpunum, run_as_user.
// 0, or -1 for a text too long.
int load_rt_config(const config_setting_t *setting, rt_cfg *rc) noexcept;
// Groups user, admin and custom, max_to_accept and the request time-outs of
// the groups present.  0 or the first failure (-1).  A user listener of
// protocol udp is refused: accept() cannot serve it.
int load_rui_config(const config_setting_t *setting, rui_cfg *rc) noexcept;
// The listeners of one group named type from its setting (null: none): a
// group gives one, a list up to MAX_LISTENERS from its first elements, any
// other setting none.  0 or the first listener's failure; -1 for a list
// element that is not a group.
int get_listeners(const char *type, const config_setting_t *setting,
                  listener_cfg lst[MAX_LISTENERS]) noexcept;
// One listener from its group setting.  0 and is_valid set, or -1 with no
// interface record kept.
int load_listener_from(const config_setting_t *setting, listener_cfg *lc) noexcept;

// Frees the interface records of the valid listeners the contexts do not
// own and marks every listener invalid.
void drop_rui_config(rui_cfg *rc) noexcept;

// --- the keys the loaders above read (for warn_unknown_keys) ---------------------------

// Bounds of the integer settings of these sections.
constexpr long long CFG_MAX_LOG_MB = 1048576;           // a TiB of log
constexpr long long CFG_MAX_CPU = 1023;                 // CPU_SETSIZE - 1
constexpr long long CFG_MAX_LOWMARK = 1048576;          // bytes
constexpr long long CFG_MAX_ACCEPT = 65536;
constexpr long long CFG_MAX_REQUEST_TMOUT_MS = 3600000;  // an hour

inline constexpr cfg_key LOG_CFG_KEYS[] = {
    {"file", CK_VALUE, {}},
    {"level", CK_VALUE, {}},
    {"time_format", CK_VALUE, {}},
    {"max_size_mb", CK_INT, {}, 0, CFG_MAX_LOG_MB},
    {"max_files", CK_INT, {}, 0, 127},  // 0: the default of 16
    {"enable_syslog", CK_VALUE, {}},
};
inline constexpr cfg_key RT_CFG_KEYS[] = {
    {"pidfile", CK_VALUE, {}},
    {"non_daemon", CK_VALUE, {}},
    {"quiet", CK_VALUE, {}},
    {"enforce_core_dumps", CK_VALUE, {}},
    {"cpunum", CK_INT, {}, -1, CFG_MAX_CPU},
    {"run_as_user", CK_VALUE, {}},
};
inline constexpr cfg_key LISTENER_CFG_KEYS[] = {
    {"alias", CK_VALUE, {}},       {"protocol", CK_VALUE, {}},
    {"domain_path", CK_VALUE, {}}, {"default_af", CK_VALUE, {}},
    {"ifc", CK_VALUE, {}},         {"lowmark", CK_INT, {}, 0, CFG_MAX_LOWMARK},
    {"port", CK_VALUE, {}},
};
// The admin and custom groups are read (and skipped at set-up with a
// warning): they are known.
inline constexpr cfg_key RUI_CFG_KEYS[] = {
    {"user", CK_LISTENERS, LISTENER_CFG_KEYS},
    {"admin", CK_LISTENERS, LISTENER_CFG_KEYS},
    {"custom", CK_LISTENERS, LISTENER_CFG_KEYS},
    {"max_to_accept", CK_INT, {}, 1, CFG_MAX_ACCEPT},
    // A time-out is read (and must be 1 at least) only beside its group.
    {"user_request_timeout", CK_INT, {}, 0, CFG_MAX_REQUEST_TMOUT_MS},
    {"admin_request_timeout", CK_INT, {}, 0, CFG_MAX_REQUEST_TMOUT_MS},
    {"custom_request_timeout", CK_INT, {}, 0, CFG_MAX_REQUEST_TMOUT_MS},
};

// --- dumps -------------------------------------------------------------------------------

void dump_log_config(FILE *fp, const log_cfg *lc) noexcept;
void dump_rt_config(FILE *fp, const rt_cfg *rc) noexcept;
void dump_rui_config(FILE *fp, const rui_cfg *rc) noexcept;
// One line of a valid listener of group type.
void dump_listener(FILE *fp, const char *type, const listener_cfg *lc) noexcept;

// --- conversions -------------------------------------------------------------------------

// "local" 0, "gmt" 0x200, "no_time" 0x100, "raw" 0x400, "raw_mono" 0x401
// (any case); TIMEFMT_ERROR for anything else.
uint32_t str_to_timefmt(const char *text) noexcept;
// The name of those bits, "#error#" for any other value.
const char *timefmt_str(uint32_t bits) noexcept;
// "tcp" 6, "udp" 17 (any case), else -1.
int str2proto(const char *text) noexcept;
// True when atoi(text) lies in 1..65535.
bool is_valid_port(const char *text) noexcept;
