#pragma once
// Performance probes: elapsed monotonic time and the process's resource
// usage, accumulated over any number of start/stop pairs.
//
// A capture that fails (clock_gettime or getrusage) prints the call's name
// with perror() and aborts the process: a probe has no way to report it.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <type_traits>

// What a probe measures.
enum prfm_flag : int32_t {
    prfm_TIME = 1,    // monotonic time
    prfm_RUSAGE = 2,  // getrusage(who)
};

struct prfm_metrics {
    timespec tm;
    rusage ru;
};

struct prfm {
    int who;             // getrusage target, e.g. RUSAGE_SELF
    int32_t flags;       // prfm_flag bits
    prfm_metrics start;  // captured by the last prfm_start
    prfm_metrics accum;  // accumulated totals
};

static_assert(std::is_trivially_copyable_v<prfm>);

// Sets flags and who and clears the measured parts of start and accum.
void prfm_xinit(prfm *r, int32_t flags, int who) noexcept;
// Clears the measured parts and sets flags to 0 (the probe then measures
// nothing).
void prfm_destroy(prfm *r) noexcept;
// Captures the current metrics into start.
void prfm_start(prfm *r) noexcept;
// Captures now and adds now - start to accum (time, user and system time,
// and the fourteen rusage counters, the maximum resident size included).
void prfm_stop(prfm *r) noexcept;
// Captures straight into accum (its resource usage replaced) and zeroes
// accum.tm.
void prfm_probe(prfm *r) noexcept;
// Prints fmt (when not null) with the further arguments, then "== time:"
// with prfm_TIME and the resource block with prfm_RUSAGE, of accum.
[[gnu::format(printf, 3, 4)]] void prfm_dump(FILE *fp, const prfm *r, const char *fmt,
                                             ...) noexcept;
