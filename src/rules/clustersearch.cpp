#include "clustersearch.h"

#include <algorithm>
#include <limits>
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

// Union-find over run labels, kept per thread so that a sweep over many
// landscapes does not pay for fresh memory each time.
// The edges are kept as 32-bit words: a store through a byte pointer could
// alias anything, and would make the compiler reload every local after it.
struct Labels
{
    std::vector<qint32> parent;
    std::vector<quint32> edges;
};

} // namespace

bool ClusterSearch::spans(const RaggedRows<qint8> &rows, Connectivity connectivity, bool leftRight, bool topBottom)
{
    const qint64 n = rows.rowCount();
    if (n == 0 || !(leftRight || topBottom))
        return false;
    const bool wantLeftRight = leftRight;
    const bool wantTopBottom = topBottom;
    // Runs of the previous row whose end reaches this far still touch a run
    // starting at `begin`: end > begin for edges only, end >= begin with corners.
    const qint32 reach = connectivity == Eight ? 1 : 0;

    thread_local Labels labels;
    // Runs of a row, as their begins, ends (one past the last cell) and
    // labels, each list closed by a sentinel run that starts and ends beyond
    // every cell, so that the scans below need no bounds: at most
    // (n + 1) / 2 runs and the sentinel.
    thread_local std::vector<qint32> runStorage;
    const size_t rowRuns = size_t(n + 1) / 2 + 2;
    if (runStorage.size() < 6 * rowRuns)
        runStorage.resize(6 * rowRuns);
    qint32 *previousBegin = runStorage.data();
    qint32 *previousEnd = previousBegin + rowRuns;
    qint32 *previousLabel = previousEnd + rowRuns;
    qint32 *currentBegin = previousLabel + rowRuns;
    qint32 *currentEnd = currentBegin + rowRuns;
    qint32 *currentLabel = currentEnd + rowRuns;
    constexpr qint32 Beyond = std::numeric_limits<qint32>::max() - 2;
    previousBegin[0] = previousEnd[0] = Beyond;
    if (labels.parent.size() < size_t(n))
        labels.parent.resize(size_t(n)), labels.edges.resize(size_t(n));
    qint32 *parent = labels.parent.data();
    quint32 *edgesOf = labels.edges.data();
    qint64 capacity = qint64(labels.parent.size());
    qint64 labelCount = 0;

    auto find = [&parent](qint32 label) {
        while (parent[label] != label) {
            const qint32 up = parent[parent[label]];
            parent[label] = up; // path halving
            label = up;
        }
        return label;
    };
    auto spanned = [wantLeftRight, wantTopBottom](quint32 edges) {
        return (wantLeftRight && (edges & (Left | Right)) == (Left | Right))
                || (wantTopBottom && (edges & (Top | Bottom)) == (Top | Bottom));
    };

    for (qint64 r = 0; r < n; ++r) {
        const quint32 rowEdges = (r == 0 ? Top : 0) | (r == n - 1 ? Bottom : 0);
        const qint8 *const row = rows.row(r);
        const qint64 length = std::min<qint64>(rows.rowLength(r), n);
        // Room for this row's labels, so that the loop below never grows them.
        if (labelCount + qint64(rowRuns) > capacity) {
            capacity = std::max<qint64>(2 * capacity, labelCount + qint64(rowRuns));
            labels.parent.resize(size_t(capacity));
            labels.edges.resize(size_t(capacity));
            parent = labels.parent.data();
            edgesOf = labels.edges.data();
        }
        qint64 currentCount = 0;
        qint64 first = 0; // the first run of the previous row that may touch the next run
        auto run = [&](qint64 begin, qint64 end) {
            const quint32 edges = rowEdges | (begin == 0 ? Left : 0) | (end == n ? Right : 0);
            while (previousEnd[first] + reach <= begin)
                ++first;
            // Most runs touch no edge of the square and join no two clusters:
            // their clusters' edges cannot change, and are not looked at.
            qint32 root = -1;
            bool changed = edges != 0;
            for (qint64 k = first; previousBegin[k] < end + reach; ++k) {
                qint32 other = find(previousLabel[k]);
                if (root < 0) {
                    root = other;
                } else if (other != root) {
                    if (other < root)
                        std::swap(root, other);
                    parent[other] = root; // the smaller label stays the root
                    edgesOf[root] |= edgesOf[other];
                    changed = true;
                }
            }
            if (root < 0) {
                root = qint32(labelCount++);
                parent[root] = root;
                edgesOf[root] = edges;
            } else if (edges) {
                edgesOf[root] |= edges;
            }
            currentBegin[currentCount] = qint32(begin);
            currentEnd[currentCount] = qint32(end);
            currentLabel[currentCount] = root;
            ++currentCount;
            return changed && spanned(edgesOf[root]);
        };
        // Run starts and ends from the habitat bits of 64 cells at a time: a
        // start is habitat after a gap (or the row's start), an end is a gap
        // after habitat. They alternate, so the k-th start pairs with the k-th end.
        qint64 start = 0;
        quint64 carry = 0; // 1 when the last cell of the previous word is habitat
        for (qint64 base = 0; base < length; base += 64) {
            const int width = int(std::min<qint64>(64, length - base));
            const quint64 habitat = habitatMask(row + base, width);
            const quint64 before = (habitat << 1) | carry;
            quint64 starts = habitat & ~before;
            quint64 ends = ~habitat & before;
            if (width < 64)
                ends &= (quint64(1) << width) - 1;
            carry = habitat >> 63;
            while (starts | ends) {
                const int startBit = starts ? __builtin_ctzll(starts) : 64;
                const int endBit = ends ? __builtin_ctzll(ends) : 64;
                if (endBit < startBit) {
                    ends &= ends - 1;
                    if (run(start, base + endBit))
                        return true;
                } else {
                    starts &= starts - 1;
                    start = base + startBit;
                }
            }
        }
        if ((length > 0 && row[length - 1] != 0) && run(start, length))
            return true;
        currentBegin[currentCount] = currentEnd[currentCount] = Beyond;
        std::swap(previousBegin, currentBegin);
        std::swap(previousEnd, currentEnd);
        std::swap(previousLabel, currentLabel);
    }
    return false;
}
