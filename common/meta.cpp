#include "meta.h"

#include <strings.h>

#include <array>
#include <cstdio>
#include <cstring>

const char g_APP_CKSUM[] = "1973fb84";

namespace {

constexpr char ERROR_TEXT[] = "#error#";

struct app_entry {
    const char *id;
    const char *description;
};

constexpr std::array<app_entry, 4> k_apps{{
    {"tvl", "Tavel = Transport And Video Edge Link"},
    {"oxa", "Tavel IGMP agent"},
    {"dvt", "Tavel I/O diagnostic utility"},
    {"kfu", "Application flag management utility"},
}};

char g_apptag[128];
char g_appinfo[256];

// Keeps a formatted text when it is non-empty and fits, else "#error#".
template <size_t N>
void settle(char (&cache)[N], int n)
{
    if (n <= 0 || size_t(n) >= N) snprintf(cache, N, "%s", ERROR_TEXT);
}

}  // namespace

const char *app_description(const char *app) noexcept
{
    if (app)
        for (const app_entry &e : k_apps)
            if (strcasecmp(app, e.id) == 0) return e.description;
    return ERROR_TEXT;
}

const char *get_app_tag(const char *app) noexcept
{
    if (g_apptag[0]) return g_apptag;
    int n = app ? snprintf(g_apptag, sizeof(g_apptag), "%s/%s-%d.%d (%s)", app, VERSION,
                           VERSION_MAJOR, VERSION_MINOR, BUILD_TYPE)
                : -1;
    settle(g_apptag, n);
    return g_apptag;
}

const char *get_app_info(const char *app, const char *checksum) noexcept
{
    if (g_appinfo[0]) return g_appinfo;
    int n = app ? snprintf(g_appinfo, sizeof(g_appinfo), "%s (%s) %s-%d.%d (%s) %s %s; built on %s",
                           app, app_description(app), VERSION, VERSION_MAJOR, VERSION_MINOR,
                           BUILD_TYPE, BUILD_MODE, checksum ? checksum : g_APP_CKSUM, BUILD_TIME)
                : -1;
    settle(g_appinfo, n);
    return g_appinfo;
}
