#include "randomstream.h"

#include <cmath>

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
