#include "memorylabels.h"

#include "cellcodes.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

bool MemoryLabels::fits(qint64 rows, qint64 columns)
{
    return rows >= 0 && columns >= 0 && (columns == 0 || rows < qint64(NoValue) / columns);
}

MemoryLabels::MemoryLabels(qint64 rows, qint64 columns, bool each, PatchPass::Values values, Into into)
    : m_rows(rows)
    , m_columns(columns)
    , m_each(each)
    , m_values(values)
    , m_into(std::move(into))
{
    m_parent.push_back(0); // label 0: no patch
    m_cells.push_back(0);
    m_class.push_back(0);
}

bool MemoryLabels::allocate()
{
    if (m_labels || m_failed)
        return !m_failed;
    try {
        if (m_each) {
            m_scratch.resize(size_t(m_rows * m_columns));
            m_labels = m_scratch.data();
        } else {
            m_labels = static_cast<quint32 *>(m_into(std::nullopt, m_rows, m_columns, false));
        }
    } catch (const std::bad_alloc &) {
        m_labels = nullptr;
    }
    m_failed = !m_labels;
    return !m_failed;
}

bool MemoryLabels::addRow(qint64 row, const qint8 *cells, qint64 length)
{
    if (!allocate() || row < 0 || row >= m_rows)
        return !m_failed;
    quint32 *out = m_labels + row * m_columns;
    const qint64 n = std::min(length, m_columns);
    for (qint64 c = 0; c < n; ++c)
        out[c] = cells[c] < 0 ? NoValue : 0;
    std::fill(out + n, out + m_columns, NoValue);
    return true;
}

bool MemoryLabels::addRow(qint64 row, const quint8 *present, qint64 length)
{
    if (!allocate() || row < 0 || row >= m_rows)
        return !m_failed;
    quint32 *out = m_labels + row * m_columns;
    const qint64 n = std::min(length, m_columns);
    for (qint64 c = 0; c < n; ++c)
        out[c] = present[c] ? 0 : NoValue;
    std::fill(out + n, out + m_columns, NoValue);
    return true;
}

void MemoryLabels::rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const qint32 *values,
                             const quint32 *clusters, qint64 runs)
{
    if (!m_labels || row < 0 || row >= m_rows)
        return;
    quint32 *out = m_labels + row * m_columns;
    for (qint64 i = 0; i < runs; ++i) {
        const quint32 cluster = clusters[i];
        if (cluster >= m_open.size())
            m_open.resize(std::max<size_t>(size_t(cluster) + 1, m_open.size() * 2), 0);
        quint32 &label = m_open[cluster];
        if (label == 0) { // a cluster begun in this row
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

void MemoryLabels::clusterRetired(quint32 cluster, const Cluster &)
{
    if (cluster < m_open.size())
        m_open[cluster] = 0;
}

void MemoryLabels::clustersJoined(quint32 into, quint32 from)
{
    if (into >= m_open.size() || from >= m_open.size() || !m_open[into] || !m_open[from])
        return;
    const quint32 a = find(m_open[into]);
    const quint32 b = find(m_open[from]);
    m_open[from] = 0;
    if (a == b)
        return;
    const quint32 root = std::min(a, b), other = std::max(a, b);
    m_parent[other] = root;
    m_cells[root] += m_cells[other];
    m_open[into] = root;
}

quint32 MemoryLabels::find(quint32 label)
{
    quint32 root = label;
    while (m_parent[root] != root)
        root = m_parent[root];
    while (m_parent[label] != root) {
        const quint32 next = m_parent[label];
        m_parent[label] = root;
        label = next;
    }
    return root;
}

bool MemoryLabels::finish(const std::vector<qint32> &classes)
{
    if (!allocate())
        return false;
    // Each label's value in the map: roots in increasing order are the
    // patches in the order of their first cells; a root's parent is itself
    // and every other label's lies before it.
    const size_t labels = m_parent.size();
    std::vector<quint32> value(labels, 0);
    std::unordered_map<qint32, quint32> numbered;
    for (size_t l = 1; l < labels; ++l) {
        const quint32 root = find(quint32(l));
        if (root != l)
            value[l] = value[root];
        else if (m_values == PatchPass::Sizes)
            value[l] = quint32(m_cells[l]);
        else
            value[l] = ++numbered[m_each ? m_class[l] : 0];
    }
    const qint64 cells = m_rows * m_columns;
    if (!m_each) {
        for (qint64 i = 0; i < cells; ++i) {
            const quint32 label = m_labels[i];
            if (label != NoValue)
                m_labels[i] = value[label];
        }
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
        for (qint64 i = 0; i < cells; ++i) {
            const quint32 label = m_labels[i];
            map[i] = label == NoValue ? NoValue : m_class[label] == coverClass ? value[label] : 0;
        }
    }
    return true;
}
