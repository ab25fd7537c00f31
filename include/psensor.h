#pragma once
// The process-wide table of named performance sensors.  The library's
// instrumented places (the event loop, descriptor reads and writes) each
// own a slot; the application may name up to 64 more.
//
// Every sensor is off until psensors_init() enables it, so by default an
// instrumented place costs one bit test and measures nothing.
#include <cstdio>
#include <type_traits>

#include "prfm.h"

constexpr int MAX_PSENSORS = 73;
constexpr int PRF_SYS_COUNT = 9;
constexpr int USENSOR_FIRST = 9;
constexpr int MAX_USENSORS = MAX_PSENSORS - USENSOR_FIRST;  // 64

// The library's sensors, slot and name ("app", "ev_loop", ...).
enum psensor_id : int {
    PRF_APP = 0,
    PRF_EVLOOP = 1,
    PRF_EVREAD = 2,
    PRF_EVWRITE = 3,
    PRF_EVERR = 4,
    PRF_EVPP = 5,
    PRF_EVIDLE = 6,
    PRF_DATAIN = 7,
    PRF_DATAOUT = 8,
};

struct psensor {
    const char *nametag;  // null while the slot is not set up
    prfm sensor;
    unsigned enabled : 1;
    unsigned started : 1;  // a measurement is running
};

static_assert(std::is_trivially_copyable_v<psensor>);

extern psensor g_psensor[MAX_PSENSORS];
// The library sensors' names by slot, then a null end marker.
extern const char *const g_libsensor_tag[PRF_SYS_COUNT + 1];

// Zeroes the table, names the library's slots and sets each up to measure
// time and RUSAGE_SELF, enabled when enable_all.  utag, when given, is a
// null-ended list of application names for slots 9, 10, ... (names past
// the 64th are ignored); the strings must outlive the table.  Gives 0.
int psensors_init(const char *const *utag, bool enable_all) noexcept;
// Clears the probes of the library's sensors and the application's ones.
void psensors_destroy() noexcept;
// Prints "P-Sensor [<name>]" and the totals of every enabled sensor that has
// measured some time.
void psensors_dump(FILE *fp) noexcept;
// The slot of a library sensor's name, ignoring case; -1 when not one.
int libptag_index(const char *name) noexcept;

// --- use by instrumented code ------------------------------------------------------
//
// Before the measured call: start an enabled sensor that is not running and
// mark it running.  After it: stop an enabled sensor that is running.  An
// unbalanced stop does nothing, a second start is ignored.

// Starts sensor id when enabled and not running; true when this call
// started it.
inline bool psensor_start(int id) noexcept
{
    psensor &s = g_psensor[id];
    if (!s.enabled || s.started) return false;
    prfm_start(&s.sensor);
    s.started = 1;
    return true;
}

// Stops sensor id when enabled and running.
inline void psensor_stop(int id) noexcept
{
    psensor &s = g_psensor[id];
    if (!s.enabled || !s.started) return;
    s.started = 0;
    prfm_stop(&s.sensor);
}

// Times one scope with sensor id.  Only the scope that started the sensor
// stops it, so a timed call nested in another one with the same sensor is
// counted once, as part of the outer call.
class psensor_scope {
public:
    explicit psensor_scope(int id) noexcept : id_(id), owner_(psensor_start(id)) {}
    ~psensor_scope()
    {
        if (owner_) psensor_stop(id_);
    }
    psensor_scope(const psensor_scope &) = delete;
    psensor_scope &operator=(const psensor_scope &) = delete;

private:
    int id_;
    bool owner_;
};
