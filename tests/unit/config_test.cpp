#include "config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"
#include "support.h"

namespace {

// Parses a configuration text into g_libcfg for the test's life.
class config : public ::testing::Test {
protected:
    void SetUp() override { config_init(&g_libcfg); }
    void TearDown() override { config_destroy(&g_libcfg); }

    void parse(const std::string &text)
    {
        ASSERT_EQ(config_read_string(&g_libcfg, text.c_str()), CONFIG_TRUE)
            << config_error_text(&g_libcfg) << " at line " << config_error_line(&g_libcfg);
    }
    const config_setting_t *setting(const char *path) { return config_lookup(&g_libcfg, path); }
};

TEST_F(config, StringOfLimitMinusOneIsAccepted)
{
    parse("a = \"abcdefg\";\n g = { s = \"1234\"; };");
    char buf[8] = "zzzzzzz";
    EXPECT_EQ(load_config_str("a", buf, sizeof(buf), "dflt"), 0);
    EXPECT_STREQ(buf, "abcdefg");
    char sbuf[5] = "";
    EXPECT_EQ(load_config_setting_str(setting("g"), "s", sbuf, sizeof(sbuf), nullptr), 0);
    EXPECT_STREQ(sbuf, "1234");
}

TEST_F(config, StringOfLimitIsRefused)
{
    parse("a = \"abcdefgh\";\n g = { s = \"12345\"; };");
    LogCapture cap;
    char buf[8] = "keep";
    EXPECT_EQ(load_config_str("a", buf, sizeof(buf), "dflt"), -1);
    EXPECT_STREQ(buf, "keep");
    char sbuf[5] = "old";
    EXPECT_EQ(load_config_setting_str(setting("g"), "s", sbuf, sizeof(sbuf), "x"), -1);
    EXPECT_STREQ(sbuf, "old");
    EXPECT_EQ(cap.text(),
              "(ERR)  load_config_str: a value is too long (8), max = 8 characters.\n"
              "(ERR)  load_config_setting_str: s value is too long (5), max = 5 characters.\n");
}

TEST_F(config, MissingStringTakesTheDefault)
{
    parse("g = { n = 5; };\n num = 7;");
    char buf[8] = "junk";
    EXPECT_EQ(load_config_str("nowhere", buf, sizeof(buf), ""), 0);
    EXPECT_STREQ(buf, "");
    strcpy(buf, "junk");
    EXPECT_EQ(load_config_str("nowhere", buf, sizeof(buf), nullptr), 0);
    EXPECT_STREQ(buf, "");
    // A setting of another type counts as missing.
    EXPECT_EQ(load_config_str("num", buf, sizeof(buf), "dflt"), 0);
    EXPECT_STREQ(buf, "dflt");
    EXPECT_EQ(load_config_setting_str(setting("g"), "n", buf, sizeof(buf), "d2"), 0);
    EXPECT_STREQ(buf, "d2");
    EXPECT_EQ(load_config_setting_str(nullptr, "n", buf, sizeof(buf), "d3"), 0);
    EXPECT_STREQ(buf, "d3");
}

TEST_F(config, LongDefaultIsCutToFit)
{
    parse("");
    char buf[6];
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(load_config_str("none", buf, sizeof(buf), "abcdefghij"), 0);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(load_config_setting_str(config_root_setting(&g_libcfg), "none", buf, sizeof(buf), "0123456"), 0);
    EXPECT_STREQ(buf, "01234");
}

TEST(config_noinit, NeverParsedTreeHasNoValues)
{
    // g_libcfg is zeroed until a loader initialises it.
    char buf[8] = "junk";
    EXPECT_EQ(load_config_str("a.b", buf, sizeof(buf), "d"), 0);
    EXPECT_STREQ(buf, "d");
    size_t count = 5;
    EXPECT_EQ(load_config_string_list("a", &count), nullptr);
    EXPECT_EQ(count, 0u);
}

// Frees a list the way its caller must.
void free_list(char **list, size_t count)
{
    for (size_t i = 0; i < count; ++i) free(list[i]);
    free(list);
}

std::string list_text(int n)
{
    std::string t = "l = [";
    for (int i = 0; i < n; ++i) t += (i ? ", \"s" : "\"s") + std::to_string(i) + "\"";
    return t + "];";
}

TEST_F(config, StringListGrowsPastItsFirstBlocks)
{
    for (int n : {1, 9, 10, 11, 15, 16, 23}) {
        SCOPED_TRACE(n);
        config_destroy(&g_libcfg);
        config_init(&g_libcfg);
        parse(list_text(n));
        size_t count = 100;
        char **list = load_config_string_list("l", &count);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(count, size_t(n));
        for (int i = 0; i < n; ++i) EXPECT_STREQ(list[i], ("s" + std::to_string(i)).c_str());
        EXPECT_EQ(list[n], nullptr);  // a zero entry always follows the last string
        free_list(list, count);
    }
}

TEST_F(config, StringListStopsAtLimitOrFirstNonString)
{
    parse(list_text(12) + "\n m = (\"a\", \"b\", 3, \"c\");");
    size_t count = 4;
    char **list = load_config_string_list("l", &count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 4u);
    EXPECT_STREQ(list[3], "s3");
    EXPECT_EQ(list[4], nullptr);
    free_list(list, count);

    count = 50;
    list = load_config_string_list("m", &count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(list[1], "b");
    EXPECT_EQ(list[2], nullptr);
    free_list(list, count);
}

TEST_F(config, StringListDebugLine)
{
    parse(list_text(3));
    int saved = g_mod_ll[LM_DEFAULT];
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    LogCapture cap;
    size_t count = 10;
    char **list = load_config_string_list("l", &count);
    g_mod_ll[LM_DEFAULT] = saved;
    ASSERT_NE(list, nullptr);
    free_list(list, count);
    EXPECT_EQ(cap.text(), "(DBG)  load_config_string_list: 3 elements added to [l]\n");
}

TEST_F(config, StringListWithoutStringsIsNone)
{
    parse("nums = [1, 2];\n empty = [];\n lead = (4, \"x\");\n scalar = \"s\";\n l = [\"a\"];");
    for (const char *path : {"nums", "empty", "lead", "scalar", "missing"}) {
        SCOPED_TRACE(path);
        size_t count = 10;
        EXPECT_EQ(load_config_string_list(path, &count), nullptr);
        EXPECT_EQ(count, 0u);
    }
    size_t count = 0;  // nothing may be taken
    EXPECT_EQ(load_config_string_list("l", &count), nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(config, SizeWithSuffix)
{
    parse("g = { a = \"2K\"; b = \"1.5 Mb\"; c = \"8G\"; d = \"4096\"; e = \"3g\"; };");
    struct {
        const char *name;
        int64_t want;
    } const cases[] = {
        {"a", 2048},
        {"b", 1572864},
        {"c", 8589934592LL},
        {"d", 4096},
        {"e", 3221225472LL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int64_t v = -1;
        EXPECT_EQ(load_config_setting_size(setting("g"), c.name, &v, 7), 0);
        EXPECT_EQ(v, c.want);
    }
}

TEST_F(config, SizeMissingTakesTheDefault)
{
    parse("g = { n = 5; e = \"\"; };");
    int64_t v = -1;
    EXPECT_EQ(load_config_setting_size(config_root_setting(&g_libcfg), "none", &v, 65536), 0);
    EXPECT_EQ(v, 65536);
    v = -1;
    EXPECT_EQ(load_config_setting_size(setting("g"), "e", &v, 12), 0);
    EXPECT_EQ(v, 12);
}

TEST_F(config, SizeErrorsLeaveTheValue)
{
    // 31 characters fit the text buffer, 32 do not.
    parse("g = { bad = \"2x\"; ovf = \"9223372036854775808\"; e = \"1e3\";"
          " fit = \"0000000000000000000000000001024\";"
          " long = \"00000000000000000000000000001024\"; };");
    int64_t v = 99;
    EXPECT_EQ(load_config_setting_size(setting("g"), "bad", &v, 1), -5);
    EXPECT_EQ(load_config_setting_size(setting("g"), "e", &v, 1), -5);
    EXPECT_EQ(load_config_setting_size(setting("g"), "ovf", &v, 1), -2);
    EXPECT_EQ(v, 99);
    EXPECT_EQ(load_config_setting_size(setting("g"), "fit", &v, 1), 0);
    EXPECT_EQ(v, 1024);
    v = 99;
    LogCapture cap;
    EXPECT_EQ(load_config_setting_size(setting("g"), "long", &v, 1), -1);
    EXPECT_EQ(v, 99);
    EXPECT_EQ(cap.text(),
              "(ERR)  load_config_setting_str: long value is too long (32), max = 32 "
              "characters.\n");
}

}  // namespace
