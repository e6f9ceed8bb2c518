#pragma once

#include "memorygrid.h"
#include "tablecolumns.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

// The engine as calls on landscapes held in memory or in files, for the
// Python and R bindings: the programs' runs, with their tables gathered as
// columns (TableColumns) rather than written, and their maps into memory.
//
// A call takes the options of the program it stands for by their command-line
// names and values as text ({"cover", "1,2"}, {"rule", "cluster8"}, {"jobs",
// "2"}): vantrix-percolate's for clusters(), patches(), label() and
// percolates(), vantrix-sweep's for sweep(), vantrix-generate's for
// generate(). They are read by the programs' own parsers, so every value
// means what it means there and every refusal is the program's message. The
// answers are those of the programs' tables on the same landscapes, value for
// value.
//
// Failure: a call throws Calls::Error: Usage for options the program refuses
// (and a grid that cannot be read), File for a landscape that cannot be read
// or an output that cannot be made, Memory when memory runs out. What the
// program says on standard error besides (a cover absent from a map, a map
// clipped to a study area, areas in cells for degrees) comes back in notes.
//
// Threads: a call runs on the engine's threads (--jobs) and may run while
// other calls do; the grid it reads must stay unchanged until it returns.
namespace Calls {

class Error : public std::runtime_error
{
public:
    enum Kind { Usage, File, Memory };
    Error(Kind kind, const QString &message)
        : std::runtime_error(message.toStdString())
        , m_kind(kind)
    {
    }
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// What a call reads: landscape files by path (streamed in bands, of any
// size), or one grid in memory (the tables then name it "").
struct Landscapes
{
    QByteArrayList paths;
    std::shared_ptr<const MemoryGrid> grid;
};

using Options = std::vector<std::pair<QString, QString>>;

// Messages of the programs that are not failures, one per line.
using Notes = QStringList;

// vantrix-percolate --table: a row per landscape (and class, square).
TableColumns clusters(const Landscapes &landscapes, const Options &options, Notes &notes);
// vantrix-percolate --patches: a row per patch.
TableColumns patches(const Landscapes &landscapes, const Options &options, Notes &notes);
// A landscape held in bands of rows apart (the row chunks of a Dask array):
// clustersOfBand() searches one band, the grid of landscapes, which is rows
// [firstRow, firstRow + its rows) of a landscape of `rows` rows, and gives
// what the join needs of it as bytes (bounded by the width); clustersOfBands()
// joins the bands' bytes, top to bottom, into the table that clusters() gives
// for the landscape whole, value for value. The grid's georeference is the
// whole landscape's. Tiles, lacunarity and the walk need the landscape
// whole and are refused.
QByteArray clustersOfBand(const Landscapes &landscapes, const Options &options, qint64 firstRow, qint64 rows);
TableColumns clustersOfBands(const std::vector<QByteArray> &bands, const Options &options, Notes &notes);
// The patches of such a landscape, in two rounds over its bands (a patch's
// mean distance from its centroid needs the centroid, known only once every
// band has been searched):
//  1. patchesOfBand() searches a band: its seams and the patches its outer
//     rows do not cut, whole, as bytes.
//  2. patchPartsOfBands() joins the seams of every band's bytes, top to
//     bottom: per band, what it needs for its share of the patches that
//     cross its seams (empty: none do); patchDistancesOfBand() searches the
//     band again for that share, as bytes.
//  3. patchesOfBands() takes the bands' bytes and their shares (empty where
//     none was needed): the table that patches() gives for the landscape
//     whole, value for value.
QByteArray patchesOfBand(const Landscapes &landscapes, const Options &options, qint64 firstRow, qint64 rows);
std::vector<QByteArray> patchPartsOfBands(const std::vector<QByteArray> &bands);
QByteArray patchDistancesOfBand(const Landscapes &landscapes, const Options &options, qint64 firstRow, qint64 rows,
                                const QByteArray &parts);
TableColumns patchesOfBands(const std::vector<QByteArray> &bands, const std::vector<QByteArray> &distances,
                            const Options &options, Notes &notes);

// Whether each landscape spans, in order.
std::vector<bool> percolates(const Landscapes &landscapes, const Options &options, Notes &notes);

// vantrix-percolate --cluster-map on one landscape: each cell's patch id or
// size (options' "values"), into memory that allocate(coverClass, rows,
// columns, wide) gives: rows x columns row-major, quint64 when wide else
// quint32, nodata the type's largest value. One map per class with cover
// each (coverClass set), else one (coverClass empty); allocate may throw.
using Allocate = std::function<void *(std::optional<qint32> coverClass, qint64 rows, qint64 columns, bool wide)>;
void label(const Landscapes &landscapes, const Options &options, const Allocate &allocate, Notes &notes);

// vantrix-generate's cells of one replicate: size x size values, 1 for
// habitat and 0 else, row-major.
std::vector<qint8> generate(const Options &options, qint64 replicate, qint64 &size);

// vantrix-sweep: its table, and with "thresholds" each replicate's critical
// counts (else no columns).
struct Sweep
{
    TableColumns table;
    TableColumns thresholds;
};
Sweep sweep(const Options &options, Notes &notes);

} // namespace Calls
