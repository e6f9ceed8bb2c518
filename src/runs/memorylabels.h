#pragma once

#include "clusterscan.h"
#include "patchpass.h"

#include <QtGlobal>

#include <functional>
#include <optional>
#include <vector>

// The patch each cell belongs to, for a landscape whose map is wanted whole
// in memory (the bindings' label()): one search and one pass over the map,
// without the records PatchPass reads back from the bottom.
//
// As the search runs (it watches it), every run of habitat is written into
// the map under a provisional label: a label per cluster begun, in the order
// clusters begin, which is the row-major order of their first cells. When
// clusters join, their labels are joined (union-find, the smaller label the
// root, so a root is its patch's first-begun cluster) and their sizes added.
// finish() then rewrites each cell with its patch's number (its root's rank
// among the roots of its class) or size. The maps are PatchPass's: 0 for a
// cell with a value outside the cover, the type's largest value for a cell
// without one. Memory: the map, 4 bytes per cell more with cover each (the
// labels of every class), and 16 bytes per cluster begun.
//
// For maps of fewer than 2^32 - 1 cells (fits()), whose values are then
// always 32-bit.
class MemoryLabels : public ClusterScan::Observer
{
public:
    using Into = std::function<void *(std::optional<qint32> coverClass, qint64 rows, qint64 columns, bool wide)>;

    static bool fits(qint64 rows, qint64 columns);

    // A landscape of rows x columns of one cover (each: false) or of every
    // class; into gives each map's memory (nullptr: none to be had).
    MemoryLabels(qint64 rows, qint64 columns, bool each, PatchPass::Values values, Into into);

    // Before the search is given row `row`: which of its cells have a
    // value (CellCode bytes, or present flags with cover each); false when
    // the labels' memory cannot be had.
    bool addRow(qint64 row, const qint8 *cells, qint64 length);
    bool addRow(qint64 row, const quint8 *present, qint64 length);

    void rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const qint32 *values, const quint32 *clusters,
                   qint64 runs) override;
    void clusterRetired(quint32 cluster, const Cluster &record) override;
    void clustersJoined(quint32 into, quint32 from) override;

    // After the search: the maps, one per class of classes with cover
    // each, else one; false when memory for one cannot be had.
    bool finish(const std::vector<qint32> &classes);

private:
    static constexpr quint32 NoValue = 0xffffffffu;
    bool allocate();
    quint32 find(quint32 label);

    qint64 m_rows;
    qint64 m_columns;
    bool m_each;
    PatchPass::Values m_values;
    Into m_into;
    quint32 *m_labels = nullptr;   // the map (one cover) or m_scratch (each)
    std::vector<quint32> m_scratch;
    bool m_failed = false;
    std::vector<quint32> m_open;   // per cluster identifier of the search, its label (0: none)
    std::vector<quint32> m_parent; // per label
    std::vector<quint64> m_cells;  // per root label, its patch's cells so far
    std::vector<qint32> m_class;   // per label, with cover each
};
