// Chunked bodies over arbitrary bytes: the input's first byte chooses how
// the rest is cut into pieces, which are decoded one at a time, each in a
// buffer of exactly its size, as reads would bring them.  Besides the
// sanitizers, the target checks that the result, the bytes taken and the
// payload do not depend on the cuts (the whole body decoded in one call is
// the model), that payload never outgrows its piece, that an ended or
// failed decoder takes nothing more, and that a failure's offending byte
// lies unmoved where the decoder says.  The same bytes also go through the
// answer-head check.
#include "fuzz_target.h"

#include <cstring>
#include <string>
#include <vector>

#include "chunked.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

// Piece lengths (1 to 1 + mask) drawn from a small linear generator; a
// draw of 0 gives single bytes.
std::vector<size_t> cut(size_t total, uint8_t draw)
{
    std::vector<size_t> pieces;
    const uint32_t mask = draw & 0x80 ? 0x3ff : 0x1f;
    uint32_t state = draw * 2654435761u + 1;
    while (total) {
        state = state * 1103515245u + 12345u;
        size_t n = draw ? 1 + (state >> 16 & mask) : 1;
        if (n > total) n = total;
        pieces.push_back(n);
        total -= n;
    }
    return pieces;
}

struct decoded {
    std::string payload;
    int result = CHUNK_MORE;
    uint64_t at = 0;
};

decoded decode(const uint8_t *body, size_t size, const std::vector<size_t> &pieces)
{
    decoded o;
    chunk_dec d;
    chunk_init(&d);
    size_t from = 0;
    for (size_t n : pieces) {
        std::vector<uint8_t> piece(body + from, body + from + n);
        const uint64_t before = d.at;
        size_t pld = size_t(-1);
        const int rc = chunk_decode(&d, piece.data(), n, &pld);
        check(pld <= n && d.at >= before && d.at - before <= n);
        if (o.result != CHUNK_MORE) check(rc == o.result && pld == 0 && d.at == before);
        if (rc < 0 && o.result == CHUNK_MORE) {
            const size_t off = size_t(d.at - before);
            check(off < n && piece[off] == body[from + off]);
        }
        o.payload.append(reinterpret_cast<const char *>(piece.data()), pld);
        o.result = rc;
        from += n;
    }
    o.at = d.at;
    check(o.result == CHUNK_MORE ? o.at == size : o.at <= size);
    check(o.result >= CHUNK_ECTL && o.result <= CHUNK_END);
    check(o.payload.size() <= o.at);
    check(chunk_ended(&d) == (o.result == CHUNK_END));
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t *body = data + 1;
    const size_t len = size - 1;
    const decoded whole = decode(body, len, len ? std::vector<size_t>{len} : std::vector<size_t>{});
    const decoded cuts = decode(body, len, cut(len, data[0]));
    check(cuts.result == whole.result && cuts.at == whole.at && cuts.payload == whole.payload);
    if (whole.result < 0) check(strcmp(chunk_strerror(whole.result), "?") != 0);

    const std::string head(reinterpret_cast<const char *>(body), len);
    const bool chunked = chunk_in_head(head.c_str(), head.size());
    check(!chunked || head.size() >= 26);  // "\nTransfer-Encoding:chunked"
    return 0;
}
