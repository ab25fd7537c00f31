#include "netns.h"

#include <fcntl.h>
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
