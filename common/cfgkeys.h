#pragma once
// The names a configuration file may use: each loader's keys as a table,
// and a walk of the parsed tree that warns about every setting the tables
// do not name.  A mistyped key would otherwise leave its setting at the
// default without a word; the walk only warns, so a file that names a
// setting this version does not know still loads.
#include <libconfig.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "cfgscan.h"

enum cfg_key_kind : int {
    CK_VALUE = 0,      // a scalar; its loader checks the type
    CK_GROUP = 1,      // a group of the keys in members
    CK_LISTENERS = 2,  // a group of members, or a list of such groups (MAX_LISTENERS read)
    CK_INT = 3,        // an integer of lo..hi; its loader checks the type
};

struct cfg_key {
    const char *name;
    cfg_key_kind kind;
    std::span<const cfg_key> members;  // CK_GROUP, CK_LISTENERS: the keys inside
    long long lo = 0;                  // CK_INT: the range start-up enforces
    long long hi = 0;
};

// Logs WARN for every setting under group (found at path, e.g. "tavel";
// empty for the root) that known does not name, a known group or listener
// setting of another type, and listener list elements past the first
// MAX_LISTENERS, each with its full path, line and, for an included file,
// the file.  The number of settings warned about.
size_t warn_unknown_keys(const config_setting_t *group, const char *path,
                         std::span<const cfg_key> known) noexcept;
// Logs ERR for every integer setting under group (found at path) that
// known gives a range it lies outside of, with its path, value, line and
// range; the group named skip (or none) is passed over.  The number of
// settings refused.
size_t refuse_out_of_range(const config_setting_t *group, const char *path,
                           std::span<const cfg_key> known, const char *skip) noexcept;
// Logs ERR for every literal of wide (found as cf's text was read) that
// libconfig stored changed because its value does not fit its 32 or 64
// bits, naming its setting of cf, its line and, in an included file, the
// file.  The number of literals refused.
size_t refuse_wide_literals(const config_t *cf, const std::vector<wide_literal> &wide) noexcept;

// " at line N", or " at line N of FILE" for a setting of an included file
// (named as the configuration names it when the tree's root hook holds the
// cfg_text it was parsed from).
std::string setting_place(const config_setting_t *s);
// The full path of a setting: "tavel.listener.user[2].port".
std::string setting_path(const config_setting_t *s);

// What a message about a value names: the setting's full path and its
// place as setting_place gives it.
struct setting_where {
    std::string path;   // "tavel.max_pkts"
    std::string place;  // " at line 7"; empty for a setting not in the file
};
// The setting at path under setting, or from the root of g_libcfg without
// one.  A missing setting gives its path (prefix being setting's) and no
// place.
setting_where where_is(const config_setting_t *setting, const char *path);
