#pragma once

#include "cellgeometry.h"
#include "coverset.h"
#include "landscapeprobe.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// A landscape stored as a GIS raster (GeoTIFF, ESRI ASCII grid, Erdas
// Imagine, ENVI and whatever else GDAL reads), read through GDAL. This is the
// one part of Vantrix that talks to GDAL.
//
// Which files are rasters: a regular file that GDAL opens as a raster with a
// driver that does not also take arbitrary text for a raster. Drivers that
// would read a plain-text grid of numbers (XYZ and the like, see
// excludedDrivers()) are never used, so such a file stays a text landscape.
// Besides, what LandscapeProbe finds to be a plain-text grid of numbers is a
// text landscape without GDAL being asked (whatever header files lie beside
// it), and so is anything that is not a regular file (missing, a directory, a
// device, a pipe: the text reader names it). A file that an allowed driver
// recognises but cannot open is Failed when it is binary; when it is text (a
// grid of numbers whose first line reads like a header, say), it is NotRaster:
// a file GDAL cannot open as a raster is a text landscape, unless it begins
// with an ESRI ASCII grid's header: such a file is a grid, Failed with the
// reason GDAL cannot read it.
//
// Cells: raster line k is row k, pixel j column j. A value is read from one
// band (band 1 unless told otherwise). Integer types (8 to 64 bits, signed
// or not, signed bytes included) give their value when it lies in the signed
// 32-bit range; a floating-point value counts only when it is integral and in
// that range (-0.0 is 0). Any other value (NaN, 1.5, 3e9) is invalid. ESRI and
// GRASS ASCII grids are read as 64-bit floating point, so the same holds for
// their text ("1.0" and "1e3" count, "1.5" and "3e9" do not, nothing beyond
// 32 bits wraps around); an ESRI grid's values are parsed by Vantrix itself
// with that meaning (see EsriGridBody), GDAL reading only its header. Nodata
// (the band's nodata value, or its mask band when GDAL reports one: a mask
// per dataset, alpha, a .msk file) and invalid values hold no value.
//
// Failure: every operation returns false (or Failed) with a reason, GDAL's own
// messages where it has some, as one line (without the pointer addresses or
// the "Success" of a zero errno that some drivers add); GDAL never prints or
// asks anything. Opening does
// not allocate in proportion to the raster's declared size, so a small file
// that declares an enormous raster costs nothing until its rows are read; a
// band whose blocks exceed 256 MB each is Failed, since GDAL allocates a whole
// block at its first read.
//
// Memory: reading needs, beyond the caller's buffers, at most a 16 MB scratch
// strip in the band's own type (Byte habitat and Int32 values are read straight
// into the caller's buffer), 16 MB for a mask band, a 64 KB table of codes for
// bands of 16 bits, and GDAL's block cache, which is set to 64 MB for the
// whole process; an ESRI grid, a 1 MB read buffer instead.
//
// Threads: GDAL is set up once for the process (drivers, cache, a silent error
// handler that keeps each thread's messages). A RasterSource holds one GDAL
// dataset and must be used by one thread at a time; separate RasterSource
// objects may be used on separate threads at once, on the same file too.
class RasterWriterBackend;
struct MemoryGrid;

class RasterSource
{
public:
    // Where a raster lies on the ground: its coordinate system (as WKT) and
    // its geotransform (GDAL's six coefficients), when it has them.
    struct GeoReference
    {
        QByteArray projection;
        bool hasTransform = false;
        double transform[6] = {0, 1, 0, 0, 0, 1};
        bool geographic = false; // its coordinates are degrees
        QByteArray units;        // a projected system's linear units ("metre"); empty otherwise

        // The size of its cells in its own units: the lengths of the
        // geotransform's column and row vectors and the area they span;
        // 1, 1, 1 in cells without a projected system and a geotransform.
        CellGeometry cellGeometry() const;
    };

    // A GeoTIFF written band by band (tiled, DEFLATE, BigTIFF where needed),
    // for the maps Vantrix makes of its results. Rows may come in any order
    // and in bands of any height; values are row-major, width() per row, of
    // the file's type. Nothing is kept in memory but GDAL's block cache. The
    // file is written at the path given, as it is: see OutputFile for making
    // it take an output's place.
    class Writer
    {
    public:
        enum Type { Byte, UInt32, UInt64, Float32, Float64 };

        Writer();
        ~Writer();
        Writer(const Writer &) = delete;
        Writer &operator=(const Writer &) = delete;

        bool create(const QByteArray &path, qint64 width, qint64 height, int bands, Type type,
                    const GeoReference &geo, QString *errorString);
        // The band's description (a GIS shows it as the band's name) and nodata value.
        void describeBand(int band, const QString &description, bool hasNodata = false, double nodata = 0);
        bool write(int band, qint64 firstRow, qint64 rows, const void *values, QString *errorString);
        // Flushes and closes; false, with the reason, if anything written failed.
        bool close(QString *errorString);

    private:
        std::unique_ptr<RasterWriterBackend> m_backend;
    };

    enum OpenResult {
        NotRaster, // no allowed driver claims the file: read it as text
        Opened,
        Failed,    // a raster driver claims the file, but it cannot be opened (reason given)
    };

    RasterSource();
    ~RasterSource();
    RasterSource(const RasterSource &) = delete;
    RasterSource &operator=(const RasterSource &) = delete;

    // Opens path (a file-system path as bytes, which is never taken for a
    // GDAL connection string such as "NITF_IM:0:x"; or a /vsimem/ name) and
    // selects band (from 1). A band that does not exist, or a data type that
    // holds no integers (complex values), is Failed. Closes what was open.
    OpenResult open(const QByteArray &path, int band, QString *errorString = nullptr);
    // The same for a file already probed as kind (Text or Binary; any
    // other kind is NotRaster without GDAL being asked).
    OpenResult open(const QByteArray &path, LandscapeProbe::Kind kind, int band, QString *errorString = nullptr);
    // Opens a grid held in memory (see MemoryGrid), read as a raster is; its
    // projection's kind and units come from GDAL. Failed, with the reason,
    // for a grid that cannot be read.
    OpenResult open(std::shared_ptr<const MemoryGrid> grid, QString *errorString = nullptr);
    void close();

    qint64 width() const;  // pixels per line
    qint64 height() const; // lines
    // Lines to read at a time: the height of the band's blocks, so that each
    // block is decoded once. A block of more than 16M cells (one strip for a
    // whole large raster) gives a divisor of its height instead, for strips
    // of at most that many cells; GDAL's cache keeps the block between them.
    qint64 blockHeight() const;
    QString driverName() const;
    GeoReference geoReference() const;

    // Reads lines [firstLine, firstLine + lineCount), pixels [0, columns) of
    // each (columns <= width()), into out, row-major (lineCount * columns
    // bytes), as CellCode values: Habitat where the value lies in cover,
    // Matrix where it is another value, NoValue where there is none (nodata,
    // masked, invalid). Lines or columns outside the raster, a cover of
    // each class (CoverSet::each()), or no raster open, give false with a
    // reason; so does a read GDAL fails on (out is then partly written).
    bool readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, qint8 *out,
                     QString *errorString = nullptr);
    // The same lines as bits (see CoverBits): line r's habitat words at
    // bits + 2 r w, its words without a value at bits + (2 r + 1) w, for w =
    // CoverBits::wordsFor(columns). The same failures as readHabitat().
    bool readHabitatBits(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, quint64 *bits,
                         QString *errorString = nullptr);
    // The same lines as values: values[i] the value, present[i] 1 where the
    // cell holds one and 0 where it holds none (values[i] is then 0).
    bool readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                    QString *errorString = nullptr);
    // Whether the band's values are bytes (a GDAL raster of Byte cells),
    // and the same lines as readValues() gives, as bytes: false, with the
    // reason, where they are not.
    bool valuesAreBytes() const;
    bool readByteValues(qint64 firstLine, qint64 lineCount, qint64 columns, quint8 *values, quint8 *present,
                        QString *errorString = nullptr);
    // Whether the last read failed because GDAL could not allocate memory
    // (it may succeed with more: a batch tries it again alone).
    bool outOfMemory() const;

    // What the process does when GDAL meets an error it cannot go on from
    // (it could not allocate a few bytes, say): GDAL would abort once the
    // handler returns, so the handler ends the process itself, cleanly. The
    // handler gets GDAL's message; set it before GDAL is first used (a
    // program does so at its start).
    using FatalHandler = void (*)(const char *message);
    static void setFatalHandler(FatalHandler handler);

    // The GDAL drivers that are never used, and why, one "NAME: reason" each
    // (drivers this GDAL lacks included). They are deregistered when GDAL is
    // set up; should GDALAllRegister() bring them back later, open() keeps to
    // the drivers of that start-up.
    static QStringList excludedDrivers();
    // GDAL's version, for --version texts.
    static QString gdalVersion();

    // Writes size x size cells (row-major, values 0 to 127) as a one-band
    // Byte GeoTIFF at path, as it is: OutputFile::writeVia() makes such a
    // file take an output's place whole.
    static bool writeGeoTiff(const QByteArray &path, const qint8 *cells, qint64 size, QString *errorString = nullptr);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
