#include "tasklist.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "log.h"
#include "registry.h"
#include "strops.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

namespace {

bool is_sep(char c) { return c == ' ' || c == '\t'; }

// The field at *p up to the next separator, terminated there; *p then
// points past the separator, or is null when the line ended.
char *next_field(char **p)
{
    char *start = *p;
    char *s = start;
    while (*s && !is_sep(*s)) ++s;
    if (*s) {
        *s = '\0';
        *p = s + 1;
    } else {
        *p = nullptr;
    }
    return start;
}

// Room for a line of TL_MAX_LINE characters, the two line-end characters
// chomp takes (the reader keeps a CR) and the NUL.
constexpr size_t LINE_ROOM = TL_MAX_LINE + 3;

}  // namespace

void parse_opkt(const char *text, task_options *options) noexcept
{
    static constexpr const char *fn = "parse_opkt";
    const char *num = text;
    if (isalpha(static_cast<unsigned char>(*num))) options->dalign = *num++;
    const long n = atol(num);
    if (n >= long(TL_MIN_OPKT) && n <= long(TL_MAX_OPKT))
        options->max_outpkt = size_t(n);
    else
        log_err("%s: invalid max_outpkt_len: [%s]\n", fn, text);
    log_dbg("%s: parsed [%s] d:%c,outp=%zu\n", fn, text, options->dalign ? options->dalign : '.',
            options->max_outpkt);
}

char *parse_rest(char *text, task_options *options) noexcept
{
    static constexpr const char *fn = "parse_rest";
    if (!strchr(text, ';')) return *text ? text : nullptr;
    char *cid = nullptr;
    char *save = nullptr;
    for (char *item = strtok_r(text, ";", &save); item; item = strtok_r(nullptr, ";", &save)) {
        if (strncasecmp(item, "OPKT=", 5) == 0) {
            parse_opkt(item + 5, options);
        } else if (strncasecmp(item, "TTL=", 4) == 0) {
            options->ttl = atoi(item + 4);
            if (options->ttl < 0) {
                log_err("%s: invalid TTL value: %d [%s]\n", fn, options->ttl, item);
                options->ttl = 0;
            }
        } else if (strncasecmp(item, "CID=", 4) == 0) {
            if (cid)
                log_err("%s: CID already given [%s]\n", fn, cid);
            else if (item[4])
                cid = item + 4;
        }
    }
    return cid;
}

int parse_task_line(char *line, task_line *tl) noexcept
{
    static constexpr const char *fn = "load_tasks";
    *tl = task_line{};
    chomp(line);
    char *p = line;
    char *src = next_field(&p);
    if (!p) {
        log_err("%s: missing destination: [%s]\n", fn, line);
        return -1;
    }
    tl->dst = next_field(&p);
    if (p) tl->cid = parse_rest(p, &tl->opt);
    if (char *bar = strchr(src, '|')) {
        *bar = '\0';
        tl->alt = bar + 1;
    }
    tl->src = src;
    return 0;
}

int load_tasks(const char *path) noexcept
{
    static constexpr const char *fn = "load_tasks";
    FILE *fp = fopen(path, "re");
    if (!fp) {
        log_err("%s: fopen(%s,..) FAILED(%d): %s\n", fn, path, errno, strerror(errno));
        return -1;
    }
    log_info("%s: from [%s]\n", fn, path);
    int rc = 0;
    size_t lineno = 0;
    char line[LINE_ROOM];
    for (;;) {
        const ssize_t n = read_line(fp, line, sizeof(line));
        if (n == LINE_EOF) break;
        ++lineno;
        // A line is judged whole: read in pieces, the rest of a long
        // comment would become a task of its own.
        if (n == LINE_NUL) {
            log_err("%s: [%s] line %lu holds a NUL byte\n", fn, path, (unsigned long)lineno);
            rc = -1;
        } else if (n == LINE_ERROR) {
            log_err("%s: [%s] read ERROR(%d): %s\n", fn, path, errno, strerror(errno));
            rc = -1;
        } else if (n == LINE_LONG || strlen(chomp(line)) > TL_MAX_LINE) {
            log_err("%s: [%s] line %lu is longer than %lu characters\n", fn, path,
                    (unsigned long)lineno, (unsigned long)TL_MAX_LINE);
            rc = -1;
        }
        if (rc != 0) break;
        if (line[0] == '#') continue;
        task_line tl;
        if (parse_task_line(line, &tl) != 0) {
            rc = -1;
            break;
        }
        char optbuf[64];
        log_dbg("%s: src=[%s] asrc=[%s] dst=[%s] cid=[%s] (%s)\n", fn, tl.src,
                tl.alt ? tl.alt : "", tl.dst, tl.cid ? tl.cid : "",
                rta_optstr(&tl.opt, optbuf, sizeof(optbuf)));
        if ((rc = add_task(-1, tl.src, tl.dst, tl.alt, tl.cid, &tl.opt)) != 0) break;
    }
    fclose(fp);
    log_info("%s: done\n", fn);
    return rc;
}
