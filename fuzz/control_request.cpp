// The whole request path of a control request without sockets: the head's
// bytes as they would fill the head buffer, the end-of-head search, the
// parse into source, destination, command and query keys, the answer the
// read handler would choose, and the task key the write handler would look
// up or create.  Logging runs at DEBUG into /dev/null, so every log line's
// arguments (client input, escaped) are built too.
#include "fuzz_target.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "rq.h"
#include "txtesc.h"
#include "webops.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

bool terminated(const char *buf, size_t size) { return memchr(buf, '\0', size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *null_fp = fopen("/dev/null", "w");
    if (null_fp) log_default(&g_log, null_fp);
    g_mod_ll[LM_DEFAULT] = null_fp ? DEBUG_level : MIN_level;

    // The head buffer holds at most 1023 bytes; a head without its end
    // within them is handled as a closed connection.
    char *hbuf = static_cast<char *>(calloc(1, URQ_HBUF_LEN));
    if (!hbuf) return 0;
    const size_t n = size < URQ_HBUF_LEN - 1 ? size : URQ_HBUF_LEN - 1;
    if (n) memcpy(hbuf, data, n);
    const size_t eod = head_eod(hbuf, n);
    if (eod == 0) {
        free(hbuf);
        return 0;
    }
    char esc[ESC_EXCERPT_ROOM];
    esc_text(hbuf, n, esc, sizeof(esc));
    check(strlen(esc) < sizeof(esc));
    hbuf[eod] = '\0';

    tvl_urq *rq = static_cast<tvl_urq *>(calloc(1, sizeof(tvl_urq)));
    if (!rq) {
        free(hbuf);
        return 0;
    }
    rq->tag.num = URQ_TAG;
    rq->hbuf = hbuf;
    rq->hlen = URQ_HBUF_LEN;
    rq->hpos = eod;
    const int rc = parse_tvl_get(rq);
    check(terminated(rq->uri_src, sizeof(rq->uri_src)));
    check(terminated(rq->uri_dst, sizeof(rq->uri_dst)));
    check(rq->resp == nullptr || rq->resp == &g_resp_bad);
    const http_response *answer = rc == 0 ? &g_resp_ok : rq->resp ? rq->resp : &g_resp_err;
    check(rc != 0 || answer == &g_resp_ok);
    check(rc == 0 || answer != &g_resp_ok);
    if (rc == 0) {
        check(rq->must_drop == 0 || rq->must_drop == 1 || rq->must_drop == KILL_MODE);
        check(!rq->cmd || (rq->cmd > rq->uri_dst && rq->cmd < rq->uri_dst + sizeof(rq->uri_dst)));
        check(!(rq->is_keep_alive && rq->must_drop));
        check(rq->max_outpkt == 0 ||
              (rq->max_outpkt >= URQ_MIN_OPKT && rq->max_outpkt <= URQ_MAX_OPKT));
        for (const char *c = rq->uri_src; *c; ++c)
            check(static_cast<unsigned char>(*c) >= 0x20 && static_cast<unsigned char>(*c) < 0x7f);
        urq_urls u;
        urq_mk_urls(rq, &u);
        check(strlen(u.src) <= URQ_MAX_URL && strlen(u.dst) <= URQ_MAX_URL &&
              strlen(u.alt) <= URQ_MAX_ALTURL);
        check(has_uri_scheme(u.src) && has_uri_scheme(u.dst));
        char key[MAX_RTASK_HKEY];
        const int krc = urq_task_key(rq, key, sizeof(key));
        check(krc == 0 || krc == -1);
        if (krc == 0) {
            check(strlen(key) > 0 && strlen(key) < sizeof(key));
            if (rq->cid) check(strcmp(key, rq->cid) == 0);
        }
    }
    if (rq->query_ht) skht_destroy(rq->query_ht, free);
    free(rq);
    free(hbuf);
    return 0;
}
