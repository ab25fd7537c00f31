#include "seqtrack.h"

#include <algorithm>

int seq_tracker::init(uint32_t streams, uint32_t window)
{
    const bool pow2 = window != 0 && (window & (window - 1)) == 0;
    if (streams < 1 || streams > (1u << 20) || !pow2 || window < 64 || window > (1u << 24))
        return -1;
    nstreams_ = streams;
    window_ = window;
    words_ = window / 64;
    next_.assign(streams, 0);
    bits_.assign(size_t(streams) * words_, 0);
    t_ = seq_totals{};
    return 0;
}

bool seq_tracker::seen(uint32_t stream, uint64_t seq) const noexcept
{
    const uint64_t bit = seq & (window_ - 1);
    return (bits_[stream * words_ + bit / 64] >> (bit % 64)) & 1;
}

void seq_tracker::mark(uint32_t stream, uint64_t seq) noexcept
{
    const uint64_t bit = seq & (window_ - 1);
    bits_[stream * words_ + bit / 64] |= uint64_t(1) << (bit % 64);
}

void seq_tracker::clear(uint32_t stream, uint64_t seq) noexcept
{
    const uint64_t bit = seq & (window_ - 1);
    bits_[stream * words_ + bit / 64] &= ~(uint64_t(1) << (bit % 64));
}

uint64_t seq_tracker::next_expected(uint32_t stream) const noexcept
{
    return stream < nstreams_ ? next_[stream] : 0;
}

void seq_tracker::note(uint32_t stream, uint64_t seq) noexcept
{
    if (stream >= nstreams_) {
        ++t_.foreign;
        return;
    }
    ++t_.units;
    uint64_t &next = next_[stream];
    if (seq >= next) {
        if (next == 0) ++t_.streams;
        if (seq > next) {
            ++t_.gaps;
            t_.lost += seq - next;
        }
        // The slots of next .. seq now stand for these numbers: forget what
        // they held about numbers a window older.
        if (seq - next >= window_) {
            std::fill_n(bits_.begin() + long(stream * words_), words_, 0);
        } else {
            for (uint64_t s = next; s < seq; ++s) clear(stream, s);
        }
        mark(stream, seq);
        ++t_.unique;
        next = seq + 1;
        return;
    }
    if (next - seq > window_) {
        ++t_.stale;
        return;
    }
    if (seen(stream, seq)) {
        ++t_.duplicates;
        return;
    }
    mark(stream, seq);
    ++t_.unique;
    ++t_.reordered;
    --t_.lost;
}
