#pragma once
// Ethernet frames carrying IGMP messages, built byte by byte for tests of
// the agent's packet path (fed to it directly, or sent on an interface).
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <vector>

struct igmp_frame_spec {
    uint8_t type = 0x16;         // IGMP type
    const char *group = "239.1.1.1";
    unsigned ihl = 6;            // IPv4 header words; 6 carries the router-alert option
    uint16_t ethertype = 0x0800;
    unsigned ip_version = 4;
    uint8_t ip_proto = 2;
    const char *ip_src = "10.71.0.1";
};

// Internet checksum over len bytes.
inline uint16_t inet_csum(const uint8_t *p, size_t len)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2) sum += uint32_t(p[i] << 8 | p[i + 1]);
    if (len & 1) sum += uint32_t(p[len - 1] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum);
}

// The whole frame: Ethernet header, IPv4 header of s.ihl words (at least the
// 20 fixed bytes are written, whatever s.ihl says), 8 bytes of IGMP.
inline std::vector<uint8_t> make_igmp_frame(const igmp_frame_spec &s)
{
    in_addr group{}, src{};
    inet_aton(s.group, &group);
    inet_aton(s.ip_src, &src);
    const size_t iplen = s.ihl >= 5 ? s.ihl * 4 : 20;
    std::vector<uint8_t> f(14 + iplen + 8, 0);
    const uint32_t g = ntohl(group.s_addr);
    const uint8_t dst_mac[6] = {0x01, 0x00, 0x5e, uint8_t((g >> 16) & 0x7f), uint8_t(g >> 8),
                                uint8_t(g)};
    const uint8_t src_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    memcpy(&f[0], dst_mac, 6);
    memcpy(&f[6], src_mac, 6);
    f[12] = uint8_t(s.ethertype >> 8);
    f[13] = uint8_t(s.ethertype);
    uint8_t *ip = &f[14];
    ip[0] = uint8_t(s.ip_version << 4 | (s.ihl & 0x0f));
    const uint16_t total = uint16_t(iplen + 8);
    ip[2] = uint8_t(total >> 8);
    ip[3] = uint8_t(total);
    ip[8] = 1;  // TTL
    ip[9] = s.ip_proto;
    memcpy(ip + 12, &src, 4);
    memcpy(ip + 16, &group, 4);
    if (iplen >= 24) {
        ip[20] = 0x94;  // router alert
        ip[21] = 0x04;
    }
    const uint16_t ipsum = inet_csum(ip, iplen);
    ip[10] = uint8_t(ipsum >> 8);
    ip[11] = uint8_t(ipsum);
    uint8_t *igmp = ip + iplen;
    igmp[0] = s.type;
    memcpy(igmp + 4, &group, 4);
    const uint16_t isum = inet_csum(igmp, 8);
    igmp[2] = uint8_t(isum >> 8);
    igmp[3] = uint8_t(isum);
    return f;
}
