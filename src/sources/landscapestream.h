#pragma once

#include "coverbits.h"
#include "coverset.h"
#include "landscapereader.h"
#include "raggedrows.h"
#include "memorygrid.h"
#include "rastersource.h"

#include <QByteArray>
#include <QString>

#include <memory>

// A landscape file read from the top in bands of rows, for everything that
// need not hold the whole of it: the cluster rules, their statistics, tiles.
// The same reading rules as LandscapeReader's percolation mode, one band at a
// time, so that memory is bounded by the width of the map (times the band's
// height), never by its cells, and there is no limit on the cells.
//
// Rasters: raster line k is row k, pixel j column j; rows() and columns() are
// the raster's. Text: a row is a line that gives at least one cell (a field
// that converts), rows() the number of such lines and columns() the longest
// of them; both are known after open(), which reads the file once to count
// them (a text file is read twice). Cells a short row lacks have no value.
//
// Cells for a cover (readHabitat): CellCode::Habitat where the value is in
// the cover, Matrix where it is another value, NoValue where there is none
// (a raster's nodata or an invalid value; for text, cells beyond a short
// row's end, which are not stored: a text row holds only the cells it has).
// Class values (readValues): the values, and present[i] 0 where none.
//
// Reading ahead: with prefetch, a thread of the stream's own reads the next
// band (the same count, columns and cover as the last request) while the
// caller works on this one, so that a map costs about its decoding, not
// decoding plus testing. The caller sees the same bands and the same
// failures as without; a request of another shape, skip() or seek() sets
// the band read ahead aside and reads afresh from where the caller stands.
//
// Memory: the band asked for (two with prefetch), plus fixed buffers: for
// text a 1 MB read buffer, which grows to the longest line, and at most 512
// KB of line offsets for seek(); for rasters RasterSource's scratch strips
// and GDAL's cache. A raster band is reserved whole and filled a strip at a
// time, so that a small damaged file that declares a large raster fails
// having touched little memory. No limit on the cells: rows() * columns()
// may pass 2^32, only a band must fit.
//
// Failure: every operation returns false with a reason; a file that cannot
// be read as a landscape fails at open() (see LandscapeReader), a damaged
// raster at the band it cannot decode, a text file that changed since
// open() at the band that no longer finds its rows. After a failed read the
// band is empty and the stream stands where it stood before, so that the
// same rows are read next. outOfMemory() tells a failure for want of memory
// (the stream's or GDAL's) apart.
class LandscapeStream
{
public:
    struct Options
    {
        int band = 1;           // the raster band, from 1; a text landscape has band 1 only
        bool prefetch = false;  // read the next band on a thread of the stream's own
        // A grid in memory to read instead of the path (which then only
        // names it), as a raster.
        std::shared_ptr<const MemoryGrid> grid;
    };

    LandscapeStream();
    ~LandscapeStream();
    LandscapeStream(const LandscapeStream &) = delete;
    LandscapeStream &operator=(const LandscapeStream &) = delete;

    // Opens path (file-system bytes, see LandscapeReader) after one probe,
    // closing what was open; the first row is next. False, with the reason,
    // for a file that cannot be read, and for band > 1 of a text landscape.
    bool open(const QByteArray &path, const Options &options, QString *errorString);
    bool isRaster() const;
    qint64 rows() const;
    qint64 columns() const;
    // The rows a band should hold to read a raster's blocks once (its block
    // height, or a divisor of it); 1 for text.
    qint64 blockHeight() const;
    // Where the raster lies (empty for text).
    RasterSource::GeoReference geoReference() const;
    // The next row to be read (0 after open()).
    qint64 nextRow() const;

    // Reads the next min(count, rows() - nextRow()) rows, columns [0,
    // columns) of each (columns <= columns()), into band, replacing what it
    // held: cells for cover (which must not be each()). A text row holds its
    // own cells only, up to columns. After the last row, an empty band. A
    // negative count, columns beyond columns(), nothing open or a cover of
    // each class give false.
    bool readHabitat(qint64 count, qint64 columns, const CoverSet &cover, RaggedRows<qint8> &band,
                     QString *errorString);
    // The same rows as bits (CoverBits, every row `columns` cells: cells a
    // short text row lacks have no value): a quarter of the memory, and
    // from most rasters of bytes without a look at each cell's code.
    bool readHabitatBits(qint64 count, qint64 columns, const CoverSet &cover, CoverBits &band,
                         QString *errorString);
    // The same rows as class values: values and present, one entry per cell
    // of each row (text: a row's own cells, all present).
    bool readValues(qint64 count, qint64 columns, RaggedRows<qint32> &values, RaggedRows<quint8> &present,
                    QString *errorString);
    // Whether the values are bytes (a raster of bytes read through GDAL),
    // and the same rows as readValues() gives as such: a fifth of the
    // memory with present. False, with the reason, where they are not.
    bool valuesAreBytes() const;
    bool readByteValues(qint64 count, qint64 columns, RaggedRows<quint8> &values, RaggedRows<quint8> &present,
                        QString *errorString);
    // Skips the next min(count, rows() - nextRow()) rows (for a shard of
    // tiles, say): seek(nextRow() + count).
    bool skip(qint64 count, QString *errorString);
    // Makes row the next to be read (0 <= row <= rows(); else false): to
    // read a landscape again, or its bands in any order (a cluster map reads
    // a landscape again from its bottom, 256 rows at a time). A raster goes
    // straight there. Text goes from the nearest row at or before it whose
    // line offset open()'s first reading kept (every 256th row, or every
    // 512th, ... so that at most 65536 are kept: 512 KB), or from where it
    // stands when that is nearer, parsing the rows between only to tell rows
    // from lines without a cell.
    bool seek(qint64 row, QString *errorString);

    // Text fields that were not integers, in the whole file: tallied once,
    // by the first reading at open().
    const LandscapeReader::SkippedFields &skippedFields() const;
    bool outOfMemory() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
