// Byte tests of the text scan's hot walk, sixteen bytes at a time: where the next "20" lies,
// and whether the bytes after a lead-in are a record line of the usual shape. They use the
// compiler's generic vector types, which every target builds (SSE2 on x86-64), so they need
// no code of their own per processor. Kept inline: the walk calls them once per line.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace candidate_bytes {

using Vector = unsigned char __attribute__((vector_size(16)));
// What comparing two Vectors gives: each byte all ones where the test holds, zero elsewhere.
using Mask = signed char __attribute__((vector_size(16)));

// Sixteen bytes from `p`, which need not be aligned.
inline Vector load(const unsigned char* p)
{
    Vector v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// True when some byte of `m` is set.
inline bool any(Mask m)
{
    std::uint64_t halves[2];
    std::memcpy(halves, &m, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

// True when every byte of `m` is set.
inline bool all(Mask m)
{
    std::uint64_t halves[2];
    std::memcpy(halves, &m, sizeof halves);
    return (halves[0] & halves[1]) == ~std::uint64_t{0};
}

// The index of the first set byte of `m`, which has one.
inline std::size_t first_set(Mask m)
{
    std::uint64_t halves[2];
    std::memcpy(halves, &m, sizeof halves);
    if (halves[0] != 0) return static_cast<std::size_t>(std::countr_zero(halves[0])) / 8;
    return 8 + static_cast<std::size_t>(std::countr_zero(halves[1])) / 8;
}

// Which bytes of `v` are '0'..'9' or 'A'..'F'; the subtractions wrap, so each range test is one unsigned compare.
inline Mask upper_hex(Vector v)
{
    return (Mask)((v - '0') < 10) | (Mask)((v - 'A') < 6);
}

// Which of the sixteen bytes at `p` start the pair "20" (reads 17 bytes).
inline Mask pairs_20(const unsigned char* p)
{
    return (Mask)(load(p) == '2') & (Mask)(load(p + 1) == '0');
}

// Bytes one search step looks at, and how far past its last start position it may read.
constexpr std::size_t search_step = 64;
constexpr std::size_t search_overread = search_step + 1;

// The first position in [from, to) where the bytes "20" start, or `to` when there is none.
// Reads up to `search_overread` bytes past `to`.
inline const unsigned char* find_20(const unsigned char* from, const unsigned char* to)
{
    for (const unsigned char* at = from; at < to; at += search_step) {
        const Mask m0 = pairs_20(at);
        const Mask m1 = pairs_20(at + 16);
        const Mask m2 = pairs_20(at + 32);
        const Mask m3 = pairs_20(at + 48);
        if (!any(m0 | m1 | m2 | m3)) continue;
        std::size_t first = 48 + first_set(m3);
        if (any(m0)) first = first_set(m0);
        else if (any(m1)) first = 16 + first_set(m1);
        else if (any(m2)) first = 32 + first_set(m2);
        return at + first < to ? at + first : to;
    }
    return to;
}

// True when the 36 bytes at `remainder` are the usual end of a record line: 34 upper-case
// hexadecimal digits, a byte that is neither a line feed nor a NUL, and a line feed. A line read
// after a lead-in then stops after exactly these 36 bytes and measures 36.
inline bool is_plain_record_line(const unsigned char* remainder)
{
    // The last sixteen bytes overlap the middle ones: bytes 20 to 33 are digits, then the line end.
    constexpr Mask digits = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0};
    constexpr Mask second_last = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0};
    constexpr Mask last = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1};
    const Vector tail = load(remainder + 20);
    const Mask tail_ok = (upper_hex(tail) & digits) |
                         ((Mask)(tail != '\n') & (Mask)(tail != 0) & second_last) | ((Mask)(tail == '\n') & last);
    return all(upper_hex(load(remainder)) & upper_hex(load(remainder + 16)) & tail_ok);
}

}  // namespace candidate_bytes
