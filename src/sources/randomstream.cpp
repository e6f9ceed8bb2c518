#include "randomstream.h"

#include <algorithm>
#include <cmath>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

RandomStream::RandomStream(quint64 key)
{
    // The first four outputs of SplitMix64 seeded with key.
    for (int i = 0; i < 4; ++i)
        m_s[i] = splitMix(key + quint64(i) * 0x9E3779B97F4A7C15ULL);
}

quint64 RandomStream::splitMix(quint64 state)
{
    quint64 z = state + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

quint64 RandomStream::key(std::initializer_list<quint64> fields)
{
    quint64 k = 0;
    for (const quint64 field : fields)
        k = splitMix(k ^ field);
    return k;
}

quint64 RandomStream::threshold32(double p)
{
    if (!(p > 0))
        return 0;
    if (p >= 1)
        return quint64(1) << 32;
    return quint64(std::ceil(p * 4294967296.0)); // exact: scaling by a power of two
}

// The four lanes of key stepped together, eight 32-bit draws a step: cells
// 8k .. 8k+7 come from lane l's k-th output, cell 8k + 2l from its low and
// 8k + 2l + 1 from its high 32 bits. Each step's outputs go to step(base,
// low, high) as two registers of lanes 0-1 and 2-3 (SSE2) for the steps that
// hold eight cells, the rest to tail(base, out) as four 64-bit outputs.
template <typename Step, typename Tail>
void RandomStream::forEachDraw(quint64 key, qint64 count, Step &&step, Tail &&tail)
{
    quint64 s[4][4]; // s[word][lane]
    for (int lane = 0; lane < 4; ++lane) {
        const RandomStream stream(RandomStream::key({key, quint64(lane)}));
        for (int word = 0; word < 4; ++word)
            s[word][lane] = stream.m_s[word];
    }
    qint64 base = 0;
#ifdef __SSE2__
    // Lanes 0 and 1 in one register, 2 and 3 in another; x * 5 and x * 9 as
    // shifts and additions.
    __m128i w[4][2];
    for (int word = 0; word < 4; ++word) {
        for (int half = 0; half < 2; ++half)
            w[word][half] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&s[word][2 * half]));
    }
    auto rotlLanes = [](__m128i x, int k) { return _mm_or_si128(_mm_slli_epi64(x, k), _mm_srli_epi64(x, 64 - k)); };
    for (; base + 8 <= count; base += 8) {
        __m128i out[2];
        for (int half = 0; half < 2; ++half) {
            __m128i &s0 = w[0][half], &s1 = w[1][half], &s2 = w[2][half], &s3 = w[3][half];
            const __m128i five = _mm_add_epi64(_mm_slli_epi64(s1, 2), s1);
            const __m128i rotated = _mm_or_si128(_mm_slli_epi64(five, 7), _mm_srli_epi64(five, 57));
            out[half] = _mm_add_epi64(_mm_slli_epi64(rotated, 3), rotated);
            const __m128i t = _mm_slli_epi64(s1, 17);
            s2 = _mm_xor_si128(s2, s0);
            s3 = _mm_xor_si128(s3, s1);
            s1 = _mm_xor_si128(s1, s2);
            s0 = _mm_xor_si128(s0, s3);
            s2 = _mm_xor_si128(s2, t);
            s3 = rotlLanes(s3, 45);
        }
        step(base, out[0], out[1]);
    }
    for (int word = 0; word < 4; ++word) {
        for (int half = 0; half < 2; ++half)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(&s[word][2 * half]), w[word][half]);
    }
#else
    (void)step;
#endif
    for (; base < count; base += 8) {
        quint64 out[4];
        for (int lane = 0; lane < 4; ++lane) {
            out[lane] = rotl(s[1][lane] * 5, 7) * 9;
            const quint64 t = s[1][lane] << 17;
            s[2][lane] ^= s[0][lane];
            s[3][lane] ^= s[1][lane];
            s[1][lane] ^= s[2][lane];
            s[0][lane] ^= s[3][lane];
            s[2][lane] ^= t;
            s[3][lane] = rotl(s[3][lane], 45);
        }
        tail(base, out);
    }
}

void RandomStream::drawCells(quint64 key, quint64 threshold, qint8 *cells, qint64 count)
{
    if (threshold == 0 || threshold > 0xFFFFFFFFULL) {
        std::fill(cells, cells + count, qint8(threshold != 0));
        return;
    }
    const quint32 limit = quint32(threshold);
#ifdef __SSE2__
    const __m128i flip = _mm_set1_epi32(int(0x80000000u));
    const __m128i bound = _mm_xor_si128(_mm_set1_epi32(int(limit)), flip);
    const __m128i one = _mm_set1_epi8(1);
    auto step = [&](qint64 base, __m128i low, __m128i high) {
        // Each 32-bit half below the limit, compared as unsigned.
        const __m128i belowLow = _mm_cmplt_epi32(_mm_xor_si128(low, flip), bound);
        const __m128i belowHigh = _mm_cmplt_epi32(_mm_xor_si128(high, flip), bound);
        const __m128i words = _mm_packs_epi32(belowLow, belowHigh);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(cells + base), _mm_and_si128(_mm_packs_epi16(words, words), one));
    };
#else
    auto step = [](qint64, int, int) {};
#endif
    forEachDraw(key, count, step, [&](qint64 base, const quint64 *out) {
        for (qint64 j = 0; j < 8 && base + j < count; ++j)
            cells[base + j] = qint8(quint32(out[j / 2] >> (32 * (j % 2))) < limit);
    });
}

void RandomStream::drawValues(quint64 key, quint32 *draws, qint64 count)
{
#ifdef __SSE2__
    // Lane pair `half`'s low and high words are cells 8k + 4 half .. + 3, in
    // order (little-endian): the same layout as drawCells().
    auto step = [&](qint64 base, __m128i low, __m128i high) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(draws + base), low);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(draws + base + 4), high);
    };
#else
    auto step = [](qint64, int, int) {};
#endif
    forEachDraw(key, count, step, [&](qint64 base, const quint64 *out) {
        for (qint64 j = 0; j < 8 && base + j < count; ++j)
            draws[base + j] = quint32(out[j / 2] >> (32 * (j % 2)));
    });
}
