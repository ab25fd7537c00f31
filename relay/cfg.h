#pragma once
// The daemon's configuration: one plain record, tavel_cfg, copied from the
// libconfig file at start-up (everything under the group "tavel"), then
// overridden by the command line and read-only afterwards.  Other modules
// read its fields; nothing of the parsed tree survives the load.
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <type_traits>

#include "appcfg.h"

// Room of the agent link's "address:port" text, NUL included.
constexpr size_t MAX_APORT = 128;
// Room of an interface name field, NUL included.
constexpr size_t CFG_IFC_LEN = 16;

// Bounds of tavel.max_outpkt_len: the smallest outgoing datagram a task may
// be given, and the largest it can send (the relay's packet room).
constexpr int MIN_OPKT_LEN = 1500;
constexpr int MAX_OPKT_LEN = 5000;

// Bounds beyond which a value cannot work.  A retry period is multiplied by
// the retry count into a delay; a day keeps every product far inside range.
// More tasks than the task index can be sized for cannot start.
constexpr int MAX_RETRY_PERIOD_SEC = 86400;
constexpr int MAX_TASKS_LIMIT = 5000000;
// Datagrams per I/O event (tavel.max_pkts, -M): each task keeps four times
// as many packet slots.
constexpr int MIN_MAXPKTS = 1;
constexpr int MAX_MAXPKTS = 64;
// Further bounds of the integer keys (their table is in cfg.cpp).
constexpr int MAX_RETRIES_LIMIT = 1000000;
constexpr int MAX_TMOUT_MS = 86400000;  // a day
constexpr int MAX_RCVBUF_SIZE = 1 << 30;
constexpr int MAX_MCAST_TTL = 255;
constexpr int MAX_TCPBUF_MB = 32;
constexpr int MAX_MIN_READ_ONLINE = 64 << 20;

// Defaults of the keys of tavel.
constexpr int DFLT_MAX_TASKS = 1024;
constexpr int DFLT_MAX_RETRIES = 3;
constexpr int DFLT_RETRY_PERIOD_SEC = 5;
constexpr int DFLT_IDLE_TASK_TMOUT = 5000;
constexpr int DFLT_MAX_OPKT_LEN = 5000;
constexpr int DFLT_SDOWN_TMOUT_MS = 600;
constexpr int DFLT_SAVAIL_TMOUT_MS = 1000;
constexpr int DFLT_MAX_PKTS = 4;
constexpr int DFLT_TCPBUF_MB = 4;

// Section tavel.oxa: where the agent's messages arrive.
struct oxa_link_cfg {
    char aport[MAX_APORT];  // "address:port", empty: no agent socket
    sockaddr_storage saddr;
    socklen_t addr_len;
};

// Rate meters of the status report.
struct bkt_cfg {
    size_t count;   // buckets
    size_t ms;      // span of one bucket
    size_t upd_ms;  // update period
};

// Socket options of task sockets; below 1 (0 for the TTL) leaves the
// system's value.
struct socket_opt {
    ssize_t rcvbuf_size;
    ssize_t sndbuf_size;  // no key; stays 0
    int mcast_ttl;
};

// The daemon's configuration.  Text fields are NUL-terminated and
// zero-filled.
struct tavel_cfg {
    char config_path[CFG_PATH_LEN];
    log_cfg log;
    rt_cfg rt;
    rui_cfg rui;
    int max_tasks;
    int task_tmout_ms;    // idle task time-out; -1 = none
    int savail_tmout_ms;
    int sdown_tmout_ms;
    char mifc_in[CFG_IFC_LEN];
    char mifc_out[CFG_IFC_LEN];
    char malt_in[CFG_IFC_LEN];
    char task_file[CFG_PATH_LEN];
    char rrt_file[CFG_PATH_LEN];
    oxa_link_cfg oxa;
    char trep_file[CFG_PATH_LEN];
    bool trep_compat_dashes;
    int force_refresh_sec;
    int max_pkts;
    int max_retries;        // -1 = unlimited
    int retry_period_sec;   // 1..MAX_RETRY_PERIOD_SEC when max_retries != 0
    bool dgram_aligned;
    size_t max_outpkt_len;
    bool use_mmsg;
    bkt_cfg abkt;
    size_t min_read_online;
    socket_opt so;
    bool must_track_io;
    int tcpbuf_mb;
};

static_assert(std::is_trivially_copyable_v<tavel_cfg>);

// The daemon's configuration.
extern tavel_cfg g_cfg;

// Zero-fills the record.
void init_app_config(tavel_cfg *cfg) noexcept;
// Parses the file at path into g_libcfg, fills cfg (load_config), warns
// about every setting nothing reads and drops the tree.  0; -1 when the
// file cannot be opened ("Failed to load [%s]" on stderr) or parsed, or
// holds an integer literal too wide for libconfig's 32 bits; else
// load_config's failure.  The daemon passes
// reload = false.
int load_app_config(const char *path, tavel_cfg *cfg, bool reload) noexcept;
// Copies the sections (unless reload) and the keys of tavel from g_libcfg,
// then holds every integer key to its range (logged with its line).  0, -1
// for a refused value, 22 (EINVAL) for a max_pkts below 1, or a section's
// failure.
int load_config(tavel_cfg *cfg, bool reload) noexcept;
// Drops the listener records and zero-fills the record.
void reset_app_config(tavel_cfg *cfg) noexcept;
// Writes the effective configuration to fp.
void dump_app_config(FILE *fp, const tavel_cfg *cfg) noexcept;

// Section tavel.oxa: key udp-listener, an IPv4 UDP "address:port".  0; -1
// for a text too long; mk_sockaddr's failure (or -1 for another family).
int load_oxa_config(const config_setting_t *setting, oxa_link_cfg *oc) noexcept;
void dump_oxa_config(FILE *fp, const oxa_link_cfg *oc) noexcept;
// Reads the interface name at key (limit bytes of room) into buf: empty,
// "any" and "all" pass, another name must be an interface with an IPv4 or
// IPv6 address.  0, or -1 for a text too long or an unknown interface.
int load_interface_name(const char *key, char *buf, size_t limit) noexcept;
