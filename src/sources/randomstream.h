#pragma once

#include <QtGlobal>

#include <initializer_list>

// The random numbers of the neutral landscapes, specified bit for bit so that
// a seed gives the same landscapes on every machine, build, job count and
// shard. Nothing here uses the standard library's engines or distributions,
// whose outputs differ between library versions.
//
// Generator: xoshiro256** (Blackman and Vigna, 2018), its four words of state
// filled by SplitMix64 from a 64-bit key. Keys are made from any number of
// 64-bit fields with key(): k = 0; for each field f, k = splitMix(k ^ f),
// where splitMix is SplitMix64's output function of its state plus the golden
// gamma 0x9E3779B97F4A7C15.
//
// Conversions: uniform53() is (next() >> 11) * 2^-53, in [0, 1); below(n) is
// the high 64 bits of next() * n (multiply-shift), in [0, n).
//
// Cells of a share, drawCells(): four streams, lane l = 0..3 being
// RandomStream(key({key, l})), taken in turn, so that they can be computed
// side by side. Step k gives cells 8k .. 8k+7: lane l's k-th output gives cell
// 8k + 2l from its low 32 bits and cell 8k + 2l + 1 from its high 32 bits;
// a cell is a success when those bits are below threshold32(p).
class RandomStream
{
public:
    explicit RandomStream(quint64 key);

    static quint64 key(std::initializer_list<quint64> fields);
    static quint64 splitMix(quint64 state);

    quint64 next()
    {
        const quint64 result = rotl(m_s[1] * 5, 7) * 9;
        const quint64 t = m_s[1] << 17;
        m_s[2] ^= m_s[0];
        m_s[3] ^= m_s[1];
        m_s[1] ^= m_s[2];
        m_s[0] ^= m_s[3];
        m_s[2] ^= t;
        m_s[3] = rotl(m_s[3], 45);
        return result;
    }
    double uniform53() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    quint64 below(quint64 n) { return quint64((static_cast<unsigned __int128>(next()) * n) >> 64); }

    // The 32-bit threshold of a share p in [0, 1]: a 32-bit uniform u counts
    // as a success with probability p exactly when u < threshold32(p), which
    // is ceil(p * 2^32) (2^32 for p = 1).
    static quint64 threshold32(double p);

    // cells[i] = 1 for the successes of cells 0 .. count-1 at threshold, else
    // 0, from the four lanes of key.
    static void drawCells(quint64 key, quint64 threshold, qint8 *cells, qint64 count);
    // The 32-bit uniforms themselves: draws[i] is the value drawCells()
    // compares for cell i, so cell i is a success at threshold exactly when
    // draws[i] < threshold. A share's cells are those whose draw is below its
    // threshold32(): the order in which cells become habitat as the share grows.
    static void drawValues(quint64 key, quint32 *draws, qint64 count);

private:
    static quint64 rotl(quint64 x, int k) { return (x << k) | (x >> (64 - k)); }
    template <typename Step, typename Tail>
    static void forEachDraw(quint64 key, qint64 count, Step &&step, Tail &&tail);

    quint64 m_s[4];
};
