// The daemon's loop callbacks: the wait time from time-outs and delays,
// the dispatch that refuses a context it does not know, and the events of
// task registrations dropped earlier in the turn, which reach no handler.
#include "loopcb.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "app.globals.h"
#include "cfg.h"
#include "delay.h"
#include "log.h"
#include "registry.h"
#include "rqs.h"
#include "rtask.h"
#include "support.h"
#include "timeop.h"
#include "tmout.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

long wait_ms()
{
    struct timespec ts;
    upd_tmout(&ts);
    return tms2ms(&ts);
}

int nothing(void *, void *) { return 0; }

class loopcb : public ::testing::Test {
protected:
    void SetUp() override
    {
        init_timeout_registry();
        ASSERT_EQ(dly_init(), 0);
    }
    void TearDown() override
    {
        dly_destroy();
        init_timeout_registry();
    }
};

TEST_F(loopcb, WaitTime)
{
    EXPECT_EQ(wait_ms(), -1);  // nothing held: no limit

    set_timeout(1, 5000);
    EXPECT_EQ(wait_ms(), 5000);
    dly_t d = dly_add_usec(200000, nullptr, 0);
    ASSERT_NE(d, nullptr);
    const long w = wait_ms();
    EXPECT_GT(w, 100);
    EXPECT_LE(w, 200);

    // A delay due now, or within a millisecond, makes the wait 0.
    dly_set_expiry(d, nullptr);
    EXPECT_EQ(wait_ms(), 0);
    rm_timeout(1);
    EXPECT_EQ(wait_ms(), 0);
    EXPECT_EQ(dly_expire(nothing, nullptr), 1);
    dly_rm(d);
    EXPECT_EQ(wait_ms(), -1);

    // A delay alone bounds the wait.
    d = dly_add_usec(1500000, nullptr, 0);
    EXPECT_GT(wait_ms(), 1000);
    EXPECT_LE(wait_ms(), 1500);
    dly_rm(d);

    // A forced report refresh wakes the loop when the report is due: 600 ms
    // after a write 400 ms ago, at once when overdue.
    const struct timespec now = {100, 0};
    rqs_test_set_now(&now);
    g_app.trep = {"/r", {99, 600000000}, true};
    g_cfg.force_refresh_sec = 1;
    EXPECT_EQ(wait_ms(), 600);
    g_app.trep.update_tm = {98, 0};
    EXPECT_EQ(wait_ms(), 0);
    g_app.trep = report_ctx{};
    g_cfg.force_refresh_sec = 0;
    rqs_test_set_now(nullptr);
}

// A log file needs its upkeep about once a second: the wait is bounded by
// it, also with nothing else held.  SIGHUP reopens the file at its path.
TEST_F(loopcb, LogFileBoundsTheWaitAndSighupReopensIt)
{
    TempDir dir;
    const std::string path = dir.file("t.log");
    ASSERT_EQ(log_open(&g_log, path.c_str()), 0);
    const long w = wait_ms();
    EXPECT_GE(w, 0);
    EXPECT_LE(w, 1000);
    ASSERT_EQ(rename(path.c_str(), dir.file("moved").c_str()), 0);
    g_hup = 1;
    do_idle_tasks();
    EXPECT_EQ(g_hup, 0);
    EXPECT_THAT(read_file(path), HasSubstr("reopened (requested)"));
    log_close(&g_log);
    log_default(&g_log, stderr);
    EXPECT_EQ(wait_ms(), -1);
}

// Each event would make its handler act on the task (stamp a read, queue
// the task, end its link); with the registration no longer active the
// handler leaves the task alone.  The active rows show the events do act.
TEST(loopcbDispatch, EventsOfDroppedRegistrationsAreSkipped)
{
    using cb_fn = int (*)(int, int, void *, void *) noexcept;
    const struct Case {
        const char *name;
        cb_fn cb;
        int op;
        uint32_t state;
        int flags;
    } cases[] = {
        {"handshake reply read", on_read, OP_HSR, ST_SUS, 0},
        {"destination hang-up", on_write, OP_WRITE, ST_RLY, RQS_SOCKHUP},
        {"keep-alive link hang-up", on_error, OP_KAR, ST_RLY, RQS_SOCKHUP},
    };
    ASSERT_EQ(xvlst_mmap_fixed(&g_app.pprm_tasks, 4, PPRM_BLKSZ), 0);
    for (const Case &c : cases) {
        for (const bool active : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (active ? ", active" : ", dropped"));
            auto t = std::make_unique<rtask>();
            t->tag.num = RTA_TAG;
            snprintf(t->tid.sym8, sizeof(t->tid.sym8), "U0001");
            snprintf(t->hkey, sizeof(t->hkey), "k");
            t->state.num = c.state;
            t->rcount = 2;
            t->kafd = t->infd = t->outfd = t->hshk_fd = t->altin.sockfd = -1;
            op_ctx *ox = c.op == OP_HSR ? &t->hsr : c.op == OP_WRITE ? &t->writer : &t->kar;
            *ox = op_ctx{};
            ox->tag.num = OPX_TAG;
            ox->op = c.op;
            ox->data = t.get();
            ox->is_active = active;

            LogCapture log;
            g_mod_ll[LM_DEFAULT] = DEBUG_level;
            EXPECT_EQ(c.cb(-1, c.flags, ox, nullptr), 0);
            g_mod_ll[LM_DEFAULT] = NORM_level;
            const bool acted = t->tm.last_read_tm.tv_sec != 0 || g_app.pprm_tasks.len != 0 ||
                               t->rcount != 2 || t->is_quitting || t->must_suspend;
            EXPECT_EQ(acted, active) << log.text();
            const std::string skipped = "op=" + std::to_string(c.op) +
                                        " no longer registered, event skipped";
            if (active)
                EXPECT_THAT(log.text(), Not(HasSubstr(skipped)));
            else
                EXPECT_THAT(log.text(), HasSubstr(skipped));
            xvlst_reset(&g_app.pprm_tasks);
            ASSERT_EQ(xvlst_mmap_fixed(&g_app.pprm_tasks, 4, PPRM_BLKSZ), 0);
        }
    }
    xvlst_reset(&g_app.pprm_tasks);
    g_app = tavel_ctx{};
}

TEST(loopcbDeathTest, UnknownContextTagStopsTheProcess)
{
    char junk[16] = "XYZ\1garbage";
    EXPECT_DEATH(on_read(3, 0, junk, nullptr), "unknown data type: \\[XYZ\\] \\(0x15a5958\\), data corruption detected");
    EXPECT_DEATH(on_write(3, 0, junk, nullptr), "unknown data type");
    EXPECT_DEATH(on_error(3, 0, junk, nullptr), "unknown data type");
    EXPECT_DEATH(revive_task(junk, nullptr), "ASSERT at:");
}

}  // namespace
