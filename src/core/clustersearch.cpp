#include "clustersearch.h"

#include <algorithm>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

enum Edge : quint8 { Left = 1, Right = 2, Top = 4, Bottom = 8 };

// Bit i set where cell i of the 64 at cells (count of them valid) is not 0.
inline quint64 habitatMask(const qint8 *cells, qint64 count)
{
    if (count < 64) {
        quint64 mask = 0;
        for (qint64 i = 0; i < count; ++i)
            mask |= quint64(cells[i] != 0) << i;
        return mask;
    }
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    quint64 zeros = 0;
    for (int part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cells + 16 * part));
        zeros |= quint64(quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)))) << (16 * part);
    }
    return ~zeros;
#else
    quint64 mask = 0;
    for (int i = 0; i < 64; ++i)
        mask |= quint64(cells[i] != 0) << i;
    return mask;
#endif
}

// Calls onRun(begin, end) for every run of habitat cells [begin, end) of the
// first length cells of row, left to right.
template <typename OnRun>
void forEachRun(const qint8 *row, qint64 length, OnRun &&onRun)
{
    bool inRun = false;
    qint64 start = 0;
    for (qint64 base = 0; base < length; base += 64) {
        const int width = int(std::min<qint64>(64, length - base));
        const quint64 valid = width == 64 ? ~quint64(0) : (quint64(1) << width) - 1;
        const quint64 habitat = habitatMask(row + base, width);
        int bit = 0;
        while (bit < width) {
            if (inRun) {
                const quint64 gaps = ~habitat & valid & (~quint64(0) << bit);
                if (!gaps)
                    break; // the run goes on into the next word
                bit = __builtin_ctzll(gaps);
                onRun(start, base + bit);
                inRun = false;
            } else {
                const quint64 cells = habitat & (~quint64(0) << bit);
                if (!cells)
                    break;
                bit = __builtin_ctzll(cells);
                start = base + bit;
                inRun = true;
            }
        }
    }
    if (inRun)
        onRun(start, length);
}

struct Run
{
    qint32 begin;
    qint32 end; // one past the last cell
    qint32 label;
};

class Labels
{
public:
    void clear()
    {
        m_parent.clear();
        m_edges.clear();
    }
    qint32 add(quint8 edges)
    {
        m_parent.push_back(qint32(m_parent.size()));
        m_edges.push_back(edges);
        return qint32(m_parent.size() - 1);
    }
    qint32 find(qint32 label)
    {
        while (m_parent[size_t(label)] != label) {
            const qint32 up = m_parent[size_t(m_parent[size_t(label)])];
            m_parent[size_t(label)] = up; // path halving
            label = up;
        }
        return label;
    }
    // Joins the sets of two roots under the smaller label; returns the root.
    qint32 unite(qint32 a, qint32 b)
    {
        if (a == b)
            return a;
        if (b < a)
            std::swap(a, b);
        m_parent[size_t(b)] = a;
        m_edges[size_t(a)] |= m_edges[size_t(b)];
        return a;
    }
    quint8 &edges(qint32 root) { return m_edges[size_t(root)]; }

private:
    std::vector<qint32> m_parent;
    std::vector<quint8> m_edges;
};

} // namespace

bool ClusterSearch::spans(const RaggedRows<qint8> &rows, Connectivity connectivity, bool leftRight, bool topBottom)
{
    const qint64 n = rows.rowCount();
    if (n == 0 || !(leftRight || topBottom))
        return false;
    auto spanned = [leftRight, topBottom](quint8 edges) {
        return (leftRight && (edges & (Left | Right)) == (Left | Right))
                || (topBottom && (edges & (Top | Bottom)) == (Top | Bottom));
    };
    // Runs of the previous row whose end reaches this far still touch a run
    // starting at `begin`: end > begin for edges only, end >= begin with corners.
    const qint32 reach = connectivity == Eight ? 1 : 0;

    // Kept per thread, so that a sweep over many landscapes does not pay for
    // fresh memory each time.
    thread_local Labels labels;
    thread_local std::vector<Run> previous;
    thread_local std::vector<Run> current;
    labels.clear();
    previous.clear();
    bool found = false;
    for (qint64 r = 0; r < n && !found; ++r) {
        const quint8 rowEdges = quint8((r == 0 ? Top : 0) | (r == n - 1 ? Bottom : 0));
        current.clear();
        size_t first = 0; // the first run of the previous row that may touch the next run
        forEachRun(rows.row(r), std::min<qint64>(rows.rowLength(r), n), [&](qint64 begin, qint64 end) {
            if (found)
                return;
            const quint8 edges = quint8(rowEdges | (begin == 0 ? Left : 0) | (end == n ? Right : 0));
            while (first < previous.size() && previous[first].end + reach <= begin)
                ++first;
            qint32 root = -1;
            for (size_t k = first; k < previous.size() && previous[k].begin < end + reach; ++k) {
                const qint32 other = labels.find(previous[k].label);
                root = root < 0 ? other : labels.unite(root, other);
            }
            if (root < 0)
                root = labels.add(edges);
            else
                labels.edges(root) |= edges;
            found = spanned(labels.edges(root));
            current.push_back({qint32(begin), qint32(end), root});
        });
        previous.swap(current);
    }
    return found;
}
