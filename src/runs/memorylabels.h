#pragma once

#include "clusterrecord.h"
#include "clusterscan.h"
#include "patchpass.h"

#include <QtGlobal>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The patch each cell belongs to, for a landscape whose map is wanted whole
// in memory (the bindings' label()): one search and one pass over the map,
// without the records PatchPass reads back from the bottom; the rows in
// bands searched at once on several threads, joined along their seams.
//
// As a band is searched (its Band watches the search), every run of habitat
// is written into the map under a provisional label: a label per cluster
// begun, in the order clusters begin, which is the row-major order of their
// first cells. When clusters join, their labels are joined (union-find, the
// smaller label the root, so a root is its cluster's first-begun label) and
// their sizes added. finish() numbers the labels of every band one after the
// other, so that the order of labels stays that of first cells, joins the
// labels that meet across each seam (a band's last row against the next
// band's first: the cells above, and under cluster8 the corners), and
// rewrites each cell with its patch's number (its root's rank among the
// roots of its class) or size. The maps are PatchPass's: 0 for a cell with
// a value outside the cover, the type's largest value for a cell without
// one. The same maps whatever the bands.
//
// Memory: the map, 4 bytes per cell more with cover each (the labels of
// every class), and 16 bytes per cluster begun. For maps of fewer than
// 2^32 - 1 cells (fits()), whose values are then always 32-bit.
class MemoryLabels
{
public:
    using Into = std::function<void *(std::optional<qint32> coverClass, qint64 rows, qint64 columns, bool wide)>;

    static bool fits(qint64 rows, qint64 columns);

    // A landscape of rows x columns of one cover (each: false) or of every
    // class, its cells joined with connectivity, in bands beginning at the
    // rows firsts (increasing, the first 0); into gives each map's memory
    // (nullptr: none to be had).
    MemoryLabels(qint64 rows, qint64 columns, bool each, ClusterRecord::Connectivity connectivity,
                 PatchPass::Values values, const std::vector<qint64> &firsts, Into into);
    ~MemoryLabels();

    // The labels' memory, before any band is searched; false when it cannot
    // be had.
    bool allocate();

    // What watches the search of band k: its rows are given to the search
    // from the band's first, numbered from 0 there.
    class Band : public ClusterScan::Observer
    {
    public:
        // Before the search is given the band's row `row` (counted from the
        // band's first): which of its cells have a value (CellCode bytes, or
        // present flags with cover each).
        void addRow(qint64 row, const qint8 *cells, qint64 length);
        void addRow(qint64 row, const quint8 *present, qint64 length);

        // The search numbers rows as the landscape's (a band of it).
        void rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const qint32 *values,
                       const quint32 *clusters, qint64 runs) override;
        void clusterRetired(quint32 cluster, const Cluster &record) override;
        void clustersJoined(quint32 into, quint32 from) override;

        qint64 first() const { return m_first; }
        qint64 rows() const { return m_rows; }

    private:
        friend class MemoryLabels;
        quint32 *row(qint64 row) const;
        // Row `row`'s cells 0 where hasValue(column), else no value, the
        // cells past length none.
        template <typename HasValue>
        void markRow(qint64 row, qint64 length, HasValue hasValue);
        quint32 m_base = 0;
        quint32 *m_labels = nullptr;
        qint64 m_first = 0;
        qint64 m_rows = 0;
        qint64 m_columns = 0;
        bool m_each = false;
        std::vector<quint32> m_open;   // per cluster identifier of the search, its label (0: none)
        std::vector<quint32> m_parent; // per label
        std::vector<quint64> m_cells;  // per root label, its cells so far
        std::vector<qint32> m_class;   // per label, with cover each
    };
    int bands() const { return int(m_bands.size()); }
    Band &band(int k) { return m_bands[size_t(k)]; }

    // After every band's search: the maps, one per class of classes with
    // cover each, else one, rewritten on up to threads threads; false when
    // memory for one cannot be had.
    bool finish(const std::vector<qint32> &classes, int threads);

private:
    static constexpr quint32 NoValue = 0xffffffffu;

    qint64 m_rows;
    qint64 m_columns;
    bool m_each;
    ClusterRecord::Connectivity m_connectivity;
    PatchPass::Values m_values;
    Into m_into;
    quint32 *m_labels = nullptr; // the map (one cover) or m_scratch (each)
    std::unique_ptr<quint32, void (*)(void *)> m_scratch{nullptr, std::free};
    bool m_failed = false;
    std::vector<Band> m_bands;
};
