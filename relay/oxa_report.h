#pragma once
// Delivery of the agent's messages to the daemon: "JOIN UDP://<group>\n"
// and "LEAVE UDP://<group>\n", one UDP datagram each (no NUL, no reply, no
// retry), or one line each on the standard output.

namespace oxa {

// A message is shorter than this (the longest real one has 28 bytes).
constexpr int OXA_MSG_SIZE = 127;

// Sets up g_ctx.rep from g_cfg.report_url: empty, the standard output
// (line-buffered); else a non-blocking UDP socket aimed at the URL's
// address.  0, or -1 when the socket cannot be opened (logged).
int reporter_setup() noexcept;

// Formats one message and delivers it without waiting; a text of 127 bytes
// or more, a failed send or a full socket buffer loses it (logged).
[[gnu::format(printf, 1, 2)]] void relay_msg(const char *fmt, ...) noexcept;

// Closes the reporter's socket (and a stream other than stdout and
// stderr); repeating it does nothing.
void reporter_close() noexcept;

}  // namespace oxa
