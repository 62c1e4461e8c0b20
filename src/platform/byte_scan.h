#pragma once
// Finding one byte value in 64 bytes at a time, for the scans over message text.

#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>

namespace platform {

// Bit i set where byte i of the 64 at `p` equals the byte in every lane of `c`.
inline std::uint64_t Matches64(const char* p, __m128i c) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        bits |= static_cast<std::uint64_t>(
                    static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, c))))
                << (16 * i);
    }
    return bits;
}

}  // namespace platform

#endif
