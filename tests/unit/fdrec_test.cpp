#include "fdrec.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "dgram.h"
#include "log.h"
#include "support.h"
#include "uri.h"

using ::testing::HasSubstr;
using std::string;

namespace {

string shm_name(const char *what)
{
    return string(FDR_SHM_PREFIX) + "tavel-" + what + "-" + std::to_string(getpid());
}

bool shm_exists(const string &name)
{
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool fd_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

string ptr_text(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%p", p);
    return buf;
}

// Raises the levels of the modules a record's release logs in.
struct debug_levels {
    int saved[3] = {g_mod_ll[LM_DEFAULT], g_mod_ll[LM_STREAM], g_mod_ll[LM_SYSWRAP]};
    debug_levels() { g_mod_ll[LM_DEFAULT] = g_mod_ll[LM_STREAM] = DEBUG_level; }
    ~debug_levels()
    {
        g_mod_ll[LM_DEFAULT] = saved[0];
        g_mod_ll[LM_STREAM] = saved[1];
        g_mod_ll[LM_SYSWRAP] = saved[2];
    }
};

TEST(fdrec, a_new_record_has_no_descriptor_and_nothing_else)
{
    fdrec *r = alloc_fdrec();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->fd, -1);
    EXPECT_EQ(r->wd, -1);
    fdrec zero{};
    zero.fd = zero.wd = -1;
    EXPECT_EQ(memcmp(r, &zero, sizeof(zero)), 0);
    memset(r, 0, sizeof(*r));
    init_fdrec(r);
    EXPECT_EQ(r->fd, -1);
    EXPECT_EQ(r->wd, -1);
    free_fdrec(r);
    free_fdrec(nullptr);
}

TEST(fdrec, tags_name_the_record_and_what_it_holds)
{
    TempDir dir;
    write_file(dir.file("f"), "x");
    fdrec *r = alloc_fdrec();
    ASSERT_NE(r, nullptr);

    // A mapped area without a descriptor.
    r->mmbuf = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(r->mmbuf, MAP_FAILED);
    r->mmbuf_size = 4096;
    const char *tag = get_fdrec_tag(r);
    EXPECT_EQ(string(tag), "r(" + ptr_text(r) + ").M(" + ptr_text(r->mmbuf) + ")");
    // Made once: later calls give the same text.
    EXPECT_EQ(get_fdrec_tag(r), tag);

    ASSERT_EQ(set_fdrec_tag(r, "mine"), 0);
    EXPECT_STREQ(get_fdrec_tag(r), "mine");
    ASSERT_EQ(set_fdrec_tag(r, nullptr), 0);
    EXPECT_EQ(r->dbg_tag, nullptr);

    // A descriptor names the file type.
    r->fd = open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(r->fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(r->fd, &st), 0);
    r->mode = st.st_mode;
    char expect[64];
    snprintf(expect, sizeof(expect), "r(%p).FILE(%d)", static_cast<void *>(r), r->fd);
    EXPECT_STREQ(get_fdrec_tag(r), expect);
    EXPECT_LE(strlen(get_fdrec_tag(r)), FDR_TAG_SIZE - 2);

    // Neither: an unknown type and -1.
    fdrec *e = alloc_fdrec();
    e->mmbuf = MAP_FAILED;
    snprintf(expect, sizeof(expect), "r(%p).{???}(-1)", static_cast<void *>(e));
    EXPECT_STREQ(get_fdrec_tag(e), expect);
    e->mmbuf = nullptr;
    free_fdrec(e);
    free_fdrec(r);
}

TEST(fdrec, free_releases_everything_the_record_holds)
{
    const string name = shm_name("free");
    const int sfd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(sfd, 0);
    close(sfd);
    TempDir dir;
    write_file(dir.file("f"), "x");

    fdrec *r = alloc_fdrec();
    ASSERT_NE(r, nullptr);
    r->mmbuf = mmap(nullptr, 8192, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    r->mmbuf_size = 8192;
    r->fd = open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC);
    const int fd = r->fd;
    snprintf(r->path, sizeof(r->path), "%s", name.c_str());
    r->sspec = static_cast<socket_spec *>(calloc(1, sizeof(socket_spec)));
    r->mifc = static_cast<ifc_info *>(calloc(1, sizeof(ifc_info)));
    r->dgram = mk_dgram_idx(4, 1000);
    ASSERT_EQ(set_fdrec_tag(r, "rec-1"), 0);
    const void *area = r->mmbuf;

    debug_levels dbg;
    LogCapture cap;
    free_fdrec(r);
    const string log = cap.text();
    EXPECT_THAT(log,
                HasSubstr("free_fdrec: freed mmap-ed area (" + ptr_text(area) + ") [8192 bytes]\n"));
    EXPECT_THAT(log, HasSubstr("free_fdrec: removed '" + name + "'\n"));
    EXPECT_THAT(log, HasSubstr("free_fdrec: freeing sspec: "));
    EXPECT_THAT(log, HasSubstr("free_fdrec: freeing mifc: "));
    EXPECT_THAT(log, HasSubstr("free_fdrec: freeing [rec-1]: tag="));
    EXPECT_THAT(log, HasSubstr("free_dgram_idx: DI("));
    EXPECT_FALSE(fd_open(fd));
    EXPECT_FALSE(shm_exists(name));
}

TEST(fdrec, failures_of_the_release_are_logged_and_it_goes_on)
{
    TempDir dir;
    write_file(dir.file("f"), "x");
    fdrec *r = alloc_fdrec();
    ASSERT_NE(r, nullptr);
    // Not page-aligned: munmap refuses it.
    r->mmbuf = reinterpret_cast<void *>(uintptr_t(1));
    r->mmbuf_size = 4096;
    r->fd = open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC);
    const int fd = r->fd;
    const string name = shm_name("missing");
    snprintf(r->path, sizeof(r->path), "%s", name.c_str());
    LogCapture cap;
    free_fdrec(r);
    const string log = cap.text();
    EXPECT_THAT(log, HasSubstr("free_fdrec: munmap(0x1, 4096) ERROR(22): "));
    EXPECT_THAT(log, HasSubstr("free_fdrec: shm_unlink('" + name + "') ERROR(2): "));
    EXPECT_FALSE(fd_open(fd));

    // A path that fills its field without a terminator is read no further.
    fdrec *u = alloc_fdrec();
    memcpy(u->path, FDR_SHM_PREFIX, sizeof(FDR_SHM_PREFIX) - 1);
    memset(u->path + sizeof(FDR_SHM_PREFIX) - 1, 'a', FDR_PATH_MAX - sizeof(FDR_SHM_PREFIX) + 1);
    free_fdrec(u);
}

TEST(fdrec, files_open_for_reading_and_writing)
{
    TempDir dir;
    const string path = dir.file("rec.ts");
    const string url = "file://" + path;
    int kind = -7;
    fdrec *w = open_uri_dst(url.c_str(), nullptr, &kind);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(kind, URI_FILE);
    EXPECT_TRUE(S_ISREG(w->mode));
    EXPECT_STREQ(w->path, path.c_str());
    EXPECT_EQ(w->sspec, nullptr);
    ASSERT_EQ(write(w->fd, "abc", 3), 3);
    free_fdrec(w);

    fdrec *r = open_uri_src(url.c_str(), nullptr, &kind);
    ASSERT_NE(r, nullptr);
    char buf[8] = {};
    EXPECT_EQ(read(r->fd, buf, sizeof(buf)), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(write(r->fd, "x", 1), -1);
    free_fdrec(r);

    // Opening for writing again starts the file afresh.
    w = open_uri(false, url.c_str(), nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    free_fdrec(w);
    EXPECT_EQ(read_file(path), "");
    EXPECT_TRUE(file_exists(path));

    LogCapture cap;
    EXPECT_EQ(open_uri_src(("file://" + dir.file("none")).c_str(), nullptr, &kind), nullptr);
    EXPECT_EQ(kind, URI_FILE);
    EXPECT_THAT(cap.text(), HasSubstr("open_uri: open("));
}

TEST(fdrec, shared_memory_objects_are_made_and_removed_with_the_record)
{
    const string name = shm_name("open");
    const string url = "file://" + name;
    LogCapture cap;
    EXPECT_EQ(open_uri_src(url.c_str(), nullptr, nullptr), nullptr);
    EXPECT_THAT(cap.text(), HasSubstr("open_uri: shm_open('" + name + "') ERROR(2): "));
    EXPECT_FALSE(shm_exists(name));

    fdrec *w = open_uri_dst(url.c_str(), nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(shm_exists(name));
    EXPECT_STREQ(w->path, name.c_str());
    ASSERT_EQ(write(w->fd, "shm", 3), 3);
    fdrec *r = open_uri_src(url.c_str(), nullptr, nullptr);
    ASSERT_NE(r, nullptr);
    char buf[4] = {};
    EXPECT_EQ(pread(r->fd, buf, 3, 0), 3);
    EXPECT_STREQ(buf, "shm");
    free_fdrec(r);
    EXPECT_FALSE(shm_exists(name));
    free_fdrec(w);
}

TEST(fdrec, unsupported_and_malformed_urls)
{
    struct {
        const char *url;
        int kind;
        const char *log;
    } cases[] = {
        {"ftp://host/x", URI_BAD, "open_uri: unsupported type of URI [ftp://host/x]\n"},
        {"udp://", URI_BAD, "error parsing URI: [udp://]"},
        {"udp:///:5000", URI_UDP, "open_uri: no host in URI [udp:///:5000]\n"},
        {"tcp://127.0.0.1:", URI_TCP, "empty or invalid port"},
    };
    for (const auto &c : cases) {
        LogCapture cap;
        int kind = 99;
        EXPECT_EQ(open_uri(true, c.url, nullptr, &kind), nullptr) << c.url;
        EXPECT_EQ(kind, c.kind) << c.url;
        EXPECT_THAT(cap.text(), HasSubstr(c.log)) << c.url;
    }
}

}  // namespace
