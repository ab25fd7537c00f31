#pragma once
// The integer literals of a configuration text that libconfig keeps in 32
// bits without a word although their values do not fit them: its parser
// stores an unsuffixed literal (decimal or hex) as an int, cut to its low
// 32 bits, so 4294967298 reads as 2.  The text is scanned with libconfig's
// lexical rules (comments, strings, names, numbers); a literal with the L
// suffix is a 64-bit value and fits.
#include <string>
#include <string_view>
#include <vector>

struct wide_literal {
    int line;          // 1-based line of the literal
    std::string name;  // the setting name last assigned before it ("" when none)
    std::string text;  // the literal as written
};

// Every such literal of text, in order.
std::vector<wide_literal> find_wide_literals(std::string_view text);
