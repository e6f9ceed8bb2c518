#include "memorylabels.h"

#include "systemmemory.h"

#include <algorithm>
#include <new>
#include <thread>

namespace {

constexpr quint32 NoLabel = 0;

// The root of label in parent, halving the paths walked.
quint32 rootOf(std::vector<quint32> &parent, quint32 label)
{
    while (parent[label] != label) {
        parent[label] = parent[parent[label]];
        label = parent[label];
    }
    return label;
}

// Joins the sets of a and b: the smaller root stays root and takes the
// other's cells.
quint32 join(std::vector<quint32> &parent, std::vector<quint64> &cells, quint32 a, quint32 b)
{
    a = rootOf(parent, a);
    b = rootOf(parent, b);
    if (a == b)
        return a;
    const quint32 root = std::min(a, b), other = std::max(a, b);
    parent[other] = root;
    cells[root] += cells[other];
    return root;
}

// Runs work(k) for k in [0, count) on up to threads threads, this one among them.
template <typename Work>
void onThreads(int count, int threads, Work work)
{
    threads = std::clamp(threads, 1, std::max(count, 1));
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t) {
        helpers.emplace_back([&, t] {
            for (int k = t; k < count; k += threads)
                work(k);
        });
    }
    for (int k = 0; k < count; k += threads)
        work(k);
    for (std::thread &helper : helpers)
        helper.join();
}

} // namespace

bool MemoryLabels::fits(qint64 rows, qint64 columns)
{
    return rows >= 0 && columns >= 0 && (columns == 0 || rows < qint64(NoValue) / columns);
}

MemoryLabels::MemoryLabels(qint64 rows, qint64 columns, bool each, ClusterRecord::Connectivity connectivity,
                           PatchPass::Values values, const std::vector<qint64> &firsts, Into into)
    : m_rows(rows)
    , m_columns(columns)
    , m_each(each)
    , m_connectivity(connectivity)
    , m_values(values)
    , m_into(std::move(into))
    , m_bands(firsts.empty() ? size_t(1) : firsts.size())
{
    for (size_t k = 0; k < m_bands.size(); ++k) {
        Band &band = m_bands[k];
        band.m_first = firsts.empty() ? 0 : firsts[k];
        const qint64 end = k + 1 < firsts.size() ? firsts[k + 1] : rows;
        band.m_rows = end - band.m_first;
        band.m_columns = columns;
        band.m_each = each;
        band.m_parent.push_back(NoLabel); // label 0: no patch
        band.m_cells.push_back(0);
        band.m_class.push_back(0);
    }
}

MemoryLabels::~MemoryLabels() = default;

bool MemoryLabels::allocate()
{
    if (m_labels || m_failed)
        return !m_failed;
    try {
        if (m_each) {
            m_scratch.reset(static_cast<quint32 *>(SystemMemory::allocateLarge(size_t(m_rows * m_columns) * 4)));
            m_labels = m_scratch.get();
        } else {
            m_labels = static_cast<quint32 *>(m_into(std::nullopt, m_rows, m_columns, false));
        }
    } catch (const std::bad_alloc &) {
        m_labels = nullptr;
    }
    m_failed = !m_labels;
    for (Band &band : m_bands)
        band.m_labels = m_labels;
    return !m_failed;
}

quint32 *MemoryLabels::Band::row(qint64 row) const
{
    return m_labels && row >= 0 && row < m_rows ? m_labels + (m_first + row) * m_columns : nullptr;
}

template <typename HasValue>
void MemoryLabels::Band::markRow(qint64 row, qint64 length, HasValue hasValue)
{
    quint32 *out = this->row(row);
    if (!out)
        return;
    const qint64 n = std::min(length, m_columns);
    for (qint64 c = 0; c < n; ++c)
        out[c] = hasValue(c) ? 0 : NoValue;
    std::fill(out + n, out + m_columns, NoValue);
}

void MemoryLabels::Band::addRow(qint64 row, const qint8 *cells, qint64 length)
{
    markRow(row, length, [cells](qint64 c) { return cells[c] >= 0; });
}

void MemoryLabels::Band::addRow(qint64 row, const quint8 *present, qint64 length)
{
    markRow(row, length, [present](qint64 c) { return present[c] != 0; });
}

void MemoryLabels::Band::rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const qint32 *values,
                                   const quint32 *clusters, qint64 runs)
{
    quint32 *out = this->row(row - m_first);
    if (!out)
        return;
    for (qint64 i = 0; i < runs; ++i) {
        const quint32 cluster = clusters[i];
        if (cluster >= m_open.size())
            m_open.resize(std::max<size_t>(size_t(cluster) + 1, m_open.size() * 2), NoLabel);
        quint32 &label = m_open[cluster];
        if (label == NoLabel) { // a cluster begun in this row
            label = quint32(m_parent.size());
            m_parent.push_back(label);
            m_cells.push_back(0);
            if (m_each)
                m_class.push_back(values ? values[i] : 0);
        }
        const qint64 end = std::min(ends[i], m_columns);
        m_cells[label] += quint64(end - begins[i]);
        for (qint64 c = begins[i]; c < end; ++c) // runs are short: no call per run
            out[c] = label;
    }
}

void MemoryLabels::Band::clusterRetired(quint32 cluster, const Cluster &)
{
    if (cluster < m_open.size())
        m_open[cluster] = NoLabel;
}

void MemoryLabels::Band::clustersJoined(quint32 into, quint32 from)
{
    if (into >= m_open.size() || from >= m_open.size() || !m_open[into] || !m_open[from])
        return;
    m_open[into] = join(m_parent, m_cells, m_open[into], m_open[from]);
    m_open[from] = NoLabel;
}

bool MemoryLabels::finish(const std::vector<qint32> &classes, int threads)
{
    if (!allocate())
        return false;
    // Every band's labels after those of the bands above: label l of band k
    // is base + l, base its place in the whole.
    std::vector<quint32> parent{NoLabel};
    std::vector<quint64> cells{0};
    std::vector<qint32> classOf{0};
    for (Band &band : m_bands) {
        band.m_base = quint32(parent.size() - 1);
        for (size_t l = 1; l < band.m_parent.size(); ++l) {
            parent.push_back(band.m_base + band.m_parent[l]);
            cells.push_back(band.m_cells[l]);
            classOf.push_back(m_each ? band.m_class[l] : 0);
        }
        band.m_open = {};
        band.m_parent = {};
        band.m_cells = {};
        band.m_class = {};
    }
    // The seams: a band's first row against the last row of the band above.
    const qint64 reach = m_connectivity == ClusterRecord::Eight ? 1 : 0;
    for (size_t k = 1; k < m_bands.size(); ++k) {
        const Band &above = m_bands[k - 1], &below = m_bands[k];
        if (above.m_rows == 0 || below.m_rows == 0)
            continue;
        const quint32 *up = above.row(above.m_rows - 1);
        const quint32 *down = below.row(0);
        for (qint64 c = 0; c < m_columns; ++c) {
            if (up[c] == NoLabel || up[c] == NoValue)
                continue;
            const quint32 a = above.m_base + up[c];
            for (qint64 d = std::max<qint64>(0, c - reach); d <= std::min(m_columns - 1, c + reach); ++d) {
                if (down[d] == NoLabel || down[d] == NoValue)
                    continue;
                const quint32 b = below.m_base + down[d];
                if (classOf[a] == classOf[b])
                    join(parent, cells, a, b);
            }
        }
    }
    // Each label's value in the map: roots in increasing order are the
    // patches in the order of their first cells; every other label's root
    // lies before it.
    std::vector<quint32> value(parent.size(), 0);
    std::vector<std::pair<qint32, quint32>> numbered; // per class, its patches so far
    for (size_t l = 1; l < parent.size(); ++l) {
        const quint32 root = rootOf(parent, quint32(l));
        if (root != l) {
            value[l] = value[root];
        } else if (m_values == PatchPass::Sizes) {
            value[l] = quint32(cells[l]);
        } else {
            auto it = std::find_if(numbered.begin(), numbered.end(),
                                   [&](const auto &entry) { return entry.first == classOf[l]; });
            if (it == numbered.end())
                it = numbered.insert(numbered.end(), {classOf[l], 0});
            value[l] = ++it->second;
        }
    }
    // Each band's cells rewritten through a table of its labels' values,
    // with 0 for label 0 and no value for everything past its labels (the
    // no-value label among them): one load per cell, no branch.
    std::vector<quint32> bandLabels(m_bands.size());
    for (size_t k = 0; k < m_bands.size(); ++k)
        bandLabels[k] = quint32((k + 1 < m_bands.size() ? m_bands[k + 1].m_base : parent.size() - 1) - m_bands[k].m_base);
    const auto rewrite = [&](quint32 *map, std::optional<qint32> coverClass) {
        onThreads(int(m_bands.size()), threads, [&](int k) {
            const Band &band = m_bands[size_t(k)];
            const quint32 count = bandLabels[size_t(k)];
            std::vector<quint32> table(size_t(count) + 2);
            for (quint32 l = 1; l <= count; ++l) {
                const quint32 global = band.m_base + l;
                table[l] = !coverClass || classOf[global] == *coverClass ? value[global] : 0;
            }
            table[count + 1] = NoValue;
            const quint32 *labels = m_labels + band.m_first * m_columns;
            quint32 *out = map + band.m_first * m_columns;
            const qint64 cellsOfBand = band.m_rows * m_columns;
            for (qint64 i = 0; i < cellsOfBand; ++i)
                out[i] = table[std::min(labels[i], count + 1)];
        });
    };
    if (!m_each) {
        rewrite(m_labels, std::nullopt);
        return true;
    }
    for (const qint32 coverClass : classes) {
        quint32 *map = nullptr;
        try {
            map = static_cast<quint32 *>(m_into(coverClass, m_rows, m_columns, false));
        } catch (const std::bad_alloc &) {
            map = nullptr;
        }
        if (!map)
            return false;
        rewrite(map, coverClass);
    }
    return true;
}
