#pragma once
// A strict JSON syntax check for the daemon's status report: objects,
// arrays, strings (with their escapes), numbers, true, false, null.
#include <string>

// True when text is exactly one JSON value (white space around allowed).
bool is_valid_json(const std::string &text);
