#include "udpruns.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/udp.h>

#include <cstring>
#include <vector>

namespace {

struct runs_case {
    std::vector<size_t> lens;
    std::vector<size_t> firsts;  // the first datagram of each run
};

}  // namespace

TEST(udpruns, groups_equal_sizes_in_order_closed_by_a_shorter_one_or_the_caps)
{
    std::vector<size_t> sixty_four(64, 188);
    std::vector<size_t> fifty(50, 1316);
    const runs_case cases[] = {
        {{1316}, {0}},
        {{1316, 1316, 1316}, {0}},
        {{1316, 1316, 500, 1316}, {0, 3}},         // a shorter one closes the run
        {{500, 1316, 1316}, {0, 1}},               // a longer one starts a new run
        {{188, 188, 4000, 4000, 4000, 188}, {0, 2}},
        {sixty_four, {0}},                          // 64 at most
        {fifty, {0, 49}},                           // 49 x 1316 bytes fit one send
        {std::vector<size_t>(17, 4000), {0, 16}},   // 16 x 4000 bytes
    };
    for (const auto &c : cases) {
        std::vector<iovec> iov;
        std::vector<std::vector<char>> data;
        for (size_t len : c.lens) data.emplace_back(len, 'x');
        for (auto &d : data) iov.push_back({d.data(), d.size()});
        sockaddr_in to{};
        to.sin_family = AF_INET;
        udp_runs r;
        udp_runs_build(&r, iov.data(), iov.size(), reinterpret_cast<sockaddr *>(&to), sizeof to);
        ASSERT_EQ(r.count, c.firsts.size());
        EXPECT_EQ(r.first[r.count], c.lens.size());
        for (size_t k = 0; k < r.count; ++k) {
            EXPECT_EQ(r.first[k], c.firsts[k]);
            const msghdr &h = r.hdr[k].msg_hdr;
            const size_t n = r.first[k + 1] - r.first[k];
            EXPECT_EQ(h.msg_iov, &iov[r.first[k]]);
            EXPECT_EQ(h.msg_iovlen, n);
            EXPECT_EQ(h.msg_name, &to);
            // A run carries its segment size; a lone datagram goes plain.
            const cmsghdr *cm = n > 1 ? CMSG_FIRSTHDR(&h) : nullptr;
            EXPECT_EQ(h.msg_controllen == 0, n == 1);
            if (cm) {
                uint16_t seg = 0;
                memcpy(&seg, CMSG_DATA(cm), sizeof seg);
                EXPECT_TRUE(cm->cmsg_level == SOL_UDP && cm->cmsg_type == UDP_SEGMENT);
                EXPECT_EQ(seg, c.lens[r.first[k]]);
            }
        }
    }
}
