#include "prfm.h"

#include <cstdarg>
#include <cstdlib>

namespace {

constexpr long NSEC_PER_SEC = 1000000000L;
constexpr long USEC_PER_SEC = 1000000L;

void capture(const prfm *r, prfm_metrics *m) noexcept
{
    if ((r->flags & prfm_TIME) && clock_gettime(CLOCK_MONOTONIC, &m->tm) != 0) {
        perror("clock_gettime");
        abort();
    }
    if ((r->flags & prfm_RUSAGE) && getrusage(r->who, &m->ru) != 0) {
        perror("getrusage");
        abort();
    }
}

void clear_measured(prfm *r) noexcept
{
    if (r->flags & prfm_TIME) r->start.tm = r->accum.tm = timespec{};
    if (r->flags & prfm_RUSAGE) r->start.ru = r->accum.ru = rusage{};
}

// acc += now - start, with the sub-second part carried at `unit`.
template <typename Sec, typename Sub>
void add_span(Sec &acc_s, Sub &acc_sub, Sec now_s, Sub now_sub, Sec start_s, Sub start_sub,
              long unit) noexcept
{
    Sec ds = now_s - start_s;
    Sub dsub = now_sub - start_sub;
    if (dsub < 0) {
        dsub += unit;
        --ds;
    }
    acc_s += ds;
    acc_sub += dsub;
    if (acc_sub >= unit) {
        acc_sub -= unit;
        ++acc_s;
    }
}

void add_timeval(timeval &acc, const timeval &now, const timeval &start) noexcept
{
    add_span(acc.tv_sec, acc.tv_usec, now.tv_sec, now.tv_usec, start.tv_sec, start.tv_usec,
             USEC_PER_SEC);
}

}  // namespace

void prfm_xinit(prfm *r, int32_t flags, int who) noexcept
{
    r->flags = flags;
    clear_measured(r);
    r->who = who;
}

void prfm_destroy(prfm *r) noexcept
{
    clear_measured(r);
    r->flags = 0;
}

void prfm_start(prfm *r) noexcept { capture(r, &r->start); }

void prfm_stop(prfm *r) noexcept
{
    prfm_metrics now;
    capture(r, &now);

    if (r->flags & prfm_TIME)
        add_span(r->accum.tm.tv_sec, r->accum.tm.tv_nsec, now.tm.tv_sec, now.tm.tv_nsec,
                 r->start.tm.tv_sec, r->start.tm.tv_nsec, NSEC_PER_SEC);

    if (r->flags & prfm_RUSAGE) {
        rusage &a = r->accum.ru;
        const rusage &n = now.ru, &s = r->start.ru;
        add_timeval(a.ru_utime, n.ru_utime, s.ru_utime);
        add_timeval(a.ru_stime, n.ru_stime, s.ru_stime);
        a.ru_maxrss += n.ru_maxrss - s.ru_maxrss;
        a.ru_ixrss += n.ru_ixrss - s.ru_ixrss;
        a.ru_idrss += n.ru_idrss - s.ru_idrss;
        a.ru_isrss += n.ru_isrss - s.ru_isrss;
        a.ru_minflt += n.ru_minflt - s.ru_minflt;
        a.ru_majflt += n.ru_majflt - s.ru_majflt;
        a.ru_nswap += n.ru_nswap - s.ru_nswap;
        a.ru_inblock += n.ru_inblock - s.ru_inblock;
        a.ru_oublock += n.ru_oublock - s.ru_oublock;
        a.ru_msgsnd += n.ru_msgsnd - s.ru_msgsnd;
        a.ru_msgrcv += n.ru_msgrcv - s.ru_msgrcv;
        a.ru_nsignals += n.ru_nsignals - s.ru_nsignals;
        a.ru_nvcsw += n.ru_nvcsw - s.ru_nvcsw;
        a.ru_nivcsw += n.ru_nivcsw - s.ru_nivcsw;
    }
}

void prfm_probe(prfm *r) noexcept
{
    capture(r, &r->accum);
    r->accum.tm = timespec{};
}

void prfm_dump(FILE *fp, const prfm *r, const char *fmt, ...) noexcept
{
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        vfprintf(fp, fmt, ap);
        va_end(ap);
    }
    if (r->flags & prfm_TIME)
        fprintf(fp, "== time:\t%ld.%09ld\n", long(r->accum.tm.tv_sec), long(r->accum.tm.tv_nsec));
    if (r->flags & prfm_RUSAGE) {
        const rusage &u = r->accum.ru;
        fprintf(fp, "== resource usage:\n");
        fprintf(fp, "  user_time: %ld.%06ld, sys_time: %ld.%06ld\n", long(u.ru_utime.tv_sec),
                long(u.ru_utime.tv_usec), long(u.ru_stime.tv_sec), long(u.ru_stime.tv_usec));
        fprintf(fp, "  maxrss: %ld, ixrss: %ld, idrss: %ld, isrss: %ld\n", u.ru_maxrss,
                u.ru_ixrss, u.ru_idrss, u.ru_isrss);
        fprintf(fp, "  minflt: %ld, majflt: %ld, nswap=%ld\n", u.ru_minflt, u.ru_majflt,
                u.ru_nswap);
        fprintf(fp, "  inblock: %ld, outblock: %ld, msgsnd: %ld, msgrcv: %ld\n", u.ru_inblock,
                u.ru_oublock, u.ru_msgsnd, u.ru_msgrcv);
        fprintf(fp, "  nsignals: %ld, nvcsw: %ld, nivcsw: %ld\n", u.ru_nsignals, u.ru_nvcsw,
                u.ru_nivcsw);
        fprintf(fp, "==\n");
    }
}
