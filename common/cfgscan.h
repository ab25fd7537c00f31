#pragma once
// The integer literals of a configuration text that libconfig keeps without
// a word although their values do not fit: its parser stores an unsuffixed
// literal (decimal or hex) as an int, cut to its low 32 bits, so 4294967298
// reads as 2, and an L-suffixed one past 64 bits as -1 or a clamped value.
// The text is scanned with libconfig's lexical rules (comments, strings,
// names, numbers, the include directive at the start of a line), and an
// included file is scanned where the directive stands, so a value read from
// another file is still tied to the name written before it.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct wide_literal {
    int line;               // 1-based line of the literal
    std::string file;       // the included file it is written in; "" for the main text
    std::string name;       // the setting name last assigned before it ("" when none)
    int name_line;          // where that name is written (0 when none)
    std::string name_file;  // "" for the main text
    std::string text;       // the literal as written
    int bits;               // what it had to fit: 32, or 64 with the L suffix
};

struct cfg_scan;
// Called at an include directive of the text being scanned: name is the
// file name as the directive writes it, at its offset in that text, line
// the directive's line.  The hook scans the included text in place
// (scan_cfg_text with the same sc) and returns 0, or non-zero to stop the
// scan with that result.
using cfg_include_fn = int (*)(void *arg, cfg_scan *sc, std::string_view name, size_t at,
                               int line);

// One scan of a configuration and of the files it includes.
struct cfg_scan {
    cfg_include_fn on_include = nullptr;  // null: directives are passed over
    void *arg = nullptr;
    std::vector<wide_literal> found;  // every literal that does not fit, in order
    // The last name seen and the last one assigned, carried from one file
    // into the next as libconfig's parser carries them.
    std::string pending, current;
    int pending_line = 0, current_line = 0;
    std::string pending_file, current_file;
};

// Scans text, the file named file ("" for the main one), adding to
// sc->found; each include directive goes to sc->on_include.  0, or the
// hook's non-zero result.
int scan_cfg_text(cfg_scan *sc, std::string_view text, const std::string &file);

// Every such literal of one text, its directives passed over.
std::vector<wide_literal> find_wide_literals(std::string_view text);
