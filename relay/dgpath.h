#pragma once
// The datagram path of tasks whose source delivers datagrams ('U', 'D'):
// a read step stores the datagrams of the primary or the alternate source
// in that source's own storage, and a write step sends the stored
// datagrams of the active source, oldest first, while the standby's
// storage is emptied.  Each step moves at most max_pkts datagrams and
// re-arms or drops the task's read and write registrations by how full the
// storages are, so that a slow destination throttles reading and an idle
// direction costs no wake-ups.  Datagrams are received with recvmmsg and
// sent with sendmmsg, runs of equal-sized ones as segmented sends where the
// destination takes them; each keeps the bookkeeping, errors and log lines of a datagram
// received and sent alone.  Datagrams that leave in the wake-up that read
// them pass through one receive area shared by all tasks; the others are
// received straight into the storage slots (or moved there when the
// destination does not take them).  Nothing is allocated per datagram.
#include <sys/types.h>

#include <cstddef>

#include "rtask.h"
#include "senderr.h"

// Read modes: which source a read step serves.
enum rd_mode : int {
    RD_PRIMARY = 1,
    RD_ALTERNATE = 2,
};

// Oversize datagrams a task takes before it fails with E2BIG.
constexpr ssize_t MAX_TRUNC_PKTS = 10;
// Longest tag of an I/O trace line.
constexpr size_t IOTRK_TAG_LEN = 30;

// --- storage of one source --------------------------------------------------------

// The next free slot to read into, or null when the storage is full.
data_pkt *rta_next_pkt_in(pkt_storage *ds) noexcept;
// Commits the slot just filled as the newest.  0, or -1 when the ring
// refuses it.
int rta_add_pkt_in(pkt_storage *ds, const data_pkt *pkt) noexcept;
// The oldest stored datagram, or null.
data_pkt *rta_get_tail(pkt_storage *ds) noexcept;
// Releases the oldest datagram (its len becomes 0); its slot, or -2 when
// the storage is empty.
ssize_t rta_pop_pkt(pkt_storage *ds) noexcept;
bool rta_no_space(const pkt_storage *ds) noexcept;
bool rta_no_pending_data(const pkt_storage *ds) noexcept;

// --- the steps ---------------------------------------------------------------------

// Reads one batch from the source of rd_mode into its storage.  0; 7
// (E2BIG) when the task has taken too many oversize datagrams (its error
// is then set); a receive error's errno; or a registration's error.
// *p_nin (when given) = the bytes stored.  With p_write_now given, a read
// of the active source that stored datagrams while the writer was not
// armed (nothing older waits for the destination) leaves the writer
// unarmed and sets *p_write_now: the caller then runs the write step at
// once (write-through), which arms the writer only for what it leaves.
// The datagrams may wait for that step in the shared receive area, so it
// must be the next step of any task (an invariant).
int pkt_read(rtask *task, int rd_mode, size_t *p_nin, bool *p_write_now = nullptr) noexcept;
// Sends one batch of the active source's datagrams and empties the
// standby's storage, on a write event or right after a read step
// (write-through).  Send errors never fail the task: a datagram that
// cannot pass now (EAGAIN, ENOBUFS, EINTR) waits for the next write event,
// one that never will (any other error) is dropped and counted; both are
// logged by the rule of senderr.h.  0, or a registration's error.
// *p_nout (when given) = the bytes sent (0 on failure).
int pkt_write(rtask *task, size_t *p_nout) noexcept;
// One receive into buf.  The datagram's length; 0 for a datagram not to
// keep (empty, or larger than buflen: dropped and counted in pks->ntrunc);
// -1 with errno: the receive's own, or E2BIG once MAX_TRUNC_PKTS
// oversize datagrams have come.
ssize_t udp_read(int fd, void *buf, size_t buflen, pktstats *pks) noexcept;
// Releases up to max_pkts of the oldest datagrams of ds (null: nothing).
void pop_pkts(const char *mode_tag, const char *tsid, pkt_storage *ds) noexcept;
// The I/O trace line of one datagram, straight to the log's stream.
void dump_iotrk(const char *iotag, const char *sid, int fd, const void *buf, size_t len) noexcept;
