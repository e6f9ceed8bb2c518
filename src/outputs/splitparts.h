#pragma once

#include "shard.h"

#include "linereader.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The parts of a split run that a merge joins: the line that says which part
// of which run a part is, and the checks that the parts given are every part
// of one run, once each. Shared by reports, cluster tables and sweep tables.
namespace SplitParts {

// "<prefix>K/N: <description>\n"
QByteArray shardLine(const char *prefix, const Shard &shard, const QByteArray &description);
// Reads a line (without its '\n') written by shardLine() with prefix; false
// for any other line.
bool parseShardLine(const char *prefix, const QByteArray &line, Shard &shard, QByteArray &description);

// What a part's first line said.
struct Head
{
    QByteArray path;
    std::optional<Shard> shard;
    QByteArray description;
};

// The order in which to join parts: parts with shard lines in shard order,
// which must be every part of one run (the same count and description), each
// given once; parts without in the order given (what may stand is the
// caller's to check). `kind` names them in reasons ("reports", "tables").
// False, with the reason naming a part, when the parts cannot be joined.
bool joinOrder(const std::vector<Head> &heads, const QString &kind, std::vector<size_t> &order, QString *errorString);

// The same for parts of any kind that have a path, a shard and a
// description: puts them in joinOrder()'s order.
template <typename Part>
bool putInJoinOrder(std::vector<Part> &parts, const QString &kind, QString *errorString)
{
    std::vector<Head> heads;
    for (const Part &part : parts)
        heads.push_back({part.path, part.shard, part.description});
    std::vector<size_t> order;
    if (!joinOrder(heads, kind, order, errorString))
        return false;
    std::vector<Part> ordered;
    for (const size_t i : order)
        ordered.push_back(std::move(parts[i]));
    parts = std::move(ordered);
    return true;
}

// One part given to a merge: a file, or a pipe ("-", /dev/fd/N), opened and
// read up to its head: its shard line if it has one, and the line after.
struct Part
{
    QByteArray path;
    std::unique_ptr<LineReader> reader; // open while the part is read
    bool isFile = false;                // a regular file: it may be opened again
    std::optional<Shard> shard;
    QByteArray description;
    QByteArray head;         // the first line that is not a shard line
    bool hasHead = false;    // false for a part with nothing after its shard line
    bool headEnded = false;  // whether that line ended with a newline
};

// The kind of part a merge joins: its names in reasons ("reports" and
// "report") and the prefix of its shard lines.
struct Kind
{
    QString name;
    QString one;
    const char *shardPrefix;
};

// Opens part.path (again) and reads its head; false, with the reason naming
// the part, when it cannot be read or holds nothing, or when a part opened
// again has another first line than before (it changed meanwhile).
bool open(Part &part, const Kind &kind, QString *errorString);

// The first line of the first of paths that is a regular file (a pipe
// cannot be looked at twice); empty when none is or it cannot be read. It
// tells which kind of part a merge is given.
QByteArray firstLineOfFirstFile(const QByteArrayList &paths);

// The parts of a merge: every path opened and read up to its head, a file
// given twice under any name refused (its device and inode are compared),
// put in joinOrder()'s order. Files are closed again unless keepOpen (open()
// reopens them), so that a thousand parts need not be open at once; a pipe
// stays open, as it can be read only once.
bool openAll(const QByteArrayList &paths, const Kind &kind, bool keepOpen, std::vector<Part> &parts,
             QString *errorString);

// Writes a merge to output ("-" or empty: standard output), replaced only by
// the whole result: merge(write, error) hands the lines to write and
// returns false, with the reason, when the parts cannot be joined. Returns
// the exit status (0 or 1), after saying why on err ("PROGRAM: ...", the
// result called `what`).
int writeMerge(const QByteArray &output, const char *program, const char *what,
               const std::function<bool(const std::function<void(const QByteArray &)> &write, QString *error)> &merge,
               std::FILE *err);

} // namespace SplitParts
