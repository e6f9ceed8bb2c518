#pragma once

#include "mapgrid.h"
#include "raggedrows.h"

#include <QString>

// Streaming reader of landscape files: plain text, one grid row per line,
// fields separated by single blanks (U+0020).
//
// The file is read in fixed-size chunks into a reused buffer; no allocation is
// made per field. A line ends at a newline byte (not included); the last line
// needs none. A line's text ends at its first NUL byte. Bytes are taken as
// Latin-1. Each line is split at every blank, keeping empty fields, and a field
// converts exactly as QString::toInt in base 10 does: ASCII white space ignored
// at either end, an optional '+' or '-', decimal digits only, within the signed
// 32-bit range. A field that does not convert is "invalid".
//
// Two modes apply these rules:
//  - percolation: every valid field gives one cell, 1 where the value equals the
//    habitat value and 0 elsewhere; invalid fields give nothing; a line without
//    a cell gives no row.
//  - display: the last field of a line is dropped when it is empty or only
//    white space (the trailing blank of "1 0 1 "); every other field gives one
//    value, 0 where invalid; a line left without fields gives no row.
//
// Failure: a file that cannot be opened, is not a regular file (a directory, a
// device, a pipe), cannot be read (an I/O error), or holds more than
// maxCells() cells gives false, an error text, and empty rows. Time and memory
// are proportional to the bytes and cells read.
class LandscapeReader
{
public:
    // Upper bound on the cells of one landscape, so that any cell index fits
    // into 32 bits.
    static constexpr qint64 maxCells() { return 0xFFFFFFFFLL; }

    // Reads path (a file-system path, encoded as QFile does) in percolation mode.
    static bool readPercolation(const QString &path, qint32 habitatValue,
                                RaggedRows<qint8> &rows, QString *errorString = nullptr);

    // Reads path in display mode.
    static bool readDisplay(const QString &path, MapGrid &grid, QString *errorString = nullptr);

    // The field conversion of both modes, on the bytes [begin, end).
    // Returns false (and leaves value alone) for an invalid field.
    static bool toInt32(const char *begin, const char *end, qint32 &value);

    // The line rules of each mode on one line's bytes [begin, end) (no newline;
    // the NUL cut is applied here). They append to the row being built and
    // return the number of cells or values appended.
    static qsizetype percolationLine(const char *begin, const char *end, qint32 habitatValue,
                                     std::vector<qint8> &cells);
    static qsizetype displayLine(const char *begin, const char *end, MapGrid &grid);
};
