#pragma once
// Descriptor I/O: single-call reads and writes that retry only interrupted
// calls and are timed with the data sensors; `transfer`, a copy job that
// moves one chunk per call through sendfile, through the process-wide
// transfer buffer, or between a memory area and a descriptor; file opening;
// descriptor passing over Unix sockets; poll-based readiness tests.
//
// Nothing here closes a descriptor the caller gave.  Each operation makes
// one successful system call, so callers keep control of pacing.
#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

constexpr size_t DEFAULT_TRF_BUFSIZE = 2097152;
constexpr size_t MIN_TRF_BUFSIZE = 65536;

// A job's flag word: bits 0-15 are the caller's, bits 16-31 report the last
// transfer.
enum fdio_flag : uint32_t {
    FDIO_VERBOSE = 0x1,       // report expected errors too (EAGAIN, EINTR, EPIPE, ECONNRESET)
    FDIO_TRF_RWEQ = 0x2,      // report a chunk written short of what was read
    FDIO_MSYNC = 0x4,         // carried, no behaviour
    FDIO_SENDFILE = 0x100,    // move file to socket with sendfile
    FDIO_SENDTO = 0x200,      // write each chunk as one datagram to aux/aux_len
    FDIO_UNLINK_DST = 0x400,  // open_dst_file removes the name at once
    FDIO_EOF = 0x10000,
    FDIO_ERR_READ = 0x20000,
    FDIO_ERR_WRITE = 0x40000,
};
constexpr uint32_t FDIO_RESULT_MASK = 0xFFFF0000u;

// A filter of the bytes just read: may change them in place and stores in
// *count how many of them (0..len) are to be written.  Non-zero fails the
// transfer with that value as its error.
using fdio_inproc_t = int (*)(char *data, ssize_t len, ssize_t *count);

// One copy job, made by new_transfer_spec and released with free().
struct transfer_spec {
    int in_fd;
    int out_fd;
    off_t *offset;     // the caller's offset into the source file or memory area,
                       // advanced by each transfer; null: read the source as a stream
    uint32_t *flags;   // the caller's flag word (fdio_flag)
    void *aux;         // destination address of FDIO_SENDTO
    ssize_t aux_len;
    void *mmem;        // memory area of a memory transfer; null: descriptor transfer
    size_t mmlen;
    unsigned mmem_out : 1;  // set: mmem to out_fd; clear: in_fd to mmem
    fdio_inproc_t inproc;   // optional
};

// --- single calls ---------------------------------------------------------------
// An interrupted call is repeated unless g_quit is set; any other failure
// ends the operation with errno from the call.  flags is the job's flag
// word; it marks failures worth a log line (see no_fault).

// One read(); the count read, 0 at end of file or when count is 0 (no call
// made), -1 on failure.  Timed with PRF_DATAIN.
ssize_t nread(int fd, void *buf, size_t count, uint32_t flags) noexcept;
// One write(); the count written (maybe short of count), 0, or -1.  Timed
// with PRF_DATAOUT.
ssize_t nwrite(int fd, const void *buf, size_t count, uint32_t flags) noexcept;
// One pread() at offset; as nread.
ssize_t npread(int fd, void *buf, size_t count, off_t offset, uint32_t flags) noexcept;
// sendfile() of up to count bytes from in_fd at *offset (required: null is
// a broken invariant), which it advances; stops after the first call that
// moves bytes.  The count sent; 0 at end of file or on failure (errno
// tells).  bsd_flags is ignored.  Timed with PRF_DATAOUT.
ssize_t nsendfile(int out_fd, int in_fd, off_t *offset, size_t count, int bsd_flags,
                  uint32_t flags) noexcept;

// --- copy jobs -------------------------------------------------------------------

// A zeroed job with the given members, or null (errno ENOMEM) when memory
// runs out.
transfer_spec *new_transfer_spec(int in_fd, int out_fd, off_t *offset, uint32_t *flags,
                                 void *aux, ssize_t aux_len) noexcept;
// Moves one chunk: count bytes, or the transfer buffer's size when count is
// 0 or larger (sendfile jobs move count).  Sets the result bits of *flags
// (FDIO_EOF only when the source gave nothing without an error).  0 with
// errno 0 (also after a logged EBUSY of a sendfile destination); -1 with
// errno set, EAGAIN and EPIPE included.  FDIO_VERBOSE decides only whether
// the expected errors (no_fault) are logged, never the result.  *tbytes
// (when given) = the bytes moved; *offset advances by the source bytes used
// up (with a filter, the bytes read, not the fewer it kept).  A buffered
// job without a transfer buffer is a broken invariant.
int transfer(transfer_spec *job, size_t count, ssize_t *tbytes) noexcept;
// Sets up the transfer buffer: -1 means DEFAULT_TRF_BUFSIZE; 0 or another
// negative size does nothing and gives 0; else as set_trf_bufsize.
int fdio_init(ssize_t bufsize) noexcept;
// Resizes the transfer buffer (contents not kept for the caller's use).
// 0, also when the size is unchanged; -1 below MIN_TRF_BUFSIZE or when
// memory runs out (the old buffer stays).
int set_trf_bufsize(ssize_t size) noexcept;
// The transfer buffer's size, 0 when there is none.
size_t get_trf_bufsize() noexcept;
// Frees the transfer buffer.
void fdio_destroy() noexcept;
// The FDIO_SENDFILE bit of flags.
uint32_t use_sendfile(uint32_t flags) noexcept;
// 0 and FDIO_SENDFILE set in *flags when sendfile can serve the pair;
// 1: the source is not a regular file; 2: the destination is not a socket;
// 3: it is not a stream socket.
int check_can_sendfile(mode_t src_mode, mode_t dst_mode, int dst_socktype,
                       uint32_t *flags) noexcept;

// --- files -------------------------------------------------------------------------

// Opens path read-only; the descriptor, or -1 (logged).
int open_src_file(const char *path) noexcept;
// Creates path for writing (exclusive, mode 0644); with FDIO_UNLINK_DST the
// name is removed at once.  The descriptor, or -1 (logged, errno kept).
int open_dst_file(const char *path, uint32_t flags) noexcept;

// --- descriptor passing --------------------------------------------------------------

// Sends n bytes of data and descriptor fd over Unix socket sock.  The count
// sent, or -1 (logged, errno kept).
ssize_t send_fd(int sock, const void *data, size_t n, int fd) noexcept;
// Receives up to n bytes into data and *fd = the descriptor that came with
// them, or -1 when none did (a rejected message's descriptors are closed).
// The count received; 0 at end or -1 (logged, EAGAIN only with
// FDIO_VERBOSE; errno kept).  Timed with PRF_DATAIN.
ssize_t recv_fd(int sock, void *data, size_t n, int *fd, uint32_t flags) noexcept;

// --- readiness -------------------------------------------------------------------------

// One poll() for events on fd; the returned events (0 at time-out), or -1.
// Timed with PRF_EVIDLE.
int poll_on_socket(int fd, short events, int timeout_ms) noexcept;
// 0 when fd is ready (readable or at end), 1 at time-out, -1 on failure or
// POLLERR/POLLNVAL.
int wait_to_read(int fd, int timeout_ms) noexcept;
int wait_to_write(int fd, int timeout_ms) noexcept;
// Waits as wait_to_read, then reads (consumes) up to 512 bytes; 0 when at
// least one byte came, 1 at time-out, -1 otherwise.
int test_read_fd(int fd, int timeout_ms) noexcept;
