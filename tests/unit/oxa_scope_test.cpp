// The agent's group scope: the range of -g/-G and the group list add up.
#include "oxa_scope.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "gkh.h"
#include "oxa_ctx.h"
#include "support.h"

namespace {

uint32_t host(const char *dotted)
{
    in_addr a{};
    inet_aton(dotted, &a);
    return ntohl(a.s_addr);
}

TEST(oxa_scope, range_and_list_add_up)
{
    struct scope_case {
        const char *min, *max;  // "" for no bound
        const char *list;       // file text, nullptr for no list
        const char *group;
        bool in;
    };
    const scope_case cases[] = {
        {"", "", nullptr, "10.0.0.1", true},  // no scope at all: everything
        {"239.0.0.1", "239.0.0.9", nullptr, "239.0.0.9", true},
        {"239.0.0.1", "239.0.0.9", nullptr, "239.0.0.10", false},
        {"239.0.0.1", "239.0.0.9", "239.0.0.10\n", "239.0.0.10", true},
        {"239.0.0.5", "", nullptr, "239.0.0.4", false},
        {"239.0.0.5", "", nullptr, "239.255.0.1", true},
        {"", "239.0.0.5", nullptr, "224.0.0.1", true},
        {"", "239.0.0.5", nullptr, "240.0.0.1", false},  // compared unsigned
        {"", "", "239.2.2.2\n", "239.2.2.3", false},
        {"", "", "", "239.2.2.2", false},  // an empty list: nothing outside the range
    };
    TempDir dir;
    for (const auto &c : cases) {
        if (oxa::g_ctx.scope_ht) nkht_destroy(oxa::g_ctx.scope_ht, nullptr);
        oxa::g_ctx.scope_ht = 0;
        oxa::g_cfg.min_group = *c.min ? host(c.min) : 0;
        oxa::g_cfg.max_group = *c.max ? host(c.max) : 0;
        if (c.list) {
            write_file(dir.file("list"), c.list);
            ASSERT_EQ(oxa::load_group_list(dir.file("list").c_str()), 0);
        }
        EXPECT_EQ(oxa::in_scope(int32_t(htonl(host(c.group)))), c.in)
            << c.min << "-" << c.max << " list " << (c.list ? c.list : "none") << c.group;
    }
}

}  // namespace
