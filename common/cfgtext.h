#pragma once
// The configuration text as libconfig parses it, read once.  libconfig
// would read the main file and open every included file by itself, so a
// second reading, to check the literals it cuts, could meet other bytes (a
// pipe is empty the second time, a file may change) or miss an inclusion.
// Here the main file is read into memory, every included file is read
// where its directive stands and kept in a memory file that the directive
// is made to name, and the texts are scanned as they are read: what
// libconfig parses is what was checked.  The names libconfig records for
// included settings are then the memory files'; cfg_file_name gives back
// the names the configuration wrote.
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "cfgscan.h"

// Largest configuration, the main file and every inclusion counted where it
// is included.
constexpr size_t CFG_MAX_TEXT = size_t(16) << 20;
// Deepest nesting of included files (libconfig's own limit).
constexpr size_t CFG_MAX_INCLUDE_DEPTH = 10;

struct cfg_included {
    std::string name;    // as the directive writes it
    std::string text;    // its text as read
    int fd = -1;         // the memory file libconfig reads it from (directives renamed)
    std::string opened;  // "/proc/self/fd/N", the name libconfig opens
};

// The configuration read once; owns the memory files.
struct cfg_text {
    cfg_text() = default;
    cfg_text(const cfg_text &) = delete;
    cfg_text &operator=(const cfg_text &) = delete;
    ~cfg_text();

    std::string main;                   // the main text, directives renamed
    std::vector<cfg_included> files;    // each included file once
    std::vector<wide_literal> wide;     // literals libconfig would change
};

// Reads the configuration from fp (opened from path, named in messages),
// every included file with it, into ct.  0; -1 (logged) when a file
// cannot be read whole: a read error, more than CFG_MAX_TEXT bytes, an
// included file that is missing or not a regular file, or inclusions
// nested deeper than CFG_MAX_INCLUDE_DEPTH; and when libconfig would read
// other bytes than those checked: an included file that ends inside a
// string, a comment or an include name (named with the line where that
// began), or an include name holding a backslash or a line break.
int read_cfg_text(FILE *fp, const char *path, cfg_text *ct) noexcept;
// The name the configuration gives the file libconfig opened as opened:
// the included file's own name; opened itself for any other.
const char *cfg_file_name(const cfg_text *ct, const char *opened) noexcept;
