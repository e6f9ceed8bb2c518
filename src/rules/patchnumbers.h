#pragma once

#include <QtGlobal>

#include <vector>

// The numbers of a landscape's patches in the order of their first cells
// (row by row, left to right), found while the rows are searched once.
//
// Each cluster the search begins takes the next start: starts are taken in
// row-major order of their first runs. When two clusters join, the one
// begun later is no patch of its own: its start is dropped. Once the search
// is done, the patch whose cluster kept start k is number 1 + the starts
// before k that were kept. One bit per start begun.
class PatchNumbers
{
public:
    void clear()
    {
        m_bits.clear();
        m_before.clear();
        m_count = 0;
    }
    // The next start, kept until dropped.
    quint64 begin()
    {
        if (m_count % 64 == 0)
            m_bits.push_back(0);
        m_bits.back() |= quint64(1) << (m_count % 64);
        return m_count++;
    }
    void drop(quint64 start) { m_bits[size_t(start / 64)] &= ~(quint64(1) << (start % 64)); }
    // After the search: the count of kept starts before each word.
    void finish()
    {
        m_before.resize(m_bits.size() + 1);
        quint64 kept = 0;
        for (size_t i = 0; i < m_bits.size(); ++i) {
            m_before[i] = kept;
            kept += quint64(__builtin_popcountll(m_bits[i]));
        }
        m_before[m_bits.size()] = kept;
    }
    // The number of the patch whose first cell is start (after finish()).
    quint64 number(quint64 start) const
    {
        const quint64 below = m_bits[size_t(start / 64)] & ((quint64(1) << (start % 64)) - 1);
        return m_before[size_t(start / 64)] + quint64(__builtin_popcountll(below)) + 1;
    }
    // The patches (after finish()).
    quint64 count() const { return m_before.empty() ? 0 : m_before.back(); }
    quint64 starts() const { return m_count; }

private:
    std::vector<quint64> m_bits;
    std::vector<quint64> m_before;
    quint64 m_count = 0;
};
