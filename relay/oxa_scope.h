#pragma once
// Which groups the agent reports: a range of addresses (-g, -G) and a list
// of groups read from a file (-F).  A group is in scope when it lies in the
// range or is listed.
#include <cstdint>

namespace oxa {

// Longest entry of a group-list line, line end excluded.
constexpr int GRP_LINE_MAX = 62;

// True for an IPv4 multicast address (224.0.0.0/4), given in host order.
constexpr bool is_mcast_group(uint32_t host_addr) noexcept
{
    return uint32_t(host_addr + 0x20000000u) < 0x10000000u;
}

// True for a group of the link-local block 224.0.0.0/24 (host order):
// routers never forward it, so it is never relayed.
constexpr bool is_link_local_group(uint32_t host_addr) noexcept
{
    return (host_addr & 0xffffff00u) == 0xe0000000u;
}

// Whether group (network order) is to be reported: always when neither a
// bound nor a list is set; else when it lies within the bounds set, or is
// in the loaded list.  A corrupt list table aborts the process.
bool in_scope(int32_t group) noexcept;

// Reads the group list at path, one multicast address a line (any form
// inet_aton takes), and puts it in place of the loaded list.  0; -1 for a
// file that cannot be opened or read, or at its first bad line (not an
// address, not multicast, repeated, empty, over GRP_LINE_MAX characters):
// the loaded list is then left as it was; the table's error code when no
// table can be made.  Every refusal is logged.
int load_group_list(const char *path) noexcept;

}  // namespace oxa
