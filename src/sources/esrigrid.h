#pragma once

#include "coverset.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The values of an ESRI ASCII grid, parsed here rather than by GDAL. GDAL
// opens the file and reads its header (size, nodata, georeference); its own
// reading of the values goes a character at a time and converts each value
// with strtod (Vantrix asks for 64-bit floating point, so that nothing beyond
// 32 bits wraps around), at half the speed of its reading of integers. This
// parser reads the body in fixed-size chunks with the same meaning:
//
// - The values begin where GDAL's begin: at the first byte, from the third
//   on, that follows a line break by one or two bytes and is neither a
//   letter (except in "null ") nor a line break. A line that starts with a
//   number in letters ("nan", "NaN", "inf", "Infinity": what strtod reads)
//   begins them too: GDAL 3.6 takes it for a line of the header and looks
//   for the values after it (finding too few, or none), later GDAL reads it
//   as values, and so does Vantrix.
// - The values are the body's tokens, separated by white space (blank, tab,
//   line feed, vertical tab, form feed, carriage return), width() of them
//   per grid row whatever the lines; a row may span lines, a line may hold
//   several rows. A NUL byte ends the body; tokens after the last row's are
//   not read.
// - A token counts as GDAL's 64-bit reading gives it (CPLAtofM, which is
//   strtod with '.' or ',' as decimal mark; "null" is -DBL_MAX): a value
//   when that is an integer within the signed 32-bit range ("1.0", "1e3"
//   and "0x10" count, "1.5", "3e9" and "inf" do not), and none when it
//   equals the nodata value as a double. A NaN ("nan", "-nan", "NaN") is
//   never a value, whether the nodata value is NaN or not (NaN equals
//   nothing, itself included). Plain integers ([+-]digits) are converted
//   here, exactly as strtod would; anything else goes to CPLAtofM itself.
//
// Failure (false, with a reason naming the row): a body that ends before
// its last value (GDAL would give 0 for a missing last value: here the file
// is cut short all the same), a token of more than 498 bytes (GDAL's limit),
// a read error. Memory: a 1 MB read buffer and one file offset per 256 rows
// (or per 512, ... at most 65536 of them), so that a row read again (another
// cover, the map after the test, a band from the bottom up) is found without
// parsing from the top.
//
// One object per open file, used by one thread at a time.
class EsriGridBody
{
public:
    EsriGridBody();
    ~EsriGridBody();
    EsriGridBody(const EsriGridBody &) = delete;
    EsriGridBody &operator=(const EsriGridBody &) = delete;

    // Finds the first value of the grid at path (a name GDAL's virtual file
    // functions open, as GDAL opened it) of width x height values. False
    // when the file cannot be opened or its values not found: GDAL then
    // reads them.
    bool open(const QByteArray &path, qint64 width, qint64 height, bool hasNodata, double nodata);

    // RasterSource's reads, with its contracts; the caller has checked that
    // the lines and columns lie within the grid.
    bool readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, qint8 *out,
                     QString *errorString);
    bool readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                    QString *errorString);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Why GDAL did not open a file that begins with an ESRI ASCII grid's header
// (LandscapeProbe::beginsWithEsriHeader), as one line: GDAL's reason where it
// gave one (gdalReason, else empty), and what is wrong with the file where
// its first bytes (head, those GDAL looked at) tell: a header that does not
// begin with one of the keywords GDAL looks for, a file of under 40 bytes, a
// keyword missing or misspelt, a size GDAL does not take, values GDAL does
// not find because their lines start with a letter.
QString esriGridRefusal(const QByteArray &head, const QString &gdalReason);
