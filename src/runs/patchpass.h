#pragma once

#include "patchseams.h"
#include "patchspool.h"
#include "patchwalk.h"
#include "raggedrows.h"
#include "rastersource.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

// The second pass over a landscape whose clusters were searched with a
// PatchRecorder (see PatchWalk), or in bands with one each (PatchSeams): from the bottom, its patches into a
// PatchSpool (with the mean distances of their cells from their centroids),
// and each cell's patch into maps: per cell its patch's size in cells, or its
// patch's number; 0 for a cell with a value that is not habitat; nodata (the
// type's largest value) where the landscape has none. A map is a GeoTIFF
// written band by band from the bottom, which takes the place of its path
// only once whole (OutputFile::Staged).
namespace PatchPass {

enum Values { Sizes, Numbers };

// A map to write: at path, of the patches of one class (cover each) or of
// all (one cover). Or into memory: into(wide) gives where the map's rows x
// columns values go, row-major, quint64 when wide else quint32 (null: no
// memory for it).
struct Map
{
    QByteArray path;
    std::optional<qint32> coverClass;
    std::function<void *(bool wide)> into;
};

// Which cells of a landscape have a value: what the maps need besides the
// patches.
struct Source
{
    virtual ~Source() = default;
    // Rows [first, first + count) as CellCode bytes (below 0 no value), a
    // RaggedRows row per landscape row; false, with the reason, if they
    // cannot be read.
    virtual bool read(qint64 first, qint64 count, RaggedRows<qint8> &rows, QString *errorString) = 0;
};

// The type of a map of a landscape of rows x columns: UInt32 while every
// value (a size: at most the cells; a number: at most the patches) stays
// below the nodata value 2^32 - 1, else UInt64.
RasterSource::Writer::Type valueType(Values values, qint64 rows, qint64 columns, quint64 patches);

struct Options
{
    Values values = Sizes;
    std::vector<Map> maps;
    Source *source = nullptr; // needed with maps
    RasterSource::GeoReference geo;
    // Patches to keep in spool (null: none), as patches of the landscape
    // whose top-left cell is (row, column), those of fewer than minCells
    // cells left out.
    PatchSpool *spool = nullptr;
    qint64 row = 0;
    qint64 column = 0;
    qint64 minCells = 1;
    // The type of every map (for tests), when not valueType()'s.
    std::optional<RasterSource::Writer::Type> type;
};

// Walks the landscape of rows x columns recorded in the bands of seams
// (finished; searched with connectivity) once; false, with the reason, when
// a map cannot be written or the data cannot be read back (maps already
// made stay as they were).
bool run(const PatchSeams &seams, ClusterRecord::Connectivity connectivity, qint64 rows, qint64 columns,
         const Options &options, QString *errorString);

} // namespace PatchPass
