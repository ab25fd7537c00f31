#include "fdrec.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dgram.h"
#include "log.h"
#include "owners.h"
#include "syswrap.h"
#include "uri.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr char HTTP_DEFAULT_PORT[] = "80";
constexpr mode_t SHM_MODE = 0600;

bool names_shm(const char *path) noexcept
{
    return strncmp(path, FDR_SHM_PREFIX, sizeof(FDR_SHM_PREFIX) - 1) == 0;
}

// Opens a file, or the shared-memory object a "/shm." path names: for
// reading, or for writing (made when missing, a file also emptied).
int open_path(const char *fn, const char *path, bool inbound) noexcept
{
    if (!names_shm(path))
        return W_open(fn, path, inbound ? O_RDONLY | O_CLOEXEC
                                         : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0);
    const int fd = shm_open(path, inbound ? O_RDONLY : O_RDWR | O_CREAT, SHM_MODE);
    if (fd < 0) {
        errno_guard keep;
        log_err("%s: shm_open('%s') ERROR(%d): %s\n", fn, path, errno, strerror(errno));
    }
    return fd;
}

// Opens the socket of a tcp, http, udp or rtp URL whose authority and path
// are given; sspec and mifc go to the record.  The descriptor or -1.
int open_uri_socket(const char *fn, fdrec *r, bool inbound, int kind, const char *url,
                    const char *auth, const char *path, const char *ifc) noexcept
{
    char host[SADDR_HOST_SIZE], port[SADDR_SERV_SIZE];
    if (!uri_path_addrport(path, URI_PATH_MAX, host, sizeof(host), port, sizeof(port)) ||
        !host[0]) {
        log_err("%s: no host in URI [%s]\n", fn, url);
        return -1;
    }
    if (kind == URI_HTTP && !port[0]) {
        memcpy(port, HTTP_DEFAULT_PORT, sizeof(HTTP_DEFAULT_PORT));
        log_dbg("%s: assuming HTTP port %s for [%s]\n", fn, port, url);
    }
    r->sspec = static_cast<socket_spec *>(W_calloc(fn, 1, sizeof(socket_spec)));
    if (!r->sspec) return -1;
    const bool stream = kind == URI_TCP || kind == URI_HTTP;
    r->sspec->writer = !inbound;
    r->sspec->socktype = stream ? SOCK_STREAM : SOCK_DGRAM;
    const char *src = nullptr;
    if (!stream && inbound && auth[0]) {
        src = auth;
        log_dbg("%s: SSM source=[%s]\n", fn, src);
    }
    return open_socket(host, port, src, r->sspec, ifc, &r->mifc);
}

}  // namespace

fdrec *alloc_fdrec() noexcept
{
    auto *r = static_cast<fdrec *>(W_calloc(__func__, 1, sizeof(fdrec)));
    if (r) init_fdrec(r);
    return r;
}

void init_fdrec(fdrec *r) noexcept
{
    lfx_assert(r);
    r->fd = -1;
    r->wd = -1;
}

void free_fdrec(fdrec *r) noexcept
{
    if (!r) return;
    static constexpr const char *fn = "free_fdrec";
    if (r->mmbuf && r->mmbuf != MAP_FAILED) {
        if (munmap(r->mmbuf, r->mmbuf_size) != 0) {
            errno_guard keep;
            log_err("%s: munmap(%p, %ld) ERROR(%d): %s\n", fn, r->mmbuf, long(r->mmbuf_size),
                    errno, strerror(errno));
        } else {
            log_dbg("%s: freed mmap-ed area (%p) [%ld bytes]\n", fn, r->mmbuf,
                    long(r->mmbuf_size));
        }
        r->mmbuf = nullptr;
    }
    if (r->fd >= 0) W_close(fn, r->fd);
    r->fd = -1;
    // The owner fills path; it need not be terminated inside the field.
    char name[FDR_PATH_MAX + 1];
    memcpy(name, r->path, FDR_PATH_MAX);
    name[FDR_PATH_MAX] = '\0';
    if (names_shm(name)) {
        if (shm_unlink(name) != 0) {
            errno_guard keep;
            log_err("%s: shm_unlink('%s') ERROR(%d): %s\n", fn, name, errno, strerror(errno));
        } else {
            log_dbg("%s: removed '%s'\n", fn, name);
        }
    }
    if (r->sspec) {
        log_dbg("%s: freeing sspec: %p\n", fn, static_cast<void *>(r->sspec));
        free(r->sspec);
    }
    if (r->mifc) {
        log_dbg("%s: freeing mifc: %p\n", fn, static_cast<void *>(r->mifc));
        free(r->mifc);
    }
    if (r->dbg_tag)
        log_dbg("%s: freeing [%s]: tag=%p\n", fn, r->dbg_tag, static_cast<void *>(r->dbg_tag));
    else
        log_dbg("%s: freeing r=%p\n", fn, static_cast<void *>(r));
    free(r->dbg_tag);
    free_dgram_idx(r->dgram);
    free(r);
}

const char *get_fdrec_tag(fdrec *r) noexcept
{
    lfx_assert(r);
    if (r->dbg_tag) return r->dbg_tag;
    auto *tag = static_cast<char *>(malloc(FDR_TAG_SIZE));
    if (!tag) {
        log_panic("%s: failed to allocate memory.\n", __func__);
        lfx_abort();
    }
    // At most FDR_TAG_SIZE - 2 characters.
    if (r->fd == -1 && r->mmbuf && r->mmbuf != MAP_FAILED)
        snprintf(tag, FDR_TAG_SIZE - 1, "r(%p).M(%p)", static_cast<void *>(r), r->mmbuf);
    else
        snprintf(tag, FDR_TAG_SIZE - 1, "r(%p).%s(%d)", static_cast<void *>(r),
                 fmode_str(r->mode), r->fd);
    r->dbg_tag = tag;
    return tag;
}

int set_fdrec_tag(fdrec *r, const char *tag) noexcept
{
    lfx_assert(r);
    char *copy = nullptr;
    if (tag) {
        copy = strdup(tag);
        if (!copy) {
            log_crit("%s: out of memory\n", __func__);
            return -1;
        }
    }
    free(r->dbg_tag);
    r->dbg_tag = copy;
    return 0;
}

fdrec *open_uri(bool inbound, const char *url, const char *ifc, int *kind) noexcept
{
    static constexpr const char *fn = "open_uri";
    if (kind) *kind = URI_BAD;
    char scheme[URI_SCHEME_MAX], auth[URI_AUTH_MAX], path[URI_PATH_MAX], query[URI_QUERY_MAX];
    const int k = uri_extract(url, scheme, auth, path, query);
    if (kind) *kind = k;
    if (k == URI_BAD) {
        // uri_extract logged a URL it could not parse; an unknown scheme
        // parses.
        if (scheme[0]) log_err("%s: unsupported type of URI [%s]\n", fn, url);
        return nullptr;
    }

    fdrec *r = alloc_fdrec();
    if (!r) return nullptr;
    int fd = -1;
    switch (k) {
    case URI_FILE:
        fd = open_path(fn, path, inbound);
        break;
    case URI_TCP:
    case URI_UDP:
    case URI_RTP:
    case URI_HTTP:
        fd = open_uri_socket(fn, r, inbound, k, url, auth, path, ifc);
        break;
    default:
        log_err("%s: unsupported URI type: %d\n", fn, k);
        break;
    }
    if (fd < 0) {
        errno_guard keep;
        free_fdrec(r);
        return nullptr;
    }
    r->fd = fd;
    get_stat_mode(fd, &r->mode);
    // Set only now: a record without an open object must not remove one
    // of the same name when it is freed.
    snprintf(r->path, sizeof(r->path), "%s", path);
    log_dbg("%s: fd%d %s [%s]\n", fn, fd, fmode_str(r->mode), url);
    return r;
}

fdrec *open_uri_src(const char *url, const char *ifc, int *kind) noexcept
{
    return open_uri(true, url, ifc, kind);
}

fdrec *open_uri_dst(const char *url, const char *ifc, int *kind) noexcept
{
    return open_uri(false, url, ifc, kind);
}
