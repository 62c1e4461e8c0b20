#pragma once
// Finding line breaks in a block of message text: the inner loops of streaming a message, so
// they look at 16 bytes at a time where the processor allows.

#include "platform/byte_scan.h"

#include <cstdint>
#include <cstring>

// The first CR or LF in [from, end), or end.
inline const char* FindLineBreak(const char* from, const char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - from >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)));
        if (mask != 0) {
            return from + __builtin_ctz(static_cast<unsigned>(mask));
        }
        from += 16;
    }
#endif
    while (from < end && *from != '\r' && *from != '\n') {
        ++from;
    }
    return from;
}

#if defined(__SSE2__)
using platform::Matches64;

// The same for CR, LF and "." at once, 32 bytes at a time, where the processor has AVX2.
__attribute__((target("avx2"))) inline void Matches64Avx2(const char* p, std::uint64_t& crs,
                                                          std::uint64_t& lfs, std::uint64_t& dots) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i dot = _mm256_set1_epi8('.');
    const auto join = [](int low, int high) {
        return static_cast<std::uint64_t>(static_cast<unsigned>(low)) |
               static_cast<std::uint64_t>(static_cast<unsigned>(high)) << 32;
    };
    crs = join(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, cr)),
               _mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, cr)));
    lfs = join(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, lf)),
               _mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, lf)));
    dots = join(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, dot)),
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, dot)));
}

inline bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

// Skips the lines that go out as they stand: from `from`, which begins a line, past every
// following line that ends in CR LF, holds no other CR or LF and does not begin with ".".
// Returns the beginning of the first line that is not such a line or does not end before `end`
// (`from` itself where it cannot look ahead 64 bytes at a time).
inline const char* SkipPlainLines(const char* from, const char* end) {
    const char* p = from;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i dot = _mm_set1_epi8('.');
    std::uint64_t crBefore = 0;  // the byte before this block was a CR
    std::uint64_t lfBefore = 1;  // ...was an LF: `from` begins a line
    for (; end - p >= 64; p += 64) {
        std::uint64_t crs, lfs, dots;
        if (HasAvx2()) {
            Matches64Avx2(p, crs, lfs, dots);
        } else {
            crs = Matches64(p, cr);
            lfs = Matches64(p, lf);
            dots = Matches64(p, dot);
        }
        // Every LF follows a CR and every CR is followed by an LF (a CR in the last byte is
        // checked against the next block), and no line begins with ".".
        const std::uint64_t bad =
            (lfs ^ ((crs << 1) | crBefore)) | (((lfs << 1) | lfBefore) & dots);
        if (bad != 0) {
            // The first fault's line begins after the last LF before it, if this block has one.
            const std::uint64_t lfsBefore = lfs & ((std::uint64_t{1} << __builtin_ctzll(bad)) - 1);
            if (lfsBefore != 0) {
                return p + (64 - __builtin_clzll(lfsBefore));
            }
            break;
        }
        crBefore = crs >> 63;
        lfBefore = lfs >> 63;
    }
#endif
    // Everything before p is plain lines, but for the line that p is in.
    const void* lastLf =
        p == from ? nullptr : ::memrchr(from, '\n', static_cast<std::size_t>(p - from));
    static_cast<void>(end);
    return lastLf == nullptr ? from : static_cast<const char*>(lastLf) + 1;
}
