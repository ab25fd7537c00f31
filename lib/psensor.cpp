#include "psensor.h"

#include <cstring>
#include <strings.h>
#include <sys/resource.h>

psensor g_psensor[MAX_PSENSORS];

const char *const g_libsensor_tag[PRF_SYS_COUNT + 1] = {
    "app", "ev_loop", "ev_read", "ev_write", "ev_err", "ev_pp", "ev_idle", "data_in", "data_out",
    nullptr,
};

namespace {

struct app_psensor_ctx {
    int ucount;  // application sensors set up, slots USENSOR_FIRST on
};

app_psensor_ctx g_appsens;

void setup_sensor(psensor &s, const char *name, bool enable) noexcept
{
    s.nametag = name;
    prfm_xinit(&s.sensor, prfm_TIME | prfm_RUSAGE, RUSAGE_SELF);
    if (enable) s.enabled = 1;
}

// The sensors set up by the last psensors_init.
int sensors_in_use() noexcept { return PRF_SYS_COUNT + g_appsens.ucount; }

}  // namespace

int psensors_init(const char *const *utag, bool enable_all) noexcept
{
    memset(static_cast<void *>(g_psensor), 0, sizeof(g_psensor));
    for (int i = 0; i < PRF_SYS_COUNT && g_libsensor_tag[i]; ++i)
        setup_sensor(g_psensor[i], g_libsensor_tag[i], enable_all);

    g_appsens.ucount = 0;
    if (utag) {
        for (int i = 0; i < MAX_USENSORS && utag[i]; ++i) {
            setup_sensor(g_psensor[USENSOR_FIRST + i], utag[i], enable_all);
            ++g_appsens.ucount;
        }
    }
    return 0;
}

void psensors_destroy() noexcept
{
    for (int i = 0; i < sensors_in_use(); ++i) prfm_destroy(&g_psensor[i].sensor);
}

void psensors_dump(FILE *fp) noexcept
{
    for (int i = 0; i < sensors_in_use(); ++i) {
        const psensor &s = g_psensor[i];
        const timespec &tm = s.sensor.accum.tm;
        if (!s.enabled || (tm.tv_sec == 0 && tm.tv_nsec == 0)) continue;
        prfm_dump(fp, &s.sensor, "P-Sensor [%s]\n", s.nametag);
    }
}

int libptag_index(const char *name) noexcept
{
    if (!name) return -1;
    for (int i = 0; g_libsensor_tag[i]; ++i)
        if (strcasecmp(name, g_libsensor_tag[i]) == 0) return i;
    return -1;
}
