#pragma once
// Short text tags read either as text or as one integer.  Objects passed
// through the event loop begin with an n32_tag; short identifiers (task ids,
// tracking tags, the log group) are n64_tag values.
#include <cstdint>
#include <type_traits>

union n32_tag {
    char sym4[4];
    uint32_t num;
};

union n64_tag {
    char sym8[8];
    uint64_t num;
};

static_assert(sizeof(n32_tag) == 4);
static_assert(sizeof(n64_tag) == 8);
static_assert(std::is_trivially_copyable_v<n32_tag>);
static_assert(std::is_trivially_copyable_v<n64_tag>);

// A tag whose text is a literal of at most three (seven) characters, as a
// constant usable in switch labels and static initialisers.
constexpr uint32_t mk_tag32(const char (&s)[4]) noexcept
{
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 |
           uint32_t(uint8_t(s[2])) << 16 | uint32_t(uint8_t(s[3])) << 24;
}
