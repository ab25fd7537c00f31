// The static task list: fields, options, and the lines that stop loading.
#include "tasklist.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cfg.h"
#include "log.h"
#include "registry.h"
#include "support.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct LineCase {
    const char *line;
    int rc;
    const char *src, *alt, *dst, *cid;
    int ttl;
    char dalign;
    size_t opkt;
};

const LineCase LINE_CASES[] = {
    {"udp://239.1.1.1:5000 udp://10.0.0.5:6000\n", 0, "udp://239.1.1.1:5000", nullptr,
     "udp://10.0.0.5:6000", nullptr, 0, 0, 0},
    {"udp://239.1.1.1:5000|udp://239.1.1.2:5000\tudp://10.0.0.5:6000\tOPKT=a1316;TTL=8;CID=news\r\n",
     0, "udp://239.1.1.1:5000", "udp://239.1.1.2:5000", "udp://10.0.0.5:6000", "news", 8, 'a', 0},
    {"s d news", 0, "s", nullptr, "d", "news", 0, 0, 0},
    {"s d TTL=8", 0, "s", nullptr, "d", "TTL=8", 0, 0, 0},
    {"s d TTL=8;", 0, "s", nullptr, "d", nullptr, 8, 0, 0},
    {"s d OPKT=1400;", 0, "s", nullptr, "d", nullptr, 0, 0, 0},
    {"s d opkt=A1500;", 0, "s", nullptr, "d", nullptr, 0, 'A', 1500},
    {"s d OPKT=5000;", 0, "s", nullptr, "d", nullptr, 0, 0, 5000},
    {"s d OPKT=5001;", 0, "s", nullptr, "d", nullptr, 0, 0, 0},
    {"s d CID=a;CID=b;", 0, "s", nullptr, "d", "a", 0, 0, 0},
    {"s  d", 0, "s", nullptr, "", "d", 0, 0, 0},
    {"s|\td", 0, "s", "", "d", nullptr, 0, 0, 0},
    {"only-a-source\n", -1, nullptr, nullptr, nullptr, nullptr, 0, 0, 0},
};

TEST(tasklist, LinesAndOptions)
{
    LogCapture log;
    for (const LineCase &c : LINE_CASES) {
        std::string line = c.line;
        task_line tl;
        ASSERT_EQ(parse_task_line(line.data(), &tl), c.rc) << c.line;
        if (c.rc != 0) continue;
        EXPECT_STREQ(tl.src, c.src) << c.line;
        if (c.alt)
            EXPECT_STREQ(tl.alt, c.alt) << c.line;
        else
            EXPECT_EQ(tl.alt, nullptr) << c.line;
        EXPECT_STREQ(tl.dst, c.dst) << c.line;
        if (c.cid)
            EXPECT_STREQ(tl.cid, c.cid) << c.line;
        else
            EXPECT_EQ(tl.cid, nullptr) << c.line;
        EXPECT_EQ(tl.opt.ttl, c.ttl) << c.line;
        EXPECT_EQ(tl.opt.dalign, c.dalign) << c.line;
        EXPECT_EQ(tl.opt.max_outpkt, c.opkt) << c.line;
    }
    const std::string text = log.text();
    EXPECT_THAT(text, HasSubstr("missing destination: [only-a-source]\n"));
    EXPECT_THAT(text, HasSubstr("parse_opkt: invalid max_outpkt_len: [1400]\n"));
    EXPECT_THAT(text, HasSubstr("parse_opkt: invalid max_outpkt_len: [5001]\n"));
    EXPECT_THAT(text, Not(HasSubstr("invalid max_outpkt_len: [5000]")));
    EXPECT_THAT(text, HasSubstr("parse_rest: CID already given [a]\n"));
}

// The registry with room for no task: a line that parses fails at add_task.
class tasklist_file : public ::testing::Test {
protected:
    TempDir dir_;
    void SetUp() override
    {
        g_cfg.max_tasks = 0;
        ASSERT_EQ(xvlst_mmap_fixed(&g_app.curr_tasks, 1, TASK_BLKSZ), 0);
        ASSERT_EQ(skht_create(&g_app.task_ht, 1, plHash, nullptr, 0), 0);
    }
    void TearDown() override
    {
        skht_destroy(g_app.task_ht, nullptr);
        xvlst_reset(&g_app.curr_tasks);
        g_app = tavel_ctx{};
        g_cfg = tavel_cfg{};
    }
    int load(const std::string &text, std::string *log_text)
    {
        write_file(dir_.file("tasks"), text);
        LogCapture log;
        g_mod_ll[LM_DEFAULT] = INFO_level;
        const int rc = load_tasks(dir_.file("tasks").c_str());
        g_mod_ll[LM_DEFAULT] = NORM_level;
        *log_text = log.text();
        return rc;
    }
};

TEST_F(tasklist_file, WhatStopsTheLoading)
{
    std::string log;
    EXPECT_EQ(load_tasks(dir_.file("absent").c_str()), -1);
    EXPECT_EQ(load("# nothing but a comment\n#\n", &log), 0);
    EXPECT_THAT(log, HasSubstr("load_tasks: done\n"));

    EXPECT_EQ(load("# a blank line\n\nudp://1.2.3.4:5 udp://1.2.3.4:6\n", &log), -1);
    EXPECT_THAT(log, HasSubstr("missing destination: []\n"));
    EXPECT_THAT(log, ::testing::Not(HasSubstr("limit on tasks")));

    // A line of 127 characters passes the reader (and reaches add_task); one
    // of 128 stops the loading whole instead of being split.
    const std::string src = "udp://239.1.1.1:5000 udp://1.2.3.4:6 ";
    const std::string ok = src + std::string(127 - src.size(), 'c');
    EXPECT_EQ(load(ok + "\r\n", &log), -1);
    EXPECT_THAT(log, HasSubstr("limit on tasks exceeded"));
    EXPECT_EQ(load(ok + "c\n" + "udp://239.1.1.1:5000 udp://1.2.3.4:6\n", &log), -1);
    EXPECT_THAT(log, HasSubstr("load_tasks: [" + dir_.file("tasks") +
                               "] line 1 is longer than 127 characters\n"));
    EXPECT_THAT(log, ::testing::Not(HasSubstr("limit on tasks")));
}

}  // namespace
