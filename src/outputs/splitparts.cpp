#include "splitparts.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <numeric>

namespace SplitParts {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SplitParts", text);
}

} // namespace

QByteArray shardLine(const char *prefix, const Shard &shard, const QByteArray &description)
{
    return prefix + QByteArray::number(shard.index) + '/' + QByteArray::number(shard.count) + ": " + description + '\n';
}

bool parseShardLine(const char *prefix, const QByteArray &line, Shard &shard, QByteArray &description)
{
    if (!line.startsWith(prefix))
        return false;
    const QByteArray rest = line.mid(qsizetype(std::strlen(prefix)));
    const qsizetype colon = rest.indexOf(": ");
    if (colon < 0)
        return false;
    const auto parsed = Shard::parse(QString::fromLatin1(rest.left(colon)), nullptr);
    if (!parsed)
        return false;
    shard = *parsed;
    description = rest.mid(colon + 2);
    return shardLine(prefix, shard, description) == line + '\n';
}

bool joinOrder(const std::vector<Head> &heads, const QString &kind, std::vector<size_t> &order, QString *errorString)
{
    auto refuse = [errorString](const QByteArray &path, const QString &why) {
        if (errorString)
            *errorString = QString::fromLocal8Bit(path) + QStringLiteral(": ") + why;
        return false;
    };
    order.resize(heads.size());
    std::iota(order.begin(), order.end(), size_t(0));
    const auto withShard = std::count_if(heads.begin(), heads.end(), [](const Head &h) { return bool(h.shard); });
    if (withShard == 0)
        return true;
    if (withShard < qsizetype(heads.size())) {
        const auto without = std::find_if(heads.begin(), heads.end(), [](const Head &h) { return !h.shard; });
        return refuse(without->path,
                      tr("is not a part of a split run (it has no shard line), but the other %1 are").arg(kind));
    }
    std::stable_sort(order.begin(), order.end(),
                     [&heads](size_t a, size_t b) { return heads[a].shard->index < heads[b].shard->index; });
    const Head &first = heads[order.front()];
    for (size_t i = 0; i < order.size(); ++i) {
        const Head &head = heads[order[i]];
        if (head.shard->count != first.shard->count || head.description != first.description)
            return refuse(head.path, tr("is shard %1 of %2 of another run than %3 (another list, split or test)")
                                             .arg(head.shard->index)
                                             .arg(head.shard->count)
                                             .arg(QString::fromLocal8Bit(first.path)));
        if (i > 0 && head.shard->index == heads[order[i - 1]].shard->index)
            return refuse(head.path,
                          tr("holds shard %1 of %2, which is given twice").arg(head.shard->index).arg(first.shard->count));
    }
    for (qint64 k = 1; k <= first.shard->count; ++k) {
        if (k > qint64(order.size()) || heads[order[size_t(k - 1)]].shard->index != k)
            return refuse(first.path, tr("is shard %1 of %2, but shard %3 of %2 is missing")
                                              .arg(first.shard->index)
                                              .arg(first.shard->count)
                                              .arg(k));
    }
    return true;
}

} // namespace SplitParts
