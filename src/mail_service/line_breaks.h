#pragma once
// Finding the next CR or LF in a block of message text: the inner loop of streaming a
// message, so it looks at 16 bytes at a time where the processor allows.

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
