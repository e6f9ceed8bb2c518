#pragma once

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The common shape of a landscape's text, recognised sixteen bytes at a time:
// eight values of one digit, each followed by a blank (U+0020). Shared by the
// text reader and the ESRI ASCII grid parser, so that both take the same fast
// path over the same bytes.
namespace DigitFields {

#ifdef __SSE2__
// Whether the 16 bytes at p are eight fields of one digit, each followed by a
// blank; if so, digits receives their values (0 to 9) in its low eight bytes.
inline bool eight(const char *p, __m128i &digits)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset);
    const __m128i isBlank = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
    const int digitMask = _mm_movemask_epi8(isDigit);
    const int blankMask = _mm_movemask_epi8(isBlank);
    if ((digitMask & 0x5555) != 0x5555 || (blankMask & 0xAAAA) != 0xAAAA)
        return false;
    const __m128i even = _mm_and_si128(offset, _mm_set1_epi16(0x00FF));
    digits = _mm_packus_epi16(even, even);
    return true;
}

// The eight digit values of eight() as bytes.
inline void store(const __m128i &digits, std::uint8_t out[8])
{
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), digits);
}
#endif

} // namespace DigitFields
