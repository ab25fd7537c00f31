#pragma once
// The names a configuration file may use: each loader's keys as a table,
// and a walk of the parsed tree that warns about every setting the tables
// do not name.  A mistyped key would otherwise leave its setting at the
// default without a word; the walk only warns, so a file that names a
// setting this version does not know still loads.
#include <libconfig.h>

#include <cstddef>
#include <span>

enum cfg_key_kind : int {
    CK_VALUE = 0,      // a scalar; its loader checks the type
    CK_GROUP = 1,      // a group of the keys in members
    CK_LISTENERS = 2,  // a group of members, or a list of such groups (MAX_LISTENERS read)
};

struct cfg_key {
    const char *name;
    cfg_key_kind kind;
    std::span<const cfg_key> members;  // CK_GROUP, CK_LISTENERS: the keys inside
};

// Logs WARN for every setting under group (found at path, e.g. "tavel")
// that known does not name, a known group or listener setting of another
// type, and listener list elements past the first MAX_LISTENERS, each with
// its full path and line.  The number of settings warned about.
size_t warn_unknown_keys(const config_setting_t *group, const char *path,
                         std::span<const cfg_key> known) noexcept;
