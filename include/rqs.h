#pragma once
// The event loop: one per process.  Besides waiting for descriptors it keeps
// the loop's monotonic clock, read once after every wait, which the rest of
// the library and the daemon read instead of the system clock, so time-out
// checks cost no system call.
#include <ctime>

#include "timeop.h"

// The loop's clock ("now" of the current turn): the address of a value that
// stays valid for the whole process.  Zero until first refreshed or set.
const struct timespec *rqs_now_ref() noexcept;
// A copy of the loop's clock.
struct timespec rqs_now() noexcept;

// Reads CLOCK_MONOTONIC into the loop's clock.  Called by the loop itself at
// start-up and after every wait; a clock failure is fatal (perror, abort()).
void rqs_update_clock() noexcept;
// Sets the loop's clock to *tms (zero when tms is null).  For tests and
// simulations that drive time-outs without waiting; the next refresh by the
// loop replaces the value.
void rqs_test_set_now(const struct timespec *tms) noexcept;
