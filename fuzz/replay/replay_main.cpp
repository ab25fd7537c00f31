// Replays a fuzz target's corpus as an ordinary program: every file under
// the directories (or the files) named on the command line is passed to the
// target once.  Crashes and sanitizer reports fail the run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../fuzz_target.h"

namespace {

void run_one(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so overreads are caught.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
}

}  // namespace

int main(int argc, char **argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &e : std::filesystem::recursive_directory_iterator(arg))
                if (e.is_regular_file()) {
                    run_one(e.path());
                    ++count;
                }
        } else {
            run_one(arg);
            ++count;
        }
    }
    printf("replayed %zu inputs\n", count);
    return count ? 0 : 1;
}
