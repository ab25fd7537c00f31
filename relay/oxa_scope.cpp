#include "oxa_scope.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "gkh.h"
#include "log.h"
#include "oxa_ctx.h"
#include "strops.h"

LOG_MODULE(LM_DEFAULT);

namespace oxa {

namespace {

// Table key of a group: its 32 bits in network order.
long group_key(int32_t group) { return long(uint32_t(group)); }

// Adds one line's entry to table t.  0 or -1, logged.
int add_list_entry(nkht_t t, const char *path, int lineno, const char *text)
{
    static constexpr const char *fn = "load_group_list";
    in_addr addr{};
    if (inet_aton(text, &addr) == 0) {
        log_err("%s: [%s] error parsing entry at line %d: %s\n", fn, path, lineno, text);
        return -1;
    }
    if (!is_mcast_group(ntohl(addr.s_addr))) {
        log_err("%s: [%s]:%d non-multicast address: (0x%04x) %s\n", fn, path, lineno,
                addr.s_addr, text);
        return -1;
    }
    void *mark = reinterpret_cast<void *>(SCOPE_MARK);
    const int rc = nkht_add(t, group_key(int32_t(addr.s_addr)), &mark);
    if (rc != 0) {
        log_err("%s: [%s] %s at line %d: (%ld) %s\n", fn, path, rc == EBUSY ? "duplicate" : "error",
                lineno, long(rc), text);
        return -1;
    }
    log_dbg("%s: [%s]:%d added (0x%04x) %s\n", fn, path, lineno, addr.s_addr, text);
    return 0;
}

// Reads the entries of fp into t.  0 or -1, logged.
int read_group_list(FILE *fp, nkht_t t, const char *path)
{
    static constexpr const char *fn = "load_group_list";
    // Room for the longest entry, a CR LF line end and one character more,
    // so that a longer line is seen as one and refused, not split.
    char line[GRP_LINE_MAX + 4];
    for (int lineno = 1; fgets(line, sizeof line, fp); ++lineno) {
        const bool whole = strchr(line, '\n') || feof(fp);
        chomp(line);
        if (!whole || strlen(line) > size_t(GRP_LINE_MAX)) {
            log_err("%s: [%s] line %d is longer than %d characters\n", fn, path, lineno,
                    GRP_LINE_MAX);
            return -1;
        }
        if (add_list_entry(t, path, lineno, line) != 0) return -1;
    }
    if (ferror(fp)) {
        const int err = errno;
        log_err("%s: [%s] read ERROR(%d): %s\n", fn, path, err, strerror(err));
        return -1;
    }
    return 0;
}

}  // namespace

bool in_scope(int32_t group) noexcept
{
    static constexpr const char *fn = "in_scope";
    const uint32_t min = g_cfg.min_group, max = g_cfg.max_group;
    if (!g_ctx.scope_ht && !min && !max) return true;

    const uint32_t haddr = ntohl(uint32_t(group));
    if (min && max) {
        if (min <= haddr && haddr <= max) return true;
    } else if (min) {
        if (haddr >= min) return true;
    } else if (max) {
        if (haddr <= max) return true;
    }
    if (!g_ctx.scope_ht) return false;

    const long key = group_key(group);
    void *value = nullptr;
    const int rc = nkht_get(g_ctx.scope_ht, key, &value);
    if (rc == ESRCH) return false;
    if (rc != 0) {
        log_panic("%s: error(%d) getting key=%ld from scope HT\n", fn, rc, key);
        lfx_abort();
    }
    if (reinterpret_cast<uintptr_t>(value) != SCOPE_MARK) {
        log_panic("%s: corrupt scope HT, got %p for key=%ld\n", fn, value, key);
        lfx_abort();
    }
    return true;
}

int load_group_list(const char *path) noexcept
{
    static constexpr const char *fn = "load_group_list";
    FILE *fp = fopen(path, "re");
    if (!fp) {
        log_err("%s: failed to open [%s]\n", fn, path);
        return -1;
    }
    nkht_t table = 0;
    int rc = nkht_create(&table, GROUP_HT_SIZE, tw_shift);
    if (rc != 0) {
        log_err("%s: failed to create group-scope hastable\n", fn);
        fclose(fp);
        return rc;
    }
    rc = read_group_list(fp, table, path);
    fclose(fp);
    if (rc != 0) {
        nkht_destroy(table, nullptr);
        return rc;
    }
    if (g_ctx.scope_ht) nkht_destroy(g_ctx.scope_ht, nullptr);
    g_ctx.scope_ht = table;
    log_dbg("%s: %lu enties added\n", fn, static_cast<unsigned long>(nkht_count(table)));
    return 0;
}

}  // namespace oxa
