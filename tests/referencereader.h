#pragma once

#include <QByteArray>

#include <functional>
#include <vector>

// The straightforward reading of landscape text, one QString per line and per
// field, kept as the yardstick for the streaming reader.
namespace ReferenceReader {

using Rows = std::vector<std::vector<int>>;

// Percolation rules: cells of 0/1 per valid field, lines without cells dropped.
Rows percolation(const QByteArray &text, int habitatValue);
// The same for a cover of several values: 1 where inCover(value).
Rows percolation(const QByteArray &text, const std::function<bool(int)> &inCover);
// The same fields' values (what LandscapeStream::readValues gives for text).
Rows percolationValues(const QByteArray &text);
// Display rules: values per field (invalid as 0), a blank last field dropped.
Rows display(const QByteArray &text);
// The conversion of one field, Latin-1 bytes: Qt 4's QString::toInt in base
// 10, which ignored white space (QChar::isSpace of Qt 4) at either end.
int toInt(const QByteArray &field, bool *ok);

} // namespace ReferenceReader
