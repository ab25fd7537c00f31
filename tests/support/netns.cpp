#include "netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for the child to end, at most timeout_ms; true when it did.
bool wait_child(pid_t pid, int *status, int timeout_ms)
{
    const long deadline = now_ms() + timeout_ms;
    const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            if (pidfd >= 0) close(pidfd);
            return false;
        }
        const long left = deadline - now_ms();
        if (left <= 0) {
            if (pidfd >= 0) close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            (void)poll(&p, 1, int(left));
        } else {
            (void)poll(nullptr, 0, left < 10 ? int(left) : 10);
        }
    }
    if (pidfd >= 0) close(pidfd);
    return true;
}

}  // namespace

int start_child(const std::function<int()> &body)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int rc = body();
        fflush(nullptr);
        _exit(rc);
    }
    return pid;
}

int finish_child(int pid, int timeout_ms)
{
    if (pid < 0) return -1;
    int status = 0;
    if (!wait_child(pid, &status, timeout_ms)) {
        fprintf(stderr, "finish_child: child %d did not end in %d ms\n", pid, timeout_ms);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    fprintf(stderr, "finish_child: child %d ended by signal %d\n", pid,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
}

int run_in_child(const std::function<int()> &body, int timeout_ms)
{
    return finish_child(start_child(body), timeout_ms);
}

bool run_quiet(const std::string &cmd)
{
    const std::string line = cmd + " >/dev/null 2>&1";
    return system(line.c_str()) == 0;
}

bool enter_private_netns()
{
    if (unshare(CLONE_NEWNET) != 0) return false;
    if (!run_quiet("ip link set lo up") || !run_quiet("ip link set lo multicast on")) return false;
    // No IPv6 multicast route through lo: the kernel turns IPv6 routes via
    // lo into reject routes, so IPv6 cases need an interface of their own.
    return run_quiet("ip route add 224.0.0.0/4 dev lo src 127.0.0.1");
}

bool enter_netns(const std::string &name)
{
    const std::string path = "/run/netns/" + name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

bool have_ipv6_loopback()
{
    const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

VethPair::VethPair(int subnet) : subnet_(subnet)
{
    static std::atomic<int> seq{0};
    const std::string tag = std::to_string(getpid()) + "_" + std::to_string(seq++);
    a_ = "tvA" + tag;
    b_ = "tvB" + tag;
    if (!run_quiet("ip netns add " + a_)) return;
    if (!run_quiet("ip netns add " + b_)) return;
    const std::string na = "ip -n " + a_ + " ", nb = "ip -n " + b_ + " ";
    ok_ = run_quiet(na + "link add va type veth peer name vb netns " + b_) &&
          run_quiet(na + "addr add " + addr_a() + "/24 dev va") &&
          run_quiet(nb + "addr add " + addr_b() + "/24 dev vb") &&
          run_quiet(na + "link set lo up") && run_quiet(nb + "link set lo up") &&
          run_quiet(na + "link set va up") && run_quiet(nb + "link set vb up") &&
          wait_carrier();
}

// A veth end gets its carrier asynchronously once both ends are up; until
// then the kernel drops what is sent on it.  Waits at most 2 s.
bool VethPair::wait_carrier() const
{
    const std::string up = "ip -n " + a_ + " link show va | grep -q LOWER_UP && ip -n " + b_ +
                           " link show vb | grep -q LOWER_UP";
    return run_quiet("for i in $(seq 200); do " + up + " && exit 0; sleep 0.01; done; exit 1");
}

VethPair::~VethPair()
{
    (void)run_quiet("ip netns del " + a_);
    (void)run_quiet("ip netns del " + b_);
}

std::string VethPair::addr_a() const { return "10." + std::to_string(subnet_) + ".0.1"; }
std::string VethPair::addr_b() const { return "10." + std::to_string(subnet_) + ".0.2"; }

int in_netns(const std::function<int()> &body)
{
    return run_in_child([&] {
        if (!enter_private_netns()) return CHILD_SKIP;
        return body();
    });
}

bool add_ipv6_mcast_ifc(const std::string &ifc)
{
    const std::string peer = ifc + "p";
    if (!have_ipv6_loopback() ||
        !run_quiet("ip link add " + ifc + " type veth peer name " + peer) ||
        !run_quiet("echo 1 > /proc/sys/net/ipv6/conf/" + peer + "/disable_ipv6") ||
        !run_quiet("ip -6 addr add fd00:6::a/64 dev " + ifc + " nodad") ||
        !run_quiet("ip link set " + ifc + " up") || !run_quiet("ip link set " + peer + " up"))
        return false;
    // The carrier comes asynchronously; memberships made before it may be
    // dropped when it does.
    return run_quiet("for i in $(seq 200); do ip link show " + ifc +
                     " | grep -q LOWER_UP && exit 0; sleep 0.01; done; exit 1");
}

int mcast_group_rx(const char *group, int port, const char *ifc)
{
    sockaddr_storage ss{};
    auto *a4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    socklen_t len = sizeof(sockaddr_in);
    if (inet_pton(AF_INET, group, &a4->sin_addr) == 1) {
        a4->sin_family = AF_INET, a4->sin_port = htons(uint16_t(port));
    } else if (inet_pton(AF_INET6, group, &a6->sin6_addr) == 1) {
        a6->sin6_family = AF_INET6, a6->sin6_port = htons(uint16_t(port));
        len = sizeof(sockaddr_in6);
    } else {
        return -1;
    }
    const int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1, big = 4 << 20;
    const unsigned idx = if_nametoindex(ifc);
    bool ok = idx != 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big) == 0 &&
              bind(fd, reinterpret_cast<const sockaddr *>(&ss), len) == 0;
    if (ok && ss.ss_family == AF_INET) {
        const ip_mreqn m{a4->sin_addr, {}, int(idx)};
        ok = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 &&
             setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) == 0;
    } else if (ok) {
        const ipv6_mreq m{a6->sin6_addr, idx};
        ok = setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &m, sizeof m) == 0 &&
             setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on) == 0;
    }
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

int recv_with_ttl(int fd, std::string *data, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    std::string buf(70000, '\0');
    iovec iov{buf.data(), buf.size()};
    alignas(cmsghdr) char ctl[256];
    msghdr mh{};
    mh.msg_iov = &iov, mh.msg_iovlen = 1, mh.msg_control = ctl, mh.msg_controllen = sizeof ctl;
    const ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
    if (n < 0) return -1;
    if (data) data->assign(buf.data(), size_t(n));
    for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
        if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
            (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)) {
            int v = 0;
            memcpy(&v, CMSG_DATA(c), sizeof v);
            return v;
        }
    }
    return -1;
}
