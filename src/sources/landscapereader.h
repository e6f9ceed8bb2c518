#pragma once

#include "coverset.h"
#include "mapgrid.h"
#include "raggedrows.h"

#include <QString>

// Reader of landscape files: GIS rasters through RasterSource, and plain
// text, one grid row per line, fields separated by single blanks (U+0020).
//
// A file that RasterSource opens as a raster gives its lines as rows and its
// pixels as cells (percolation: CellCode values, 1 where the value lies in
// the cover, 0 where it is another value, -1 (NoValue) where there is none,
// for nodata, masked and invalid values; display: the values, cells without
// a value for nodata and invalid ones). Only the first n columns of the n
// lines are read, unless Options::allColumns asks for every column. A raster
// larger than maxCells() or than this machine's memory is refused before
// anything large is allocated. Every other file is text:
//
// The file is read in fixed-size chunks into a reused buffer; no allocation is
// made per field. A line ends at a newline byte (not included); the last line
// needs none. A line's text ends at its first NUL byte. Bytes are taken as
// Latin-1. Each line is split at every blank, keeping empty fields, and a field
// converts as an integer in base 10: white space ignored at either end (tab to
// carriage return, blank, and the no-break space 0xA0; not 0x85 nor 0x1C to
// 0x1F), an optional '+' or '-', decimal digits only, within the signed 32-bit
// range. A field that does not convert is "invalid".
//
// Two modes apply these rules:
//  - percolation: every valid field gives one cell, 1 where the value lies in
//    the cover and 0 elsewhere (text never gives -1: cells a short row lacks
//    are simply not stored); invalid fields give nothing; a line without a
//    cell gives no row. LandscapeStream reads by the same rule, in bands.
//  - display: the last field of a line is dropped when it is empty or only
//    white space (the trailing blank of "1 0 1 "); every other field gives one
//    value, 0 where invalid; a line left without fields gives no row.
//
// Text is read in fixed-size chunks into a reused buffer; no allocation is
// made per field.
//
// Paths are file-system paths as bytes (QFile::encodeName of a QString), used
// unchanged: a name that is not valid in the locale's encoding opens all the
// same.
//
// Failure: a file that cannot be opened, is not a regular file (a directory, a
// device, a pipe), cannot be read (an I/O error), is a raster GDAL cannot
// read, holds more than maxCells() cells (the message says that --tile and
// the cluster rules, which stream, have no such limit), or does not fit into
// memory gives false, an error text, and empty rows. Time and memory are proportional to
// the bytes and cells read: a raster's rows are reserved, not touched, before
// its strips are read, so a small damaged file that declares a large raster
// fails at its first unreadable strip having used little memory.
class LandscapeReader
{
public:
    // Upper bound on the cells of one landscape read whole, so that any cell
    // index of the walk fits into 32 bits. LandscapeStream has no such bound.
    static constexpr qint64 maxCells() { return 0xFFFFFFFFLL; }

    struct Options
    {
        int band = 1;            // the raster band (from 1); a text landscape has band 1 only
        bool allColumns = false; // rasters: every column, not only the first n of n lines
    };

    // Fields of a text landscape that are not empty but not integers either
    // ("1.0", "1e+00", "1,0,1"): the percolation mode skips them.
    struct SkippedFields
    {
        qint64 count = 0;
        QByteArray example; // the first one, at most 40 bytes of it

        void add(const char *begin, const char *end);
    };

    // What a reading found besides its cells.
    struct Outcome
    {
        bool outOfMemory = false;   // it failed for want of memory, and may succeed with more
        SkippedFields skipped;      // percolation mode, text
    };

    // Reads path in percolation mode, habitat being the values in cover
    // (which must not be CoverSet::each(): that fails) or habitatValue.
    static bool readPercolation(const QByteArray &path, const CoverSet &cover, RaggedRows<qint8> &rows,
                                QString *errorString, const Options &options, Outcome *outcome = nullptr);
    static bool readPercolation(const QByteArray &path, qint32 habitatValue, RaggedRows<qint8> &rows,
                                QString *errorString, const Options &options, Outcome *outcome = nullptr);
    static bool readPercolation(const QByteArray &path, qint32 habitatValue, RaggedRows<qint8> &rows,
                                QString *errorString = nullptr);
    // Reads path in display mode.
    static bool readDisplay(const QByteArray &path, MapGrid &grid, QString *errorString = nullptr, int band = 1);
    // The same for paths as QStrings, encoded with QFile::encodeName.
    static bool readPercolation(const QString &path, qint32 habitatValue,
                                RaggedRows<qint8> &rows, QString *errorString = nullptr);
    static bool readDisplay(const QString &path, MapGrid &grid, QString *errorString = nullptr);

    // The field conversion of both modes, on the bytes [begin, end).
    // Returns false (and leaves value alone) for an invalid field.
    static bool toInt32(const char *begin, const char *end, qint32 &value);

    // The display rules on one line's bytes [begin, end) (no newline; the NUL
    // cut is applied here): the values are appended to the grid's row being
    // built; returns their number.
    static qsizetype displayLine(const char *begin, const char *end, MapGrid &grid);
};
