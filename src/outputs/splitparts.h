#pragma once

#include "shard.h"

#include <QByteArray>
#include <QString>

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

} // namespace SplitParts
