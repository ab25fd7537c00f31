#include "fdio.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app.globals.h"
#include "log.h"
#include "psensor.h"
#include "syswrap.h"

LOG_MODULE(LM_FDIO);

namespace {

// The process-wide transfer buffer of buffered jobs.
struct trfbuf {
    char *buf;
    size_t buflen;
};

trfbuf g_trf;

// Bytes a test read may consume.
char g_test_buf[512];

// One descriptor travels with each message.
constexpr size_t FD_CMSG_SPACE = CMSG_SPACE(sizeof(int));
constexpr size_t FD_CMSG_LEN = CMSG_LEN(sizeof(int));
static_assert(FD_CMSG_SPACE == 24 && FD_CMSG_LEN == 20);

// The guilty mark of a single call: only the job's FDIO_VERBOSE bit.
int guilty(uint32_t flags) noexcept { return int(flags & FDIO_VERBOSE); }

// True when an interrupted call is to be made again.
bool retry_interrupted(ssize_t rc) noexcept
{
    if (rc != -1 || errno != EINTR || g_quit) return false;
    errno = 0;
    return true;
}

// Times a call with a sensor (only when this call started it, so nested
// timed calls count once) and keeps the call's errno across the probe.
template <typename Call>
auto timed(int sensor, Call call) noexcept
{
    const bool owner = psensor_start(sensor);
    auto rc = call();
    if (owner) {
        const int err = errno;
        psensor_stop(sensor);
        errno = err;
    }
    return rc;
}

// Closes the descriptors of a control message that is not taken, so a
// message in an unexpected form cannot leak them into this process.
void close_passed_fds(msghdr *msg) noexcept
{
    for (cmsghdr *c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        if (c->cmsg_len < CMSG_LEN(0)) continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < n; ++i) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(fd));
            W_close("recv_fd", fd);
        }
    }
}

// The part of a memory area that a chunk of `count` bytes at `offset` may
// touch; cuts the chunk at the area's end (WARN).
size_t clip_to_area(const char *what, const transfer_spec *job, off_t offset,
                    size_t count) noexcept
{
    size_t left = (offset >= 0 && size_t(offset) < job->mmlen) ? job->mmlen - size_t(offset) : 0;
    if (count <= left) return count;
    log_warn("%s: attempt to reach over the end of buffer: buf=%p, len=%ld, offset=%ld, "
             "count=%ld - new_count=%ld\n",
             what, job->mmem, long(job->mmlen), long(offset), long(count), long(left));
    return left;
}

// What one step of a transfer did.
struct step_result {
    ssize_t nrd = 0;    // bytes read (or taken from memory)
    ssize_t nwr = 0;    // bytes written (negative on failure)
    ssize_t moved = 0;  // bytes that count as moved
    int err = 0;        // the step's error, 0 for none
    bool offset_done = false;  // sendfile advanced the offset itself
    ssize_t consumed = -1;     // source bytes used up, when not the bytes moved
};

// Runs the job's filter over bytes just read; the count to write out, or
// the filter's error in res.err.
ssize_t run_inproc(const transfer_spec *job, char *data, ssize_t len, step_result &res) noexcept
{
    if (!job->inproc) return len;
    ssize_t count = len;
    int rc = job->inproc(data, len, &count);
    if (rc != 0) {
        res.err = rc;
        return 0;
    }
    // A filter works in place: it may drop bytes, never write past them.
    if (count < 0 || count > len) {
        res.err = EINVAL;
        return 0;
    }
    return count;
}

void memory_step(transfer_spec *job, uint32_t *fl, off_t offset, size_t chunk,
                 step_result &res) noexcept
{
    const uint32_t vflag = *fl & FDIO_VERBOSE;
    char *area = static_cast<char *>(job->mmem);

    if (job->mmem_out) {
        size_t n = clip_to_area("mm_out", job, offset, chunk);
        res.nrd = ssize_t(n);
        if (n == 0) return;
        errno = 0;
        res.nwr = nwrite(job->out_fd, area + offset, n, vflag);
        if (res.nwr == -1) *fl |= FDIO_ERR_WRITE;
        if (res.nwr <= 0) res.err = errno;
        res.moved = std::max<ssize_t>(res.nwr, 0);
        return;
    }

    size_t n = clip_to_area("mm_in", job, offset, chunk);
    if (n == 0) return;
    errno = 0;
    res.nrd = nread(job->in_fd, area + offset, n, vflag);
    if (res.nrd <= 0) {
        *fl |= FDIO_ERR_READ;
        res.err = errno;
        res.nrd = std::max<ssize_t>(res.nrd, 0);
        return;
    }
    res.nwr = run_inproc(job, area + offset, res.nrd, res);
    res.moved = res.nwr;
}

void sendfile_step(transfer_spec *job, uint32_t *fl, size_t count, step_result &res) noexcept
{
    // A count of 0 means "a chunk" as for buffered jobs, never "nothing",
    // which would read as the end of the file.
    if (count == 0) count = g_trf.buflen ? g_trf.buflen : DEFAULT_TRF_BUFSIZE;
    errno = 0;
    ssize_t n = nsendfile(job->out_fd, job->in_fd, job->offset, count, 0, *fl & FDIO_VERBOSE);
    // Nothing sent is the end of the file only without an error: a full
    // non-blocking destination (EAGAIN) is no end of the source.
    if (n == 0) {
        res.err = errno;
        if (!res.err) *fl |= FDIO_EOF;
    }
    res.nrd = res.nwr = res.moved = n;
    res.offset_done = true;
    log_dbg("%s: using sendfile\n", "transfer");
}

void buffered_step(transfer_spec *job, uint32_t *fl, off_t offset, size_t chunk,
                   step_result &res) noexcept
{
    lfx_assert(g_trf.buf && g_trf.buflen > 0);
    const uint32_t vflag = *fl & FDIO_VERBOSE;

    errno = 0;
    res.nrd = job->offset ? npread(job->in_fd, g_trf.buf, chunk, offset, vflag)
                           : nread(job->in_fd, g_trf.buf, chunk, vflag);
    if (res.nrd <= 0) {
        *fl |= FDIO_ERR_READ;
        res.err = errno;
        res.nrd = std::max<ssize_t>(res.nrd, 0);
        return;
    }

    ssize_t count = run_inproc(job, g_trf.buf, res.nrd, res);
    if (res.err) return;
    if (job->inproc) {
        // The source offset moves by what was read: the filter may have
        // kept fewer bytes than it was given.
        res.consumed = res.nrd;
        if (count == 0) return;
    }

    errno = 0;
    if (*fl & FDIO_SENDTO) {
        res.nwr = timed(PRF_DATAOUT, [&] {
            return W_sendto("transfer", job->out_fd, g_trf.buf, size_t(count), MSG_NOSIGNAL,
                            static_cast<const sockaddr *>(job->aux), socklen_t(job->aux_len));
        });
    } else {
        res.nwr = nwrite(job->out_fd, g_trf.buf, size_t(count), vflag);
    }
    const int werr = errno;
    if (res.nwr == -1)
        *fl |= FDIO_ERR_WRITE;
    else
        log_dbg("%s: [%p] +%lu -> fd%d\n", "transfer", static_cast<void *>(g_trf.buf),
                (unsigned long)res.nwr, job->out_fd);
    if (res.nwr <= 0) res.err = werr;
    res.moved = std::max<ssize_t>(res.nwr, 0);
    // A short write is read again next time: of a filter that kept every
    // byte, from the first byte not written; of one that dropped bytes no
    // position maps back, and the unwritten rest is lost as a stream's is.
    if (job->inproc && res.moved < count && count == res.nrd) res.consumed = res.moved;
    if (res.err && res.moved == 0) res.consumed = 0;
}

}  // namespace

// --- single calls -------------------------------------------------------------------

ssize_t nread(int fd, void *buf, size_t count, uint32_t flags) noexcept
{
    if (count == 0) return 0;
    return timed(PRF_DATAIN, [&] {
        ssize_t n;
        do n = W_read_f("nread", fd, buf, count, int(flags));
        while (retry_interrupted(n));
        return n;
    });
}

ssize_t nwrite(int fd, const void *buf, size_t count, uint32_t flags) noexcept
{
    return timed(PRF_DATAOUT, [&] {
        ssize_t n;
        do n = W_write_f("nwrite", fd, buf, count, int(flags));
        while (retry_interrupted(n));
        return n;
    });
}

ssize_t npread(int fd, void *buf, size_t count, off_t offset, uint32_t flags) noexcept
{
    if (count == 0) return 0;
    return timed(PRF_DATAIN, [&] {
        ssize_t n;
        do n = W_pread_f("npread", fd, buf, count, offset, guilty(flags));
        while (retry_interrupted(n));
        return n;
    });
}

ssize_t nsendfile(int out_fd, int in_fd, off_t *offset, size_t count, int bsd_flags,
                  uint32_t flags) noexcept
{
    (void)bsd_flags;
    lfx_assert(offset != nullptr);
    return timed(PRF_DATAOUT, [&] {
        size_t sent = 0;
        while (sent < count) {
            ssize_t n = W_sendfile_f("nsendfile", out_fd, in_fd, offset, count - sent,
                                     guilty(flags));
            if (n > 0) {
                sent += size_t(n);
                break;
            }
            if (!retry_interrupted(n)) break;
        }
        return ssize_t(sent);
    });
}

// --- copy jobs ---------------------------------------------------------------------

transfer_spec *new_transfer_spec(int in_fd, int out_fd, off_t *offset, uint32_t *flags,
                                 void *aux, ssize_t aux_len) noexcept
{
    auto *job = static_cast<transfer_spec *>(W_calloc("new_transfer_spec", 1, sizeof(transfer_spec)));
    if (!job) return nullptr;
    job->in_fd = in_fd;
    job->out_fd = out_fd;
    job->offset = offset;
    job->flags = flags;
    job->aux = aux;
    job->aux_len = aux_len;
    if (flags && (*flags & FDIO_SENDFILE))
        log_info("%s(%p): SENDFILE on for fd%d<-fd%d\n", "new_transfer_spec",
                 static_cast<void *>(job), out_fd, in_fd);
    return job;
}

int transfer(transfer_spec *job, size_t count, ssize_t *tbytes) noexcept
{
    // A job without a flag word still reports through a local one.
    uint32_t own_flags = 0;
    uint32_t *fl = job->flags ? job->flags : &own_flags;
    *fl &= ~FDIO_RESULT_MASK;
    errno = 0;

    size_t chunk = count;
    if (g_trf.buflen && (count == 0 || count > g_trf.buflen)) chunk = g_trf.buflen;
    // A memory job needs no transfer buffer; without one, 0 means the rest
    // of the area.
    if (chunk == 0 && job->mmem) chunk = job->mmlen;

    off_t own_offset = 0;
    off_t *offset = job->offset ? job->offset : &own_offset;
    const bool by_sendfile = !job->mmem && (*fl & FDIO_SENDFILE);

    step_result res;
    if (job->mmem)
        memory_step(job, fl, *offset, chunk, res);
    else if (by_sendfile)
        sendfile_step(job, fl, count, res);
    else
        buffered_step(job, fl, *offset, chunk, res);

    if (!res.err && (*fl & FDIO_TRF_RWEQ) && res.nrd != res.nwr)
        log_err("%s: fd in/out=[%d/%d] mismatch: read/write=[%ld/%ld]\n", "transfer",
                job->in_fd, job->out_fd, long(res.nrd), long(res.nwr));

    if (!res.offset_done) *offset += res.consumed >= 0 ? res.consumed : res.moved;

    if (!res.err && res.nrd == 0) *fl |= FDIO_EOF;

    // The result does not depend on FDIO_VERBOSE, which only decides
    // whether an expected error is logged.
    int rc = 0;
    if (res.err) {
        if (!no_fault(res.err, int(*fl & FDIO_VERBOSE))) {
            if (*fl & FDIO_EOF)
                log_dbg("transfer [%lu bytes] (%d<-%d) end of stream\n", (unsigned long)count,
                        job->out_fd, job->in_fd);
            const char *side = (*fl & FDIO_ERR_READ)    ? "read"
                               : (*fl & FDIO_ERR_WRITE) ? "write"
                                                        : "???";
            log_err("transfer (%d->%d, %ld bytes) %s ERROR(%d): %s\n", job->in_fd,
                    job->out_fd, long(count), side, res.err, strerror(res.err));
        }
        // A busy sendfile destination is passed over; every other error,
        // EAGAIN and EPIPE included, fails the transfer.
        rc = (res.err == EBUSY && by_sendfile) ? 0 : -1;
    }

    log_dbg("%s: %d->%d [r%ld/w%ld  %ld bytes], flags=0x%lx\n", "transfer", job->in_fd,
            job->out_fd, long(res.nrd), long(res.nwr), long(count), (unsigned long)*fl);
    if (tbytes) *tbytes = res.moved;
    errno = res.err;
    return rc;
}

int fdio_init(ssize_t bufsize) noexcept
{
    if (bufsize == -1) return set_trf_bufsize(ssize_t(DEFAULT_TRF_BUFSIZE));
    if (bufsize <= 0) return 0;
    return set_trf_bufsize(bufsize);
}

int set_trf_bufsize(ssize_t size) noexcept
{
    if (size >= 0 && size_t(size) == g_trf.buflen) {
        log_warn("%s: transfer buffer size remains %ld bytes.\n", "set_trf_bufsize", long(size));
        return 0;
    }
    if (size < ssize_t(MIN_TRF_BUFSIZE)) {
        log_err("%s: transfer buffer size cannot be less than %ld bytes.\n", "set_trf_bufsize",
                long(MIN_TRF_BUFSIZE));
        return -1;
    }
    void *p = W_realloc("set_trf_bufsize", g_trf.buf, size_t(size));
    if (!p) {
        log_err("%s: failed to allocate %ld bytes for transfer buffer.\n", "set_trf_bufsize",
                long(size));
        return -1;
    }
    g_trf.buf = static_cast<char *>(p);
    g_trf.buflen = size_t(size);
    log_dbg("%s: FDIO internal buffer size = %ld bytes.\n", "set_trf_bufsize", long(size));
    return 0;
}

size_t get_trf_bufsize() noexcept { return g_trf.buflen; }

void fdio_destroy() noexcept
{
    if (g_trf.buf) {
        lfx_assert(g_trf.buflen > 0);
        free(g_trf.buf);
    }
    g_trf = trfbuf{};
}

uint32_t use_sendfile(uint32_t flags) noexcept { return flags & FDIO_SENDFILE; }

int check_can_sendfile(mode_t src_mode, mode_t dst_mode, int dst_socktype,
                       uint32_t *flags) noexcept
{
    if (!S_ISREG(src_mode)) return 1;
    if (!S_ISSOCK(dst_mode)) return 2;
    if (dst_socktype != SOCK_STREAM) return 3;
    *flags |= FDIO_SENDFILE;
    return 0;
}

// --- files -------------------------------------------------------------------------

int open_src_file(const char *path) noexcept
{
    return W_open("open_src_file", path, O_RDONLY, 0);
}

int open_dst_file(const char *path, uint32_t flags) noexcept
{
    int fd = W_open("open_dst_file", path, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, 0644);
    if (fd == -1 || !(flags & FDIO_UNLINK_DST)) return fd;
    if (W_unlink("open_dst_file", path) == -1) {
        const int err = errno;
        W_close("open_dst_file", fd);
        errno = err;
        return -1;
    }
    return fd;
}

// --- descriptor passing --------------------------------------------------------------

ssize_t send_fd(int sock, const void *data, size_t n, int fd) noexcept
{
    alignas(cmsghdr) char ctl[FD_CMSG_SPACE] = {};
    iovec iov = {const_cast<void *>(data), n};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl;
    msg.msg_controllen = sizeof(ctl);

    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = FD_CMSG_LEN;
    memcpy(CMSG_DATA(c), &fd, sizeof(fd));

    ssize_t rc = sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (rc == -1) {
        const int err = errno;
        log_err("%s: sendmsg(%d, %p, 0) ERROR(%d): %s\n", "send_fd", sock,
                static_cast<void *>(&msg), err, strerror(err));
        errno = err;
    }
    return rc;
}

ssize_t recv_fd(int sock, void *data, size_t n, int *fd, uint32_t flags) noexcept
{
    alignas(cmsghdr) char ctl[FD_CMSG_SPACE] = {};
    iovec iov = {data, n};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl;
    msg.msg_controllen = sizeof(ctl);

    *fd = -1;
    errno = 0;
    ssize_t rc = timed(PRF_DATAIN, [&] { return recvmsg(sock, &msg, 0); });
    const int err = errno;

    if (rc <= 0) {
        if (rc == 0 || !is_eagain(err) || (flags & FDIO_VERBOSE))
            log_err("%s: recvmsg(%d, %p, 0) ERROR(%d): %s\n", "recv_fd", sock,
                    static_cast<void *>(&msg), err,
                    rc == 0 ? "connection has been closed by peer" : strerror(err));
        errno = err;
        return rc;
    }

    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    if (c && c->cmsg_len == FD_CMSG_LEN) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            memcpy(fd, CMSG_DATA(c), sizeof(int));
        } else if (flags & FDIO_VERBOSE) {
            log_err("%s: invalid control message level/type=%ld/%ld\n", "recv_fd",
                    long(c->cmsg_level), long(c->cmsg_type));
        }
    } else {
        if (flags & FDIO_VERBOSE)
            log_err("%s: invalid control message structure: cmsg=%p, clen=%ld\n", "recv_fd",
                    static_cast<void *>(c), c ? long(c->cmsg_len) : 0L);
        close_passed_fds(&msg);
    }
    errno = err;
    return rc;
}

// --- readiness ------------------------------------------------------------------------

int poll_on_socket(int fd, short events, int timeout_ms) noexcept
{
    pollfd pfd = {fd, events, 0};
    int rc = timed(PRF_EVIDLE, [&] { return W_poll("poll_on_socket", &pfd, 1, timeout_ms); });
    if (rc < 0) return -1;
    return int(uint16_t(pfd.revents));
}

namespace {

int wait_for(int fd, short events, int timeout_ms) noexcept
{
    int ev = poll_on_socket(fd, events, timeout_ms);
    if (ev < 0) return -1;
    if (ev == 0) return 1;
    if (ev & (POLLERR | POLLNVAL)) return -1;
    return 0;
}

}  // namespace

int wait_to_read(int fd, int timeout_ms) noexcept { return wait_for(fd, POLLIN, timeout_ms); }

int wait_to_write(int fd, int timeout_ms) noexcept { return wait_for(fd, POLLOUT, timeout_ms); }

int test_read_fd(int fd, int timeout_ms) noexcept
{
    int rc = wait_to_read(fd, timeout_ms);
    if (rc != 0) return rc;
    ssize_t nrd = nread(fd, g_test_buf, sizeof(g_test_buf), 0);
    if (nrd <= 0) {
        log_err("%s: cannot read from fd=%d, nrd=%ld\n", "test_read_fd", fd, long(nrd));
        return -1;
    }
    log_dbg("%s: fd=%d is readable [%ld bytes]\n", "test_read_fd", fd, long(nrd));
    return 0;
}
