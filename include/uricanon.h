#pragma once
// One text for every spelling of an endpoint URL, so that task keys and
// the comparisons of a request's endpoints see "239.1.1.1:5000",
// "udp://239.1.1.1:5000" and "UDP://239.1.1.1:05000" as the one endpoint
// they are.
#include <cstddef>

// Room of a canonical URL, terminator included.
constexpr size_t URI_CANON_MAX = 256;

// The canonical form of url into buf: the scheme in lower case ("udp" for
// a text without one, and for "rtp", which opens the same socket), then the
// source of a source-specific membership (none when empty; without its
// port) and the host as the resolver parses them (a numeric address in its
// numeric form, IPv6 in brackets; a name in lower case), the port as a number
// without leading zeros (80 for http without one), then the rest (path and
// query; "/" for an http URL without one) as written.  0; -1, with buf
// empty, for a text that is no endpoint URL (a host that is no address or
// name, a port that is no number of 0..65535) or that does not fit.
int uri_canon(const char *url, char *buf, size_t size) noexcept;

// True when a and b name one endpoint: equal canonical forms.  Texts that
// have no canonical form are compared as written, ignoring case.
bool uri_same_endpoint(const char *a, const char *b) noexcept;
