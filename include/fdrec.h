#pragma once
// The record of one endpoint opened from a URI: a file, a shared-memory
// object or a socket, with what it owns (socket_spec, interface record,
// mapped area, datagram index) and a debugging tag.  free_fdrec releases
// all of it.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <type_traits>

#include "lfxtypes.h"
#include "netops.h"

constexpr size_t FDR_PATH_MAX = 384;
// A path with this prefix names a shared-memory object, removed with the
// record.
constexpr char FDR_SHM_PREFIX[] = "/shm.";
constexpr size_t FDR_TAG_SIZE = 64;

struct dgram_idx;

struct fdrec {
    n32_tag type;  // the event loop's object tag; the owner's to set
    fdrec *prev;   // list links; the owner's
    fdrec *next;
    char *dbg_tag;  // heap: see get_fdrec_tag
    int fd;         // -1 for none
    mode_t mode;    // file type and mode of fd
    char path[FDR_PATH_MAX];
    off_t offset;  // the owner's
    struct timespec first_io_tm;  // the owner's
    struct timespec last_io_tm;   // the owner's
    int wd;                       // watch descriptor, -1 for none
    ssize_t nlocks;               // the owner's
    unsigned long seqnum;         // the owner's
    socket_spec *sspec;           // heap, owned: how the socket was opened
    ifc_info *mifc;               // heap, owned: interface of a multicast socket
    void *mmbuf;                  // a mapping (null or MAP_FAILED for none) ...
    size_t mmbuf_size;            // ... and its length, unmapped with the record
    dgram_idx *dgram;             // owned
    n64_tag trk_tag;              // the owner's
};

static_assert(std::is_trivially_copyable_v<fdrec>);

// A zero-filled record with fd and wd -1; null when memory runs out.
fdrec *alloc_fdrec() noexcept;
// Sets fd and wd to -1.
void init_fdrec(fdrec *r) noexcept;
// Unmaps the mapped area, closes fd (when >= 0), removes a "/shm." object
// named by path, then frees the socket_spec, the interface record, the tag,
// the datagram index and the record.  Failures are logged and the release
// goes on.  Null is ignored.
void free_fdrec(fdrec *r) noexcept;
// The debugging tag, made on first use: "r(<rec>).M(<area>)" for a mapped
// area without a descriptor, else "r(<rec>).<file type>(<fd>)".  No memory
// for it aborts.
const char *get_fdrec_tag(fdrec *r) noexcept;
// Replaces the tag with a copy of tag (null drops it).  0, or -1 (CRIT,
// the old tag kept) when memory runs out.
int set_fdrec_tag(fdrec *r, const char *tag) noexcept;

// Opens the endpoint of url as a new record: "file://path" opens the file
// for reading (inbound) or writing (created or truncated), or, for a path
// beginning "/shm.", the shared-memory object of that name; "tcp://",
// "http://" (port 80 unless given) open a stream socket and "udp://",
// "rtp://" a datagram socket (an inbound one with "source@" joins that
// source-specific group), on the interface ifc (null: the system's).  The
// URL's kind goes to *kind when given (URI_BAD for an unknown scheme).
// The record, or null with the cause logged.
fdrec *open_uri(bool inbound, const char *url, const char *ifc, int *kind) noexcept;
fdrec *open_uri_src(const char *url, const char *ifc, int *kind) noexcept;
fdrec *open_uri_dst(const char *url, const char *ifc, int *kind) noexcept;
