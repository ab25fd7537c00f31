#pragma once
// The agent's configuration and runtime context, shared by its modules.
//
// The agent's names live in the namespace oxa: the daemon has globals and
// functions of the same names (g_cfg, app_setup, app_shutdown), and the
// test programs link both cores.
#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

#include "gkh.h"
#include "wopen.h"

namespace oxa {

inline constexpr char APP_ID[] = "oxa";

// Sizes of the fixed text fields, terminating NUL included.
constexpr size_t MIFC_SIZE = 16;
constexpr size_t REPORT_URL_SIZE = 128;
constexpr size_t REPORT_URL_MAX = 126;  // longest report URL, in characters
constexpr size_t RT_USER_SIZE = 32;
constexpr size_t PIDFILE_SIZE = 128;

// Both group tables are numeric tables of this size hint, hashed by tw_shift.
constexpr size_t GROUP_HT_SIZE = 512;
// Groups held in wgrp_ht at most: more than the channels a segment's
// viewers watch, and a bound on what forged reports can make the agent
// hold and the daemon relay.  A report for a new group beyond it is
// refused, with a warning at most once every WGRP_FULL_WARN_SEC.
constexpr size_t WGRP_MAX = 4096;
constexpr time_t WGRP_FULL_WARN_SEC = 60;
// Values stored in the tables: a reported group, a listed group.
constexpr uintptr_t WGRP_MARK = 0xAAAA;
constexpr uintptr_t SCOPE_MARK = 0xBBBB;

// Exit codes.
enum oxa_exit : int {
    OXA_OK = 0,
    OXA_USAGE = 1,   // usage, inverted group range
    OXA_FAILED = 2,  // every failure reported as -1
};

// What the options set (zero at start).
struct app_cfg {
    char mifc[MIFC_SIZE];              // -i, required
    char report_url[REPORT_URL_SIZE];  // "udp://" + -R, empty: standard output
    uint32_t min_group;                // -g, host order, 0: no lower bound
    uint32_t max_group;                // -G, host order, 0: no upper bound
    const char *grp_list_file;         // -F, or null
    const char *logfile;               // -l, "/dev/null" by default
    int log_level;                     // -L, at most DEBUG_level
    bool non_daemon;                   // -T, or not started by root
    char rt_user[RT_USER_SIZE];        // -u
    char pidfile[PIDFILE_SIZE];        // -p
};

// Where the messages go: a stream, or a datagram socket aimed at usock's
// address.
struct reporter_ctx {
    FILE *fp;
    int sockfd;  // -1: none
    usock_ctx usock;
};

// IGMP reports and leaves dropped since start-up.
struct igmp_drops {
    unsigned long bad_csum;  // checksum wrong, or the message not whole
    unsigned long no_group;  // not multicast, or link-local
    unsigned long vlan;      // frames of a VLAN (tagged), not the interface's own
};

// Reports for new groups refused at WGRP_MAX, and the pace of the warning.
struct wgrp_refusals {
    unsigned long total;     // since start-up
    unsigned long unwarned;  // since the last warning
    bool warned;
    time_t warned_at;  // monotonic seconds of the last warning
};

struct app_ctx {
    char errbuf[PCAP_ERRBUF_SIZE];  // the capture library's error text
    pcap_t *handle;
    nkht_t wgrp_ht;   // groups reported with JOIN and not yet left
    nkht_t scope_ht;  // listed groups; 0 until a list is loaded
    reporter_ctx rep;
    igmp_drops drops;
    wgrp_refusals refused;
    pid_t pidfile_owner;  // the process that created and locked the pid file
};

static_assert(PCAP_ERRBUF_SIZE == 256);

extern app_cfg g_cfg;
extern app_ctx g_ctx;
extern const char *g_progname;  // base name the agent runs under

}  // namespace oxa
