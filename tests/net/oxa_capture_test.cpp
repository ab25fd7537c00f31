// The agent's packet path fed with crafted frames: the capture callback,
// the reported-groups table and the reporter, delivering to a real UDP
// receiver on 127.0.0.1 (or to a stream).
#include "oxa_capture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gkh.h"
#include "igmp_frames.h"
#include "log.h"
#include "oxa_app.h"
#include "oxa_ctx.h"
#include "oxa_report.h"
#include "oxa_scope.h"
#include "support.h"

namespace {

uint32_t host(const char *dotted)
{
    in_addr a{};
    inet_aton(dotted, &a);
    return ntohl(a.s_addr);
}

igmp_frame_spec msg(uint8_t type, const char *group)
{
    igmp_frame_spec s;
    s.type = type;
    s.group = group;
    return s;
}

class OxaPacketPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
        rx.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(rx.fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(rx.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ASSERT_EQ(getsockname(rx.fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
        snprintf(oxa::g_cfg.report_url, sizeof oxa::g_cfg.report_url, "udp://127.0.0.1:%u",
                 unsigned(ntohs(a.sin_port)));
        strcpy(oxa::g_cfg.mifc, "vb");
        oxa::g_cfg.log_level = INFO_level;
        ASSERT_EQ(nkht_create(&oxa::g_ctx.wgrp_ht, oxa::GROUP_HT_SIZE, tw_shift), 0);
        ASSERT_EQ(oxa::reporter_setup(), 0);
        ASSERT_GE(oxa::g_ctx.rep.sockfd, 0);
    }
    void TearDown() override { reset(); }

    static void reset()
    {
        oxa::app_shutdown();
        if (oxa::g_ctx.scope_ht) nkht_destroy(oxa::g_ctx.scope_ht, nullptr);
        oxa::g_ctx.scope_ht = 0;
        oxa::g_cfg = oxa::app_cfg{};
        g_mod_ll[LM_DEFAULT] = NORM_level;
    }

    // Hands the frame to the capture callback in a buffer of its exact size.
    static void feed(std::vector<uint8_t> frame)
    {
        frame.shrink_to_fit();
        pcap_pkthdr h{};
        h.caplen = h.len = bpf_u_int32(frame.size());
        oxa::on_pcap_pkt(nullptr, &h, frame.data());
    }
    static void feed(const igmp_frame_spec &s) { feed(make_igmp_frame(s)); }

    // The datagram waiting at the receiver, or "" when none is.  Loopback
    // delivers within the send call, so there is nothing to wait for.
    std::string next_datagram()
    {
        char buf[256];
        const ssize_t n = recv(rx.fd, buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, size_t(n)) : std::string();
    }

    Fd rx;
    LogCapture log;
};

TEST_F(OxaPacketPath, one_join_per_group_until_its_leave)
{
    struct step {
        igmp_frame_spec frame;
        const char *datagram;  // "" for none
    };
    igmp_frame_spec no_option = msg(IGMPT_V2_REPORT, "239.1.1.4");
    no_option.ihl = 5;
    const std::vector<step> steps = {
        {msg(IGMPT_V2_REPORT, "239.1.1.1"), "JOIN UDP://239.1.1.1\n"},
        {msg(IGMPT_V2_REPORT, "239.1.1.1"), ""},  // another host, same group
        {msg(IGMPT_V1_REPORT, "239.1.1.2"), "JOIN UDP://239.1.1.2\n"},
        {msg(IGMPT_V3_REPORT, "239.1.1.3"), ""},
        {msg(IGMPT_QUERY, "239.1.1.1"), ""},
        {msg(0x42, "239.1.1.3"), ""},
        {msg(IGMPT_LEAVE, "239.1.1.1"), "LEAVE UDP://239.1.1.1\n"},
        {msg(IGMPT_LEAVE, "239.1.1.1"), ""},
        {msg(IGMPT_LEAVE, "239.9.9.9"), ""},  // never reported
        {msg(IGMPT_V2_REPORT, "239.1.1.1"), "JOIN UDP://239.1.1.1\n"},
        {no_option, "JOIN UDP://239.1.1.4\n"},
        {msg(IGMPT_V2_REPORT, "224.0.0.100"), "JOIN UDP://224.0.0.100\n"},
    };
    for (const auto &s : steps) {
        feed(s.frame);
        EXPECT_EQ(next_datagram(), s.datagram)
            << igmp_type_str(s.frame.type) << " " << s.frame.group;
    }
    EXPECT_EQ(nkht_count(oxa::g_ctx.wgrp_ht), 4u);
    const std::string text = log.text();
    EXPECT_NE(text.find("relay_msg: 21 bytes sent: JOIN UDP://239.1.1.1\n"), std::string::npos);
    EXPECT_NE(text.find("relay_msg: 22 bytes sent: LEAVE UDP://239.1.1.1\n"), std::string::npos);
    EXPECT_EQ(text.find("(ERR)"), std::string::npos) << text;
}

TEST_F(OxaPacketPath, malformed_frames_are_logged_and_dropped)
{
    igmp_frame_spec v6 = msg(IGMPT_V2_REPORT, "239.1.1.1");
    v6.ip_version = 6;
    igmp_frame_spec ipv6_type = msg(IGMPT_V2_REPORT, "239.1.1.1");
    ipv6_type.ethertype = 0x86dd;
    igmp_frame_spec udp = msg(IGMPT_V2_REPORT, "239.1.1.1");
    udp.ip_proto = 17;
    igmp_frame_spec ihl4 = msg(IGMPT_V2_REPORT, "239.1.1.1");
    ihl4.ihl = 4;
    igmp_frame_spec ihl15 = msg(IGMPT_V2_REPORT, "239.1.1.1");
    ihl15.ihl = 15;
    std::vector<uint8_t> short_frame = make_igmp_frame(msg(IGMPT_V2_REPORT, "239.1.1.1"));
    short_frame.resize(33);
    std::vector<uint8_t> truncated = make_igmp_frame(ihl15);
    truncated.resize(50);
    std::vector<uint8_t> cut_header = make_igmp_frame(msg(IGMPT_V2_REPORT, "239.1.1.1"));
    cut_header.resize(cut_header.size() - 1);

    struct bad_case {
        std::vector<uint8_t> frame;
        const char *line;
    };
    const std::vector<bad_case> cases = {
        {short_frame, "(ERR)  on_pcap_pkt: packet is too small: 33 bytes\n"},
        {make_igmp_frame(ipv6_type), "(ERR)  on_pcap_pkt: got non-IP packet: type=dd86\n"},
        {make_igmp_frame(v6), "(ERR)  on_pcap_pkt: non-IPv4: 6\n"},
        {make_igmp_frame(udp), "(ERR)  on_pcap_pkt: proto=17 - non-IGMP packet\n"},
        {make_igmp_frame(ihl4), "on_pcap_pkt: bad IPv4 header length 16 for 42 bytes"},
        {truncated, "on_pcap_pkt: bad IPv4 header length 60 for 50 bytes"},
        {cut_header, "on_pcap_pkt: bad IPv4 header length 24 for 45 bytes"},
    };
    for (const auto &c : cases) {
        log.clear();
        feed(c.frame);
        EXPECT_NE(log.text().find(c.line), std::string::npos) << c.line << "\n" << log.text();
        EXPECT_EQ(next_datagram(), "") << c.line;
    }
    EXPECT_EQ(nkht_count(oxa::g_ctx.wgrp_ht), 0u);
    // The path goes on after them.
    feed(msg(IGMPT_V2_REPORT, "239.1.1.1"));
    EXPECT_EQ(next_datagram(), "JOIN UDP://239.1.1.1\n");
}

TEST_F(OxaPacketPath, out_of_scope_groups_are_not_remembered)
{
    oxa::g_cfg.min_group = host("239.1.1.1");
    oxa::g_cfg.max_group = host("239.1.1.9");
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    feed(msg(IGMPT_V2_REPORT, "239.2.2.2"));
    EXPECT_EQ(next_datagram(), "");
    EXPECT_NE(log.text().find("on_pcap_pkt: address out of scope: 239.2.2.2\n"), std::string::npos);
    feed(msg(IGMPT_LEAVE, "239.2.2.2"));
    EXPECT_EQ(next_datagram(), "");
    feed(msg(IGMPT_V2_REPORT, "239.1.1.9"));
    EXPECT_EQ(next_datagram(), "JOIN UDP://239.1.1.9\n");
    EXPECT_EQ(nkht_count(oxa::g_ctx.wgrp_ht), 1u);
    // Each frame is bracketed by its BEGIN and END lines.
    const std::string text = log.text();
    size_t begins = 0, ends = 0;
    for (size_t p = 0; (p = text.find("on_pcap_pkt: BEGIN\n", p)) != std::string::npos; ++p) ++begins;
    for (size_t p = 0; (p = text.find("on_pcap_pkt: END\n", p)) != std::string::npos; ++p) ++ends;
    EXPECT_EQ(begins, 3u);
    EXPECT_EQ(ends, 3u);
}

TEST_F(OxaPacketPath, debug_level_dumps_frame_and_message)
{
    oxa::g_cfg.log_level = DEBUG_level;
    feed(msg(IGMPT_V2_REPORT, "239.1.1.5"));
    const std::string text = log.text();
    EXPECT_NE(text.find("02:00:00:00:00:01 -> 01:00:5e:01:01:05 [0800]\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("v2-report/16 239.1.1.5\n"), std::string::npos) << text;
    EXPECT_EQ(next_datagram(), "JOIN UDP://239.1.1.5\n");
}

TEST_F(OxaPacketPath, stream_mode_writes_one_line_a_message)
{
    FILE *out = tmpfile();
    ASSERT_NE(out, nullptr);
    oxa::reporter_close();
    oxa::g_cfg.report_url[0] = '\0';
    ASSERT_EQ(oxa::reporter_setup(), 0);
    EXPECT_EQ(oxa::g_ctx.rep.fp, stdout);
    EXPECT_EQ(oxa::g_ctx.rep.sockfd, -1);
    oxa::g_ctx.rep.fp = out;

    feed(msg(IGMPT_V2_REPORT, "239.1.1.1"));
    feed(msg(IGMPT_V2_REPORT, "239.1.1.1"));
    feed(msg(IGMPT_LEAVE, "239.1.1.1"));
    fflush(out);
    rewind(out);
    char buf[256] = {};
    const size_t n = fread(buf, 1, sizeof buf - 1, out);
    EXPECT_EQ(std::string(buf, n), "JOIN UDP://239.1.1.1\nLEAVE UDP://239.1.1.1\n");
    EXPECT_NE(log.text().find("relay_msg: 21 bytes output: JOIN UDP://239.1.1.1\n"),
              std::string::npos);
    oxa::reporter_close();  // closes the stream: it is not stdout
    EXPECT_EQ(oxa::g_ctx.rep.fp, nullptr);
}

TEST_F(OxaPacketPath, message_size_limit)
{
    const std::string fits(125, 'x');  // 126 bytes with the line end
    oxa::relay_msg("%s\n", fits.c_str());
    EXPECT_EQ(next_datagram(), fits + "\n");
    oxa::relay_msg("%s\n", (fits + "x").c_str());
    EXPECT_EQ(next_datagram(), "");
    EXPECT_NE(log.text().find("relay_msg: not enough buffer space\n"), std::string::npos);
    oxa::relay_msg("%s", "");
    EXPECT_EQ(next_datagram(), "");
}

TEST_F(OxaPacketPath, socket_on_descriptor_zero_is_used)
{
    // A daemon started with stdin closed may get descriptor 0 for its
    // socket; it is a socket like any other.
    const int saved_stdin = dup(STDIN_FILENO);
    ASSERT_GE(saved_stdin, 0);
    ASSERT_EQ(dup2(oxa::g_ctx.rep.sockfd, STDIN_FILENO), STDIN_FILENO);
    close(oxa::g_ctx.rep.sockfd);
    oxa::g_ctx.rep.sockfd = STDIN_FILENO;
    feed(msg(IGMPT_V2_REPORT, "239.1.1.1"));
    const std::string got = next_datagram();
    oxa::g_ctx.rep.sockfd = dup(STDIN_FILENO);
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    EXPECT_EQ(got, "JOIN UDP://239.1.1.1\n");
}

TEST_F(OxaPacketPath, shutdown_sends_no_leave)
{
    feed(msg(IGMPT_V2_REPORT, "239.1.1.1"));
    feed(msg(IGMPT_V2_REPORT, "239.1.1.2"));
    EXPECT_EQ(next_datagram(), "JOIN UDP://239.1.1.1\n");
    EXPECT_EQ(next_datagram(), "JOIN UDP://239.1.1.2\n");
    oxa::app_shutdown();
    EXPECT_EQ(oxa::g_ctx.wgrp_ht, 0);
    EXPECT_EQ(oxa::g_ctx.rep.sockfd, -1);
    EXPECT_EQ(next_datagram(), "");
    oxa::app_shutdown();  // repeating it does no harm
}

TEST(oxa_report, bad_report_address_fails_setup)
{
    LogCapture log;
    oxa::g_cfg = oxa::app_cfg{};
    strcpy(oxa::g_cfg.report_url, "udp://127.0.0.1:99999");
    EXPECT_EQ(oxa::reporter_setup(), -1);
    EXPECT_EQ(oxa::g_ctx.rep.sockfd, -1);
    EXPECT_NE(log.text().find("reporter_setup: failed to open [udp://127.0.0.1:99999]\n"),
              std::string::npos);
    oxa::reporter_close();
    oxa::g_cfg = oxa::app_cfg{};
}

}  // namespace
