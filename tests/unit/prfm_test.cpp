#include "prfm.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fdio.h"
#include "psensor.h"
#include "support.h"

namespace {

// A stream whose contents the test reads back.
class MemStream {
public:
    MemStream() : fp_(open_memstream(&buf_, &len_)) {}
    ~MemStream()
    {
        fclose(fp_);
        free(buf_);
    }
    MemStream(const MemStream &) = delete;
    MemStream &operator=(const MemStream &) = delete;
    FILE *fp() const { return fp_; }
    std::string text()
    {
        fflush(fp_);
        return std::string(buf_, len_);
    }

private:
    char *buf_ = nullptr;
    size_t len_ = 0;
    FILE *fp_;
};

double seconds(const timespec &t) { return double(t.tv_sec) + double(t.tv_nsec) / 1e9; }

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void burn_cpu(int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    volatile unsigned long x = 0;
    while (std::chrono::steady_clock::now() < end) x = x + 1;
}

// Leaves the sensor table as a program finds it: nothing set up or enabled.
class psensor_t : public ::testing::Test {
protected:
    void SetUp() override { memset(static_cast<void *>(g_psensor), 0, sizeof(g_psensor)); }
    void TearDown() override { memset(static_cast<void *>(g_psensor), 0, sizeof(g_psensor)); }
};

// --- probes -----------------------------------------------------------------------

TEST(prfm, DumpPrintsOnlyWhatTheFlagsMeasure)
{
    struct Case {
        int32_t flags;
        bool time, rusage;
    };
    for (Case c : {Case{prfm_TIME, true, false}, Case{prfm_RUSAGE, false, true},
                   Case{prfm_TIME | prfm_RUSAGE, true, true}, Case{0, false, false}}) {
        prfm p;
        prfm_xinit(&p, c.flags, RUSAGE_SELF);
        prfm_start(&p);
        prfm_stop(&p);
        MemStream ms;
        prfm_dump(ms.fp(), &p, "head %d\n", 7);
        std::string out = ms.text();
        EXPECT_EQ(out.rfind("head 7\n", 0), 0u) << out;
        EXPECT_EQ(out.find("== time:\t") != std::string::npos, c.time) << out;
        EXPECT_EQ(out.find("== resource usage:\n") != std::string::npos, c.rusage) << out;
        EXPECT_EQ(out.find("  minflt: ") != std::string::npos, c.rusage) << out;
        EXPECT_EQ(out.find("\n==\n") != std::string::npos, c.rusage) << out;
    }
}

TEST(prfm, DumpWithoutHeadPrintsTheTotalsOnly)
{
    prfm p;
    prfm_xinit(&p, prfm_TIME, RUSAGE_SELF);
    p.accum.tm = {3, 5};
    MemStream ms;
    prfm_dump(ms.fp(), &p, nullptr);
    EXPECT_EQ(ms.text(), "== time:\t3.000000005\n");
}

TEST(prfm, StartStopPairsAccumulate)
{
    prfm p;
    prfm_xinit(&p, prfm_TIME, RUSAGE_SELF);
    for (int i = 0; i < 2; ++i) {
        prfm_start(&p);
        sleep_ms(150);
        prfm_stop(&p);
    }
    double t = seconds(p.accum.tm);
    EXPECT_GE(t, 0.300);
    EXPECT_LT(t, 0.300 + 0.5);
    MemStream ms;
    prfm_dump(ms.fp(), &p, nullptr);
    double printed = 0;
    ASSERT_EQ(sscanf(ms.text().c_str(), "== time:\t%lf", &printed), 1);
    EXPECT_NEAR(printed, t, 1e-6);
}

TEST(prfm, NanosecondsCarryIntoSeconds)
{
    prfm p;
    prfm_xinit(&p, prfm_TIME, RUSAGE_SELF);
    prfm_start(&p);
    // Pretend the measurement began 0.6 s ago and 0.7 s were counted before.
    p.start.tm.tv_sec -= 1;
    p.start.tm.tv_nsec += 400000000;
    if (p.start.tm.tv_nsec >= 1000000000) {
        p.start.tm.tv_nsec -= 1000000000;
        p.start.tm.tv_sec += 1;
    }
    p.accum.tm = {0, 700000000};
    prfm_stop(&p);
    EXPECT_LT(p.accum.tm.tv_nsec, 1000000000);
    EXPECT_GE(p.accum.tm.tv_nsec, 0);
    EXPECT_EQ(p.accum.tm.tv_sec, 1);
    EXPECT_NEAR(seconds(p.accum.tm), 1.3, 0.1);
}

TEST(prfm, ResourceUsageAccumulatesDifferences)
{
    prfm p{};
    prfm_xinit(&p, prfm_RUSAGE, RUSAGE_SELF);
    prfm_start(&p);
    burn_cpu(60);
    prfm_stop(&p);
    const timeval first = p.accum.ru.ru_utime;
    EXPECT_GT(first.tv_sec * 1000000 + first.tv_usec, 0);
    EXPECT_LT(p.accum.ru.ru_utime.tv_usec, 1000000);
    // A second pair adds to the first; a fresh capture would not be a sum.
    prfm_start(&p);
    burn_cpu(60);
    prfm_stop(&p);
    const timeval second = p.accum.ru.ru_utime;
    EXPECT_GT(second.tv_sec * 1000000 + second.tv_usec, first.tv_sec * 1000000 + first.tv_usec);
    EXPECT_LT(second.tv_usec, 1000000);
    // Counters are differences: far below the process's own totals.
    rusage self;
    getrusage(RUSAGE_SELF, &self);
    EXPECT_LT(p.accum.ru.ru_minflt, self.ru_minflt);
    EXPECT_EQ(p.accum.tm.tv_sec, 0);  // time is not measured
    EXPECT_EQ(p.accum.tm.tv_nsec, 0);
}

TEST(prfm, InitAndDestroyClearWhatIsMeasured)
{
    prfm p;
    memset(static_cast<void *>(&p), 0x5a, sizeof(p));
    prfm_xinit(&p, prfm_TIME | prfm_RUSAGE, RUSAGE_CHILDREN);
    EXPECT_EQ(p.who, RUSAGE_CHILDREN);
    EXPECT_EQ(p.flags, prfm_TIME | prfm_RUSAGE);
    EXPECT_EQ(p.accum.tm.tv_sec, 0);
    EXPECT_EQ(p.start.tm.tv_nsec, 0);
    EXPECT_EQ(p.accum.ru.ru_nvcsw, 0);
    EXPECT_EQ(p.start.ru.ru_utime.tv_sec, 0);

    p.accum.tm = {4, 4};
    prfm_destroy(&p);
    EXPECT_EQ(p.flags, 0);
    EXPECT_EQ(p.accum.tm.tv_sec, 0);
    MemStream ms;
    prfm_dump(ms.fp(), &p, nullptr);
    EXPECT_EQ(ms.text(), "");
}

TEST(prfm, ProbeTakesUsageIntoTheTotalsAndZeroesTime)
{
    prfm p;
    prfm_xinit(&p, prfm_TIME | prfm_RUSAGE, RUSAGE_SELF);
    p.accum.tm = {9, 9};
    prfm_probe(&p);
    EXPECT_EQ(p.accum.tm.tv_sec, 0);
    EXPECT_EQ(p.accum.tm.tv_nsec, 0);
    EXPECT_GT(p.accum.ru.ru_maxrss, 0);
}

// --- sensors -----------------------------------------------------------------------

TEST_F(psensor_t, OffWithoutInitAndDumpPrintsNothing)
{
    for (int i = 0; i < MAX_PSENSORS; ++i) EXPECT_FALSE(g_psensor[i].enabled) << i;
    EXPECT_FALSE(psensor_start(PRF_EVLOOP));
    psensor_stop(PRF_EVLOOP);
    EXPECT_FALSE(g_psensor[PRF_EVLOOP].started);
    MemStream ms;
    psensors_dump(ms.fp());
    EXPECT_EQ(ms.text(), "");
}

TEST_F(psensor_t, InstrumentedPlacesSkipTheirProbesUnlessEnabled)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    char buf[8];
    auto pump = [&] {
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(nwrite(p[1], "abcd", 4, 0), 4);
            ASSERT_EQ(nread(p[0], buf, sizeof(buf), 0), 4);
        }
    };
    pump();
    for (int id : {PRF_DATAIN, PRF_DATAOUT}) {
        EXPECT_EQ(g_psensor[id].sensor.accum.tm.tv_sec, 0);
        EXPECT_EQ(g_psensor[id].sensor.accum.tm.tv_nsec, 0);
        EXPECT_EQ(g_psensor[id].sensor.flags, 0);
    }

    ASSERT_EQ(psensors_init(nullptr, true), 0);
    pump();
    for (int id : {PRF_DATAIN, PRF_DATAOUT}) {
        EXPECT_GT(seconds(g_psensor[id].sensor.accum.tm), 0.0) << id;
        EXPECT_FALSE(g_psensor[id].started) << id;
    }
    EXPECT_EQ(seconds(g_psensor[PRF_EVLOOP].sensor.accum.tm), 0.0);

    MemStream ms;
    psensors_dump(ms.fp());
    std::string out = ms.text();
    EXPECT_NE(out.find("P-Sensor [data_in]\n== time:\t"), std::string::npos) << out;
    EXPECT_NE(out.find("P-Sensor [data_out]\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("ev_loop"), std::string::npos) << out;

    psensors_destroy();
    EXPECT_EQ(seconds(g_psensor[PRF_DATAIN].sensor.accum.tm), 0.0);
    close(p[0]);
    close(p[1]);
}

TEST_F(psensor_t, InitNamesSlotsAndEnablesOnRequest)
{
    ASSERT_EQ(psensors_init(nullptr, false), 0);
    for (int i = 0; i < PRF_SYS_COUNT; ++i) {
        EXPECT_STREQ(g_psensor[i].nametag, g_libsensor_tag[i]);
        EXPECT_FALSE(g_psensor[i].enabled);
        EXPECT_EQ(g_psensor[i].sensor.flags, prfm_TIME | prfm_RUSAGE);
        EXPECT_EQ(g_psensor[i].sensor.who, RUSAGE_SELF);
    }
    EXPECT_STREQ(g_psensor[PRF_EVIDLE].nametag, "ev_idle");
    EXPECT_EQ(g_psensor[USENSOR_FIRST].nametag, nullptr);

    const char *const users[] = {"decode", "encode", nullptr};
    ASSERT_EQ(psensors_init(users, true), 0);
    EXPECT_STREQ(g_psensor[9].nametag, "decode");
    EXPECT_STREQ(g_psensor[10].nametag, "encode");
    EXPECT_TRUE(g_psensor[10].enabled);
    EXPECT_EQ(g_psensor[11].nametag, nullptr);
    EXPECT_FALSE(g_psensor[11].enabled);

    // Application sensors are dumped like the library's.
    psensor_start(10);
    sleep_ms(2);
    psensor_stop(10);
    MemStream ms;
    psensors_dump(ms.fp());
    EXPECT_NE(ms.text().find("P-Sensor [encode]\n"), std::string::npos);
}

TEST_F(psensor_t, MoreThan64ApplicationNamesStopAtTheTableEnd)
{
    static std::string names[80];
    const char *list[81];
    for (int i = 0; i < 80; ++i) {
        names[i] = "u" + std::to_string(i);
        list[i] = names[i].c_str();
    }
    list[80] = nullptr;
    ASSERT_EQ(psensors_init(list, true), 0);
    EXPECT_STREQ(g_psensor[MAX_PSENSORS - 1].nametag, "u63");
    psensors_destroy();  // touches exactly the slots set up
}

TEST(psensor, LibraryNamesAreFoundIgnoringCase)
{
    struct Case {
        const char *name;
        int slot;
    };
    for (Case c : {Case{"EV_READ", 2}, Case{"ev_read", 2}, Case{"App", 0}, Case{"data_out", 8},
                   Case{"Ev_Idle", 6}, Case{"ev_rea", -1}, Case{"ev_reads", -1}, Case{"", -1},
                   Case{nullptr, -1}})
        EXPECT_EQ(libptag_index(c.name), c.slot) << (c.name ? c.name : "(null)");
}

TEST_F(psensor_t, UnbalancedUseIsIgnored)
{
    psensors_init(nullptr, true);
    psensor_stop(PRF_EVPP);  // a stop without a start
    EXPECT_EQ(seconds(g_psensor[PRF_EVPP].sensor.accum.tm), 0.0);

    EXPECT_TRUE(psensor_start(PRF_EVPP));
    sleep_ms(50);
    EXPECT_FALSE(psensor_start(PRF_EVPP));  // a second start keeps the first
    sleep_ms(50);
    psensor_stop(PRF_EVPP);
    psensor_stop(PRF_EVPP);
    double t = seconds(g_psensor[PRF_EVPP].sensor.accum.tm);
    EXPECT_GE(t, 0.100);
    EXPECT_LT(t, 0.100 + 0.5);
    EXPECT_FALSE(g_psensor[PRF_EVPP].started);
}

TEST_F(psensor_t, NestedScopesCountTheOuterCallOnce)
{
    psensors_init(nullptr, true);
    {
        psensor_scope outer(PRF_EVREAD);
        {
            psensor_scope inner(PRF_EVREAD);
            sleep_ms(40);
        }
        EXPECT_TRUE(g_psensor[PRF_EVREAD].started);  // the inner scope left it running
        sleep_ms(60);
    }
    EXPECT_FALSE(g_psensor[PRF_EVREAD].started);
    double t = seconds(g_psensor[PRF_EVREAD].sensor.accum.tm);
    EXPECT_GE(t, 0.100);  // the whole outer call
    EXPECT_LT(t, 0.100 + 0.5);  // and not the inner one a second time
}

}  // namespace
