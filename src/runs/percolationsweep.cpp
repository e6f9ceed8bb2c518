#include "percolationsweep.h"

#include "randomstream.h"
#include "siteclusters.h"
#include "walkgrid.h"
#include "workerpool.h"

#include <QCryptographicHash>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>

namespace {

QByteArray exact(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value); // shortest that reads back
    return QByteArray(buffer, int(result.ptr - buffer));
}

QByteArray decimal(unsigned __int128 value)
{
    char digits[48];
    int n = 0;
    do {
        digits[n++] = char('0' + int(value % 10));
        value /= 10;
    } while (value != 0);
    QByteArray out;
    while (n > 0)
        out += digits[--n];
    return out;
}

// A 192-bit number (high, low) in decimal.
QByteArray decimal(quint64 high, unsigned __int128 low)
{
    if (high == 0)
        return decimal(low);
    // Long division by 10^19, a 64-bit limb at a time.
    constexpr quint64 chunk = 10000000000000000000ULL;
    quint64 limbs[3] = {quint64(low), quint64(low >> 64), high}; // least significant first
    QByteArrayList parts;
    while (limbs[0] || limbs[1] || limbs[2]) {
        unsigned __int128 remainder = 0;
        for (int i = 2; i >= 0; --i) {
            const unsigned __int128 current = (remainder << 64) | limbs[i];
            limbs[i] = quint64(current / chunk);
            remainder = current % chunk;
        }
        parts.prepend(QByteArray::number(quint64(remainder)));
    }
    QByteArray out = parts.first();
    for (qsizetype i = 1; i < parts.size(); ++i)
        out += parts[i].rightJustified(19, '0');
    return out;
}

// Reads a decimal of at most 192 bits.
bool readDecimal(const QByteArray &text, quint64 &high, unsigned __int128 &low)
{
    if (text.isEmpty() || text.size() > 58 || (text.size() > 1 && text[0] == '0'))
        return false;
    quint64 limbs[3] = {0, 0, 0};
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        unsigned __int128 carry = quint64(c - '0');
        for (quint64 &limb : limbs) {
            const unsigned __int128 current = static_cast<unsigned __int128>(limb) * 10 + carry;
            limb = quint64(current);
            carry = current >> 64;
        }
        if (carry != 0)
            return false;
    }
    high = limbs[2];
    low = (static_cast<unsigned __int128>(limbs[1]) << 64) | limbs[0];
    return true;
}

// How far a replicate has grown at a share, in the model's own measure: the
// draw threshold for Random (cells with a draw below it are habitat), the
// number of habitat cells for the ordered models.
quint64 levelOf(const NeutralLandscape::Parameters &landscape, double share)
{
    if (landscape.model == NeutralLandscape::Random)
        return RandomStream::threshold32(share);
    return quint64(NeutralLandscape::habitatCells(share, landscape.size));
}

// One replicate's state at a level.
struct Observation
{
    qint64 largest = 0;
    qint64 clusters = 0;
    quint64 meanSize = 0; // units of 2^-32
};

// One replicate's answers, until they are added up in replicate order.
struct Answer
{
    std::vector<quint8> spans;           // share s, rule k at s * rules + k
    std::vector<Observation> observed;   // the same index, with observables
    std::vector<qint64> criticalCells;   // per rule, with thresholds; -1 for the walk
    std::vector<quint64> criticalKeys;   // per rule, with thresholds: the key at which it spans
    bool failed = false;                 // memory ran out
};

// The shares of one size in the model's measure: the distinct levels in
// ascending order, and each share's place among them.
struct Levels
{
    std::vector<quint64> values;
    std::vector<qint32> ofShare;
    quint64 end = 0;                 // the level of every cell: 2^32 or L^2
    std::vector<qint32> coarse;      // Random: the first level above t << 16, for each t
};

// Per-thread storage of the one-pass method, kept for the next replicate.
struct Growth
{
    std::vector<quint32> draws;   // Random: each cell's draw
    std::vector<qint8> below;     // the cells below the lowest level
    std::vector<quint64> pending; // Random: cells between levels, (group << 32) | cell
    std::vector<quint32> grouped; // the cells between levels, group after group
    std::vector<qint64> starts;   // group j is grouped[starts[j - from] .. starts[j - from + 1])
    std::vector<quint64> sorted;  // exact order: (key << 32) | cell
    std::vector<qint64> buckets;  // where sorted's buckets begin
    SiteClusters clusters;
    // The levels at which the last replicates of this thread first spanned,
    // per connectivity: a hint where to start growing the next one (see
    // Replicate::growByLevels()). It changes how long a replicate takes,
    // never its answer.
    std::vector<qint32> recent[2];
    // The same for the exact growth: the keys at which they spanned.
    std::vector<quint64> recentKeys[2];
    quint64 hintsFor = ~quint64(0); // the model and size the hints are of

    // Forgets the hints of other models and sizes.
    void hintsOf(NeutralLandscape::Model model, qint64 size)
    {
        const quint64 context = (quint64(model) << 56) | quint64(size);
        if (context == hintsFor)
            return;
        hintsFor = context;
        for (int c = 0; c < 2; ++c) {
            recent[c].clear();
            recentKeys[c].clear();
        }
    }

    // Where to start (the lowest recent level) and how far to gather the
    // cells between levels at first (just past the highest).
    void hint(int connectivity, qint32 levels, qint32 &start, qint32 &stop) const
    {
        const std::vector<qint32> &seen = recent[connectivity];
        if (seen.size() < 16)
            return;
        const auto [low, high] = std::minmax_element(seen.begin(), seen.end());
        start = std::clamp(*low, 0, levels - 1);
        stop = std::clamp(*high + 1, start, levels - 1);
    }
    void remember(int connectivity, qint32 level)
    {
        std::vector<qint32> &seen = recent[connectivity];
        if (seen.size() == 16)
            seen.erase(seen.begin());
        seen.push_back(level);
    }
    quint64 keyHint(int connectivity) const
    {
        const std::vector<quint64> &seen = recentKeys[connectivity];
        return seen.size() < 16 ? 0 : *std::min_element(seen.begin(), seen.end());
    }
    void rememberKey(int connectivity, quint64 key)
    {
        std::vector<quint64> &seen = recentKeys[connectivity];
        if (seen.size() == 16)
            seen.erase(seen.begin());
        seen.push_back(key);
    }
};

class Replicate
{
public:
    Replicate(const PercolationSweep::Parameters &parameters, const NeutralLandscape &landscape,
              const Levels &levels, Growth &growth)
        : m_parameters(parameters)
        , m_landscape(landscape)
        , m_levels(levels)
        , m_growth(growth)
        , m_size(landscape.parameters().size)
        , m_cells(m_size * m_size)
        , m_random(landscape.parameters().model == NeutralLandscape::Random)
        , m_leftRight(SpanningRule(SpanningRule::Cluster4, parameters.direction).asksLeftRight())
        , m_topBottom(SpanningRule(SpanningRule::Cluster4, parameters.direction).asksTopBottom())
    {
        m_growth.hintsOf(landscape.parameters().model, m_size);
    }

    // Grows the replicate under one cluster rule: the first level at which
    // it spans (levels.size() when not by the last), the critical count with
    // thresholds, and the observation at each level with observables.
    qint32 grow(ClusterRecord::Connectivity connectivity, qint64 &criticalCells, quint64 &criticalKey,
                std::vector<Observation> &observed)
    {
        observed.assign(m_parameters.observables ? m_levels.values.size() : 0, Observation());
        m_connectivity = connectivity;
        m_growth.clusters.reset(m_size, m_size, connectivity);
        if (m_parameters.thresholds && observed.empty())
            return growExactly(criticalCells, criticalKey, observed);
        if (m_parameters.thresholds) {
            // The exact order only where the replicate spans, then the
            // observables level by level: cheaper than adding every cell
            // one by one.
            std::vector<Observation> none;
            growExactly(criticalCells, criticalKey, none);
            m_growth.clusters.reset(m_size, m_size, connectivity);
        }
        return growByLevels(observed);
    }

private:
    void observe(std::vector<Observation> &observed, size_t level) const
    {
        if (observed.empty())
            return;
        const SiteClusters &clusters = m_growth.clusters;
        observed[level] = {clusters.largest(), clusters.clusters(), clusters.meanFiniteSizeFixed()};
    }
    bool spans() const { return m_growth.clusters.spans(m_leftRight, m_topBottom); }

    // Adds cells [from, to), fetching those some cells ahead.
    void addAll(const quint32 *from, const quint32 *to)
    {
        constexpr qint64 ahead = 8;
        SiteClusters &clusters = m_growth.clusters;
        for (const quint32 *cell = from; cell != to; ++cell) {
            if (to - cell > ahead)
                clusters.prefetch(cell[ahead]);
            clusters.add(*cell);
        }
    }

    // Random: the cells of the groups after level from up to level to
    // (group j: from level j - 1 up to level j), gathered without a branch
    // per cell (their draws are random), then placed group by group. For the
    // ordered models the groups are slices of the order.
    void prepareGroups(qint32 from, qint32 to)
    {
        m_groupsFrom = from;
        m_groupsTo = to;
        if (!m_random || to <= from)
            return;
        const std::vector<quint64> &levels = m_levels.values;
        const quint64 lowest = levels[size_t(from)];
        const quint64 span = levels[size_t(to)] - lowest;
        const quint32 *const draws = m_growth.draws.data();
        std::vector<quint64> &pending = m_growth.pending;
        pending.resize(size_t(m_cells));
        quint64 *const gathered = pending.data();
        qint64 count = 0;
        for (qint64 i = 0; i < m_cells; ++i) {
            gathered[count] = (quint64(draws[i]) << 32) | quint64(i);
            count += quint64(draws[i]) - lowest < span; // wraps for draws below lowest
        }
        pending.resize(size_t(count));
        const qint32 *const coarse = m_levels.coarse.data();
        for (quint64 &item : pending) {
            const quint64 key = item >> 32;
            qint32 j = coarse[key >> 16];
            while (levels[size_t(j)] <= key)
                ++j;
            item = (quint64(j - from) << 32) | (item & 0xFFFFFFFFULL);
        }
        // starts[j - from] is where group j begins.
        std::vector<qint64> &starts = m_growth.starts;
        starts.assign(size_t(to - from) + 2, 0);
        for (const quint64 item : pending)
            ++starts[size_t(item >> 32) + 1];
        for (size_t j = 1; j < starts.size(); ++j)
            starts[j] += starts[j - 1];
        m_growth.grouped.resize(pending.size());
        std::vector<qint64> next(starts.begin(), starts.end() - 1);
        for (const quint64 item : pending)
            m_growth.grouped[size_t(next[size_t(item >> 32)]++)] = quint32(item);
    }

    // Adds the cells of group j (prepared).
    void addGroup(qint32 j)
    {
        if (m_random) {
            const qint64 *const starts = m_growth.starts.data() + (j - m_groupsFrom);
            addAll(m_growth.grouped.data() + starts[0], m_growth.grouped.data() + starts[1]);
        } else {
            const std::vector<quint64> &levels = m_levels.values;
            const quint32 *const order = m_landscape.order().data();
            addAll(order + levels[size_t(j) - 1], order + levels[size_t(j)]);
        }
    }

    // The habitat of level j, joined in one pass over the rows (right after
    // a reset).
    void fillTo(qint32 j)
    {
        const quint64 level = m_levels.values[size_t(j)];
        if (level == 0)
            return;
        m_growth.below.resize(size_t(m_cells));
        qint8 *const below = m_growth.below.data();
        if (m_random) {
            const quint32 *const draws = m_growth.draws.data();
            for (qint64 i = 0; i < m_cells; ++i)
                below[i] = qint8(quint64(draws[i]) < level);
        } else {
            const std::vector<quint32> &order = m_landscape.order();
            std::fill(below, below + m_cells, qint8(0));
            for (quint64 i = 0; i < level; ++i)
                below[order[i]] = 1;
        }
        m_growth.clusters.fill(below);
    }

    // The habitat of a level joined in one pass, then the cells of each
    // level after it added, level by level. Without observables the growth
    // stops where the replicate spans, and starts at the lowest level at
    // which this thread's last replicates spanned: only if the replicate
    // spans there already does it start again from the lowest level. Most
    // replicates so skip adding the cells one by one below their threshold.
    qint32 growByLevels(std::vector<Observation> &observed)
    {
        SiteClusters &clusters = m_growth.clusters;
        const qint32 count = qint32(m_levels.values.size());
        const int which = m_connectivity == ClusterRecord::Eight ? 1 : 0;
        qint32 start = 0;
        qint32 stop = count - 1; // the groups gathered first, up to this level
        if (observed.empty())
            m_growth.hint(which, count, start, stop);
        fillTo(start);
        if (start > 0 && spans()) {
            clusters.reset(m_size, m_size, m_connectivity);
            stop = start;
            start = 0;
            fillTo(0);
        }
        prepareGroups(start, stop);
        qint32 first = count;
        observe(observed, size_t(start));
        if (spans())
            first = start;
        for (qint32 j = start + 1; j < count && (first == count || !observed.empty()); ++j) {
            if (j > m_groupsTo)
                prepareGroups(m_groupsTo, count - 1);
            addGroup(j);
            observe(observed, size_t(j));
            if (first == count && spans())
                first = j;
        }
        if (observed.empty())
            m_growth.remember(which, first);
        return first;
    }

    // The cells with a key below start joined in one pass; their count.
    qint64 fillBelowKey(quint64 start)
    {
        m_growth.below.resize(size_t(m_cells));
        qint8 *const below = m_growth.below.data();
        qint64 count = 0;
        if (m_random) {
            const quint32 *const draws = m_growth.draws.data();
            for (qint64 i = 0; i < m_cells; ++i) {
                below[i] = qint8(quint64(draws[i]) < start);
                count += below[i];
            }
        } else {
            const std::vector<quint32> &order = m_landscape.order();
            std::fill(below, below + m_cells, qint8(0));
            for (quint64 i = 0; i < start; ++i)
                below[order[i]] = 1;
            count = qint64(start);
        }
        m_growth.clusters.fill(below);
        return count;
    }

    // Random: the cells with a draw of at least start, as (draw << 32) | cell
    // in order of draw; kept for the replicate's other rule. They are placed
    // in buckets of some 16 cells by draw, and a bucket is sorted only when
    // the growth reaches it (ensureSorted()): most replicates span within the
    // first few.
    void prepareSorted(quint64 start)
    {
        if (m_sortedReady && m_sortedStart == start)
            return;
        m_sortedReady = true;
        m_sortedStart = start;
        std::vector<quint64> &pending = m_growth.pending;
        pending.resize(size_t(m_cells));
        const quint32 *const draws = m_growth.draws.data();
        qint64 count = 0;
        for (qint64 i = 0; i < m_cells; ++i) {
            pending[size_t(count)] = (quint64(draws[i]) << 32) | quint64(i);
            count += quint64(draws[i]) >= start;
        }
        pending.resize(size_t(count));
        int shift = 0;
        const quint64 range = (quint64(1) << 32) - start;
        while ((range >> shift) * 16 > quint64(std::max<qint64>(count, 1)))
            ++shift;
        const quint64 buckets = ((range - 1) >> shift) + 1;
        std::vector<qint64> &bounds = m_growth.buckets;
        bounds.assign(size_t(buckets) + 1, 0);
        for (const quint64 item : pending)
            ++bounds[size_t(((item >> 32) - start) >> shift) + 1];
        for (size_t b = 1; b < bounds.size(); ++b)
            bounds[b] += bounds[b - 1];
        std::vector<quint64> &sorted = m_growth.sorted;
        sorted.resize(pending.size());
        std::vector<qint64> next(bounds.begin(), bounds.end() - 1);
        for (const quint64 item : pending)
            sorted[size_t(next[size_t(((item >> 32) - start) >> shift)]++)] = item;
        m_sortedUpTo = 0;
        m_nextBucket = 0;
    }

    // Sorts the buckets up to the one holding index i.
    void ensureSorted(qint64 i)
    {
        const std::vector<qint64> &bounds = m_growth.buckets;
        while (i >= m_sortedUpTo && m_nextBucket + 1 < bounds.size()) {
            std::sort(m_growth.sorted.begin() + bounds[m_nextBucket], m_growth.sorted.begin() + bounds[m_nextBucket + 1]);
            m_sortedUpTo = bounds[++m_nextBucket];
        }
    }

    // Every cell in the model's order, cells with equal keys together, until
    // the replicate spans (and, with observables, up to the highest level).
    // Without observables the cells below the key at which this thread's
    // last replicates spanned are joined in one pass first (and only if the
    // replicate spans already does it start again from no cells), so that
    // most replicates sort and add only the cells near their threshold.
    qint32 growExactly(qint64 &criticalCells, quint64 &criticalKey, std::vector<Observation> &observed)
    {
        SiteClusters &clusters = m_growth.clusters;
        const std::vector<quint64> &levels = m_levels.values;
        const int which = m_connectivity == ClusterRecord::Eight ? 1 : 0;
        quint64 start = observed.empty() ? std::min(m_growth.keyHint(which), m_levels.end - 1) : 0;
        qint64 below = start > 0 ? fillBelowKey(start) : 0;
        if (start > 0 && spans()) {
            clusters.reset(m_size, m_size, m_connectivity);
            start = 0;
            below = 0;
        }
        if (m_random)
            prepareSorted(start);
        const quint64 *const sorted = m_growth.sorted.data();
        const quint32 *const order = m_landscape.order().data() + (m_random ? 0 : start);
        const qint64 count = m_random ? qint64(m_growth.sorted.size()) : m_cells - qint64(start);
        auto keyAt = [&](qint64 i) -> quint64 {
            if (!m_random)
                return start + quint64(i);
            ensureSorted(i);
            return sorted[i] >> 32;
        };
        auto cellAt = [&](qint64 i) -> qint64 { return m_random ? qint64(quint32(sorted[i])) : qint64(order[i]); };
        size_t next = 0; // the next level to observe
        qint64 i = 0;
        quint64 critical = 0;
        bool found = false;
        while (true) {
            const quint64 key = i < count ? keyAt(i) : m_levels.end;
            // The habitat now is every cell with a key below key.
            for (; next < levels.size() && levels[next] <= key; ++next)
                observe(observed, next);
            if (found && (observed.empty() || next == levels.size()))
                break;
            if (i == count)
                break;
            const quint64 entering = keyAt(i);
            for (; i < count && keyAt(i) == entering; ++i)
                clusters.add(cellAt(i));
            if (!found && spans()) {
                found = true;
                critical = entering;
                criticalCells = below + i;
            }
        }
        Q_ASSERT(found); // every cell habitat spans
        criticalKey = critical;
        m_growth.rememberKey(which, critical);
        return qint32(std::upper_bound(levels.begin(), levels.end(), critical) - levels.begin());
    }

    const PercolationSweep::Parameters &m_parameters;
    const NeutralLandscape &m_landscape;
    const Levels &m_levels;
    Growth &m_growth;
    const qint64 m_size;
    const qint64 m_cells;
    const bool m_random;
    const bool m_leftRight;
    const bool m_topBottom;
    qint32 m_groupsFrom = 0; // the groups prepared: after level m_groupsFrom up to m_groupsTo
    qint32 m_groupsTo = 0;
    bool m_sortedReady = false;
    quint64 m_sortedStart = 0;
    qint64 m_sortedUpTo = 0;  // sorted[0 .. m_sortedUpTo) is in order
    size_t m_nextBucket = 0;
    ClusterRecord::Connectivity m_connectivity = ClusterRecord::Four;
};

Levels levelsOf(const PercolationSweep::Parameters &parameters, const NeutralLandscape::Parameters &landscape)
{
    Levels levels;
    for (const double share : parameters.shares)
        levels.values.push_back(levelOf(landscape, share));
    std::sort(levels.values.begin(), levels.values.end());
    levels.values.erase(std::unique(levels.values.begin(), levels.values.end()), levels.values.end());
    for (const double share : parameters.shares)
        levels.ofShare.push_back(qint32(std::lower_bound(levels.values.begin(), levels.values.end(),
                                                         levelOf(landscape, share))
                                        - levels.values.begin()));
    const bool random = landscape.model == NeutralLandscape::Random;
    levels.end = random ? quint64(1) << 32 : quint64(landscape.size * landscape.size);
    if (random) {
        levels.coarse.resize(65536);
        for (quint64 t = 0; t < 65536; ++t)
            levels.coarse[size_t(t)] = qint32(std::upper_bound(levels.values.begin(), levels.values.end(), t << 16)
                                              - levels.values.begin());
    }
    return levels;
}

} // namespace

void ExactMoments::add(quint64 value)
{
    sum += value;
    const unsigned __int128 square = static_cast<unsigned __int128>(value) * value;
    squaresLow += square;
    if (squaresLow < square)
        ++squaresHigh;
}

void ExactMoments::add(const ExactMoments &other)
{
    sum += other.sum;
    squaresLow += other.squaresLow;
    if (squaresLow < other.squaresLow)
        ++squaresHigh;
    squaresHigh += other.squaresHigh;
}

double ExactMoments::mean(qint64 n, double unit) const
{
    if (n < 1)
        return std::nan("");
    return double((long double)sum / (long double)n * (long double)unit);
}

namespace {

// An unsigned 256-bit integer, four 64-bit limbs from the lowest: just what
// the exact variance below needs.
struct U256
{
    quint64 limb[4] = {0, 0, 0, 0};

    static U256 of(quint64 high, unsigned __int128 low)
    {
        U256 v;
        v.limb[0] = quint64(low);
        v.limb[1] = quint64(low >> 64);
        v.limb[2] = high;
        return v;
    }
    U256 times(quint64 factor) const
    {
        U256 out;
        unsigned __int128 carry = 0;
        for (int i = 0; i < 4; ++i) {
            const unsigned __int128 product = (unsigned __int128)limb[i] * factor + carry;
            out.limb[i] = quint64(product);
            carry = product >> 64;
        }
        return out;
    }
    static U256 square(unsigned __int128 x)
    {
        const quint64 low = quint64(x);
        const quint64 high = quint64(x >> 64);
        U256 out;
        const unsigned __int128 ll = (unsigned __int128)low * low;
        const unsigned __int128 lh = (unsigned __int128)low * high;
        const unsigned __int128 hh = (unsigned __int128)high * high;
        // x^2 = hh 2^128 + 2 lh 2^64 + ll
        out.limb[0] = quint64(ll);
        unsigned __int128 middle = (ll >> 64) + quint64(lh) + quint64(lh); // at most 3 (2^64 - 1)
        out.limb[1] = quint64(middle);
        unsigned __int128 upper = (middle >> 64) + (lh >> 64) + (lh >> 64) + quint64(hh);
        out.limb[2] = quint64(upper);
        out.limb[3] = quint64((upper >> 64) + (hh >> 64));
        return out;
    }
    // this - other, for this >= other.
    U256 minus(const U256 &other) const
    {
        U256 out;
        quint64 borrow = 0;
        for (int i = 0; i < 4; ++i) {
            const quint64 a = limb[i];
            const quint64 b = other.limb[i];
            out.limb[i] = a - b - borrow;
            borrow = (a < b || (a == b && borrow)) ? 1 : 0;
        }
        return out;
    }
    long double value() const
    {
        long double v = 0;
        for (int i = 3; i >= 0; --i)
            v = v * 18446744073709551616.0L + (long double)limb[i];
        return v;
    }
};

} // namespace

double ExactMoments::standardError(qint64 n, double unit) const
{
    if (n < 2)
        return std::nan("");
    // n^2 (n - 1) SE^2 = n sum x^2 - (sum x)^2, exact in integers: the
    // difference of two large and close numbers keeps every digit, where a
    // difference in floating point would lose most of them.
    const U256 spread = U256::of(squaresHigh, squaresLow).times(quint64(n)).minus(U256::square(sum));
    const long double count = (long double)n;
    return double(std::sqrt(spread.value() / (count * count * (count - 1))) * (long double)unit);
}

QByteArray ExactMoments::text() const
{
    return decimal(sum) + '/' + decimal(squaresHigh, squaresLow);
}

bool ExactMoments::parse(const QByteArray &text, ExactMoments &moments)
{
    const qsizetype slash = text.indexOf('/');
    if (slash < 0)
        return false;
    quint64 high = 0;
    unsigned __int128 low = 0;
    if (!readDecimal(text.left(slash), high, low) || high != 0)
        return false;
    moments.sum = low;
    if (!readDecimal(text.mid(slash + 1), moments.squaresHigh, moments.squaresLow))
        return false;
    return moments.text() == text;
}

QByteArray PercolationSweep::criticalShare(const NeutralLandscape::Parameters &landscape, qint64 size,
                                           quint64 criticalKey)
{
    NeutralLandscape::Parameters model = landscape;
    model.size = size;
    // A share as the table writes it, digits / 10^decimals, and whether the
    // replicate spans at it: its level (read from that text, as the command
    // line reads a share) is beyond the key at which it spans.
    int decimals = 9;
    auto text = [&](quint64 digits) {
        QByteArray out = QByteArray::number(digits).rightJustified(decimals + 1, '0');
        out.insert(out.size() - decimals, '.');
        while (out.endsWith('0'))
            out.chop(1);
        if (out.endsWith('.'))
            out.chop(1);
        return out;
    };
    auto spansAt = [&](quint64 digits) { return levelOf(model, text(digits).toDouble()) > criticalKey; };
    // Where the level passes the key: just above key / 2^32 for Random
    // (cells below the threshold are habitat), at (key + 1/2) / L^2 for the
    // ordered models (their share is rounded to cells).
    const long double boundary = model.model == NeutralLandscape::Random
            ? (long double)criticalKey / 4294967296.0L
            : ((long double)criticalKey + 0.5L) / ((long double)size * (long double)size);
    if (boundary >= 1)
        return "1";
    for (long double scaled = boundary; scaled > 0 && scaled < 0.1L && decimals < 18; scaled *= 10)
        ++decimals;
    long double power = 1;
    for (int i = 0; i < decimals; ++i)
        power *= 10;
    quint64 digits = quint64(boundary * power);
    while (digits > 0 && spansAt(digits - 1))
        --digits;
    while (!spansAt(digits))
        ++digits;
    return text(digits);
}

std::vector<qint64> PercolationSweep::Parameters::sizeList() const
{
    return sizes.empty() ? std::vector<qint64>{landscape.size} : sizes;
}

bool PercolationSweep::onePassFits(qint64 size)
{
    return SiteClusters::fits(size, size);
}

namespace {

// Whether the cluster rules grow each replicate through the shares. At a
// single share without observables or thresholds there is nothing to grow
// through: testing the share directly gives the same answer and may stop
// reading as soon as a cluster spans.
bool growsReplicates(const PercolationSweep::Parameters &parameters, qint64 size)
{
    return parameters.method == PercolationSweep::OnePass && PercolationSweep::onePassFits(size)
            && (parameters.shares.size() > 1 || parameters.observables || parameters.thresholds);
}

} // namespace

qint64 PercolationSweep::bytesPerThread(const Parameters &parameters, qint64 size)
{
    NeutralLandscape::Parameters landscape = parameters.landscape;
    landscape.size = size;
    const qint64 cells = size * size;
    const bool grown = growsReplicates(parameters, size);
    bool perShare = false;
    bool clusterRules = false;
    for (const SpanningRule::Kind kind : parameters.rules) {
        const bool walk = kind == SpanningRule::Walk;
        perShare |= walk || !grown;
        clusterRules |= !walk;
    }
    // Testing per share: the cells and, to test them, up to about 8 bytes per
    // cell more (the walk's queue, the cluster search's labels).
    qint64 extra = perShare ? 8 * cells : 0;
    if (clusterRules && grown) {
        // The union-find and the cells below a share; for Random the draws,
        // the cells being gathered, those between shares by group and, for
        // thresholds, in order with their buckets.
        extra += SiteClusters::bytes(size, size) + cells;
        if (landscape.model == NeutralLandscape::Random) {
            const bool byLevels = parameters.observables || !parameters.thresholds;
            extra += 12 * cells + (byLevels ? 4 * cells : 0) + (parameters.thresholds ? 9 * cells : 0);
        }
    }
    return NeutralLandscape::workingBytes(landscape) + extra;
}

QByteArray PercolationSweep::description(const Parameters &parameters)
{
    const NeutralLandscape::Parameters &landscape = parameters.landscape;
    QByteArray out = "model=" + NeutralLandscape::name(landscape.model).toLatin1();
    if (landscape.model == NeutralLandscape::Fractal)
        out += " roughness=" + exact(landscape.roughness);
    if (landscape.model == NeutralLandscape::Clusters)
        out += " seed-share=" + exact(landscape.seedShare);
    QByteArrayList sizes;
    for (const qint64 size : parameters.sizeList())
        sizes << QByteArray::number(size);
    out += " size=" + sizes.join(',');
    // A long list of shares (100,000 of them) is named by its count, its ends
    // and a digest, so that the line stays within what LineReader reads back.
    const QByteArray shares = parameters.shareTexts.join(',');
    if (shares.size() <= 4096) {
        out += " shares=" + shares;
    } else {
        out += " shares=" + QByteArray::number(parameters.shareTexts.size()) + ":" + parameters.shareTexts.first() + ".."
                + parameters.shareTexts.last() + ":sha256:"
                + QCryptographicHash::hash(shares, QCryptographicHash::Sha256).toHex().left(16);
    }
    QByteArrayList rules;
    for (const SpanningRule::Kind kind : parameters.rules)
        rules << SpanningRule::name(kind).toLatin1();
    out += " rules=" + rules.join(',');
    out += " direction=" + SpanningRule::name(parameters.direction).toLatin1();
    out += " replicates=" + QByteArray::number(parameters.replicates);
    out += " seed=" + QByteArray::number(landscape.seed);
    if (parameters.observables)
        out += " observables";
    return out;
}

PercolationSweep::Result PercolationSweep::run(const Parameters &parameters, int jobs,
                                               const std::function<void(qint64, qint64)> &progress,
                                               const std::function<void(const Threshold &)> &onThreshold)
{
    const Shard shard = parameters.shard.value_or(Shard());
    const qint64 first = shard.begin(parameters.replicates) + 1;
    const qint64 total = std::max<qint64>(0, shard.end(parameters.replicates) - first + 1);
    const std::vector<qint64> sizes = parameters.sizeList();
    const size_t shareCount = parameters.shares.size();
    const size_t ruleCount = parameters.rules.size();

    Result result;
    result.replicates = total;
    result.spanning.assign(sizes.size() * shareCount * ruleCount, 0);
    if (parameters.observables)
        result.observables.assign(result.spanning.size(), ObservableSums());

    for (size_t z = 0; z < sizes.size(); ++z) {
        NeutralLandscape::Parameters landscape = parameters.landscape;
        landscape.size = sizes[z];
        const bool onePass = growsReplicates(parameters, landscape.size) && shareCount > 0;
        const bool observables = parameters.observables && onePass;
        const bool thresholds = parameters.thresholds && onePass;
        PercolationSweep::Parameters grown = parameters;
        grown.observables = observables;
        grown.thresholds = thresholds;
        // The rules tested share by share: the walk, and the cluster rules
        // when they are not grown. Cluster rules only read the cells; the
        // walk marks them, so it goes last.
        std::vector<size_t> perShare;
        std::vector<size_t> grownRules;
        for (size_t k = 0; k < ruleCount; ++k) {
            if (parameters.rules[k] == SpanningRule::Walk)
                continue;
            (onePass ? grownRules : perShare).push_back(k);
        }
        for (size_t k = 0; k < ruleCount; ++k) {
            if (parameters.rules[k] == SpanningRule::Walk)
                perShare.push_back(k);
        }
        const Levels levels = onePass ? levelsOf(parameters, landscape) : Levels();

        std::vector<Answer> answers(static_cast<size_t>(total));
        bool outOfMemory = false;
        WorkerPool::run(
                total, jobs,
                [&](qint64 i) {
                    // Memory running out in a worker is answered by doing the
                    // replicate again alone (WorkerPool), and if that fails
                    // too, by a bad_alloc on the calling thread after the run.
                    try {
                        thread_local WalkGrid grid;
                        thread_local RaggedRows<qint8> rows;
                        thread_local Growth growth;
                        Answer &answer = answers[size_t(i)];
                        answer = Answer();
                        answer.spans.assign(shareCount * ruleCount, 0);
                        const NeutralLandscape replicate(landscape, first + i);
                        for (size_t s = 0; s < shareCount && !perShare.empty(); ++s) {
                            replicate.cells(parameters.shares[s], rows);
                            grid.setRows(std::move(rows));
                            for (const size_t k : perShare)
                                answer.spans[s * ruleCount + k] = quint8(SpanningRule(parameters.rules[k], parameters.direction).test(grid));
                            rows = grid.takeRows();
                        }
                        if (grownRules.empty())
                            return WorkerPool::Done;
                        if (landscape.model == NeutralLandscape::Random) {
                            growth.draws.resize(size_t(landscape.size * landscape.size));
                            replicate.draws(growth.draws.data());
                        }
                        Replicate grower(grown, replicate, levels, growth);
                        if (observables)
                            answer.observed.assign(shareCount * ruleCount, Observation());
                        if (thresholds) {
                            answer.criticalCells.assign(ruleCount, -1);
                            answer.criticalKeys.assign(ruleCount, 0);
                        }
                        std::vector<Observation> observed;
                        for (const size_t k : grownRules) {
                            qint64 critical = -1;
                            quint64 criticalKey = 0;
                            const auto connectivity
                                    = SpanningRule(parameters.rules[k], parameters.direction).connectivity();
                            const qint32 firstLevel = grower.grow(connectivity, critical, criticalKey, observed);
                            for (size_t s = 0; s < shareCount; ++s) {
                                const qint32 level = levels.ofShare[s];
                                answer.spans[s * ruleCount + k] = quint8(level >= firstLevel);
                                if (observables)
                                    answer.observed[s * ruleCount + k] = observed[size_t(level)];
                            }
                            if (thresholds) {
                                answer.criticalCells[k] = critical;
                                answer.criticalKeys[k] = criticalKey;
                            }
                        }
                        return WorkerPool::Done;
                    } catch (const std::bad_alloc &) {
                        answers[size_t(i)] = Answer();
                        answers[size_t(i)].failed = true;
                        return WorkerPool::RetryAlone;
                    }
                },
                [&](qint64 i) {
                    Answer &answer = answers[size_t(i)];
                    if (answer.failed) {
                        outOfMemory = true;
                        return;
                    }
                    const size_t base = z * shareCount * ruleCount;
                    for (size_t j = 0; j < answer.spans.size(); ++j)
                        result.spanning[base + j] += answer.spans[j];
                    for (size_t j = 0; j < answer.observed.size(); ++j) {
                        if (parameters.rules[j % ruleCount] == SpanningRule::Walk)
                            continue;
                        const Observation &seen = answer.observed[j];
                        ObservableSums &sums = result.observables[base + j];
                        sums.largest.add(quint64(seen.largest));
                        sums.clusters.add(quint64(seen.clusters));
                        sums.meanSize.add(seen.meanSize);
                    }
                    if (onThreshold) {
                        for (size_t k = 0; k < answer.criticalCells.size(); ++k) {
                            if (answer.criticalCells[k] >= 0)
                                onThreshold(Threshold{landscape.size, first + i, parameters.rules[k],
                                                      answer.criticalCells[k], answer.criticalKeys[k]});
                        }
                    }
                    answer = Answer();
                    if (progress)
                        progress(qint64(z) * total + i + 1, qint64(sizes.size()) * total);
                });
        if (outOfMemory)
            throw std::bad_alloc();
    }
    if (progress && total == 0)
        progress(0, 0);
    return result;
}
