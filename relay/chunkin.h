#pragma once
// The input of an HTTP source whose answer body comes in chunks.  The
// answer head decides; from then on every read, and the bytes that came
// with the head, lose their framing in place before the byte ring takes
// them, so the ring sees the stream alone.  The last chunk ends the source
// as a close of the connection does, once what came before it has gone
// out; framing that is malformed fails the source as a broken connection
// does, with one log line that says what was wrong and where.
#include <cstddef>
#include <cstdint>

#include "rtask.h"

// Bytes of the body shown, escaped, in the line of a framing failure.
constexpr size_t CHUNKIN_EXCERPT = 24;

// After a complete answer head of a stream source (head_len bytes at
// head): when the head frames the body in chunks, sets the task to decode
// it (and forgets a Content-Length, which chunks override).  True then.
bool chunkin_start(rtask *t, const char *head, size_t head_len) noexcept;
// Decodes the *len body bytes at buf (just read, or the bytes after the
// answer head) in place; *len = the payload left at buf, what came before
// a fault included.  At the last chunk and at malformed framing (ERR
// "malformed chunked body", once) the source's reading side is shut, so
// that a read event comes whatever the server does; the read step then
// ends the source (stpath.h).
void chunkin_decode(rtask *t, uint8_t *buf, size_t *len) noexcept;
// Once the payload that came before the last chunk or malformed framing
// has gone out: -1, the source ended as by a close or failed as by a
// broken connection (task error "connection lost", 103).
int chunkin_end(rtask *t) noexcept;
