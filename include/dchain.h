#pragma once
// Redirection routes: sources that are fetched through a remote relay
// daemon instead of locally.  A route list file, loaded once at start-up,
// fills a text-keyed hash table of routes; task creation looks sources up
// in it and builds the remote daemon's keep-alive request and the local
// receive address from the route.
//
// Route file: one route a line of at most RRT_MAX_LINE characters; empty
// lines and lines beginning with '#' are skipped.  Fields: src, rmt and
// rmt_src each end at one tab or one space, rcv is the rest of the line.
// rmt_src "-" means src.  A leading '%' on src or rmt_src is dropped; the
// key is src without it and, when src had it, without its last ":port".
#include <cstddef>

#include "gkh.h"

// Room of a route field, NUL included.
constexpr size_t MAX_ADDRSTR = 32;
// Capacity the route table is created for; one route more still loads.
constexpr size_t RRT_CAPACITY = 1024;
// Longest route line, line end excluded.
constexpr size_t RRT_MAX_LINE = 254;
// Longest remote keep-alive URL and receive URL.
constexpr size_t RRT_MAX_RURL = 1023;
constexpr size_t RRT_MAX_UURL = 511;
// Room of a numeric host text (an IPv6 address with its "%scope").
constexpr size_t RRT_NUM_SIZE = 64;

struct redir_route {
    char src[MAX_ADDRSTR];      // the local source, without a leading '%'
    char rmt[MAX_ADDRSTR];      // the remote relay's "address:port"
    char rmt_src[MAX_ADDRSTR];  // the source to ask the remote relay for
    char rcv[MAX_ADDRSTR];      // where the remote relay sends, and the local daemon reads
    // The daemon's, filled at start-up: the numeric hosts rmt, rcv and the
    // source-specific source of rcv name (empty: numeric already), and
    // whether a name of them did not resolve.
    char rmt_num[RRT_NUM_SIZE];
    char rcv_num[RRT_NUM_SIZE];
    char rcv_ssm_num[RRT_NUM_SIZE];
    bool unresolved;
};

// Loads the route file at path (required) into a new table stored in *ht;
// a table already there is freed first and *ht cleared.  With a null ht
// the file is only validated.  0; -1 for a file that cannot be opened, a
// line missing a field, a field over MAX_ADDRSTR - 1 characters, a line
// (comments too) over RRT_MAX_LINE characters or holding a NUL (the file
// and line named), a read error or a repeated key; 7 (E2BIG) for more than
// RRT_CAPACITY + 1 routes; the table's error.  On failure *ht stays 0.
int rrt_file_load(const char *path, skht_t *ht) noexcept;
// The route for key, or null (also for a null table).
const redir_route *rrt_get(skht_t ht, const char *key) noexcept;
// Frees a table and its routes; 0 is ignored.
void rrt_free(skht_t ht) noexcept;

// "http://<rmt>/src/<rmt_src>/dst/<rcv>/keep-alive" on the heap, or null
// when longer than RRT_MAX_RURL or memory is short.  The caller frees it.
char *rrt_remote_url(const redir_route *route) noexcept;
// "UDP://<addr>" on the heap, or null when longer than RRT_MAX_UURL
// (logged under caller) or memory is short.  The caller frees it.
char *rrt_udp_url(const char *caller, const char *addr) noexcept;

// A new zeroed route of the four fields, a leading '%' dropped from src and
// rmt_src.  Null with errno E2BIG when a field does not fit MAX_ADDRSTR, or
// ENOMEM.  The caller frees it.
redir_route *mk_rrt(const char *src, const char *rmt, const char *rmt_src,
                    const char *rcv) noexcept;
// The key of src into buf (len bytes, cut to fit).  buf.
char *get_key(const char *src, char *buf, size_t len) noexcept;
