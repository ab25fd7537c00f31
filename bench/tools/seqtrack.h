#pragma once
// Sequence accounting of a receiver: for each stream of stamped units
// (datagrams, or transport packets inside datagrams) it tells how many
// arrived, how many are missing, and which came late or twice.
//
// Each stream starts at sequence 0.  A unit above the next expected one
// opens a gap; one below it either fills a hole (reordered) or was seen
// already (duplicate).  Whether a unit was seen is remembered for the last
// `window` sequence numbers of each stream; a unit further behind is
// counted as stale, neither unique nor a duplicate.  All memory is taken by
// init; note() allocates nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

struct seq_totals {
    uint64_t units = 0;       // stamped units seen, duplicates included
    uint64_t unique = 0;      // distinct units
    uint64_t lost = 0;        // holes below the highest unit seen, still open
    uint64_t gaps = 0;        // times a stream jumped ahead
    uint64_t reordered = 0;   // units that filled a hole
    uint64_t duplicates = 0;  // units seen before
    uint64_t stale = 0;       // units too far behind the window to tell
    uint64_t foreign = 0;     // units without a stamp or of an unknown stream
    uint64_t streams = 0;     // streams that delivered at least one unit
};

class seq_tracker {
public:
    // Room for streams 0 .. streams - 1 (1 .. 1048576) with a window of
    // `window` sequence numbers (a power of two, 64 .. 2^24).  0, or -1 for
    // a bad size (nothing changes).
    int init(uint32_t streams, uint32_t window);
    void note(uint32_t stream, uint64_t seq) noexcept;
    void note_foreign() noexcept { ++t_.foreign; }
    const seq_totals &totals() const noexcept { return t_; }
    // Highest sequence number seen in a stream plus one (0 when none).
    uint64_t next_expected(uint32_t stream) const noexcept;

private:
    bool seen(uint32_t stream, uint64_t seq) const noexcept;
    void mark(uint32_t stream, uint64_t seq) noexcept;
    void clear(uint32_t stream, uint64_t seq) noexcept;

    uint32_t nstreams_ = 0;
    uint64_t window_ = 0;
    uint64_t words_ = 0;  // 64-bit words of one stream's window
    std::vector<uint64_t> next_;
    std::vector<uint64_t> bits_;
    seq_totals t_;
};
