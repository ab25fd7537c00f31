#pragma once
// The agent's packet path: the live capture of IGMP on one interface, the
// checks of each captured frame, and the table of reported groups that
// turns first reports into JOIN and leaves into LEAVE messages.
#include <net/ethernet.h>
#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "igmp.h"

namespace oxa {

// Snapshot length of the capture, and the longest wait of an idle capture
// before the loop looks at its quit flag again (packets are handed over as
// they come, never held for it).
constexpr int CAPTURE_SNAPLEN = 8192;
constexpr int CAPTURE_TIMEOUT_MS = 5000;
// A frame must be longer than this to hold Ethernet and IPv4 headers.
constexpr uint32_t FRAME_MIN_CAPLEN = 33;

// Outcome of the checks of a captured frame, in the order they are made.
enum frame_check : int {
    FRAME_IGMP = 0,       // an IGMP header lies whole within the frame
    FRAME_TOO_SMALL = 1,  // caplen <= FRAME_MIN_CAPLEN
    FRAME_NOT_IP = 2,     // the Ethertype is not IPv4
    FRAME_NOT_IPV4 = 3,   // the IP version is not 4
    FRAME_NOT_IGMP = 4,   // the IP protocol is not IGMP
    FRAME_BAD_HLEN = 5,   // IHL below 5, or the IGMP header ends past caplen
    FRAME_VLAN = 6,       // the Ethertype is a VLAN tag
};

// What the checks found; the fields are set up to the check that failed.
struct igmp_frame {
    uint16_t ether_type;  // as it lies in memory (network order)
    unsigned ip_ver;
    unsigned ip_proto;
    size_t ip_hlen;    // IHL x 4
    igmp_header igmp;  // a copy, valid for FRAME_IGMP
    // The IGMP message is the IP payload, as long as the IP header says:
    // the bytes after it in the frame are link-layer padding.  csum_ok is
    // false when the frame does not hold the message whole.
    size_t igmp_len;
    bool csum_ok;
};

// Checks the caplen bytes of an Ethernet frame; never reads past them.
frame_check check_igmp_frame(const uint8_t *bytes, size_t caplen, igmp_frame *f) noexcept;

// One line each: "<src> -> <dst> [<ethertype>]" and "<type>/<value> <group>";
// nothing when fp is null.
void dump_ether(FILE *fp, const ether_header *eh) noexcept;
void dump_igmp(FILE *fp, const igmp_header *igmp) noexcept;

// The capture callback: checks one frame (logged and dropped when foreign
// or malformed), and for an in-scope group sends JOIN on its first report
// and LEAVE on a leave while it is in the reported-groups table.  A
// VLAN-tagged frame, a report or leave with a bad checksum, or one for an
// address that is no multicast group or a link-local one, is counted in
// g_ctx.drops and dropped; a
// report for a new group while WGRP_MAX are held is refused (counted in
// g_ctx.refused, warned of at most once a minute).
void on_pcap_pkt(u_char *user, const pcap_pkthdr *header, const u_char *bytes) noexcept;

// Opens the capture of IGMP on ifc into g_ctx.handle, in immediate mode,
// after installing the quit-signal handler.  0, or -1 (logged) when the
// interface cannot be captured, is not Ethernet, or the filter cannot be
// set.
int pcap_setup(const char *ifc) noexcept;

// Closes the capture; repeating it does nothing.
void pcap_teardown() noexcept;

}  // namespace oxa
