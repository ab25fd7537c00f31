#pragma once
// The integer literals of a configuration text that libconfig keeps without
// a word although their values do not fit: its parser stores an unsuffixed
// literal (decimal or hex) as an int, cut to its low 32 bits, so 4294967298
// reads as 2, and an L-suffixed one past 64 bits as -1 or a clamped value.
// The text is scanned with libconfig's lexical rules (comments, strings,
// names, numbers, the include directive at the start of a line), and an
// included file is scanned where the directive stands, so a value read from
// another file is still tied to the setting written before it.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct wide_literal {
    int line;               // 1-based line of the literal
    std::string file;       // the included file it is written in; "" for the main text
    std::string name;       // the name of the setting it belongs to ("" when none)
    long setting;           // that setting's place among all settings assigned, in text
                            // order from 0 (libconfig's tree keeps them in that order);
                            // -1 when none is known
    std::vector<int> elems; // inside lists or arrays of that setting: the element
                            // indices from the outermost, from 0; empty for its value
    std::string text;       // the literal as written
    int bits;               // what it had to fit: 32, or 64 with the L suffix
};

// The construct a text ends inside.  libconfig's scanner keeps its state at
// the end of an included file and reads on in the including file in that
// state: the rest of a string, a comment or an include name would be taken
// from the text after the directive.
enum cfg_open_end : int {
    CFG_END_CLOSED = 0,
    CFG_END_IN_STRING = 1,
    CFG_END_IN_COMMENT = 2,   // a /* comment
    CFG_END_IN_INCLUDE = 3,   // an include directive's file name
};

struct cfg_scan;
// Called at an include directive of the text being scanned: name is the
// file name as the directive writes it, at its offset in that text, line
// the directive's line.  The hook scans the included text in place
// (scan_cfg_text with the same sc) and returns 0, or non-zero to stop the
// scan with that result.
using cfg_include_fn = int (*)(void *arg, cfg_scan *sc, std::string_view name, size_t at,
                               int line);

// A group, list or array the scan is inside: libconfig's parser carries
// them from one file into the next, and so does the scan.
struct cfg_scan_level {
    char open = 0;       // '{', '(' or '['; 0 for the top level
    int index = 0;       // in a list or array: the element being read, from 0
    long setting = -1;   // in a group: the setting last assigned in it
    std::shared_ptr<const std::string> name;  // and its name (shared, not copied)
};

// Levels past this depth are counted, not followed, so that what a literal
// records stays small: one inside them is named by its name alone.
constexpr size_t CFG_SCAN_MAX_LEVELS = 64;

// One scan of a configuration and of the files it includes.
struct cfg_scan {
    cfg_include_fn on_include = nullptr;  // null: directives are passed over
    void *arg = nullptr;
    std::vector<wide_literal> found;  // every literal that does not fit, in order
    // The last name seen, the settings assigned so far and the open levels,
    // carried from one file into the next.
    std::shared_ptr<const std::string> pending;
    long assigned = 0;
    std::vector<cfg_scan_level> levels = std::vector<cfg_scan_level>(1);
    size_t untracked = 0;  // open levels past CFG_SCAN_MAX_LEVELS
    // How the text scanned last ended, and the line where the open
    // construct began (0 when closed).
    cfg_open_end end = CFG_END_CLOSED;
    int end_line = 0;
};

// Scans text, the file named file ("" for the main one), adding to
// sc->found and setting sc->end; each include directive goes to
// sc->on_include.  0, or the hook's non-zero result.
int scan_cfg_text(cfg_scan *sc, std::string_view text, const std::string &file);

// Every such literal of one text, its directives passed over.
std::vector<wide_literal> find_wide_literals(std::string_view text);
