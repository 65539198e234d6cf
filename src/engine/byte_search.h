#pragma once

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Finding the bytes that end a run of host data (ESC, CR, LF, ETX, STX), the
// one step every delivery takes byte by byte: sixteen bytes at a time where
// the processor has SSE2 (every x86-64 does), one at a time elsewhere.
namespace bytesearch {

// The first byte from p that is a or b, or end.
inline const char *findEither(const char *p, const char *end, char a, char b)
{
#if defined(__SSE2__)
    const __m128i wantA = _mm_set1_epi8(a);
    const __m128i wantB = _mm_set1_epi8(b);
    while (end - p >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, wantA), _mm_cmpeq_epi8(chunk, wantB)));
        if (hits != 0)
            return p + __builtin_ctz(static_cast<unsigned>(hits));
        p += 16;
    }
#endif
    while (p < end && *p != a && *p != b)
        ++p;
    return p;
}

// The first byte from p that is c, or end.
inline const char *find(const char *p, const char *end, char c)
{
    const void *hit = std::memchr(p, c, static_cast<size_t>(end - p));
    return hit ? static_cast<const char *>(hit) : end;
}

} // namespace bytesearch
