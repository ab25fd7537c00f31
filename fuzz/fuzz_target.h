#pragma once
// The entry point every fuzz target defines (libFuzzer's, and the corpus
// replay's of the test suite).
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
