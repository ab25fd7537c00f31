#pragma once
// IGMP messages as they lie in a captured Ethernet frame: the 8-byte IGMP
// header, the message types the agent knows, and accessors of the IPv4
// header that carries it.  Everything stays in network byte order.
#include <cstddef>
#include <cstdint>

// Layout of a captured frame.
constexpr size_t FRAME_ETH_HLEN = 14;       // Ethernet header
constexpr size_t FRAME_ETHERTYPE_OFF = 12;  // Ethertype within it
constexpr uint16_t FRAME_ETHERTYPE_IPV4 = 0x0800;
// VLAN tags: 802.1Q, and the 802.1ad outer tag.
constexpr uint16_t FRAME_ETHERTYPE_VLAN = 0x8100;
constexpr uint16_t FRAME_ETHERTYPE_QINQ = 0x88a8;
constexpr size_t FRAME_IPV4_MIN_HLEN = 20;  // IPv4 header without options
constexpr uint8_t FRAME_IPPROTO_IGMP = 2;

// IGMP message types (versions 1 and 2; the version 3 report is known only
// to be ignored).
enum igmp_type : uint8_t {
    IGMPT_QUERY = 0x11,
    IGMPT_V1_REPORT = 0x12,
    IGMPT_V2_REPORT = 0x16,
    IGMPT_LEAVE = 0x17,
    IGMPT_V3_REPORT = 0x22,
};

// The IGMP header; group is the group address in network byte order.
struct igmp_header {
    uint8_t type;
    uint8_t code;   // max response time, not read
    uint16_t csum;  // over the whole IGMP message
    int32_t group;
};

static_assert(sizeof(igmp_header) == 8);
static_assert(offsetof(igmp_header, group) == 4);

// The text of a type for log lines: "query", "v1-report", "v2-report",
// "leave", or "??" for any other.
constexpr const char *igmp_type_str(unsigned type) noexcept
{
    switch (type) {
    case IGMPT_QUERY: return "query";
    case IGMPT_V1_REPORT: return "v1-report";
    case IGMPT_V2_REPORT: return "v2-report";
    case IGMPT_LEAVE: return "leave";
    default: return "??";
    }
}

// Accessors of an IPv4 header at p (at least its first 10 bytes present).
constexpr unsigned ip_version(const uint8_t *p) noexcept { return p[0] >> 4; }
constexpr size_t ip_header_len(const uint8_t *p) noexcept { return size_t(p[0] & 0x0f) * 4; }
constexpr unsigned ip_protocol(const uint8_t *p) noexcept { return p[9]; }
constexpr size_t ip_total_len(const uint8_t *p) noexcept { return size_t(p[2]) << 8 | p[3]; }

// The ones' complement sum of the len bytes at p, folded to 16 bits (an odd
// last byte counts as the high half of a word).  A message whose checksum
// holds sums to 0xffff.
constexpr uint16_t inet_sum(const uint8_t *p, size_t len) noexcept
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2) sum += uint32_t(p[i]) << 8 | p[i + 1];
    if (len & 1) sum += uint32_t(p[len - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(sum);
}
