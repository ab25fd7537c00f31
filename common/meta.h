#pragma once
// Identity strings with which the programs name themselves in logs, usage
// texts and the HTTP User-Agent and Server headers.  The texts are built on
// first use into process-wide caches and never change afterwards.

// Build constants.
inline constexpr char VERSION[] = "0.1";
constexpr int VERSION_MAJOR = 112;
constexpr int VERSION_MINOR = 2;
inline constexpr char BUILD_TYPE[] = "prep-0.2-master";
inline constexpr char BUILD_MODE[] = "regular";
inline constexpr char BUILD_TIME[] = "2022-08-24";

extern const char g_APP_CKSUM[];  // the build checksum, "1973fb84"

// The description of an application identifier ("tvl", "oxa", "dvt",
// "kfu", compared in any case); "#error#" for any other or null.
const char *app_description(const char *app) noexcept;

// "<app>/<VERSION>-112.2 (<BUILD_TYPE>)".  The first call fills the cache
// and later calls return it whatever their argument; "#error#" is cached
// when app is null or the text does not fit 127 characters.
const char *get_app_tag(const char *app) noexcept;

// The one-line identity: "<app> (<description>) <VERSION>-112.2
// (<BUILD_TYPE>) <BUILD_MODE> <checksum>; built on <BUILD_TIME>", with
// g_APP_CKSUM when checksum is null.  Cached like get_app_tag (255
// characters at most).
const char *get_app_info(const char *app, const char *checksum) noexcept;
