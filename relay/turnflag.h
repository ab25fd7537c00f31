#pragma once
// A run-time flag reading kept for a few turns of the event loop.  Reading
// a flag scans the environment and locks the flag store, which costs more
// than relaying a batch of datagrams; the paths that run on every event
// read their flags again only once the loop's clock has moved on by
// FLAG_REREAD_MS (or was set back), so a change by the flag tool counts
// from the first turn 10 ms after it on.
#include <cstdint>
#include <ctime>

#include "rqs.h"

constexpr long FLAG_REREAD_MS = 10;

class turn_flag {
public:
    // read: the reading itself (one flag, or several joined as the caller
    // needs, in the order it reads them).
    explicit constexpr turn_flag(bool (*read)() noexcept) noexcept : read_(read) {}
    bool on() noexcept
    {
        const struct timespec &now = *rqs_now_ref();
        const int64_t ns = int64_t(now.tv_sec - at_.tv_sec) * 1000000000 +
                           (now.tv_nsec - at_.tv_nsec);
        if (!known_ || ns < 0 || ns >= FLAG_REREAD_MS * 1000000) {
            on_ = read_();
            at_ = now;
            known_ = true;
        }
        return on_;
    }

private:
    bool (*read_)() noexcept;
    struct timespec at_ = {0, 0};
    bool known_ = false;
    bool on_ = false;
};
