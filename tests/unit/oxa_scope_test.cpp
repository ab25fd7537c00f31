// The agent's group scope: the range of -g/-G, the group-list file, and how
// the two add up.
#include "oxa_scope.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gkh.h"
#include "log.h"
#include "oxa_ctx.h"
#include "support.h"

namespace {

uint32_t host(const char *dotted)
{
    in_addr a{};
    EXPECT_NE(inet_aton(dotted, &a), 0) << dotted;
    return ntohl(a.s_addr);
}

int32_t net(const char *dotted) { return int32_t(htonl(host(dotted))); }

class OxaScope : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        if (oxa::g_ctx.scope_ht) nkht_destroy(oxa::g_ctx.scope_ht, nullptr);
        oxa::g_ctx.scope_ht = 0;
        oxa::g_cfg = oxa::app_cfg{};
    }
    // Loads a list file with the given text; the load's result.
    int load(const std::string &text)
    {
        const std::string path = dir.file("groups");
        write_file(path, text);
        return oxa::load_group_list(path.c_str());
    }
    TempDir dir;
    LogCapture log;
};

TEST(oxa_scope, multicast_test_is_224_slash_4)
{
    EXPECT_TRUE(oxa::is_mcast_group(host("224.0.0.0")));
    EXPECT_TRUE(oxa::is_mcast_group(host("239.255.255.255")));
    EXPECT_FALSE(oxa::is_mcast_group(host("223.255.255.255")));
    EXPECT_FALSE(oxa::is_mcast_group(host("240.0.0.0")));
    EXPECT_FALSE(oxa::is_mcast_group(0));
}

TEST_F(OxaScope, range_and_list_add_up)
{
    struct scope_case {
        const char *min, *max;  // "" for no bound
        const char *list;       // nullptr: no list loaded
        const char *group;
        bool in;
    };
    const std::vector<scope_case> cases = {
        {"", "", nullptr, "239.1.1.1", true},
        {"", "", nullptr, "10.0.0.1", true},  // no scope at all: everything
        {"239.0.0.1", "239.0.0.9", nullptr, "239.0.0.5", true},
        {"239.0.0.1", "239.0.0.9", nullptr, "239.0.0.1", true},
        {"239.0.0.1", "239.0.0.9", nullptr, "239.0.0.9", true},
        {"239.0.0.1", "239.0.0.9", nullptr, "239.0.0.10", false},
        {"239.0.0.1", "239.0.0.9", nullptr, "239.0.0.0", false},
        {"239.0.0.1", "239.0.0.9", "239.0.0.10\n", "239.0.0.10", true},
        {"239.0.0.1", "239.0.0.9", "239.0.0.10\n", "239.0.0.11", false},
        {"239.0.0.5", "", nullptr, "239.0.0.4", false},
        {"239.0.0.5", "", nullptr, "239.255.0.1", true},
        {"", "239.0.0.5", nullptr, "239.0.0.5", true},
        {"", "239.0.0.5", nullptr, "224.0.0.1", true},
        {"", "239.0.0.5", nullptr, "239.0.0.6", false},
        // Bounds compare unsigned: 240.x is above every multicast bound.
        {"", "239.0.0.5", nullptr, "240.0.0.1", false},
        {"224.0.0.1", "", nullptr, "10.0.0.1", false},
        {"", "", "239.2.2.2\n", "239.2.2.2", true},
        {"", "", "239.2.2.2\n", "239.2.2.3", false},
        {"", "", "", "239.2.2.2", false},  // an empty list: nothing outside the range
    };
    for (const auto &c : cases) {
        reset();
        if (*c.min) oxa::g_cfg.min_group = host(c.min);
        if (*c.max) oxa::g_cfg.max_group = host(c.max);
        if (c.list) {
            ASSERT_EQ(load(c.list), 0);
        }
        EXPECT_EQ(oxa::in_scope(net(c.group)), c.in)
            << c.min << "-" << c.max << " list " << (c.list ? c.list : "none") << " " << c.group;
    }
}

TEST_F(OxaScope, group_list_files)
{
    const std::string long_pad(62 - 9, ' ');
    struct list_case {
        std::string text;
        int rc;
        size_t count;         // entries of a loaded list
        const char *message;  // expected in the log, or nullptr
    };
    const std::vector<list_case> cases = {
        {"239.1.1.1\n239.1.1.2\n", 0, 2, "load_group_list: 2 enties added"},
        {"239.1.1.1\r\n0xef010102\r\n", 0, 2, nullptr},  // CR LF, inet_aton's hex form
        {"239.1.1.1", 0, 1, nullptr},                      // no final line end
        {"", 0, 0, "0 enties added"},
        {"239.1.1.1" + long_pad + "\n", 0, 1, nullptr},  // 62 characters
        {"239.1.1.1\n\n", -1, 0, "error parsing entry at line 2: \n"},
        {"# groups\n", -1, 0, "error parsing entry at line 1: # groups"},
        {"10.0.0.1\n", -1, 0, "]:1 non-multicast address: (0x100000a) 10.0.0.1"},
        {"239.1.1.1\n239.1.1.1\n", -1, 0, "duplicate at line 2: (16) 239.1.1.1"},
        // A line past 62 characters is refused whole, not read as two
        // entries.
        {"239.1.1.1" + long_pad + "239.1.1.2\n", -1, 0, "line 1 is longer than 62 characters"},
        {"239.1.1.1" + long_pad + " ", -1, 0, "line 1 is longer than 62 characters"},
    };
    for (const auto &c : cases) {
        reset();
        log.clear();
        g_mod_ll[LM_DEFAULT] = DEBUG_level;
        EXPECT_EQ(load(c.text), c.rc) << c.text;
        if (c.rc == 0) {
            ASSERT_NE(oxa::g_ctx.scope_ht, 0) << c.text;
            EXPECT_EQ(nkht_count(oxa::g_ctx.scope_ht), c.count) << c.text;
        } else {
            EXPECT_EQ(oxa::g_ctx.scope_ht, 0) << c.text;
        }
        if (c.message) {
            EXPECT_NE(log.text().find(c.message), std::string::npos) << log.text();
        }
    }
    g_mod_ll[LM_DEFAULT] = NORM_level;
}

TEST_F(OxaScope, failed_load_keeps_the_loaded_list)
{
    ASSERT_EQ(load("239.2.2.2\n"), 0);
    const nkht_t loaded = oxa::g_ctx.scope_ht;
    EXPECT_EQ(load("239.3.3.3\n10.1.1.1\n"), -1);
    EXPECT_EQ(oxa::load_group_list(dir.file("missing").c_str()), -1);
    EXPECT_NE(log.text().find("failed to open ["), std::string::npos);
    EXPECT_EQ(oxa::g_ctx.scope_ht, loaded);
    EXPECT_TRUE(oxa::in_scope(net("239.2.2.2")));
    EXPECT_FALSE(oxa::in_scope(net("239.3.3.3")));

    // A good load replaces the list.
    ASSERT_EQ(load("239.3.3.3\n"), 0);
    EXPECT_FALSE(oxa::in_scope(net("239.2.2.2")));
    EXPECT_TRUE(oxa::in_scope(net("239.3.3.3")));
}

TEST_F(OxaScope, corrupt_list_table_aborts)
{
    ASSERT_EQ(load("239.2.2.2\n"), 0);
    void *bad = reinterpret_cast<void *>(uintptr_t(0x1234));
    ASSERT_EQ(nkht_add(oxa::g_ctx.scope_ht, long(uint32_t(net("239.4.4.4"))), &bad), 0);
    EXPECT_DEATH(
        {
            log_default(&g_log, stderr);
            oxa::in_scope(net("239.4.4.4"));
        },
        "corrupt scope HT");
}

}  // namespace
