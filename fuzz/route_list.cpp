// The route-list reader over arbitrary file contents.  Besides the
// sanitizers, the target checks what a loaded table promises: every field
// present and within its room, keys that follow from the sources, and URLs
// that can always be built from a route.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dchain.h"
#include "fuzz_target.h"
#include "log.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

bool field_ok(const char (&f)[MAX_ADDRSTR])
{
    const size_t n = strnlen(f, sizeof(f));
    return n > 0 && n < sizeof(f);
}

void check_route(const void *key, void *data, void *)
{
    const auto *r = static_cast<const redir_route *>(data);
    check(field_ok(r->src) && field_ok(r->rmt) && field_ok(r->rmt_src) && field_ok(r->rcv));
    // The key is the source or the source less its port.
    const size_t klen = strlen(static_cast<const char *>(key));
    check(klen <= strlen(r->src) && strncmp(r->src, static_cast<const char *>(key), klen) == 0);
    char *url = rrt_remote_url(r);
    check(url != nullptr);
    free(url);
    url = rrt_udp_url("fuzz", r->rcv);
    check(url != nullptr);
    free(url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Refusals are logged at ERR; keep the run quiet.
    g_mod_ll[LM_DEFAULT] = MIN_level;
    const int fd = memfd_create("routes", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (size && write(fd, data, size) != ssize_t(size)) {
        close(fd);
        return 0;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);

    skht_t ht = 0;
    const int rc = rrt_file_load(path, &ht);
    check(rc == 0 || rc == -1 || rc == 7);
    check((rc == 0) == (ht != 0));
    if (ht) {
        check(skht_count(ht) <= RRT_CAPACITY + 1);
        skht_iter(ht, check_route, nullptr);
        rrt_free(ht);
    }
    check(rrt_file_load(path, nullptr) == rc);
    close(fd);
    return 0;
}
