#pragma once

#include <QtGlobal>

#include <algorithm>
#include <vector>

// Rows of cells of one cover as bits, for the cluster search of whole maps:
// a quarter of the memory of the cells' codes, and the form that search
// works in. Every row has `columns` cells in words() words of habitat
// followed by as many of cells without a value: bit c % 64 of word c / 64
// set where cell c is CellCode::Habitat (first words) or CellCode::NoValue
// (second); neither bit for a matrix cell. Bits past `columns` are clear.
struct CoverBits
{
    qint64 rows = 0;
    qint64 columns = 0;
    std::vector<quint64> bits;

    static qint64 wordsFor(qint64 columns) { return (columns + 63) / 64; }
    qint64 words() const { return wordsFor(columns); }
    const quint64 *habitat(qint64 r) const { return bits.data() + 2 * r * words(); }
    const quint64 *noValue(qint64 r) const { return habitat(r) + words(); }
    quint64 *habitat(qint64 r) { return bits.data() + 2 * r * words(); }

    // Room for n rows of `width` cells, reserved (address space, no pages)
    // and not yet filled: a band larger than any before is reserved empty,
    // the words it held not worth copying.
    void reserve(qint64 n, qint64 width)
    {
        rows = n;
        columns = width;
        const size_t size = size_t(2 * n * wordsFor(width));
        if (bits.capacity() < size)
            bits.clear();
        bits.reserve(size);
    }
    // The first `filled` rows about to be written (their words not
    // cleared when already there: a reading writes every one).
    void fill(qint64 filled)
    {
        const size_t size = size_t(2 * filled * words());
        if (bits.size() < size)
            bits.resize(size);
    }
};

// The bits of n cells' codes (or of any bytes read as codes are: above 0
// habitat, below 0 no value): their habitat words at habitat, their words
// without a value at noValue (wordsFor(n) of each, written whole).
inline void packCoverBits(const qint8 *cells, qint64 n, quint64 *habitat, quint64 *noValue)
{
    for (qint64 base = 0; base < n; base += 64) {
        const int width = int(std::min<qint64>(64, n - base));
        quint64 h = 0;
        quint64 none = 0;
        for (int i = 0; i < width; ++i) {
            h |= quint64(cells[base + i] > 0) << i;
            none |= quint64(cells[base + i] < 0) << i;
        }
        habitat[base / 64] = h;
        noValue[base / 64] = none;
    }
}
