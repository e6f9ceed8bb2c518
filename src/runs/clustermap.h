#pragma once

#include "clusterscan.h"
#include "coverset.h"
#include "rastersource.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

// Each cell's cluster as a map: for every cell, the cells of the cluster it
// belongs to; 0 for a cell with a value that is not habitat; nodata where
// the landscape has no value. Any size, in memory bounded by the width.
//
// A cluster's size is known only once the cluster can no longer grow, which
// may be at the map's last row, so the map is made in two passes:
//  1. From the top, while the clusters are searched (ClusterScan with a
//     Recorder as its observer), the Recorder keeps on a temporary file, per
//     row, which of the row's runs of habitat belong together so far (joined
//     through the rows above), and per row, the sizes of the clusters whose
//     last row it is, in the order of their leftmost run there.
//  2. From the bottom (write()), the rows are read again; a run takes the
//     cluster of the runs it touches in the row below, runs that belong
//     together share it, and a group of runs that touches nothing below is a
//     cluster whose last row this is: its size is the next one kept for the
//     row. Every cluster is thereby known whole at every row, without its
//     cells being held.
// The temporary data take about a byte per run of habitat and a few bytes per
// cluster, on disk, with no name (nothing is left behind whatever happens).
namespace ClusterMap {

// The value of cells without a value in a UInt32 map (in a UInt64 map, the
// largest 64-bit value).
constexpr quint32 Nodata = 0xFFFFFFFFu;

// The map's type for a landscape of rows x columns: UInt32 while every
// cluster's cells stay below Nodata, else UInt64, so that every size is
// written as it is.
RasterSource::Writer::Type valueType(qint64 rows, qint64 columns);

class Recorder : public ClusterScan::Observer
{
public:
    Recorder();
    ~Recorder() override;
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Makes the temporary files; false, with the reason, if it cannot.
    bool open(QString *errorString);
    void rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const quint32 *clusters,
                   qint64 runs) override;
    void clusterRetired(quint32 cluster, qint64 cells) override;
    // After the engine's finish(): the temporary data complete. False, with
    // the reason, if they could not all be kept.
    bool close(QString *errorString);

    // What pass 2 reads, for row r: the runs' links (0: the first of its
    // group; k: the same group as the run k places before) and the sizes of
    // the clusters whose last row it is, in order.
    bool links(qint64 row, std::vector<quint32> &out, QString *errorString) const;
    bool sizes(qint64 row, std::vector<qint64> &out, QString *errorString) const;
    qint64 rows() const { return m_rows; }

private:
    struct Spool;
    std::unique_ptr<Spool> m_links;
    std::unique_ptr<Spool> m_sizes;
    std::vector<qint64> m_lastRow;      // per cluster identifier: the last row it was seen in
    std::vector<std::vector<qint64>> m_pending; // sizes retired, by last row, not yet spooled
    qint64 m_pendingFirst = 0;          // the row of m_pending[0]
    std::vector<qint64> m_sizeOffsets;  // per row, where its sizes start on the spool (and the end)
    std::vector<qint64> m_linkOffsets;
    std::vector<qint32> m_lastInRun;    // scratch: per cluster, the index of its last run in the row
    qint64 m_rows = 0;
    bool m_failed = false;
    QString m_error;

    void spoolSizesUpTo(qint64 row);
};

// The cells whose value the map shows, for one row: what pass 2 reads.
struct Source
{
    virtual ~Source() = default;
    // Rows [first, first + count) of cells (CellCode bytes), a RaggedRows row
    // per landscape row; false, with the reason, if they cannot be read.
    virtual bool read(qint64 first, qint64 count, RaggedRows<qint8> &rows, QString *errorString) = 0;
};

// Pass 2: writes the map of a landscape of rows x columns, searched with
// connectivity and recorded by recorder, as a GeoTIFF of valueType() (or of
// type, when given) at path (as it is: OutputFile makes it take its place),
// georeferenced as geo.
bool write(const QByteArray &path, Source &source, const Recorder &recorder, qint64 rows, qint64 columns,
           ClusterRecord::Connectivity connectivity, const RasterSource::GeoReference &geo, QString *errorString,
           std::optional<RasterSource::Writer::Type> type = std::nullopt);

} // namespace ClusterMap
