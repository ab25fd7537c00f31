// tavel run as a program, each run in a private network namespace of its
// own: list files whose lines do not fit the reader.
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "netns.h"
#include "support.h"
#include "tavel_harness.h"

using namespace tvh;

namespace {

constexpr int PORT = 18880;

int in_ns(const std::function<int()> &body)
{
    return run_in_child([&] { return enter_private_netns() ? body() : CHILD_SKIP; }, 120000);
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

// List lines are judged whole: one longer than the reader's room, or one
// holding a NUL, stops start-up naming the file and line, and no rest of
// it becomes a task or a route.
TEST(tavel_clients, ListLinesThatDoNotFitStopStartUp)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, ""));
        const std::string task = "udp://127.0.0.1:5501 udp://127.0.0.1:6501\n", nul(1, '\0'),
                          route = "127.0.0.1:5502 127.0.0.1:18881 - 127.0.0.1:7502\n";
        for (const auto &[flag, text, what] : std::vector<std::array<std::string, 3>>{
                 {"-t", "#" + nul + std::string(128, 'c') + task,
                  "1 is longer than 127 characters"},
                 {"-t", "#" + nul + " " + task, "1 holds a NUL byte"},
                 {"-r", "#" + std::string(254, 'c') + route, "1 is longer than 254 characters"},
                 {"-r", "# routes\n#" + nul + route, "2 holds a NUL byte"},
             }) {
            write_file(d.file("list"), text);
            std::string out;
            CHILD_CHECK(run_tavel({"-T", "-C", d.file("tavel.conf"), flag, d.file("list")},
                                  &out) > 0);
            CHILD_CHECK(count(out, "[" + d.file("list") + "] line " + what + "\n") == 1);
            CHILD_CHECK(count(out, "is relaying data") + count(out, "1 redirection routes") == 0);
        }
        return 0;
    }));
}
