#include "meta.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libmeta.h"

namespace {

TEST(meta, AppDescriptionInAnyCase)
{
    struct {
        const char *app;
        const char *want;
    } const cases[] = {
        {"tvl", "Tavel = Transport And Video Edge Link"},
        {"TvL", "Tavel = Transport And Video Edge Link"},
        {"oxa", "Tavel IGMP agent"},
        {"OXA", "Tavel IGMP agent"},
        {"dvt", "Tavel I/O diagnostic utility"},
        {"kfu", "Application flag management utility"},
        {"KFU", "Application flag management utility"},
        {"dvs", "#error#"},
        {"tvlx", "#error#"},
        {"tv", "#error#"},
        {"", "#error#"},
        {nullptr, "#error#"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.app ? c.app : "(null)");
        EXPECT_STREQ(app_description(c.app), c.want);
    }
}

// The identity caches are process-wide and filled once, so every case that
// fills one runs in a child process.  The child reports a mismatch on
// stderr and exits with 1.
void expect_eq_or_exit(const char *got, const char *want)
{
    if (strcmp(got, want) == 0) return;
    fprintf(stderr, "got [%s], want [%s]\n", got, want);
    exit(1);
}

TEST(meta, AppTagFirstCallWins)
{
    EXPECT_EXIT(
        {
            expect_eq_or_exit(get_app_tag("kfu"), "kfu/0.1-112.2 (prep-0.2-master)");
            expect_eq_or_exit(get_app_tag("tvl"), "kfu/0.1-112.2 (prep-0.2-master)");
            expect_eq_or_exit(get_app_tag(nullptr), "kfu/0.1-112.2 (prep-0.2-master)");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(meta, AppTagOfDaemon)
{
    EXPECT_EXIT(
        {
            expect_eq_or_exit(get_app_tag("tvl"), "tvl/0.1-112.2 (prep-0.2-master)");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(meta, AppTagTooLongCachesError)
{
    EXPECT_EXIT(
        {
            // 128 - strlen("/0.1-112.2 (prep-0.2-master)") characters make 128.
            std::string app(128 - 28, 'a');
            expect_eq_or_exit(get_app_tag(app.c_str()), "#error#");
            expect_eq_or_exit(get_app_tag("tvl"), "#error#");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            std::string app(127 - 28, 'a');
            expect_eq_or_exit(get_app_tag(app.c_str()),
                              (app + "/0.1-112.2 (prep-0.2-master)").c_str());
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            expect_eq_or_exit(get_app_tag(nullptr), "#error#");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(meta, AppInfoLine)
{
    EXPECT_EXIT(
        {
            const char *want = "tvl (Tavel = Transport And Video Edge Link) 0.1-112.2 "
                               "(prep-0.2-master) regular 1973fb84; built on 2022-08-24";
            expect_eq_or_exit(get_app_info("tvl", nullptr), want);
            expect_eq_or_exit(get_app_info("oxa", "deadbeef"), want);
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            expect_eq_or_exit(get_app_info("OXA", "deadbeef"),
                              "OXA (Tavel IGMP agent) 0.1-112.2 (prep-0.2-master) regular "
                              "deadbeef; built on 2022-08-24");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            expect_eq_or_exit(get_app_info("zzz", nullptr),
                              "zzz (#error#) 0.1-112.2 (prep-0.2-master) regular 1973fb84; "
                              "built on 2022-08-24");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(meta, AppInfoTooLongCachesError)
{
    EXPECT_EXIT(
        {
            std::string sum(300, '9');
            expect_eq_or_exit(get_app_info("kfu", sum.c_str()), "#error#");
            expect_eq_or_exit(get_app_info("kfu", nullptr), "#error#");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(libmeta, LibraryTag)
{
    EXPECT_STREQ(lblmx_info(), "liblmx/1.0-3.0 (4f746f8f) @1602158269");
    EXPECT_EQ(lblmx_info(), lblmx_info());  // one cache
    EXPECT_STREQ(g_LIB_CKSUM, "4f746f8f");
    EXPECT_EQ(liblmx_ucatm(), 1696202212);
    EXPECT_FALSE(using_fast_clocks());
}

TEST(libmeta, BuildBlock)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    dump_build_info(fp);
    rewind(fp);
    char buf[256] = {};
    size_t n = fread(buf, 1, sizeof(buf) - 1, fp);
    fclose(fp);
    EXPECT_EQ(std::string(buf, n),
              "----\nliblmx/1.0-3.0 (4f746f8f) @1602158269 [-ggdb]\n----\n\n");
}

}  // namespace
