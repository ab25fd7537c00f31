#include "dchain.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string_view>

#include "log.h"
#include "strops.h"
#include "uri.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// Room for a line of RRT_MAX_LINE characters, the two line-end characters
// chomp takes and the NUL.
constexpr size_t LINE_ROOM = RRT_MAX_LINE + 3;

// Closes a stream on every path.
struct file_owner {
    FILE *fp;
    ~file_owner()
    {
        if (fp) fclose(fp);
    }
};

// Frees a table and its routes unless released.
struct table_owner {
    skht_t ht = 0;
    ~table_owner() { rrt_free(ht); }
    skht_t release()
    {
        skht_t h = ht;
        ht = 0;
        return h;
    }
};

// The text without one leading '%'.
const char *unmarked(const char *s) { return *s == '%' ? s + 1 : s; }

// Copies s into a field, refusing what does not fit.
bool set_field(char (&field)[MAX_ADDRSTR], const char *s)
{
    const size_t n = strlen(s);
    if (n >= MAX_ADDRSTR) return false;
    memcpy(field, s, n + 1);
    return true;
}

// The four fields of a line, pointing into it: the first three end at one
// blank or tab each, the fourth is the rest.  A missing field is empty.
struct route_fields {
    const char *src = "";
    const char *rmt = "";
    const char *rmt_src = "";
    const char *rcv = "";
};

route_fields split_fields(char *line)
{
    route_fields f;
    const char **slot[] = {&f.src, &f.rmt, &f.rmt_src};
    char *p = line;
    for (const char **s : slot) {
        *s = p;
        p = strpbrk(p, " \t");
        if (!p) return f;
        *p++ = '\0';
    }
    f.rcv = p;
    return f;
}

// Each field present, and each stored value within its room.
bool fields_ok(const route_fields &f)
{
    const char *stored[] = {unmarked(f.src), f.rmt, unmarked(f.rmt_src), f.rcv};
    for (const char *s : stored)
        if (!*s || strlen(s) >= MAX_ADDRSTR) return false;
    // The remote source and the receive address travel in the path of a
    // request to the remote daemon, which decodes it.
    const char *rsrc = strcmp(f.rmt_src, "-") == 0 ? f.src : f.rmt_src;
    if (!uri_escapes_ok(unmarked(rsrc)) || !uri_escapes_ok(f.rcv)) return false;
    return *f.src && *f.rmt_src;
}

// A heap copy of the URL that snprintf wrote n characters of into buf, or
// null when it is longer than max.
char *dup_url(const char *caller, size_t max, int n, const char *buf)
{
    if (n < 0) return nullptr;
    if (size_t(n) > max) {
        log_err("%s: URL is too big (%ld bytes): %s\n", caller, long(n), buf);
        return nullptr;
    }
    return strdup(buf);
}

}  // namespace

redir_route *mk_rrt(const char *src, const char *rmt, const char *rmt_src,
                    const char *rcv) noexcept
{
    auto *r = static_cast<redir_route *>(calloc(1, sizeof(redir_route)));
    if (!r) return nullptr;
    if (!set_field(r->src, unmarked(src)) || !set_field(r->rmt, rmt) ||
        !set_field(r->rmt_src, unmarked(rmt_src)) || !set_field(r->rcv, rcv)) {
        free(r);
        errno = E2BIG;
        return nullptr;
    }
    return r;
}

char *get_key(const char *src, char *buf, size_t len) noexcept
{
    lfx_assert(src && buf && len > 0);
    const bool marked = *src == '%';
    std::string_view key(unmarked(src));
    if (marked) {
        const size_t colon = key.rfind(':');
        if (colon != std::string_view::npos) key = key.substr(0, colon);
    }
    const size_t n = std::min(key.size(), len - 1);
    memcpy(buf, key.data(), n);
    buf[n] = '\0';
    return buf;
}

int rrt_file_load(const char *path, skht_t *ht) noexcept
{
    static const char *const fn = "rrt_file_load";
    lfx_assert(path);
    if (ht) {
        rrt_free(*ht);
        *ht = 0;
    }
    table_owner tbl;
    int rc = skht_create(&tbl.ht, RRT_CAPACITY, plHash, nullptr, 0);
    if (rc != 0) return rc;
    file_owner f{fopen(path, "re")};
    if (!f.fp) {
        log_err("%s: fopen(%s) ERROR(%d): %s\n", fn, path, errno, strerror(errno));
        return -1;
    }

    char line[LINE_ROOM];
    int lnum = 0;
    size_t count = 0;
    for (;;) {
        const ssize_t n = read_line(f.fp, line, sizeof(line));
        if (n == LINE_EOF) break;
        ++lnum;
        // A line is judged whole, comments too: read in pieces, the rest of
        // a long line would be taken for a route of its own.
        if (n == LINE_NUL) {
            log_err("%s: [%s] line %d holds a NUL byte\n", fn, path, lnum);
            return -1;
        }
        if (n == LINE_ERROR) {
            log_err("%s: [%s] read ERROR(%d): %s\n", fn, path, errno, strerror(errno));
            return -1;
        }
        if (n == LINE_LONG || strlen(chomp(line)) > RRT_MAX_LINE) {
            log_err("%s: [%s] line %d is longer than %d characters\n", fn, path, lnum,
                    int(RRT_MAX_LINE));
            return -1;
        }
        if (!line[0] || line[0] == '#') continue;
        if (count > RRT_CAPACITY) {
            log_err("%s: too many routes\n", fn);
            return E2BIG;
        }
        const route_fields fl = split_fields(line);
        if (!fields_ok(fl)) {
            log_err("%s: error parsing line %d: [%s][%s][%s]/[%s]\n", fn, lnum, fl.src, fl.rmt,
                    fl.rcv, fl.rmt_src);
            return -1;
        }
        const char *rsrc = strcmp(fl.rmt_src, "-") == 0 ? fl.src : fl.rmt_src;
        redir_route *r = mk_rrt(fl.src, fl.rmt, rsrc, fl.rcv);
        char key[MAX_ADDRSTR];
        get_key(fl.src, key, sizeof(key));
        void *data = r;
        if (!r || (rc = skht_add(tbl.ht, key, &data)) != 0) {
            log_err("%s: failed to add (%s)->[%s][%s][%s]/[%s]\n", fn, key, fl.src, fl.rmt,
                    fl.rcv, rsrc);
            free(r);
            return -1;
        }
        ++count;
        log_dbg("%s: %d: added (%s): s:[%s] R:[%s] rs:[%s] rv:[%s]\n", fn, lnum, key, r->src,
                r->rmt, r->rmt_src, r->rcv);
    }
    log_dbg("%s: %d routes processed\n", fn, int(count));
    if (ht) *ht = tbl.release();
    return 0;
}

const redir_route *rrt_get(skht_t ht, const char *key) noexcept
{
    static const char *const fn = "rrt_get";
    void *data = nullptr;
    if (!ht || !key || skht_get(ht, key, &data) != 0) {
        log_dbg("%s: [%s] not found\n", fn, key ? key : "");
        return nullptr;
    }
    const auto *r = static_cast<const redir_route *>(data);
    log_dbg("%s: found (%s) -> [%s][%s][%s]\n", fn, key, r->src, r->rmt, r->rcv);
    return r;
}

void rrt_free(skht_t ht) noexcept
{
    if (ht) skht_destroy(ht, free);
}

char *rrt_remote_url(const redir_route *route) noexcept
{
    lfx_assert(route);
    char buf[RRT_MAX_RURL + 1];
    const int n = snprintf(buf, sizeof(buf), "http://%s/src/%s/dst/%s/keep-alive", route->rmt,
                           route->rmt_src, route->rcv);
    return dup_url("rrt_remote_url", RRT_MAX_RURL, n, buf);
}

char *rrt_udp_url(const char *caller, const char *addr) noexcept
{
    lfx_assert(addr);
    char buf[RRT_MAX_UURL + 1];
    const int n = snprintf(buf, sizeof(buf), "UDP://%s", addr);
    return dup_url(caller ? caller : "rrt_udp_url", RRT_MAX_UURL, n, buf);
}
