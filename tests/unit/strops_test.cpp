#include "strops.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr double SENTINEL = -12345.5;

}  // namespace

TEST(strops, a2double_suffixes_and_refusals)
{
    struct {
        const char *text;
        int rc;
        double value;  // SENTINEL: left untouched
    } const cases[] = {
        {"2K", 0, 2048},
        {"2kb", 0, 2048},
        {"2kB", 0, 2048},
        {"3G", 0, 3221225472.0},
        {"3gb", 0, 3221225472.0},
        {"1.5 MB", 0, 1572864},
        {"-1K", 0, -1024},
        {"  12  ", 0, 12},
        {"7", 0, 7},
        {"", 0, 0},
        {"-+.!", 0, 0},  // no letter and no number: reads as 0
        {"K", 0, 0},
        {"2k b", ERR_BADMULT, SENTINEL},
        {"2Kbb", ERR_BADMULT, SENTINEL},
        {"2T", ERR_BADMULT, SENTINEL},
        {"1e3", ERR_BADMULT, SENTINEL},
        {"0x10", ERR_BADMULT, SENTINEL},
        {"inf", ERR_BADMULT, SENTINEL},
        {"nan", ERR_BADMULT, SENTINEL},
    };
    for (const auto &c : cases) {
        double v = SENTINEL;
        EXPECT_EQ(a2double(c.text, &v), c.rc) << '"' << c.text << '"';
        EXPECT_EQ(v, c.value) << '"' << c.text << '"';
    }
    EXPECT_EQ(a2double("4M", nullptr), 0);
}

TEST(strops, a2double_long_and_out_of_range_text)
{
    double v = SENTINEL;
    const std::string n63(62, '0');
    EXPECT_EQ(a2double((n63 + "1K").c_str(), &v), 0);
    EXPECT_EQ(v, 1024);
    EXPECT_EQ(a2double((n63 + "01K").c_str(), &v), ERR_OVERRUN);
    EXPECT_EQ(a2double((std::string(100000, '1') + "G").c_str(), &v), ERR_OVERRUN);

    // Without a suffix the whole text goes to the number reader.
    const std::string huge = "1" + std::string(400, '0');
    errno = EBADF;
    EXPECT_EQ(a2double(huge.c_str(), &v), ERR_NUMFMT);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(a2double(("0." + std::string(400, '0') + "1").c_str(), &v), ERR_NUMFMT);
    EXPECT_EQ(v, 1024);
    EXPECT_EQ(a2double(std::string(100000, ' ').c_str(), &v), 0);
    EXPECT_EQ(v, 0);

    EXPECT_DEATH(a2double(nullptr, &v), "ASSERT at:");
}

TEST(strops, a2int64_range_and_truncation)
{
    struct row {
        const char *text;
        int rc;
        int64_t value;
    };
    const std::string overrun = std::string(64, '1') + "K";
    const row cases[] = {
        {"8G", 0, 8589934592LL},
        {"9223372036854775808", ERR_OVFLW, 77},
        {"8589934592G", ERR_OVFLW, 77},  // 2^33 * 2^30
        {"-9223372036854775808", 0, INT64_MIN},
        {"-18446744073709551616", ERR_OVFLW, 77},
        {"2.9", 0, 2},
        {"-2.9", 0, -2},
        {"1e3", ERR_BADMULT, 77},
        {overrun.c_str(), ERR_OVERRUN, 77},
    };
    for (const auto &c : cases) {
        int64_t v = 77;
        EXPECT_EQ(a2int64(c.text, &v), c.rc) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    ssize_t sz = 5;
    EXPECT_EQ(a2size("1M", &sz), 0);
    EXPECT_EQ(sz, 1048576);
    EXPECT_EQ(a2size("9223372036854775808", &sz), ERR_OVFLW);
    EXPECT_EQ(sz, 1048576);
}

TEST(strops, chomp_removes_at_most_two_line_ends)
{
    struct {
        const char *in;
        const char *out;
    } const cases[] = {
        {"abc\r\n", "abc"}, {"abc\n\r", "abc"}, {"abc\n\n\n", "abc\n"}, {"a\r\r\r", "a\r"},
        {"abc", "abc"},     {"", ""},           {"\n", ""},             {"ab\nc", "ab\nc"},
        {"ab\n \n", "ab\n "},
    };
    for (const auto &c : cases) {
        char buf[16];
        strcpy(buf, c.in);
        EXPECT_STREQ(chomp(buf), c.out);
    }
}

// Lines judged whole with a room of 8 bytes: the results in turn; no rest
// of a refused line is read as a line of its own.
TEST(strops, read_line_judges_each_line_whole)
{
    using namespace std::string_literals;
    const std::string text = "1234567\n12345678\n\nab\0c\nlast"s;
    FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    char buf[8];
    for (const ssize_t rc : {7L, long(LINE_LONG), 0L, long(LINE_NUL), 4L, long(LINE_EOF)})
        EXPECT_EQ(read_line(fp, buf, sizeof(buf)), rc);
    fclose(fp);
}

TEST(strops, marker_count_plain_and_numbered)
{
    EXPECT_EQ(marker_count("a,b,c", ","), 2);
    EXPECT_EQ(marker_count("aaaaa", "aa"), 2);  // non-overlapping
    EXPECT_EQ(marker_count("nothing", "len:"), 0);
    EXPECT_EQ(marker_count("abc", ""), 0);
    EXPECT_EQ(marker_count("len:10,len:5,len:,len:x", "len:"), 15);
    EXPECT_EQ(marker_count("x:3 y:4 z:", ":"), 7);
    EXPECT_EQ(marker_count("n:99999999999999999999999", "n:"), INT64_MAX);
    EXPECT_EQ(marker_count("n:9223372036854775806 n:5", "n:"), INT64_MAX);
    EXPECT_EQ(marker_count("n:9223372036854775807", "n:"), INT64_MAX);
}

TEST(strops, mk_trk_tag_sequence)
{
    auto expect_tag = [](const n64_tag &tag, const std::string &text) {
        n64_tag want{};
        memcpy(want.sym8, text.data(), text.size());
        EXPECT_EQ(tag.num, want.num) << text;
    };
    n64_tag tag;
    ssize_t count = 0;
    for (ssize_t i = 1; i <= 99999; ++i) {
        memset(&tag, 0xff, sizeof tag);
        mk_trk_tag(&count, &tag, 'u', 100000);
        ASSERT_EQ(count, i);
        if (i < 12 || i % 9973 == 0 || i == 99999) expect_tag(tag, "u" + std::to_string(i));
    }
    mk_trk_tag(&count, &tag, 'u', 100000);
    EXPECT_EQ(count, 100000);
    expect_tag(tag, "u10000");
    mk_trk_tag(&count, &tag, 'u', 100000);
    EXPECT_EQ(count, 1);
    expect_tag(tag, "u1");

    count = 42;
    mk_trk_tag(&count, &tag, 'x', 42);
    expect_tag(tag, "x1");

    count = 999999;
    EXPECT_DEATH(mk_trk_tag(&count, &tag, 'u', 10000000), "ASSERT at:");
}
