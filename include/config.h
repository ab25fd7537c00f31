#pragma once
// Look-ups that copy values of the parsed configuration into fixed-size
// buffers, with defaults and length limits.  A missing value is never an
// error.  A tree that was never initialised, or a null setting, has no
// values.
#include <libconfig.h>

#include <cstddef>
#include <cstdint>

// The parsed configuration; the program's loader fills it.
extern config_t g_libcfg;

// Copies the string at path of g_libcfg into buf (limit bytes, > 0).
// 0 when copied, or when missing: then a non-empty dflt is copied (cut to
// limit - 1 characters) or buf made empty.  -1 with an ERR line and buf
// unchanged when the string has limit characters or more.
int load_config_str(const char *path, char *buf, size_t limit, const char *dflt) noexcept;
// The same for the string member name of setting.
int load_config_setting_str(const config_setting_t *setting, const char *name, char *buf,
                            size_t limit, const char *dflt) noexcept;

// Copies (strdup) the strings of the list at path, in order, up to the first
// element that is not a string and at most *count of them.  The array and
// *count on success, entries past the last string zero (at least one); the
// caller frees each string and the array.  Null and *count = 0 when the
// setting is missing, holds no leading string, or memory runs out.
char **load_config_string_list(const char *path, size_t *count) noexcept;

// Reads the string member name of setting (at most 31 characters) as a size
// with an optional K/M/G suffix (powers of 1024) into *value.  0; dflt in
// *value and 0 when missing; -1 (ERR line) when too long; a2int64's error
// code otherwise, *value untouched.
int load_config_setting_size(const config_setting_t *setting, const char *name, int64_t *value,
                             int64_t dflt) noexcept;
