#pragma once
// Scope owners of what the library gets from the system, released on every
// path so that early returns cannot leak, and errno kept across cleanup.
#include <ifaddrs.h>
#include <netdb.h>

#include <cerrno>

// Puts errno back as it was at construction, or to err once changed.
struct errno_guard {
    int err = errno;
    errno_guard() = default;
    errno_guard(const errno_guard &) = delete;
    errno_guard &operator=(const errno_guard &) = delete;
    ~errno_guard() { errno = err; }
};

// A getaddrinfo() result list.
struct ai_list {
    addrinfo *head = nullptr;
    ai_list() = default;
    ai_list(const ai_list &) = delete;
    ai_list &operator=(const ai_list &) = delete;
    ~ai_list()
    {
        if (head) freeaddrinfo(head);
    }
};

// A getifaddrs() result list.
struct ifa_list {
    ifaddrs *head = nullptr;
    ifa_list() = default;
    ifa_list(const ifa_list &) = delete;
    ifa_list &operator=(const ifa_list &) = delete;
    ~ifa_list()
    {
        if (head) freeifaddrs(head);
    }
};
