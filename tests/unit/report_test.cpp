// The status report: layout line by line, escaping, member names, the
// file's mode, a temporary file that nobody could plant in advance, and
// the failures that must leave the previous report and no temporary file.
#include "report.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cfg.h"
#include "json_check.h"
#include "log.h"
#include "netns.h"
#include "registry.h"
#include "rtask.h"
#include "support.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::vector<std::string> dir_entries(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') out.emplace_back(e->d_name);
        closedir(d);
    }
    return out;
}

class report : public ::testing::Test {
protected:
    TempDir dir_;
    xvlst tasks_{};
    std::string in_ = "udp://239.1.1.1:5000", out_ = "udp://10.0.0.5:6000";
    std::string err_ = "time-out";

    void SetUp() override { ASSERT_EQ(xvlst_mmap_fixed(&tasks_, 4, TASK_BLKSZ), 0); }
    void TearDown() override
    {
        xvlst_reset(&tasks_);
        g_cfg = tavel_cfg{};
    }
    rtask *add(const char *hkey, bool has_cid)
    {
        const ssize_t i = xvlst_add(&tasks_, TASK_BLKSZ, 1);
        auto *t = static_cast<rtask *>(xv_blk(tasks_.data, size_t(i), TASK_BLKSZ));
        *t = rtask{};
        t->tag.num = RTA_TAG;
        t->idx = i;
        snprintf(t->tid.sym8, sizeof(t->tid.sym8), "U%04u", unsigned(i + 1) % 10000);
        snprintf(t->hkey, sizeof(t->hkey), "%s", hkey);
        t->has_cid = has_cid;
        t->in_url = in_.data();
        t->out_url = out_.data();
        t->kafd = -1;
        t->infd = t->outfd = t->hshk_fd = -1;
        t->altin.sockfd = -1;
        t->state.num = ST_RLY;
        return t;
    }
    std::string write(const std::string &path, int *rc)
    {
        *rc = report_tasks_json(path.c_str(), &tasks_);
        return read_file(path);
    }
};

TEST_F(report, EmptyReportIsThreeLines)
{
    int rc;
    const std::string text = write(dir_.file("rep.json"), &rc);
    ASSERT_EQ(rc, 0);
    const auto l = lines(text);
    ASSERT_EQ(l.size(), 3u) << text;
    EXPECT_EQ(l[0], "{");
    EXPECT_THAT(l[1], MatchesRegex("\"report_time\": \"[0-9]{4}-[0-9]{2}-[0-9]{2} "
                                   "[0-9:]{8}\\.[0-9]{6} [A-Z+0-9-]+\", \"pid\": [0-9]+, "
                                   "\"task_count\": 0"));
    EXPECT_THAT(l[1], HasSubstr("\"pid\": " + std::to_string(getpid()) + ","));
    EXPECT_EQ(l[2], "}");
    EXPECT_TRUE(is_valid_json(text));
    EXPECT_EQ(dir_entries(dir_.path()), std::vector<std::string>{"rep.json"});
}

TEST_F(report, TaskLinesNamesAndEscaping)
{
    add("udp://239.1.1.1:5000|udp://10.0.0.5:6000", false);
    rtask *b = add("a\"b\\c\x01\xff", true);  // a client id as decoded from %22
    b->kafd = 7;
    b->errstr = err_.data();
    b->total_in = 2048;
    b->pks.max_ipktlen = 1316;

    int rc;
    std::string text = write(dir_.file("rep.json"), &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(is_valid_json(text)) << text;
    auto l = lines(text);
    ASSERT_EQ(l.size(), 7u) << text;
    EXPECT_THAT(l[1], HasSubstr("\"task_count\": 2,"));
    EXPECT_EQ(l[2], "\"task_list\": [");
    EXPECT_THAT(l[3], StartsWith(" {\"tid\": \"U0001\", \"cid\": \"-\", \"key\": "
                                 "\"udp://239.1.1.1:5000|udp://10.0.0.5:6000\", \"online\": "
                                 "\"no\", \"keepAlive\": \"no\", \"uptime\": 0.00, "));
    EXPECT_THAT(l[3], HasSubstr("\"src\": \"udp://239.1.1.1:5000\", \"dst\": "
                                "\"udp://10.0.0.5:6000\", \"err\": \"\", \"maxIDPLen\": 0, "
                                "\"maxODPLen\": 0 }"));
    EXPECT_THAT(l[3], Not(HasSubstr("altSrcPresent")));
    EXPECT_THAT(l[4], StartsWith(", {\"tid\": \"U0002\", \"cid\": \"a\\\"b\\\\c\\u0001\\u00ff\", "));
    EXPECT_THAT(l[4], HasSubstr("\"keepAlive\": \"yes\""));
    EXPECT_THAT(l[4], HasSubstr("\"inKb\": 2.00, \"outKb\": 0.00, \"avgIkps\": 0.00, "
                                "\"avgOkps\": 0.00, "));
    EXPECT_THAT(l[4], HasSubstr("\"err\": \"time-out\", \"maxIDPLen\": 1316, "));
    EXPECT_EQ(l[5], "]");
    EXPECT_EQ(l[6], "}");

    g_cfg.trep_compat_dashes = true;
    text = write(dir_.file("rep.json"), &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_THAT(text, HasSubstr("\"keep-alive\": \"yes\""));
    EXPECT_THAT(text, HasSubstr("\"in-Kb\": 2.00, \"out-kb\": 0.00, \"avg-ikps\": 0.00, "
                                "\"avg-okps\": 0.00"));
    EXPECT_TRUE(is_valid_json(text));
}

TEST_F(report, FailuresKeepThePreviousReportAndNoTemporaryFile)
{
    int rc;
    const std::string good = write(dir_.file("rep.json"), &rc);
    ASSERT_EQ(rc, 0);
    add("k", true);

    // The report path is a directory with something in it: the rename fails.
    mkdir(dir_.file("busy").c_str(), 0755);
    write_file(dir_.file("busy/x"), "x");
    {
        LogCapture log;
        EXPECT_EQ(report_tasks_json(dir_.file("busy").c_str(), &tasks_), -1);
        EXPECT_THAT(log.text(), HasSubstr("rename("));
    }
    // A directory that does not exist: the temporary file cannot be made.
    {
        LogCapture log;
        EXPECT_EQ(report_tasks_json(dir_.file("none/rep.json").c_str(), &tasks_), -1);
        EXPECT_THAT(log.text(), HasSubstr("fopen(" + dir_.file("none/rep.json") + ") ERROR("));
    }
    // A temporary path longer than 127 characters.
    {
        const std::string deep = dir_.path() + "/" + std::string(120, 'd');
        mkdir(deep.c_str(), 0755);
        LogCapture log;
        EXPECT_EQ(report_tasks_json((deep + "/r").c_str(), &tasks_), ERANGE);
        EXPECT_THAT(log.text(), HasSubstr("resulting buffer size is out of limits"));
    }
    // A full file system (a small tmpfs, filled, in a private mount
    // namespace of a child): the write fails at the flush.
    const std::string full = dir_.file("full");
    mkdir(full.c_str(), 0755);
    const int child = run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") != 0)
            return CHILD_SKIP;
        const std::string rep = full + "/rep.json";
        CHILD_CHECK(report_tasks_json(rep.c_str(), &tasks_) == 0);
        const std::string before = read_file(rep);
        struct statvfs vfs;
        CHILD_CHECK(statvfs(full.c_str(), &vfs) == 0);
        const int fill = open((full + "/filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        CHILD_CHECK(fill >= 0);
        CHILD_CHECK(posix_fallocate(fill, 0, off_t(vfs.f_bavail * vfs.f_frsize)) == 0);
        close(fill);
        LogCapture log;
        CHILD_CHECK(report_tasks_json(rep.c_str(), &tasks_) == -1);
        const std::string text = log.text();
        if (text.find("write(" + full + "/tvr") == std::string::npos ||
            text.find("ERROR(28)") == std::string::npos) {
            fprintf(stderr, "log: %s\n", text.c_str());
            return 1;
        }
        CHILD_CHECK(read_file(rep) == before);
        auto left = dir_entries(full);
        std::sort(left.begin(), left.end());
        CHILD_CHECK((left == std::vector<std::string>{"filler", "rep.json"}));
        return 0;
    });
    if (child == CHILD_SKIP)
        std::cerr << "[   NOTE   ] full file-system case skipped: no private mount namespace\n";
    else
        EXPECT_EQ(child, 0);

    EXPECT_EQ(read_file(dir_.file("rep.json")), good);
    auto entries = dir_entries(dir_.path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries,
              (std::vector<std::string>{"busy", std::string(120, 'd'), "full", "rep.json"}));
}

// The report is 0644 whatever the umask lets through (a stricter one still
// takes bits away), and its descriptor is close-on-exec.
TEST_F(report, ModeIgnoresAPermissiveUmask)
{
    const struct {
        mode_t umask;
        mode_t mode;
    } cases[] = {{0, 0644}, {002, 0644}, {022, 0644}, {077, 0600}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.umask);
        const mode_t old = umask(c.umask);
        int rc;
        write(dir_.file("rep.json"), &rc);
        umask(old);
        ASSERT_EQ(rc, 0);
        struct stat st;
        ASSERT_EQ(stat(dir_.file("rep.json").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
    }
}

// Someone who may write the report's directory plants, at every name of
// the form tvr<pid>.<seconds> of the next seconds, a link to a root-only
// file.  The report is written through none of them: the victim keeps its
// content, the links stay, and the temporary file (a new one, as
// create_tmp_file makes it) is gone after the rename.
TEST_F(report, TemporaryFileIsNewAndNeverPlanted)
{
    add("k", true);
    const std::string victim = dir_.file("victim");
    write_file(victim, "secret\n");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    std::vector<std::string> names{"rep.json", "victim"};
    for (time_t t = time(nullptr) - 1, end = t + 4; t < end; ++t) {
        names.push_back("tvr" + std::to_string(getpid()) + "." + std::to_string(t));
        ASSERT_EQ(symlink(victim.c_str(), dir_.file(names.back()).c_str()), 0);
    }
    const std::string rep = dir_.file("rep.json");
    ASSERT_EQ(report_tasks_json(rep.c_str(), &tasks_), 0);
    EXPECT_EQ(read_file(victim), "secret\n");
    struct stat st;
    ASSERT_EQ(lstat(rep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_TRUE(is_valid_json(read_file(rep)));
    auto entries = dir_entries(dir_.path());
    std::sort(entries.begin(), entries.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(entries, names);
}

}  // namespace
