// Checks of captured frames before the agent reads an IGMP header: every
// refusal in its order, and no read past the captured bytes.
#include "oxa_capture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "igmp.h"
#include "igmp_frames.h"

namespace {

// The frame in a buffer of exactly its size, so that ASan sees an overread.
oxa::frame_check check(const std::vector<uint8_t> &frame, oxa::igmp_frame *f)
{
    std::vector<uint8_t> exact(frame);
    exact.shrink_to_fit();
    return oxa::check_igmp_frame(exact.data(), exact.size(), f);
}

std::vector<uint8_t> cut(std::vector<uint8_t> f, size_t len)
{
    f.resize(len);
    return f;
}

TEST(oxa_frame, checks_in_order)
{
    igmp_frame_spec v2;                 // IHL 6: 14 + 24 + 8 = 46 bytes
    igmp_frame_spec plain;
    plain.ihl = 5;                      // 14 + 20 + 8 = 42 bytes
    igmp_frame_spec ipv6_type = v2;
    ipv6_type.ethertype = 0x86dd;
    igmp_frame_spec v6 = v2;
    v6.ip_version = 6;
    igmp_frame_spec udp = v2;
    udp.ip_proto = 17;
    igmp_frame_spec ihl4 = v2;
    ihl4.ihl = 4;
    igmp_frame_spec ihl15 = v2;
    ihl15.ihl = 15;

    struct frame_case {
        const char *name;
        std::vector<uint8_t> frame;
        oxa::frame_check rc;
    };
    const std::vector<frame_case> cases = {
        {"33 bytes", cut(make_igmp_frame(v2), 33), oxa::FRAME_TOO_SMALL},
        {"empty", {}, oxa::FRAME_TOO_SMALL},
        // 34 bytes pass the size check, but hold no IGMP header.
        {"34 bytes", cut(make_igmp_frame(plain), 34), oxa::FRAME_BAD_HLEN},
        {"IPv6 ethertype", make_igmp_frame(ipv6_type), oxa::FRAME_NOT_IP},
        {"IP version 6", make_igmp_frame(v6), oxa::FRAME_NOT_IPV4},
        {"UDP", make_igmp_frame(udp), oxa::FRAME_NOT_IGMP},
        {"IHL 4", make_igmp_frame(ihl4), oxa::FRAME_BAD_HLEN},
        {"IHL 15 in 50 bytes", cut(make_igmp_frame(ihl15), 50), oxa::FRAME_BAD_HLEN},
        {"IHL 6, header cut by one", cut(make_igmp_frame(v2), 45), oxa::FRAME_BAD_HLEN},
        {"IHL 6, header whole", make_igmp_frame(v2), oxa::FRAME_IGMP},
        {"IHL 5, header whole", make_igmp_frame(plain), oxa::FRAME_IGMP},
        {"IHL 15, header whole", make_igmp_frame(ihl15), oxa::FRAME_IGMP},
    };
    for (const auto &c : cases) {
        oxa::igmp_frame f{};
        EXPECT_EQ(check(c.frame, &f), c.rc) << c.name;
    }
}

TEST(oxa_frame, fields_found)
{
    igmp_frame_spec s;
    s.type = IGMPT_LEAVE;
    s.group = "239.7.8.9";
    oxa::igmp_frame f{};
    ASSERT_EQ(check(make_igmp_frame(s), &f), oxa::FRAME_IGMP);
    EXPECT_EQ(f.ip_hlen, 24u);
    EXPECT_EQ(f.igmp.type, IGMPT_LEAVE);
    in_addr a{};
    a.s_addr = uint32_t(f.igmp.group);
    EXPECT_STREQ(inet_ntoa(a), "239.7.8.9");

    // The Ethertype as it lies in memory, for the non-IP log line.
    s.ethertype = 0x86dd;
    ASSERT_EQ(check(make_igmp_frame(s), &f), oxa::FRAME_NOT_IP);
    EXPECT_EQ(ntohs(f.ether_type), 0x86dd);
}

TEST(oxa_frame, type_texts)
{
    EXPECT_STREQ(igmp_type_str(0x11), "query");
    EXPECT_STREQ(igmp_type_str(0x12), "v1-report");
    EXPECT_STREQ(igmp_type_str(0x16), "v2-report");
    EXPECT_STREQ(igmp_type_str(0x17), "leave");
    EXPECT_STREQ(igmp_type_str(0x22), "??");
    EXPECT_STREQ(igmp_type_str(0), "??");
}

TEST(oxa_frame, ip_header_accessors)
{
    const uint8_t ip[10] = {0x46, 0, 0, 0, 0, 0, 0, 0, 1, 2};
    EXPECT_EQ(ip_version(ip), 4u);
    EXPECT_EQ(ip_header_len(ip), 24u);
    EXPECT_EQ(ip_protocol(ip), 2u);
}

}  // namespace
