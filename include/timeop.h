#pragma once
// Clocks, time spans and time-out tests.  Time-outs compare with the event
// loop's cached monotonic time (rqs_now_ref) unless the caller says otherwise.
#include <cstdint>
#include <ctime>

// Time-stamp flags, used in a log's time format and by mk_timestr.
enum time_flags : uint32_t {
    f_REALTIME_TIMER = 0,
    f_MONOTONIC_TIMER = 1,
    f_TIMER_ID = 3,  // mask of the clock selector; 2 and 3 are unsupported
    f_FMT_SECONDS = 16,
    f_NO_TIME = 256,
    f_GMT_TIME = 512,
    f_RAW_TIME = 1024,
    f_BAD_TIME = 0x40000000,
};
