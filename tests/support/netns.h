#pragma once
// Private network namespaces for socket and multicast tests, so that no
// test traffic leaves the machine or meets another test's.
//
// A case runs in a forked child (run_in_child) that reports through its
// exit status: 0 passed, CHILD_SKIP the host cannot make namespaces, any
// other value failed (the child says why on stderr).
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

constexpr int CHILD_SKIP = 77;

// In a child body: report a failed check on stderr and fail the child.
#define CHILD_CHECK(cond)                                                                  \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            fprintf(stderr, "%s:%d: child check failed: %s (errno %d)\n", __FILE__, __LINE__, \
                    #cond, errno);                                                         \
            return 1;                                                                      \
        }                                                                                  \
    } while (0)

// Runs body in a forked child and returns its exit status; -1 when the
// child could not be started, was killed by a signal, or had not ended
// after timeout_ms (it is then killed).
int run_in_child(const std::function<int()> &body, int timeout_ms = 30000);

// The two halves of run_in_child, for a child that runs beside others:
// start_child gives the child's pid (or -1); finish_child waits for it at
// most timeout_ms and gives what run_in_child would.
int start_child(const std::function<int()> &body);
int finish_child(int pid, int timeout_ms = 30000);

// Runs a shell command with its output discarded; true on exit status 0.
bool run_quiet(const std::string &cmd);

// In a child: moves the process into a new network namespace with lo up,
// multicast on lo and 224.0.0.0/4 routed through lo (source 127.0.0.1).
// false when the namespace cannot be made.
bool enter_private_netns();

// Runs body in a child inside a fresh private network namespace:
// CHILD_SKIP when none can be made, else body's result.
int in_netns(const std::function<int()> &body);

// Passes a child's result to GoogleTest: skipped without namespaces.
#define EXPECT_CHILD_OK(rc)                                                        \
    do {                                                                           \
        const int rc_ = (rc);                                                      \
        if (rc_ == CHILD_SKIP) GTEST_SKIP() << "cannot make a network namespace";  \
        EXPECT_EQ(rc_, 0);                                                         \
    } while (0)

// In a child: moves the process into the named namespace; false on failure.
bool enter_netns(const std::string &name);

// True when ::1 can be bound in the current namespace.
bool have_ipv6_loopback();

// In a private namespace: the veth end ifc (its peer ifc + "p" has IPv6
// off) with fd00:6::a/64, up with its carrier.  IPv6 multicast sent with
// ifc as its interface comes back to local members there (IPv6 routes via
// lo become reject routes).  false when it cannot be made.
bool add_ipv6_mcast_ifc(const std::string &ifc);

// A datagram socket bound to group:port (IPv4 or IPv6, SO_REUSEADDR) that
// joined the group on ifc and reports the TTL or hop limit of what it
// receives; -1 on failure.
int mcast_group_rx(const char *group, int port, const char *ifc);

// Receives one datagram from a socket of mcast_group_rx within timeout_ms:
// its bytes into *data and its TTL or hop limit; -1 when none came.
int recv_with_ttl(int fd, std::string *data, int timeout_ms);

// Two named namespaces joined by a veth pair (names unique to this
// process), removed on destruction whatever happened in between:
//
//   ns a()                           ns b()
//   lo   127.0.0.1                   lo   127.0.0.1
//   va   10.<n>.0.1/24  <-- veth --> vb   10.<n>.0.2/24
class VethPair {
public:
    explicit VethPair(int subnet = 71);
    ~VethPair();
    VethPair(const VethPair &) = delete;
    VethPair &operator=(const VethPair &) = delete;
    bool ok() const { return ok_; }
    const std::string &a() const { return a_; }
    const std::string &b() const { return b_; }
    std::string addr_a() const;
    std::string addr_b() const;

private:
    bool wait_carrier() const;
    std::string a_, b_;
    int subnet_;
    bool ok_ = false;
};
