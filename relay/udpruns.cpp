#include "udpruns.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

void udp_runs_build(udp_runs *r, const struct iovec *iov, size_t n, const struct sockaddr *addr,
                    socklen_t addr_len) noexcept
{
    lfx_assert(n <= UDP_RUN_MAX);
    void *name = addr_len ? const_cast<sockaddr *>(addr) : nullptr;
    r->count = 0;
    for (size_t i = 0; i < n;) {
        const size_t seg = iov[i].iov_len;
        const size_t cap = seg ? std::min(UDP_RUN_MAX, UDP_RUN_MAX_BYTES / seg) : 1;
        size_t j = i + 1;
        for (; j < n && j - i < cap && iov[j].iov_len <= seg && iov[j].iov_len > 0; ++j)
            if (iov[j].iov_len < seg) {
                ++j;
                break;
            }
        mmsghdr &h = r->hdr[r->count];
        h = mmsghdr{};
        h.msg_hdr.msg_name = name;
        h.msg_hdr.msg_namelen = addr_len;
        h.msg_hdr.msg_iov = const_cast<struct iovec *>(&iov[i]);
        h.msg_hdr.msg_iovlen = j - i;
        if (j - i > 1) {
            h.msg_hdr.msg_control = r->ctl[r->count].buf;
            h.msg_hdr.msg_controllen = sizeof(r->ctl[r->count].buf);
            cmsghdr *cm = CMSG_FIRSTHDR(&h.msg_hdr);
            cm->cmsg_level = SOL_UDP;
            cm->cmsg_type = UDP_SEGMENT;
            cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            const auto size = uint16_t(seg);
            memcpy(CMSG_DATA(cm), &size, sizeof(size));
        }
        r->first[r->count++] = i;
        i = j;
    }
    r->first[r->count] = n;
}

ssize_t udp_runs_send(int fd, const udp_runs *r) noexcept
{
    const int sent = sendmmsg(fd, const_cast<mmsghdr *>(r->hdr), unsigned(r->count), MSG_DONTWAIT);
    if (sent < 1) return sent < 0 ? -1 : 0;
    return ssize_t(r->first[sent]);
}

bool udp_runs_fit(const rtask *task) noexcept
{
    const int family = task->out_uc.sspec.addr_ss.ss_family;
    return task->out_uc.sspec.addr_len > 0 && (family == AF_INET || family == AF_INET6);
}

bool is_run_refusal(int err) noexcept
{
    return err == EINVAL || err == EIO || err == EMSGSIZE || err == ENOPROTOOPT ||
           err == EOPNOTSUPP;
}
