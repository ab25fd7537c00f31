// Redirection routes: the route file's grammar, its refusals, the table
// limits and the URLs built from a route.
#include "dchain.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "log.h"
#include "support.h"

using ::testing::HasSubstr;

namespace {

class dchain : public ::testing::Test {
protected:
    void TearDown() override { rrt_free(ht_); }

    int load(const std::string &text)
    {
        write_file(dir_.file("routes"), text);
        LogCapture cap;
        const int rc = rrt_file_load(dir_.file("routes").c_str(), &ht_);
        log_ = cap.text();
        return rc;
    }

    TempDir dir_;
    skht_t ht_ = 0;
    std::string log_;
};

std::string routes(size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; ++i)
        text += "239.1." + std::to_string(i / 250) + "." + std::to_string(i % 250) +
                ":5000 10.0.0.1:8080 - 10.0.0.2:" + std::to_string(6000 + i) + "\n";
    return text;
}

TEST_F(dchain, LoadsRoutesWithTheirKeys)
{
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    ASSERT_EQ(load("# chained sources\n"
                   "\n"
                   "%239.1.1.1:5000 10.1.1.1:8080 - 10.2.2.2:6000\n"
                   "239.1.1.2:5000\t10.1.1.1:8080\t%S\tR R2\r\n"),
              0);
    EXPECT_THAT(log_, HasSubstr("rrt_file_load: 3: added (239.1.1.1): s:[239.1.1.1:5000] "
                                "R:[10.1.1.1:8080] rs:[239.1.1.1:5000] rv:[10.2.2.2:6000]\n"));
    EXPECT_THAT(log_, HasSubstr("rrt_file_load: 2 routes processed\n"));
    EXPECT_EQ(skht_count(ht_), 2u);

    LogCapture cap;
    const redir_route *r = rrt_get(ht_, "239.1.1.1");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->src, "239.1.1.1:5000");
    EXPECT_STREQ(r->rmt_src, "239.1.1.1:5000");
    EXPECT_EQ(rrt_get(ht_, "239.1.1.1:5000"), nullptr);

    r = rrt_get(ht_, "239.1.1.2:5000");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->rmt_src, "S");
    EXPECT_STREQ(r->rcv, "R R2");
    EXPECT_EQ(cap.text(), "(DBG)  rrt_get: found (239.1.1.1) -> [239.1.1.1:5000][10.1.1.1:8080]"
                          "[10.2.2.2:6000]\n"
                          "(DBG)  rrt_get: [239.1.1.1:5000] not found\n"
                          "(DBG)  rrt_get: found (239.1.1.2:5000) -> [239.1.1.2:5000]"
                          "[10.1.1.1:8080][R R2]\n");
    g_mod_ll[LM_DEFAULT] = NORM_level;
    EXPECT_EQ(rrt_get(0, "x"), nullptr);
}

TEST_F(dchain, RefusedFiles)
{
    const std::string f31(31, 'f'), f32(32, 'f');
    struct {
        const char *name;
        std::string text;
        int rc;
        std::string message;
    } const cases[] = {
        {"three fields", "a b c\n", -1, "rrt_file_load: error parsing line 1: [a][b][]/[c]\n"},
        {"empty field", "# x\na  c d\n", -1, "rrt_file_load: error parsing line 2: [a][][d]/[c]\n"},
        {"bare percent", "% b c d\n", -1, "error parsing line 1: [%][b][d]/[c]"},
        {"duplicate key", "%x:1 r - v\nx r2 - v2\n", -1,
         "rrt_file_load: failed to add (x)->[x][r2][v2]/[x]\n"},
        {"source too long", f32 + " r - v\n", -1, "error parsing line 1: [" + f32 + "]"},
        {"marked source fits", "%" + f31 + " r - v\n", 0, ""},
        {"remote too long", "s " + f32 + " - v\n", -1, "error parsing line 1: [s][" + f32},
        {"remote source too long", "s r %" + f32 + " v\n", -1, "error parsing line 1"},
        {"receiver too long", "s r - " + f32 + "\n", -1, "error parsing line 1"},
        {"fields at their room", f31 + " " + f31 + " " + f31 + " " + f31 + "\n", 0, ""},
        // What is sent on in the remote request must decode as written.
        {"malformed escape in remote source", "s r 239.1.1.1:50%zz0 v\n", -1,
         "error parsing line 1: [s][r][v]/[239.1.1.1:50%zz0]"},
        {"cut escape in receiver", "s r - 10.0.0.1:600%4\n", -1, "error parsing line 1"},
        {"malformed escape in source sent on", "%239.1.1.1:5%g0 r - v\n", -1,
         "error parsing line 1"},
        {"escapes well formed", "s r 239.1.1.1%3A5000 v%20\n", 0, ""},
        {"line too long", "s r - v" + std::string(250, ' ') + "\n", -1,
         "/routes] line 1 is longer than 254 characters\n"},
        {"too many routes", routes(1026), 7, "rrt_file_load: too many routes\n"},
        {"most routes", routes(1025), 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(load(c.text), c.rc);
        if (!c.message.empty()) {
            EXPECT_THAT(log_, HasSubstr(c.message));
        }
        EXPECT_EQ(ht_ == 0, c.rc != 0);
    }
    EXPECT_EQ(skht_count(ht_), 1025u);
}

TEST_F(dchain, FailedLoadClearsTheTableAndValidationStoresNothing)
{
    ASSERT_EQ(load("a r - v\n"), 0);
    ASSERT_NE(ht_, 0u);
    LogCapture cap;
    EXPECT_EQ(rrt_file_load(dir_.file("absent").c_str(), &ht_), -1);
    EXPECT_EQ(ht_, 0u);
    EXPECT_THAT(cap.text(), HasSubstr("rrt_file_load: fopen(" + dir_.file("absent") +
                                      ") ERROR(2): No such file or directory\n"));
    EXPECT_EQ(rrt_file_load(dir_.file("routes").c_str(), nullptr), 0);
    write_file(dir_.file("bad"), "a b\n");
    EXPECT_EQ(rrt_file_load(dir_.file("bad").c_str(), nullptr), -1);
}

TEST(dchain_url, UrlsKeysAndRoutes)
{
    redir_route *r = mk_rrt("%239.1.1.1:5000", "10.1.1.1:8080", "S", "R");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->src, "239.1.1.1:5000");
    char *url = rrt_remote_url(r);
    EXPECT_STREQ(url, "http://10.1.1.1:8080/src/S/dst/R/keep-alive");
    free(url);
    free(r);

    url = rrt_udp_url("caller", "10.0.0.2:6000");
    EXPECT_STREQ(url, "UDP://10.0.0.2:6000");
    free(url);
    const std::string big(505, 'a');
    EXPECT_STREQ((url = rrt_udp_url("c", big.c_str())), ("UDP://" + big).c_str());
    free(url);
    {
        LogCapture cap;
        EXPECT_EQ(rrt_udp_url("caller", (big + "b").c_str()), nullptr);
        EXPECT_EQ(cap.text(), "(ERR)  caller: URL is too big (512 bytes): UDP://" + big + "\n");
    }

    errno = 0;
    EXPECT_EQ(mk_rrt(std::string(32, 's').c_str(), "r", "s", "v"), nullptr);
    EXPECT_EQ(errno, E2BIG);

    char key[32];
    EXPECT_STREQ(get_key("%239.1.1.1:5000", key, sizeof key), "239.1.1.1");
    EXPECT_STREQ(get_key("239.1.1.1:5000", key, sizeof key), "239.1.1.1:5000");
    EXPECT_STREQ(get_key("%[ff02::1]:5000", key, sizeof key), "[ff02::1]");
    EXPECT_STREQ(get_key("%noport", key, sizeof key), "noport");
    EXPECT_STREQ(get_key("%239.1.1.1:5000", key, 4), "239");
}

}  // namespace
