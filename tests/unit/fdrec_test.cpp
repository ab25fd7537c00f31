#include "fdrec.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
    return fd >= 0 && close(fd) == 0;
}

string ptr(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%p", p);
    return buf;
}

TEST(fdrec, tags_and_release_of_everything_held)
{
    fdrec *r = alloc_fdrec();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->fd, -1);
    EXPECT_EQ(r->wd, -1);
    r->mmbuf = mmap(nullptr, 8192, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    r->mmbuf_size = 8192;
    const string area = ptr(r->mmbuf);
    EXPECT_EQ(get_fdrec_tag(r), "r(" + ptr(r) + ").M(" + area + ")");
    ASSERT_EQ(set_fdrec_tag(r, nullptr), 0);
    r->fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    r->mode = S_IFCHR;
    EXPECT_EQ(get_fdrec_tag(r), "r(" + ptr(r) + ").CHR(" + std::to_string(r->fd) + ")");
    const int fd = r->fd;

    const string name = shm_name("free");
    const int sfd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(sfd, 0);
    close(sfd);
    snprintf(r->path, sizeof(r->path), "%s", name.c_str());
    r->sspec = static_cast<socket_spec *>(calloc(1, sizeof(socket_spec)));
    r->mifc = static_cast<ifc_info *>(calloc(1, sizeof(ifc_info)));
    r->dgram = mk_dgram_idx(4, 1000);
    const int saved = g_mod_ll[LM_DEFAULT];
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    LogCapture cap;
    free_fdrec(r);  // the sanitizer build finds whatever is not released
    g_mod_ll[LM_DEFAULT] = saved;
    EXPECT_THAT(cap.text(), HasSubstr("free_fdrec: freed mmap-ed area (" + area + ") [8192 bytes]"));
    EXPECT_THAT(cap.text(), HasSubstr("free_fdrec: removed '" + name + "'\n"));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_FALSE(shm_exists(name));

    // Failures are logged and the release goes on; a path without a
    // terminator is read no further than its field.
    fdrec *f = alloc_fdrec();
    f->mmbuf = reinterpret_cast<void *>(uintptr_t(1));
    f->mmbuf_size = 4096;
    f->fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    memset(f->path, 'a', FDR_PATH_MAX);
    memcpy(f->path, FDR_SHM_PREFIX, sizeof(FDR_SHM_PREFIX) - 1);
    cap.clear();
    free_fdrec(f);
    EXPECT_THAT(cap.text(), HasSubstr("free_fdrec: munmap(0x1, 4096) ERROR(22): "));
    EXPECT_THAT(cap.text(), HasSubstr("free_fdrec: shm_unlink('/shm.aaa"));
    free_fdrec(nullptr);
}

TEST(fdrec, files_and_shared_memory_by_url)
{
    TempDir dir;
    const string file = "file://" + dir.file("rec.ts");
    int kind = -7;
    fdrec *w = open_uri_dst(file.c_str(), nullptr, &kind);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(kind, URI_FILE);
    EXPECT_STREQ(w->path, dir.file("rec.ts").c_str());
    ASSERT_EQ(write(w->fd, "abc", 3), 3);
    free_fdrec(w);
    fdrec *r = open_uri_src(file.c_str(), nullptr, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(write(r->fd, "x", 1), -1);  // read-only
    free_fdrec(r);
    free_fdrec(open_uri(false, file.c_str(), nullptr, nullptr));
    EXPECT_EQ(read_file(dir.file("rec.ts")), "");  // writing starts afresh

    const string name = shm_name("url"), shm = "file://" + name;
    LogCapture cap;
    EXPECT_EQ(open_uri_src(shm.c_str(), nullptr, nullptr), nullptr);
    EXPECT_THAT(cap.text(), HasSubstr("open_uri: shm_open('" + name + "') ERROR(2): "));
    w = open_uri_dst(shm.c_str(), nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(shm_exists(name));
    free_fdrec(w);
    EXPECT_FALSE(shm_exists(name));

    EXPECT_EQ(open_uri(true, "ftp://host/x", nullptr, &kind), nullptr);
    EXPECT_EQ(kind, URI_BAD);
    EXPECT_THAT(cap.text(), HasSubstr("open_uri: unsupported type of URI [ftp://host/x]\n"));
    EXPECT_EQ(open_uri(true, "udp:///:5000", nullptr, &kind), nullptr);
    EXPECT_EQ(kind, URI_UDP);
}

}  // namespace
