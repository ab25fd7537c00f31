// Reading log time stamps back from arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_target.h"
#include "log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    struct timespec t;
    for (uint32_t flags : {0u, uint32_t(f_FMT_SECONDS), uint32_t(f_RAW_TIME)})
        scan_log_time(text.c_str(), &t, flags);
    return 0;
}
